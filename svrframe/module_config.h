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
// A CModuleConfig is the routes of one document compiled into hash tables
// when it is made; the document itself is not kept. It never changes after
// it is made, so any thread may look routes up in it without a lock. The
// command dealing module loads it, owns it and is the only one routing by it.
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

  CModuleConfig() = default;
  // Compiles a document that loaded; sets the outcome either way.
  void Compile(const TiXmlDocument& document, bool loaded, const std::string& source);
  const CommandEntry* FindCommand(const CInnerProtocolStack& message) const;

  bool loaded_ = false;
  std::string error_;
  TextMap<ProtocolEntry> protocols_;
};

}  // namespace SvrFrame

#endif  // KVR_SVRFRAME_MODULE_CONFIG_H_
