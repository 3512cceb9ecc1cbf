// The library as a host sees it: loaded with dlopen, driven only through its
// seventeen exports and its TCP port (plain sockets on 127.0.0.1).
//
// The service manager is a process-wide singleton, so the tests share one
// service. ctest runs each test in a process of its own; run by hand, the
// tests run in file order and the life cycle test comes first.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "include/KVRServer.h"
#include "tests/proof/sanitizer_options.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using kvr_test::WaitFor;

// Each export: its name here, its type (from the public header, so that a
// declaration and its definition cannot drift apart unnoticed) and the
// mangled name it is exported under.
#define KVR_EXPORTS(X)                                                                             \
  X(StartService, decltype(&KVR_StartService), "_Z16KVR_StartServicet")                            \
  X(StopService, decltype(&KVR_StopService), "_Z15KVR_StopServicev")                               \
  X(Clean, decltype(&KVR_Clean), "_Z9KVR_Cleanv")                                                  \
  X(SetKVRConfig, decltype(&KVR_SetKVRConfig), "_Z16KVR_SetKVRConfigR17STORE_CONFIG_INFO")         \
  X(GetKVRConfig, decltype(&KVR_GetKVRConfig), "_Z16KVR_GetKVRConfigR17STORE_CONFIG_INFO")         \
  X(StartRec5, int(KVR_CALL*)(char*, char*, char*, int, int), "_Z21KVR_StartRecRealMediaPcS_S_ii") \
  X(StartRec4, int(KVR_CALL*)(char*, char*, int, int), "_Z21KVR_StartRecRealMediaPcS_ii")          \
  X(StartRec8, int(KVR_CALL*)(char*, int, int, char*, int, char*, int, int),                       \
    "_Z21KVR_StartRecRealMediaPciiS_iS_ii")                                                        \
  X(StopRec, decltype(&KVR_StopRecRealMedia), "_Z20KVR_StopRecRealMediaPc")                        \
  X(ControlRec, decltype(&KVR_ControlRecRealMedia), "_Z23KVR_ControlRecRealMediaPci")              \
  X(DelRec, decltype(&KVR_DelRecMediaFile), "_Z19KVR_DelRecMediaFilePc")                           \
  X(Query, decltype(&KVR_QueryRecRealMediaStatus), "_Z27KVR_QueryRecRealMediaStatusPcRmRj")        \
  X(Push, decltype(&KVR_SetDvConMediaData), "_Z21KVR_SetDvConMediaDataPcim")                       \
  X(SetEventCallBack, decltype(&KVR_SetRecordEventCallBack),                                       \
    "_Z26KVR_SetRecordEventCallBackPFvPKcijEj")                                                    \
  X(SetDvConCallBack, decltype(&KVR_SetDvConMsgCallBack),                                          \
    "_Z23KVR_SetDvConMsgCallBackPFviPcS_jEj")                                                      \
  X(AddUser, decltype(&KVR_AddUser), "_Z11KVR_AddUserPcS_")                                        \
  X(DelUser, decltype(&KVR_DelUser), "_Z11KVR_DelUserPcS_")

struct Exports {
#define KVR_MEMBER(name, type, symbol) std::type_identity_t<type> name = nullptr;
  KVR_EXPORTS(KVR_MEMBER)
};
const std::vector<std::pair<const char*, size_t>> kSymbols = {
#define KVR_ENTRY(name, type, symbol) {symbol, offsetof(Exports, name)},
    KVR_EXPORTS(KVR_ENTRY)};

Exports* g_kvr = nullptr;
void* g_library = nullptr;
kvr_test::ScratchDir* g_cwd = nullptr;  // the service's working directory
unsigned g_port = 0;                    // where the service listens once started

// What the host's callbacks were given.
struct HostCalls {
  std::mutex mu;
  std::vector<std::string> events;
  unsigned handle = 0;
} g_host;

void KVR_CALL OnEvent(const char* url, int code, unsigned int user) {
  std::lock_guard<std::mutex> lock(g_host.mu);
  g_host.events.push_back(std::string(url) + " " + std::to_string(code) + " " +
                          std::to_string(user));
}
void KVR_CALL OnDvCon(int, char*, char*, unsigned int handle) {
  std::lock_guard<std::mutex> lock(g_host.mu);
  g_host.handle = handle;
}

