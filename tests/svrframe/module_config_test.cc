#include "svrframe/module_config.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
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

// Runs a look-up both ways on copies of the same message and insists that
// the compiled table answers exactly like the document walk.
struct Outcome {
  bool found;
  std::vector<std::string> destinations;
};

Outcome Lookup(const CModuleConfig& config, bool reply, const std::string& protocol,
               const std::string& command, const std::string& funOrigin = "", int result = 0,
               std::vector<std::string> before = {"untouched"}) {
  TestMessage walked(protocol, command, result);
  TestMessage compiled(protocol, command, result);
  for (TestMessage* m : {&walked, &compiled}) {
    m->SetFunOrigin(funOrigin.c_str());
    for (const auto& d : before) m->AddDestination(d.c_str());
  }
  bool walkFound = reply ? config.WalkReplyLookup(walked) : config.WalkEntranceLookup(walked);
  bool tableFound = reply ? config.ReplyLookup(compiled) : config.EntranceLookup(compiled);
  EXPECT_EQ(walkFound, tableFound)
      << protocol << "/" << command << "/" << funOrigin << "/" << result;
  EXPECT_EQ(Names(walked), Names(compiled));
  return {walkFound, Names(walked)};
}

Outcome Entrance(const CModuleConfig& c, const std::string& p, const std::string& cmd) {
  return Lookup(c, false, p, cmd);
}
Outcome Reply(const CModuleConfig& c, const std::string& p, const std::string& cmd,
              const std::string& from, int result) {
  return Lookup(c, true, p, cmd, from, result);
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

TEST(ModuleConfigTest, EntranceLookup) {
  auto config = CModuleConfig::FromText(kDocument);
  ASSERT_TRUE(config->Loaded()) << config->Error();

  EXPECT_EQ(Entrance(*config, "QW", "RecRealMedia").destinations, (V{"qw.kvr.func", "mirror"}))
      << "every entrance 1 in document order, \"01\" included, \"yes\" not";
  // Only the first level-1 element of a type is ever searched.
  Outcome second = Entrance(*config, "QW", "Register");
  EXPECT_FALSE(second.found);
  EXPECT_EQ(second.destinations, V{"untouched"});
  // Case matters.
  EXPECT_EQ(Entrance(*config, "qw", "Register").destinations, V{"lower"});
  EXPECT_FALSE(Entrance(*config, "QW", "recrealmedia").found);
  // A command without an entrance-1 child leaves the list alone.
  Outcome keepAlive = Entrance(*config, "QW", "KeepAlive");
  EXPECT_FALSE(keepAlive.found);
  EXPECT_EQ(keepAlive.destinations, V{"untouched"});
  // A missing "id" reads as the empty text.
  EXPECT_EQ(Entrance(*config, "QW", "").destinations, V{"no-id"});
  EXPECT_FALSE(Entrance(*config, "XX", "Register").found);
  EXPECT_FALSE(Entrance(*config, "", "Register").found);
}

TEST(ModuleConfigTest, ChangingAMessagesDestinationsLeavesTheRouteAlone) {
  auto config = CModuleConfig::FromText(kDocument);
  TestMessage first("QW", "RecRealMedia", 0);
  ASSERT_TRUE(config->EntranceLookup(first));
  first.AddDestination("added");
  TestMessage copy(first);
  copy.ClearDestinations();
  EXPECT_EQ(Names(first), (V{"qw.kvr.func", "mirror", "added"}));
  TestMessage second("QW", "RecRealMedia", 0);
  ASSERT_TRUE(config->EntranceLookup(second));
  EXPECT_EQ(Names(second), (V{"qw.kvr.func", "mirror"}));
}

TEST(ModuleConfigTest, ReplyLookup) {
  auto config = CModuleConfig::FromText(kDocument);
  ASSERT_TRUE(config->Loaded());
  EXPECT_EQ(Reply(*config, "QW", "RecRealMedia", "qw.kvr.func", 0).destinations,
            (V{"TcpCommMdl", "audit"}));
  // The first level-3 element of the sender wins; the second is never searched.
  EXPECT_EQ(Reply(*config, "QW", "RecRealMedia", "qw.kvr.func", 5).destinations, V{"alarm"});
  Outcome noCondition = Reply(*config, "QW", "RecRealMedia", "qw.kvr.func", 3);
  EXPECT_FALSE(noCondition.found);
  EXPECT_EQ(noCondition.destinations, V{"untouched"});
  EXPECT_FALSE(Reply(*config, "QW", "RecRealMedia", "mirror", 0).found) << "no level-4 children";
  EXPECT_FALSE(Reply(*config, "QW", "RecRealMedia", "unknown", 0).found);
  EXPECT_FALSE(Reply(*config, "QW", "KeepAlive", "qw.kvr.func", 0).found);
}

TEST(ModuleConfigTest, DocumentsWithoutRoutes) {
  for (const char* text : {"", "<config/>", "<config><p type='QW'/></config>", "<broken",
                           "<?xml version='1.0'?><!-- only a comment -->"}) {
    auto config = CModuleConfig::FromText(text);
    EXPECT_FALSE(Entrance(*config, "QW", "RecRealMedia").found) << text;
    EXPECT_FALSE(Reply(*config, "QW", "RecRealMedia", "", 0).found) << text;
  }
  auto broken = CModuleConfig::FromText("<broken");
  EXPECT_FALSE(broken->Loaded());
  EXPECT_FALSE(broken->Error().empty());
}

// Random documents over a small alphabet, so that duplicates, missing
// attributes and odd entrance texts are common; every look-up must come out
// the same from the compiled table and from the walk.
TEST(ModuleConfigTest, CompiledTableAnswersLikeTheDocumentWalk) {
  std::mt19937 rng(12345);
  const std::vector<std::string> protocols = {"QW", "qw", "", "X"};
  const std::vector<std::string> commands = {"Register", "KeepAlive", "", "MediaData"};
  const std::vector<std::string> funcs = {"qw.kvr.func", "a", "b", ""};
  const std::vector<std::string> entrances = {"1", "01", "0", "yes", " 1", "2", "+1", "1x"};
  const std::vector<std::string> conditions = {"0", "5", "", "00", "21"};
  auto pick = [&](const std::vector<std::string>& v) { return v[rng() % v.size()]; };
  auto attr = [&](const char* name, const std::vector<std::string>& values) {
    if (rng() % 5 == 0) return std::string();  // attribute missing
    return std::string(" ") + name + "=\"" + pick(values) + "\"";
  };
  int found = 0;
  for (int doc = 0; doc < 300; ++doc) {
    std::string text = "<root>";
    for (int i = rng() % 4; i > 0; --i) {
      text += "<p" + attr("type", protocols) + ">";
      for (int j = rng() % 4; j > 0; --j) {
        text += "<c" + attr("id", commands) + ">";
        for (int k = rng() % 4; k > 0; --k) {
          text += "<m" + attr("entrance", entrances) + attr("funcName", funcs) + ">";
          for (int l = rng() % 4; l > 0; --l) {
            text += "<n" + attr("condition", conditions) + attr("funcName", funcs) + "/>";
          }
          text += "</m>";
        }
        text += "</c>";
      }
      text += "</p>";
    }
    text += "</root>";
    auto config = CModuleConfig::FromText(text.c_str());
    ASSERT_TRUE(config->Loaded()) << text;
    for (const auto& p : protocols) {
      for (const auto& c : commands) {
        found += Entrance(*config, p, c).found;
        for (const auto& f : funcs) {
          for (int result : {0, 5, 21}) found += Reply(*config, p, c, f, result).found;
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
  auto config = CModuleConfig::FromFile(KVR_SOURCE_DIR "/config/Server_Config.xml");
  ASSERT_TRUE(config->Loaded()) << config->Error();
  for (const char* command : {"Register", "KeepAlive", "StoreConfigGet", "StoreConfigSet",
                              "RecRealMedia", "RecRealMediaControl", "DeleteRecRealMedia",
                              "QueryRealMediaRecStatus", "RecordEvent", "MediaData"}) {
    EXPECT_EQ(Entrance(*config, "QW", command).destinations, V{"qw.kvr.func"}) << command;
    for (int result = 0; result <= 22; ++result) {
      EXPECT_FALSE(Reply(*config, "QW", command, "qw.kvr.func", result).found) << command;
    }
  }
  EXPECT_FALSE(Entrance(*config, "QW", "Invalid_CmdId").found);
}

TEST(ModuleConfigTest, ProcessWideDocumentLoadsFromTheCurrentFolderByDefault) {
  kvr_test::ScratchDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  std::ofstream("Server_Config.xml")
      << "<c><p type='QW'><m id='Register'><f entrance='1' funcName='here'/></m></p></c>";
  TestMessage m("QW", "Register");
  EXPECT_FALSE(SvrFrame::EntranceLookup(m)) << "nothing loaded yet";
  EXPECT_TRUE(CModuleConfig::Load(""));
  std::filesystem::current_path(previous);
  EXPECT_TRUE(SvrFrame::EntranceLookup(m));
  EXPECT_EQ(Names(m), V{"here"});
  EXPECT_FALSE(SvrFrame::ReplyLookup(m));

  // A holder keeps its configuration after the process-wide one is replaced.
  auto held = CModuleConfig::Current();
  EXPECT_FALSE(CModuleConfig::Load(dir.File("missing.xml").c_str()));
  ASSERT_NE(CModuleConfig::Current(), nullptr);
  EXPECT_FALSE(CModuleConfig::Current()->Loaded());
  EXPECT_FALSE(SvrFrame::EntranceLookup(m)) << "a failed load routes nothing";
  EXPECT_TRUE(held->EntranceLookup(m));

  std::ofstream(dir.File("malformed.xml")) << "<c><p type='QW'>";
  EXPECT_FALSE(CModuleConfig::Load(dir.File("malformed.xml").c_str()));
  CModuleConfig::Release();
  EXPECT_EQ(CModuleConfig::Current(), nullptr);
  EXPECT_FALSE(SvrFrame::EntranceLookup(m));
}

}  // namespace
