// The module configuration: the routing table of "Server_Config.xml".
//
// The table has four levels of elements whose names do not matter; only their
// attributes do. Under the root, the first child whose "type" equals the
// message's protocol name; under it the first child whose "id" equals the
// command name; under that, every child whose "entrance" is 1 names a first
// destination ("funcName") of a message that enters the framework, and the
// first child whose "funcName" equals the sending function module leads, by
// its children whose "condition" equals the message's result text, to the
// next destinations of that module's messages. Texts compare exactly;
// a missing attribute reads as empty; "entrance" is read as an integer the
// way atoi reads it ("01" is 1, "yes" is 0).
//
// A CModuleConfig holds one parsed document and, compiled from it when it is
// made, the same routes as hash tables. It never changes after it is made, so
// any thread may look routes up in it without a lock. One process-wide
// instance is loaded with Load and dropped with Release; holders of a
// shared_ptr (the command dealing module keeps one) keep theirs alive.
#ifndef KVR_SVRFRAME_MODULE_CONFIG_H_
#define KVR_SVRFRAME_MODULE_CONFIG_H_

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "svrframe/inner_protocol_stack.h"
#include "svrframe/secure_string.h"

class TiXmlDocument;
class TiXmlElement;

namespace SvrFrame {

// The routing file loaded when no name is given.
inline constexpr const char kDefaultConfigFile[] = "Server_Config.xml";

// An "entrance" value as atoi reads it: leading blanks, an optional sign,
// digits up to the first non-digit; no digits give 0. Values beyond the int
// range saturate instead of wrapping, so no long text of digits reads as 1.
int EntranceValue(const char* text);

class CModuleConfig {
 public:
  // Parses a file; an empty or null name means kDefaultConfigFile. A file
  // that is missing or malformed gives a configuration without a document
  // root (every look-up fails) and Loaded() false.
  static std::shared_ptr<const CModuleConfig> FromFile(const char* fileName);
  // Parses XML text (for tools and tests).
  static std::shared_ptr<const CModuleConfig> FromText(const char* text);

  ~CModuleConfig();
  CModuleConfig(const CModuleConfig&) = delete;
  CModuleConfig& operator=(const CModuleConfig&) = delete;

  // Whether the document loader succeeded.
  bool Loaded() const { return loaded_; }
  // The loader's error text ("" after success).
  const std::string& Error() const { return error_; }

  // Entrance look-up: fills the message's destinations with every entrance
  // module of its protocol and command. The list is replaced only when at
  // least one name is found; otherwise it stays as it was and the result is false.
  bool EntranceLookup(CInnerProtocolStack& message) const;
  // Reply look-up: fills the destinations with the next modules after the
  // message's sending function module for the message's result, with the same rule.
  bool ReplyLookup(CInnerProtocolStack& message) const;

  // The compiled routes themselves, or null when there is none (no match or
  // no name). A message given a route shares it rather than copying it.
  const SharedNames* EntranceRoute(const CInnerProtocolStack& message) const;
  const SharedNames* ReplyRoute(const CInnerProtocolStack& message) const;

  // The same two look-ups done by walking the document element by element.
  // They are the definition the compiled routes are checked against.
  // The document walk down to the command element (level 2), or null.
  const TiXmlElement* WalkToCommand(const CInnerProtocolStack& message) const;
  bool WalkEntranceLookup(CInnerProtocolStack& message) const;
  bool WalkReplyLookup(CInnerProtocolStack& message) const;

  // --- The process-wide configuration document ---
  // Loads the file (empty = kDefaultConfigFile) and makes it the current
  // configuration, also when loading fails (the failed one has no routes).
  // Returns the loader's success.
  static bool Load(const char* fileName);
  // Makes `config` the current configuration (null: none).
  static void SetCurrent(std::shared_ptr<const CModuleConfig> config);
  // Drops the current configuration.
  static void Release();
  // The current configuration, or null before Load and after Release.
  static std::shared_ptr<const CModuleConfig> Current();

 private:
  struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>()(s);
    }
  };
  template <typename T>
  using TextMap = std::unordered_map<std::string, T, StringHash, std::equal_to<>>;
  struct FunctionEntry {  // a level-3 element, found by its "funcName"
    TextMap<SharedNames> nextByCondition;
  };
  struct CommandEntry {    // a level-2 element
    SharedNames entrance;  // null: no entrance module
    TextMap<FunctionEntry> byFunction;
  };
  struct ProtocolEntry {  // a level-1 element
    TextMap<CommandEntry> byCommand;
  };

  CModuleConfig();
  void Compile();
  const CommandEntry* FindCommand(const CInnerProtocolStack& message) const;

  std::unique_ptr<TiXmlDocument> document_;
  bool loaded_ = false;
  std::string error_;
  TextMap<ProtocolEntry> protocols_;
};

// The two look-ups over the process-wide configuration; false when none is loaded.
bool EntranceLookup(CInnerProtocolStack& message);
bool ReplyLookup(CInnerProtocolStack& message);

}  // namespace SvrFrame

#endif  // KVR_SVRFRAME_MODULE_CONFIG_H_