class HostEnvironment : public ::testing::Environment {
  void SetUp() override {
    void* library = g_library = dlopen(KVR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    g_kvr = new Exports();
    for (const auto& [name, offset] : kSymbols) {
      void* symbol = dlsym(library, name);
      ASSERT_NE(symbol, nullptr) << name;
      std::memcpy(reinterpret_cast<char*>(g_kvr) + offset, &symbol, sizeof(symbol));
    }
    g_cwd = new kvr_test::ScratchDir();
    fs::current_path(g_cwd->path());
  }
  // The library stays loaded: its threads run until the process ends.
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new HostEnvironment);

bool RoutingInstalled() { return fs::exists(KVR_ROUTING_DIR "/Server_Config.xml"); }
// The shipped routing file, with `access` (an <Access> element) first under its root.
void PutRoutingFile(const std::string& access = "") {
  std::string text = kvr_test::FileText(KVR_SOURCE_DIR "/config/Server_Config.xml");
  const size_t root = text.find("<ServerConfig>");
  text.insert(root + 14, access);
  std::ofstream("Server_Config.xml", std::ios::trunc) << text;
}

using kvr_test::Body;
using kvr_test::LoopbackSocket;
using kvr_test::WireMessage;
unsigned FreePort() { return kvr_test::FreeLoopbackPort(); }

void EnsureStarted() {
  PutRoutingFile();
  const unsigned port = g_port != 0 ? g_port : FreePort();
  const int result = g_kvr->StartService(static_cast<unsigned short>(port));
  ASSERT_TRUE(result == 0 || result == -2) << result;
  if (result == 0) g_port = port;
}

constexpr char kSuccess[] = "\"0\">Sucess";
constexpr char kCodeFail[] = "\"5\">Code Fail";

// Sends one request on a new connection and reads one whole reply ("" when
// the connection failed or closed first).
std::string Exchange(const std::string& request) {
  LoopbackSocket socket(g_port);
  return socket.SendAll(request) ? socket.ReadMessage() : "";
}

// The reply without its session and length, which the KeepAlive test pins
// byte for byte: the other exchanges then show their own faults only.
std::string Sessionless(std::string reply) {
  for (const char* line : {"Session: ", "Content-Length: "}) {
    const size_t at = reply.find(line);
    if (at != std::string::npos) reply.erase(at, reply.find("\r\n", at) + 2 - at);
  }
  const size_t open = reply.find("<session>");
  if (open != std::string::npos) reply.erase(open + 9, reply.find("</session>") - open - 9);
  return reply;
}

std::string KeepAlive(int sequence) { return Exchange(kvr_test::KeepAliveRequest(sequence)); }

STORE_CONFIG_INFO Config(uint32_t maxRecords, uint64_t reserved, const std::string& volumePath) {
  STORE_CONFIG_INFO config;
  config.maxRecordNumber = maxRecords;
  config.recoverMethod = 1;
  config.reservedSpace = config.reservedvolumeSpace = reserved;
  config.volumes.resize(1);
  kvr_test::Copy(config.volumes[0].volumeName, "V");
  kvr_test::Copy(config.volumes[0].volumePath, volumePath);
  config.volumes[0].volumeType = 1;
  return config;
}

TEST(LibraryTest, DynamicSymbolTableHoldsExactlyTheExports) {
  FILE* nm = ::popen("nm -D --defined-only " KVR_LIBRARY, "r");
  ASSERT_NE(nm, nullptr);
  std::set<std::string> defined;
  char line[512];
  while (std::fgets(line, sizeof(line), nm) != nullptr) {
    std::istringstream fields(line);
    std::string address, kind, name;
    if (fields >> address >> kind >> name) defined.insert(name);
  }
  ASSERT_EQ(::pclose(nm), 0);
  std::set<std::string> expected;
  for (const auto& symbol : kSymbols) expected.insert(symbol.first);
  EXPECT_EQ(defined, expected);
}

TEST(ExportsTest, LifeCycle) {
  unsigned long records = 1;
  unsigned int count = 1;
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(g_kvr->StopService(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(900))
      << "a stop before any start has nothing to wait for";
  EXPECT_EQ(g_kvr->Query((char*)"*", records, count), 0);
  EXPECT_EQ(records + count, 0u);
  EXPECT_EQ(g_kvr->StartRec4((char*)"DvCon", (char*)"a.ts", 0, 0), -1);
  char ip[] = "127.0.0.1";
  EXPECT_EQ(g_kvr->StartRec8(ip, 1, 1, ip, 1, (char*)"a.ts", 0, 0), -1);

  const unsigned port = FreePort();
  if (RoutingInstalled()) {
    std::printf("an installed routing file stands in for the missing one: -5 not checked\n");
  } else {
    fs::remove("Server_Config.xml");
    EXPECT_EQ(g_kvr->StartService(static_cast<unsigned short>(port)), -5);
  }
  auto blocker = std::make_unique<LoopbackSocket>(LoopbackSocket::Listen(port));
  ASSERT_TRUE(blocker->connected());
  PutRoutingFile();
  EXPECT_EQ(g_kvr->StartService(static_cast<unsigned short>(port)), -1) << "port in use";
  EXPECT_EQ(g_kvr->StartRec4((char*)"DvCon", (char*)"a.ts", 0, 0), -1) << "still stopped";
  blocker.reset();
  ASSERT_EQ(g_kvr->StartService(static_cast<unsigned short>(port)), 0);
  g_port = port;
  EXPECT_EQ(g_kvr->StartService(static_cast<unsigned short>(FreePort())), -2);
  EXPECT_NE(KeepAlive(1), "") << "the second start left the first port in use";

  ASSERT_EQ(g_kvr->StopService(), 0);
  EXPECT_FALSE(LoopbackSocket(port).connected()) << "the port closes with the service";
  // The worker that polls the port is made again by the start after a clean.
  g_kvr->Clean();
  ASSERT_EQ(g_kvr->StartService(static_cast<unsigned short>(port)), 0);
  EXPECT_NE(KeepAlive(2), "");
}

TEST(ExportsTest, ConfigurationKeepsWholeMegabytes) {
  kvr_test::ScratchDir dir;
  const std::string volume = dir.File("v");
  const struct {
    uint64_t bytes, reported;
  } cases[] = {{1048575, 0}, {1048576, 1048576}, {1500000, 1048576}};
  for (const auto& c : cases) {
    STORE_CONFIG_INFO set = Config(3, c.bytes, volume);
    ASSERT_EQ(g_kvr->SetKVRConfig(set), 0);
    STORE_CONFIG_INFO got;
    got.volumes.resize(5);  // replaced, not appended to
    ASSERT_EQ(g_kvr->GetKVRConfig(got), 0);
    EXPECT_EQ(got.reservedSpace, c.reported) << c.bytes;
    EXPECT_EQ(got.reservedvolumeSpace, c.reported) << c.bytes;
    ASSERT_EQ(got.volumes.size(), 1u);
    EXPECT_EQ(got.volumeCount, 1);
    EXPECT_GT(got.volumes[0].totalBytes, 0u);
  }
  fs::remove_all(volume);
  STORE_CONFIG_INFO got;
  g_kvr->GetKVRConfig(got);
  EXPECT_EQ(got.volumes[0].totalBytes + got.volumes[0].freeBytes, 0u) << "root gone";

  STORE_CONFIG_INFO unterminated = Config(7, 0, volume);
  std::memset(unterminated.volumes[0].volumePath, 'p', sizeof(unterminated.volumes[0].volumePath));
  EXPECT_EQ(g_kvr->SetKVRConfig(unterminated), -1);
  g_kvr->GetKVRConfig(got);
  EXPECT_EQ(got.maxRecordNumber, 3u) << "a refused set changes nothing";
}

// The service started (if it is not running) recording into `volume` with
// room for `maxRecords` records, the host's callbacks set.
void ServeInto(const std::string& volume, uint32_t maxRecords,
               void(KVR_CALL* onEvent)(const char*, int, unsigned int) = &OnEvent,
               unsigned user = 0) {
  EnsureStarted();
  STORE_CONFIG_INFO config = Config(maxRecords, 0, volume);
  EXPECT_EQ(g_kvr->SetKVRConfig(config), 0);
  EXPECT_EQ(g_kvr->SetDvConCallBack(&OnDvCon, 0), 0);
  EXPECT_EQ(g_kvr->SetEventCallBack(onEvent, user), 0);
}

// Status of every record: "url state megabytes" per record.
std::vector<std::string> Records() {
  unsigned long records = 0;
  unsigned int count = 0;
  EXPECT_EQ(g_kvr->Query((char*)"*", records, count), 0);
  std::vector<std::string> out;
  const auto* entries = reinterpret_cast<const RECORD_STATUS_INFO*>(records);
  for (unsigned i = 0; i < count; ++i) {
    out.push_back(std::string(entries[i].recordFileUrl) + " " + std::to_string(entries[i].status) +
                  " " + std::to_string(entries[i].recordSize));
  }
  return out;
}

unsigned StartPushed(const char* url, int limitSize = 0) {
  {
    std::lock_guard<std::mutex> lock(g_host.mu);
    g_host.handle = 0;
  }
  EXPECT_EQ(g_kvr->StartRec4((char*)"DvCon://cam", (char*)url, limitSize, 0), 0) << url;
  std::lock_guard<std::mutex> lock(g_host.mu);
  return g_host.handle;  // called before the start returned
}

TEST(ExportsTest, PushedRecordsThroughTheExports) {
  kvr_test::ScratchDir dir;
  ServeInto(dir.path(), 4, &OnEvent, 77);
  EXPECT_EQ(g_kvr->SetEventCallBack(nullptr, 99), -1);
  EXPECT_EQ(g_kvr->SetDvConCallBack(nullptr, 0), -1);

  const unsigned handle = StartPushed("a.ts");
  ASSERT_NE(handle, 0u);
  char bytes[] = "0123456789";
  EXPECT_EQ(g_kvr->Push(bytes, 0, handle), -1);
  EXPECT_EQ(g_kvr->Push(nullptr, 10, handle), -1);
  EXPECT_EQ(g_kvr->Push(bytes, 10, 0), 0);
  // The writer takes up the start on a delivery thread.
  EXPECT_TRUE(WaitFor([] { return Records() == std::vector<std::string>{"a.ts 4 0"}; }));
  // Chunks of one record arrive in order: once the later 2 MiB are counted,
  // the earlier megabyte would have been too, had the wide handle named it.
  std::vector<char> mib(3 << 20, 'x');
  EXPECT_EQ(g_kvr->Push(mib.data(), 1 << 20, (1ul << 32) | handle), 0);
  EXPECT_EQ(g_kvr->Push(mib.data(), 2 << 20, handle), 0);
  EXPECT_TRUE(WaitFor([] { return Records() == std::vector<std::string>{"a.ts 4 2"}; }))
      << Records()[0];

  EXPECT_EQ(g_kvr->ControlRec((char*)"a.ts", 3), -1);
  EXPECT_EQ(Records(), std::vector<std::string>{"a.ts 4 2"}) << "control 3 left it alone";
  EXPECT_EQ(g_kvr->ControlRec((char*)"a.ts", 1), 0);
  // The writer takes up the pause on a delivery thread too.
  EXPECT_TRUE(WaitFor([] { return Records() == std::vector<std::string>{"a.ts 1 2"}; }));
  unsigned long kept = 5;
  unsigned int keptCount = 6;
  EXPECT_EQ(g_kvr->Query((char*)"x", kept, keptCount), 0);
  EXPECT_EQ(kept * 10 + keptCount, 56u) << "a one-character name answers nothing";
  EXPECT_EQ(g_kvr->ControlRec((char*)"a.ts", 2), 0);
  EXPECT_EQ(g_kvr->StopRec((char*)"a.ts"), 0);
  // The task leaves once its writer has taken the stop.
  EXPECT_TRUE(WaitFor([] { return Records().empty(); }));
  EXPECT_EQ(g_kvr->DelRec((char*)"a.ts"), 0);
  EXPECT_FALSE(fs::exists(dir.File("a.ts")));

  // Names that do not fit are refused, not cut into another record's name.
  const std::string longName(256, 'n');
  EXPECT_EQ(g_kvr->StartRec4((char*)"DvCon", (char*)longName.c_str(), 0, 0), -1);
  EXPECT_EQ(g_kvr->DelRec((char*)longName.c_str()), -2);
  char longIp[] = "127.000.000.0001";
  EXPECT_EQ(g_kvr->StartRec8(longIp, 1, 1, longIp, 1, (char*)"b.ts", 0, 0), -1);
  EXPECT_EQ(
      g_kvr->StartRec5((char*)"DvCon", (char*)"b.ts", (char*)std::string(32, 'V').c_str(), 0, 0),
      -1);
  EXPECT_TRUE(Records().empty());

  // The earlier callbacks and their values survive the refused null ones.
  const unsigned limited = StartPushed("limited.ts", 1);
  g_kvr->Push(mib.data(), 1 << 20, limited);
  EXPECT_TRUE(WaitFor([] {
    std::lock_guard<std::mutex> lock(g_host.mu);
    return std::count(g_host.events.begin(), g_host.events.end(), "limited.ts 3 77") == 1;
  }));

  // A stop of the service stops every record: none is left after a restart.
  StartPushed("b.ts");
  StartPushed("c.ts");
  ASSERT_EQ(Records().size(), 3u);
  ASSERT_EQ(g_kvr->StopService(), 0);
  ASSERT_EQ(g_kvr->StartService(static_cast<unsigned short>(g_port)), 0);
  EXPECT_TRUE(Records().empty());
}

TEST(ExportsTest, KeepAliveAndRegisterOverTheWire) {
  EnsureStarted();
  const std::string keepAlive = KeepAlive(7);
  EXPECT_EQ(keepAlive, WireMessage("KeepAlive", 7, kSuccess, "    <body />\n"));
  EXPECT_NE(keepAlive.find("Content-Length: 262\r\n"), std::string::npos);

  const auto registered = [](const char* password) {
    return Sessionless(
        Exchange(WireMessage("Register", 3, "",
                             Body("        <cuName>op</cuName>\n        <cuPassword>" +
                                  std::string(password) + "</cuPassword>\n"))));
  };
  const std::string fields = Body(
      "        <expires>0</expires>\n        <enableLongConnection>1</enableLongConnection>\n");
  const std::string welcome = Sessionless(WireMessage("Register", 3, kSuccess, fields));
  const std::string refused = Sessionless(WireMessage("Register", 3, kCodeFail, fields));

  char name[] = "op", first[] = "p1", second[] = "p2";
  EXPECT_EQ(registered("p1"), refused) << "no such user yet";
  EXPECT_EQ(g_kvr->AddUser(name, first), 0);
  EXPECT_EQ(g_kvr->AddUser(name, second), 0);
  EXPECT_EQ(registered("p1"), welcome);
  EXPECT_EQ(registered("p2"), refused) << "adding a known name keeps its password";
  EXPECT_EQ(g_kvr->DelUser(name, second), 0);
  EXPECT_EQ(registered("p1"), welcome) << "a wrong password deletes nothing";
  EXPECT_EQ(g_kvr->DelUser(name, first), 0);
  EXPECT_EQ(registered("p1"), refused);
}

// Every file and folder below `root`, as paths relative to it.
std::set<std::string> Tree(const fs::path& root) {
  std::set<std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    out.insert(fs::relative(entry.path(), root).string());
  }
  return out;
}

std::string XmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c == '&'   ? "&amp;"
           : c == '<' ? "&lt;"
           : c == '>' ? "&gt;"
           : c == '"' ? "&quot;"
                      : std::string(1, c);
  }
  return out;
}

