// kvrctl as a user runs it: the built program against the service, started
// in this process on a free loopback port with a scratch volume. JSON output
// is read back with Python's parser, as a script would read it.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/kvr_svr_manage.h"
#include "io/proactor.h"
#include "media/kvr_dvcon_comm_mdl.h"
#include "platform/socket.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

kvr_test::ScratchDir* g_dir = nullptr;
unsigned g_port = 0;

unsigned UnusedPort() { return kvr_test::FreeLoopbackPort(); }

class ServiceEnvironment : public ::testing::Environment {
  void SetUp() override {
    g_dir = new kvr_test::ScratchDir();
    fs::current_path(g_dir->path());
    fs::copy_file(KVR_SOURCE_DIR "/config/Server_Config.xml", "Server_Config.xml");
    g_port = UnusedPort();
    CKVRSvrManage* manager = CKVRSvrManage::GetInstance();
    manager->GetData()->SetListenPort(static_cast<uint16_t>(g_port));
    ASSERT_EQ(manager->Start(), 0);
  }
  // The service's threads run until the process ends.
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new ServiceEnvironment);

struct Outcome {
  int exitCode;
  std::string out;
  std::string err;
};

// What a shell command writes, and how it ended.
Outcome RunShell(const std::string& command) {
  const std::string errFile = g_dir->File("stderr");
  FILE* pipe = ::popen((command + " 2>" + errFile).c_str(), "r");
  std::string out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) out.append(buffer, n);
  const int status = ::pclose(pipe);
  std::ifstream errStream(errFile);
  std::stringstream err;
  err << errStream.rdbuf();
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, err.str()};
}

// Runs kvrctl with `args` (shell words) against the service.
Outcome Kvrctl(const std::string& args) {
  return RunShell(KVRCTL " --port " + std::to_string(g_port) + " " + args);
}

// Parses the JSON output of kvrctl `args` with Python and prints `expression`
// over it (`d`); "" when the command fails or the output is no JSON.
std::string Json(const std::string& args, const std::string& expression) {
  const Outcome o = Kvrctl(args);
  if (o.exitCode != 0) return "";
  const std::string file = g_dir->File("out.json");
  std::ofstream(file) << o.out;
  return RunShell("python3 -c \"import json; d=json.load(open('" + file + "')); print(" +
                  expression + ")\"")
      .out;
}

// Kills: a set that sends the defaults (-1) for the numbers it was not given
// instead of the service's current values; a volume option that is dropped
// or sent with the wrong type (-1 removes); get printing the request's fields.
TEST(KvrctlTest, ConfigSetChangesOnlyWhatIsGiven) {
  const std::string volume = g_dir->File("vol");
  ASSERT_EQ(Kvrctl("config set --max-records 7 --reserved 3 --add-volume V=" + volume).exitCode, 0);
  ASSERT_EQ(Kvrctl("config set --volume-reserved 2").exitCode, 0);
  const char* const kSummary =
      "d['maxRecordNumber'], d['reservedSpaceMB'], d['reservedVolumeSpaceMB'], "
      "[(v['name'], v['path'], v['type']) for v in d['volumes']]";
  EXPECT_EQ(Json("config get --json", kSummary), "7 3 2 [('V', '" + volume + "', 1)]\n");
  EXPECT_TRUE(fs::is_directory(volume));
  ASSERT_EQ(Kvrctl("config set --remove-volume V").exitCode, 0);
  EXPECT_EQ(Json("--json config get", kSummary), "7 3 2 []\n");
}

// Kills: a refusal that exits 0 or gives no reason in words; a connection
// failure or bad command line that looks like success; options after the
// command taken for its words.
TEST(KvrctlTest, FailuresExitNonZeroWithTheReason) {
  const struct {
    std::string args;
    int exitCode;
    std::string stderrHas;
  } cases[] = {
      {"record stop nothing.ts", 1, "refused: no such record (Code Fail"},
      {"record delete nothing.ts", 1, "refused: no such record"},
      {"register nobody secret", 1, "refused: wrong user name or password"},
      {"status --timeout 0", 2, "--timeout must be a number"},
      {"status nothing.ts", 1, "no such record"},
      {"record start DvCon " + std::string(300, 'n'), 2, "longer than 255"},
      {"config set --max-records many", 2, "--max-records must be a number"},
      {"frobnicate", 2, "unknown command"},
  };
  for (const auto& c : cases) {
    const Outcome o = Kvrctl(c.args);
    EXPECT_EQ(o.exitCode, c.exitCode) << c.args << ": " << o.err;
    EXPECT_NE(o.err.find(c.stderrHas), std::string::npos) << c.args << ": " << o.err;
    EXPECT_EQ(o.out, "") << c.args;
  }
  const Outcome unreachable =
      Outcome(Kvrctl("--port " + std::to_string(UnusedPort()) + " keepalive"));
  EXPECT_EQ(unreachable.exitCode, 3);
  EXPECT_NE(unreachable.err.find("cannot connect"), std::string::npos) << unreachable.err;
}

