#include "svrframe/module_config.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/svrframe/test_message.h"
#include "tests/test_util.h"

namespace {

using kvr_test::TestMessage;
using SvrFrame::CModuleConfig;

std::vector<std::string> Names(const SvrFrame::CInnerProtocolStack& m) {
  std::vector<std::string> out;
  for (int i = 0; i < m.GetDestinationCount(); ++i) out.emplace_back(m.GetDestination(i).c_str());
  return out;
}

// The routes of one text twice: compiled, and as a parsed document for the
// walk below, the plain reading of the file's rules that the compiled
// tables must agree with.
struct Routes {
  explicit Routes(const std::string& text) : config(CModuleConfig::FromText(text.c_str())) {
    document.Parse(text.c_str());
  }
  std::shared_ptr<const CModuleConfig> config;
  TiXmlDocument document;
};

const char* Attr(const TiXmlElement* e, const char* name) {
  return e->Attribute(name) != nullptr ? e->Attribute(name) : "";
}

const TiXmlElement* FirstChildWith(const TiXmlElement* parent, const char* attribute,
                                   const std::string& value) {
  for (auto* e = parent->FirstChildElement(); e != nullptr; e = e->NextSiblingElement()) {
    if (Attr(e, attribute) == value) return e;
  }
  return nullptr;
}

// Walks the document level by level; fills the destinations as a look-up does.
bool WalkLookup(const TiXmlDocument& document, bool reply, TestMessage& m) {
  const TiXmlElement* level = document.Error() ? nullptr : document.RootElement();
  if (level != nullptr) level = FirstChildWith(level, "type", m.GetProtocolName());
  if (level != nullptr) level = FirstChildWith(level, "id", m.GetCommandName());
  if (level != nullptr && reply)
    level = FirstChildWith(level, "funcName", m.GetFunOrigin().c_str());
  if (level == nullptr) return false;
  bool added = false;
  for (auto* e = level->FirstChildElement(); e != nullptr; e = e->NextSiblingElement()) {
    const bool match = reply ? Attr(e, "condition") == std::string(m.GetResultText().c_str())
                             : SvrFrame::EntranceValue(Attr(e, "entrance")) == 1;
    if (!match) continue;
    if (!added) m.ClearDestinations();  // emptied just before the first addition
    added = true;
    m.AddDestination(Attr(e, "funcName"));
  }
  return added;
}

// Runs a look-up both ways on copies of the same message and insists that
// the compiled table answers exactly like the document walk.
struct Outcome {
  bool found;
  std::vector<std::string> destinations;
};

Outcome Lookup(const Routes& routes, bool reply, const std::string& protocol,
               const std::string& command, const std::string& funOrigin = "", int result = 0) {
  TestMessage walked(protocol, command, result);
  TestMessage compiled(protocol, command, result);
  for (TestMessage* m : {&walked, &compiled}) {
    m->SetFunOrigin(funOrigin.c_str());
    m->AddDestination("untouched");
  }
  const bool walkFound = WalkLookup(routes.document, reply, walked);
  const bool tableFound =
      reply ? routes.config->ReplyLookup(compiled) : routes.config->EntranceLookup(compiled);
  EXPECT_EQ(walkFound, tableFound)
      << protocol << "/" << command << "/" << funOrigin << "/" << result;
  EXPECT_EQ(Names(walked), Names(compiled));
  return {walkFound, Names(walked)};
}

using V = std::vector<std::string>;

TEST(ModuleConfigTest, EntranceReadsLikeAtoi) {
  // Out-of-range numbers clamp rather than wrap around to 1.
  // clang-format off
  const std::pair<const char*, int> cases[] = {
      {"1", 1}, {"01", 1}, {"  +1abc", 1}, {"yes", 0}, {"", 0}, {nullptr, 0}, {"-1", -1},
      {"1 1", 1}, {"4294967297", INT_MAX}, {"-99999999999999999999", INT_MIN}};
  // clang-format on
  for (auto [text, value] : cases) {
    EXPECT_EQ(SvrFrame::EntranceValue(text), value) << (text ? text : "null");
  }
}

const char kDocument[] = R"(<?xml version="1.0"?>
<config>
  <!-- a comment is not an element -->
  <protocol type="QW">
    <command id="RecRealMedia">
      <module entrance="1" funcName="qw.kvr.func">
        <next condition="0" funcName="TcpCommMdl"/>
        <next condition="5" funcName="alarm"/>
        <next condition="0" funcName="audit"/>
      </module>
      <module entrance="01" funcName="mirror"/>
      <module entrance="yes" funcName="never"/>
      <module funcName="qw.kvr.func">
        <next condition="5" funcName="shadowed"/>
      </module>
    </command>
    <command id="RecRealMedia"><module entrance="1" funcName="second-command"/></command>
    <command id="KeepAlive"><module entrance="0" funcName="qw.kvr.func"/></command>
    <command><module entrance="1" funcName="no-id"/></command>
  </protocol>
  <protocol type="QW"><command id="Register"><module entrance="1" funcName="x"/></command></protocol>
  <protocol type="qw"><command id="Register"><module entrance="1" funcName="lower"/></command></protocol>
</config>)";