// A reply's result code ("" without one).
std::string ResultCode(const std::string& reply) {
  const size_t at = reply.find("<result code=\"");
  return at == std::string::npos ? "" : reply.substr(at + 14, reply.find('"', at + 14) - at - 14);
}

std::string StartRequest(const std::string& writeFileUrlXml) {
  return WireMessage("RecRealMedia", 9, "",
                     Body("        <writeFileUrl>" + writeFileUrlXml +
                          "</writeFileUrl>\n        <readFileUrl>DvCon://cam</readFileUrl>\n"));
}

// The result code of a record start sent by a client ("" without a reply).
std::string StartOverTheWire(const std::string& writeFileUrlXml) {
  return ResultCode(Exchange(StartRequest(writeFileUrlXml)));
}

TEST(ExportsTest, RecordUrlsThatWouldLeaveTheVolumeAreRefused) {
  EnsureStarted();
  STORE_CONFIG_INFO earlier;
  g_kvr->GetKVRConfig(earlier);
  for (STORE_VOLUME_INFO& v : earlier.volumes) v.volumeType = -1;
  ASSERT_EQ(g_kvr->SetKVRConfig(earlier), 0);
  // The volume lies inside a sandbox that also holds a file no record may touch.
  kvr_test::ScratchDir sandbox;
  const std::string volume = sandbox.File("vol");
  STORE_CONFIG_INFO config = Config(64, 0, volume);
  ASSERT_EQ(g_kvr->SetKVRConfig(config), 0);
  std::ofstream(sandbox.File("outside.dav")) << "keep";
  const std::set<std::string> untouched = Tree(sandbox.path());

  // A record file's path (the volume, '/', the URL) has 255 characters at
  // most: the proactor opens no longer name, although the path field holds 259.
  const size_t fits = 255 - volume.size() - 1;
  const std::string longest(fits, 'f');
  // Each URL as the host passes it and as a client writes it in XML (empty:
  // escaped), the export's status, the reply's result code, and where the
  // record file lands in the volume ("" when refused). An accepted row comes
  // last: once its file is there, any file of an earlier row would be too.
  const struct {
    std::string url, xml;
    int status;
    const char* code;
    std::string lands;
  } rows[] = {
      {"../escape.dav", "", -6, "5", ""},
      {"a/../../escape.dav", "", -6, "5", ""},
      {"..\\escape.dav", "", -6, "5", ""},
      {"a/..\\..\\escape.dav", "", -6, "5", ""},
      {"../escape.dav", "&#46;&#46;/escape.dav", -6, "5", ""},
      {sandbox.File("absolute.dav"), "", -6, "5", ""},
      {"\\absolute.dav", "", -6, "5", ""},
      {"../" + std::string(252, 'x'), "", -6, "5", ""},  // the field's 255 characters
      {std::string(300, 'x'), "", -1, "5", ""},          // past the field: cut by the loader
      {longest + "f", "", -6, "5", ""},                  // the path one past its 255
      {"a:b.dav", "", -6, "5", ""},
      {"a*b.dav", "", -6, "5", ""},
      {"a?b.dav", "", -6, "5", ""},
      {"a\"b.dav", "", -6, "5", ""},
      {"a<b.dav", "", -6, "5", ""},
      {"a>b.dav", "", -6, "5", ""},
      {"a|b.dav", "", -6, "5", ""},
      {"ctl\x01.dav", "", -6, "5", ""},
      {"esc\x1b[2J.dav", "", -6, "5", ""},
      {std::string("nul.dav\0/../../escape.dav", 25), "nul.dav&#0;/../../escape.dav", 0, "0",
       "nul.dav"},
      {"%2e%2e%2fescape.dav", "", 0, "0", "%2e%2e%2fescape.dav"},
      {"..x..dav", "", 0, "0", "..x..dav"},  // dots that are no parent component
      {"", "", 0, "0", "QWRecRealMediaDeal.dav"},
      {longest, "", 0, "0", longest},
  };
  for (const bool wire : {false, true}) {
    std::set<std::string> expected = untouched;
    for (const auto& row : rows) {
      if (wire) {
        EXPECT_EQ(StartOverTheWire(row.xml.empty() ? XmlEscaped(row.url) : row.xml), row.code)
            << row.url;
      } else {
        EXPECT_EQ(g_kvr->StartRec4((char*)"DvCon://cam", (char*)row.url.c_str(), 0, 0), row.status)
            << row.url;
      }
      if (!row.lands.empty()) expected.insert("vol/" + row.lands);
    }
    EXPECT_EQ(g_kvr->DelRec((char*)"../outside.dav"), -5);
    WaitFor([&] { return Tree(sandbox.path()) == expected; });
    EXPECT_EQ(Tree(sandbox.path()), expected) << "wire " << wire;
    EXPECT_EQ(Records().size(), 5u);
    for (const std::string& record : Records()) {
      g_kvr->StopRec((char*)record.substr(0, record.find(' ')).c_str());
    }
    for (const auto& entry : fs::directory_iterator(volume)) fs::remove_all(entry.path());
  }
  EXPECT_EQ(Tree(sandbox.path()), untouched);
}