// Six records need two status replies (five entries each at most). Kills: a
// status that stops after the first reply, entries from the wrong reply
// fields, control codes swapped, a delete that leaves the file.
TEST(KvrctlTest, StatusJsonListsEveryRecordWithItsState) {
  const std::string volume = g_dir->File("records");
  ASSERT_EQ(Kvrctl("config set --max-records 16 --add-volume R=" + volume).exitCode, 0);
  const char* const names[] = {"r0.ts", "r1.ts", "r2.ts", "r3.ts", "r4.ts", "r5.ts"};
  for (const char* name : names) {
    ASSERT_EQ(Kvrctl(std::string("record start DvCon ") + name + " --limit-size 9").exitCode, 0)
        << name;
  }
  ASSERT_EQ(Kvrctl("record pause r1.ts").exitCode, 0);
  const Outcome again = Kvrctl("record start DvCon r0.ts");
  EXPECT_NE(again.err.find("refused: a record of that name exists"), std::string::npos)
      << again.err;
  const char* const kSummary =
      "sorted((r['url'], r['stateName'], r['limitSizeMB']) for r in d['records'])";
  const std::string expected =
      "[('r0.ts', 'recording', 9), ('r1.ts', 'paused', 9), ('r2.ts', 'recording', 9), "
      "('r3.ts', 'recording', 9), ('r4.ts', 'recording', 9), ('r5.ts', 'recording', 9)]\n";
  // The writers take up starts and pauses on delivery threads.
  std::string last;
  EXPECT_TRUE(kvr_test::WaitFor([&] {
    return (last = Json("status --json", kSummary)) == expected;
  })) << last;

  for (const char* name : names) ASSERT_EQ(Kvrctl(std::string("record stop ") + name).exitCode, 0);
  EXPECT_EQ(Json("--json status", "d['records']"), "[]\n");
  ASSERT_TRUE(fs::exists(volume + "/r0.ts"));
  EXPECT_EQ(Kvrctl("record delete r0.ts").exitCode, 0);
  EXPECT_FALSE(fs::exists(volume + "/r0.ts"));
}

// Nothing listens on the camera's port: the service accepts the start and
// the camera's refusal never comes back as a reply. Kills: a start that
// reports "done" without watching the record.
TEST(KvrctlTest, RecordStartOfAnUnreachableCameraReportsItFailed) {
  const std::string volume = g_dir->File("unreachable");
  ASSERT_EQ(Kvrctl("config set --max-records 16 --add-volume U=" + volume).exitCode, 0);
  const Outcome o = Kvrctl("record start rtsp://127.0.0.1:" + std::to_string(UnusedPort()) +
                           "/cam gone.ts --volume U");
  EXPECT_EQ(o.exitCode, 1) << o.out << o.err;
  EXPECT_NE(o.err.find("record start gone.ts failed"), std::string::npos) << o.err;
}

std::atomic<uint32_t> g_pushHandle{0};
void KVR_CALL TakeHandle(int, char*, char*, unsigned int handle) { g_pushHandle = handle; }

// A slow disk still holds a stopped record's last blocks when Stop is asked
// for; a daemon leaves right after Stop. Kills: Stop returning after its
// fixed settle time with blocks still queued.
TEST(ServiceStopTest, ReturnsOnceEveryRecordFileHoldsItsBytes) {
  CKVRSvrManage* manager = CKVRSvrManage::GetInstance();
  const std::string volume = g_dir->File("slow");
  ASSERT_EQ(Kvrctl("config set --max-records 16 --add-volume S=" + volume).exitCode, 0);
  manager->GetData()->SetDvConMsgCallBack(TakeHandle, 0);
  ASSERT_EQ(Kvrctl("record start DvCon slow.ts --volume S").exitCode, 0);
  ASSERT_TRUE(kvr_test::WaitFor([] { return g_pushHandle.load() != 0; }));

  // Every block of every channel takes 400 ms to reach the disk: four
  // blocks outlast the settle time by more than half a second.
  // The record's file is the only one open once its writer has opened it.
  CProactor* proactor = manager->GetData()->GetProactor();
  ASSERT_TRUE(kvr_test::WaitFor([&] {
    bool throttled = false;
    for (int id = 1; id < 4096; ++id) {
      throttled |=
          proactor->SetWriteThrottle(id, [](size_t) { std::this_thread::sleep_for(400ms); });
    }
    return throttled;
  }));
  const std::string bytes(4 * 1024 * 1024, 'G');
  constexpr size_t kChunk = 188 * 64;
  for (size_t at = 0; at < bytes.size(); at += kChunk) {
    const std::string chunk = bytes.substr(at, kChunk);
    CKVRDvConCommMdl::PushMedia(chunk.data(), static_cast<int>(chunk.size()), g_pushHandle);
  }
  // Pushed media reaches the writer through the framework's queues: Stop
  // comes once the writer has taken every byte (4 whole megabytes).
  ASSERT_TRUE(kvr_test::WaitFor([&] {
    std::vector<RECORD_STATUS_INFO> records;
    return manager->GetData()->QueryRecordStatus("slow.ts", &records) == 0 && records.size() == 1 &&
           records[0].recordSize == 4;
  }));
  ASSERT_EQ(manager->Stop(), 0);
  EXPECT_EQ(fs::file_size(volume + "/slow.ts"), bytes.size());
  ASSERT_EQ(manager->Start(), 0);  // the other tests' service
}

}  // namespace