TEST(ModuleConfigTest, LookupsInAHandWrittenDocument) {
  Routes config(kDocument);
  ASSERT_TRUE(config.config->Loaded()) << config.config->Error();
  const V none{"untouched"};  // not found: the list is left alone
  // clang-format off
  const struct {
    bool reply;
    const char* protocol;
    const char* command;
    const char* from;
    int result;
    V destinations;
  } rows[] = {
      // Every entrance 1 in document order, "01" included, "yes" not.
      {false, "QW", "RecRealMedia", "", 0, {"qw.kvr.func", "mirror"}},
      {false, "QW", "Register", "", 0, none},  // only the first level-1 element of a type
      {false, "qw", "Register", "", 0, {"lower"}},  // case matters
      {false, "QW", "recrealmedia", "", 0, none},
      {false, "QW", "KeepAlive", "", 0, none},  // no entrance-1 child
      {false, "QW", "", "", 0, {"no-id"}},  // a missing "id" reads as the empty text
      {false, "XX", "Register", "", 0, none},
      {false, "", "Register", "", 0, none},
      {true, "QW", "RecRealMedia", "qw.kvr.func", 0, {"TcpCommMdl", "audit"}},
      // The first level-3 element of the sender wins; the second is never searched.
      {true, "QW", "RecRealMedia", "qw.kvr.func", 5, {"alarm"}},
      {true, "QW", "RecRealMedia", "qw.kvr.func", 3, none},
      {true, "QW", "RecRealMedia", "mirror", 0, none},  // no level-4 children
      {true, "QW", "RecRealMedia", "unknown", 0, none},
      {true, "QW", "KeepAlive", "qw.kvr.func", 0, none},
  };
  // clang-format on
  for (const auto& r : rows) {
    const Outcome got = Lookup(config, r.reply, r.protocol, r.command, r.from, r.result);
    EXPECT_EQ(got.destinations, r.destinations) << r.protocol << "/" << r.command << "/" << r.from;
    EXPECT_EQ(got.found, r.destinations != none) << r.protocol << "/" << r.command;
  }
  // A message's destinations are its own: changing them leaves the route alone.
  TestMessage first("QW", "RecRealMedia"), second("QW", "RecRealMedia");
  ASSERT_TRUE(config.config->EntranceLookup(first));
  first.AddDestination("added");
  TestMessage(first).ClearDestinations();
  ASSERT_TRUE(config.config->EntranceLookup(second));
  EXPECT_EQ(Names(second), (V{"qw.kvr.func", "mirror"}));
}