// A volume holding links to a folder outside it, by a relative and by an
// absolute path. Kills: a delete that follows a link out of the volume, a
// record file (or its folders) made through one, files or folders readable
// by every local user.
TEST(ExportsTest, LinksInsideAVolumeNeverLeadOutOfIt) {
  kvr_test::ScratchDir sandbox;
  const std::string volume = sandbox.File("vol");
  ServeInto(volume, 8);
  fs::create_directories(volume);
  fs::create_directory(sandbox.File("elsewhere"));
  std::ofstream(sandbox.File("elsewhere/secret.dav")) << "evidence";
  fs::create_directory_symlink("../elsewhere", volume + "/rel");
  fs::create_directory_symlink(sandbox.File("elsewhere"), volume + "/abs");
  fs::create_symlink(sandbox.File("elsewhere/secret.dav"), volume + "/last.dav");
  const std::set<std::string> before = Tree(sandbox.path());

  for (const char* url : {"rel/secret.dav", "abs/secret.dav"}) {
    EXPECT_NE(g_kvr->DelRec((char*)url), 0) << url;
  }
  // The link itself may go: what it points to stays.
  g_kvr->DelRec((char*)"last.dav");
  EXPECT_TRUE(fs::exists(sandbox.File("elsewhere/secret.dav")));

  // Pushed bytes reach the writer, which cannot open its file: a write error.
  for (const char* url : {"rel/planted.dav", "abs/deep/planted.dav"}) {
    const unsigned handle = StartPushed(url);
    char bytes[188] = {0x47};
    g_kvr->Push(bytes, sizeof bytes, handle);
    EXPECT_TRUE(WaitFor([&] {
      std::lock_guard<std::mutex> lock(g_host.mu);
      return std::count(g_host.events.begin(), g_host.events.end(), std::string(url) + " 4 0") > 0;
    })) << url;
    g_kvr->StopRec((char*)url);
  }
  std::set<std::string> after = Tree(sandbox.path());
  after.erase("vol/last.dav");
  std::set<std::string> expected = before;
  expected.erase("vol/last.dav");
  EXPECT_EQ(after, expected);

  const unsigned handle = StartPushed("inside/kept.dav");
  char bytes[188] = {0x47};
  g_kvr->Push(bytes, sizeof bytes, handle);
  g_kvr->StopRec((char*)"inside/kept.dav");
  ASSERT_TRUE(WaitFor([&] { return fs::exists(volume + "/inside/kept.dav"); }));
  EXPECT_EQ(fs::status(volume + "/inside").permissions() & fs::perms::others_all, fs::perms::none);
  EXPECT_EQ(fs::status(volume + "/inside/kept.dav").permissions() & fs::perms::others_all,
            fs::perms::none);
}

