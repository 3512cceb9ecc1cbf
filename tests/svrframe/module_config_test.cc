#include "svrframe/module_config.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
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

struct Outcome {
  bool found;
  std::vector<std::string> destinations;
};

// A look-up on a message whose destinations held "untouched" before.
Outcome Lookup(const CModuleConfig& config, bool reply, const std::string& protocol,
               const std::string& command, const std::string& funOrigin = "", int result = 0) {
  TestMessage m(protocol, command, result);
  m.SetFunOrigin(funOrigin.c_str());
  m.AddDestination("untouched");
  const bool found = reply ? config.ReplyLookup(m) : config.EntranceLookup(m);
  return {found, Names(m)};
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
  const auto config = CModuleConfig::FromText(kDocument);
  ASSERT_TRUE(config->Loaded()) << config->Error();
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
    const Outcome got = Lookup(*config, r.reply, r.protocol, r.command, r.from, r.result);
    EXPECT_EQ(got.destinations, r.destinations) << r.protocol << "/" << r.command << "/" << r.from;
    EXPECT_EQ(got.found, r.destinations != none) << r.protocol << "/" << r.command;
  }
  // A message's destinations are its own: changing them leaves the route alone.
  TestMessage first("QW", "RecRealMedia"), second("QW", "RecRealMedia");
  ASSERT_TRUE(config->EntranceLookup(first));
  first.AddDestination("added");
  TestMessage(first).ClearDestinations();
  ASSERT_TRUE(config->EntranceLookup(second));
  EXPECT_EQ(Names(second), (V{"qw.kvr.func", "mirror"}));
}

#ifndef KVR_SOURCE_DIR
#error "the tests need KVR_SOURCE_DIR"
#endif

TEST(ModuleConfigTest, ShippedRoutingFile) {
  std::ifstream file(KVR_SOURCE_DIR "/config/Server_Config.xml");
  const std::string text(std::istreambuf_iterator<char>(file), {});
  const auto routes = CModuleConfig::FromText(text.c_str());
  ASSERT_TRUE(routes->Loaded()) << routes->Error();
  const CModuleConfig& config = *routes;
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