// Random documents over a small alphabet, so that duplicates, missing
// attributes and odd entrance texts are common; every look-up must come out
// the same from the compiled table and from the walk.
TEST(ModuleConfigTest, CompiledTableAnswersLikeTheDocumentWalk) {
  std::mt19937 rng(12345);
  using Texts = std::vector<std::string>;
  const Texts protocols = {"QW", "qw", "", "X"}, commands = {"Register", "KeepAlive", "", "Data"},
              funcs = {"qw.kvr.func", "a", "b", ""}, conditions = {"0", "5", "", "00", "21"},
              entrances = {"1", "01", "0", "yes", " 1", "2", "+1", "1x"};
  auto attr = [&](const char* name, const Texts& values) {  // missing one time in five
    return rng() % 5 == 0 ? ""
                          : std::string(" ") + name + "=\"" + values[rng() % values.size()] + "\"";
  };
  // Up to three elements at each of the four levels, each with its attributes.
  const char* tags[] = {"p", "c", "m", "n"};
  std::function<std::string(int)> level = [&](int depth) {
    std::string text;
    for (int i = rng() % 4; i > 0; --i) {
      text += std::string("<") + tags[depth];
      if (depth == 0) text += attr("type", protocols);
      if (depth == 1) text += attr("id", commands);
      if (depth == 2) text += attr("entrance", entrances);
      if (depth == 3) text += attr("condition", conditions);
      if (depth >= 2) text += attr("funcName", funcs);
      text += depth == 3 ? "/>" : ">" + level(depth + 1) + "</" + tags[depth] + ">";
    }
    return text;
  };
  int found = 0;
  for (int doc = 0; doc < 300; ++doc) {
    const std::string text = "<root>" + level(0) + "</root>";
    Routes config(text);
    ASSERT_TRUE(config.config->Loaded()) << text;
    for (const auto& p : protocols) {
      for (const auto& c : commands) {
        found += Lookup(config, false, p, c).found;
        for (const auto& f : funcs) {
          for (int result : {0, 5, 21}) found += Lookup(config, true, p, c, f, result).found;
        }
      }
    }
    if (HasFailure()) {
      ADD_FAILURE() << "document: " << text;
      return;
    }
  }
  EXPECT_GT(found, 300) << "the documents should route often enough to compare";
}

#ifndef KVR_SOURCE_DIR
#error "the tests need KVR_SOURCE_DIR"
#endif

TEST(ModuleConfigTest, ShippedRoutingFile) {
  std::ifstream file(KVR_SOURCE_DIR "/config/Server_Config.xml");
  Routes config(std::string(std::istreambuf_iterator<char>(file), {}));
  ASSERT_TRUE(config.config->Loaded()) << config.config->Error();
  for (const char* command : {"Register", "KeepAlive", "StoreConfigGet", "StoreConfigSet",
                              "RecRealMedia", "RecRealMediaControl", "DeleteRecRealMedia",
                              "QueryRealMediaRecStatus", "RecordEvent", "MediaData"}) {
    EXPECT_EQ(Lookup(config, false, "QW", command).destinations, V{"qw.kvr.func"}) << command;
    for (int result = 0; result <= 22; ++result) {
      EXPECT_FALSE(Lookup(config, true, "QW", command, "qw.kvr.func", result).found) << command;
    }
  }
  EXPECT_FALSE(Lookup(config, false, "QW", "Invalid_CmdId").found);
}

TEST(ModuleConfigTest, FileLoadsFromTheCurrentFolderByDefault) {
  kvr_test::ScratchDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  std::ofstream("Server_Config.xml")
      << "<c><p type='QW'><m id='Register'><f entrance='1' funcName='here'/></m></p></c>";
  auto config = CModuleConfig::FromFile("");
  std::filesystem::current_path(previous);
  ASSERT_TRUE(config->Loaded()) << config->Error();
  TestMessage m("QW", "Register");
  EXPECT_TRUE(config->EntranceLookup(m));
  EXPECT_EQ(Names(m), V{"here"});

  std::ofstream(dir.File("malformed.xml")) << "<c><p type='QW'><m id='Register'>";
  for (const char* name : {"missing.xml", "malformed.xml"}) {
    auto failed = CModuleConfig::FromFile(dir.File(name).c_str());
    EXPECT_FALSE(failed->Loaded()) << name;
    EXPECT_NE(failed->Error().find(name), std::string::npos) << failed->Error();
    EXPECT_FALSE(failed->EntranceLookup(m)) << "a file that did not load routes nothing";
  }
  EXPECT_FALSE(CModuleConfig::FromText("<c><p type='QW'>")->Loaded());
}

}  // namespace