// A host that asks for registered sessions only, on one address of each
// family. Kills: only the first listed address listened on (or only IPv4),
// every interface listened on anyway, a command other than Register and
// KeepAlive obeyed before a registration, a refusal with another code than
// 21 or one that closes the connection, a registration that does not count
// for the connection it came on; in the port's figures, a refusal or a failed
// login left uncounted, a closed connection still counted open.
TEST(ExportsTest, RegisteredSessionsOnlyOnTheListedAddresses) {
  ASSERT_EQ(g_kvr->StopService(), 0);
  PutRoutingFile("<Access listen=\"127.0.0.1 ::1\" registeredOnly=\"1\" metrics=\"1\"/>");
  const unsigned port = FreePort();
  ASSERT_EQ(g_kvr->StartService(static_cast<unsigned short>(port)), 0);
  kvr_test::ScratchDir dir;
  STORE_CONFIG_INFO config = Config(8, 0, dir.path());
  ASSERT_EQ(g_kvr->SetKVRConfig(config), 0);
  char name[] = "op", password[] = "pw";
  ASSERT_EQ(g_kvr->AddUser(name, password), 0);
  const std::string login =
      WireMessage("Register", 5, "",
                  Body("        <cuName>op</cuName>\n        <cuPassword>pw</cuPassword>\n"));
  for (const std::string address : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(address);
    LoopbackSocket client(port, address);
    ASSERT_TRUE(client.connected());
    const auto code = [&](const std::string& request) {
      return client.SendAll(request) ? ResultCode(client.ReadMessage()) : "";
    };
    const std::string start = StartRequest("reg" + std::to_string(address.size()) + ".ts");
    EXPECT_EQ(code(start), "21");
    EXPECT_EQ(code(kvr_test::KeepAliveRequest(4)), "0");
    EXPECT_EQ(code(login), "0");
    EXPECT_EQ(code(start), "0");
  }
  EXPECT_EQ(Records().size(), 2u);
  EXPECT_FALSE(LoopbackSocket(port, "127.0.0.2").connected()) << "an address not listed";

  LoopbackSocket client(port, "::1");
  const std::string wrong =
      WireMessage("Register", 6, "",
                  Body("        <cuName>op</cuName>\n        <cuPassword>no</cuPassword>\n"));
  ASSERT_TRUE(client.SendAll(wrong));
  EXPECT_NE(ResultCode(client.ReadMessage()), "0");
  ASSERT_TRUE(client.SendAll("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
  const std::string metrics = client.ReadMessage();
  for (const char* line :
       {"HTTP/1.1 200 OK", "\nkvr_control_connections_total 3\n", "\nkvr_control_connections 1\n",
        "\nkvr_control_refused_logins_total 1\n", "{command=\"RecRealMedia\",result=\"21\"} 2\n",
        "{command=\"RecRealMedia\",result=\"0\"} 2\n", "{command=\"Register\",result=\"0\"} 2\n",
        "{record=\"reg9.ts\",cause=\"disk_behind\"} 0\n"}) {
    EXPECT_NE(metrics.find(line), std::string::npos) << line;
  }
  ASSERT_EQ(g_kvr->StopService(), 0);
  PutRoutingFile();
}

std::atomic<int> g_cleanedInCallback{0};
void KVR_CALL CleanInCallback(const char*, int, unsigned int) {
  g_kvr->Clean();
  ++g_cleanedInCallback;
}

// Whether this process holds a descriptor of `file` open.
bool HeldOpen(const std::string& file) {
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(entry.path(), ec) == fs::path(file)) return true;
  }
  return false;
}

// The host's calls at the edges of the service's life, the library unloaded
// last (so this test comes last). Kills: a Clean from the record event
// callback that deletes the module its thread is in (the host crashes), a
// Clean while started that leaves Stop nothing to stop (a record file stays
// open), threads left running in an unmapped library after dlclose.
TEST(ExportsTest, CleanAndUnloadKeepTheHostAlive) {
  kvr_test::ScratchDir dir;
  ServeInto(dir.path(), 8, &CleanInCallback);
  std::vector<char> mib(1 << 20, 'x');
  const unsigned limited = StartPushed("limited.ts", 1);
  ASSERT_EQ(g_kvr->Push(mib.data(), 1 << 20, limited), 0);
  ASSERT_TRUE(WaitFor([] { return g_cleanedInCallback > 0; }));

  const unsigned held = StartPushed("held.ts");
  ASSERT_EQ(g_kvr->Push(mib.data(), 1 << 20, held), 0);
  ASSERT_TRUE(WaitFor([&] { return HeldOpen(dir.File("held.ts")); }));
  g_kvr->Clean();
  ASSERT_EQ(g_kvr->StopService(), 0);
  EXPECT_TRUE(Records().empty());
  EXPECT_FALSE(HeldOpen(dir.File("held.ts")));
  EXPECT_EQ(fs::file_size(dir.File("held.ts")), mib.size());
  g_kvr->Clean();

  ASSERT_EQ(dlclose(g_library), 0);
  // Unmapped code under a running thread ends the process well within this.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  SUCCEED() << "the host outlived the unloaded library";
}

}  // namespace
