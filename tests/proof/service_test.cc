// The whole service on the proof suite's rig, driven as its users drive it:
// kvrctl (the built program; JSON read back with Python's parser, as a
// script would read it), the exports' record starts and the service's stop.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "api/kvr_svr_manage.h"
#include "io/proactor.h"
#include "tests/proof/proof_rig.h"

namespace {

namespace fs = std::filesystem;
using kvr::api::CKVRSvrManage;
using kvr_test::HostRig;
using kvr_test::LoopbackSocket;
using kvr_test::Outcome;
using kvr_test::RecordTable;
using kvr_test::WaitFor;
using namespace std::chrono_literals;

class KvrctlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(site_.rig->ok()); }
  Outcome Kvrctl(const std::string& args, unsigned port = 0) {
    return kvr_test::RunCommand(KVRCTL " --port " +
                                std::to_string(port != 0 ? port : site_.rig->port()) + " " + args);
  }
  // Python's `expression` over the JSON output (`d`) of kvrctl `args`; ""
  // when the command fails or the output is no JSON.
  std::string Json(const std::string& args, const std::string& expression) {
    const Outcome o = Kvrctl(args + " --json");
    if (o.exitCode != 0) return "";
    const std::string file = site_.folder.File("out.json");
    std::ofstream(file) << o.out;
    return kvr_test::RunCommand("python3 -c \"import json; d=json.load(open('" + file +
                                "')); print(" + expression + ")\"")
        .out;
  }
  kvr_test::Site site_{1, 16};
};

// Kills: a set that sends the defaults (-1) for the numbers it was not given
// instead of the service's current values; a volume option dropped or sent
// with the wrong type (-1 removes); get printing the request's fields; drives
// asking for the configuration (type 0) or printing its numbers.
TEST_F(KvrctlTest, ConfigSetChangesOnlyWhatIsGivenAndDrivesAreNotVolumes) {
  const std::string volume = site_.folder.File("vol");
  ASSERT_EQ(Kvrctl("config set --max-records 7 --reserved 3 --add-volume V=" + volume).exitCode, 0);
  ASSERT_EQ(Kvrctl("config set --volume-reserved 2 --remove-volume V0").exitCode, 0);
  const char* const kSummary =
      "d['maxRecordNumber'], d['reservedSpaceMB'], d['reservedVolumeSpaceMB'], "
      "[(v['name'], v['path'], v['type']) for v in d['volumes']]";
  EXPECT_EQ(Json("config get", kSummary), "7 3 2 [('V', '" + volume + "', 1)]\n");
  EXPECT_TRUE(fs::is_directory(volume));
  EXPECT_EQ(Json("config drives",
                 "list(d), all(v['path'] != '" + volume +
                     "' and __import__('os').path.isdir(v['path']) for v in d['volumes'])"),
            "['volumes'] True\n");
  ASSERT_EQ(Kvrctl("config set --remove-volume V").exitCode, 0);
  EXPECT_EQ(Json("config get", kSummary), "7 3 2 []\n");
}

// A peer between kvrctl and the service that holds every reply for `delay`.
void DelayedRelay(LoopbackSocket* listener, unsigned service, std::chrono::milliseconds delay) {
  LoopbackSocket client = listener->Accept(), upstream(service);
  for (std::string request; !(request = client.ReadMessage()).empty();) {
    upstream.SendAll(request);
    const std::string reply = upstream.ReadMessage();
    std::this_thread::sleep_for(delay);
    client.SendAll(reply);
  }
}

// Kills: a refusal that exits 0 or gives no reason in words; a bad command
// line or a connection failure that looks like success; --host or --timeout
// ignored (the defaults reach the service, and wait out a 600 ms reply), or
// taken for a command's words when they follow it; an IPv6 --host (bare or
// in brackets) refused, or a host that set nothing not listening on IPv6.
TEST_F(KvrctlTest, FailuresExitNonZeroWithTheReason) {
  const std::string host = "--host 127.0.0.1 --port " + std::to_string(site_.rig->port());
  const struct {
    std::string args;
    int exitCode;
    std::string stderrHas;
  } cases[] = {
      {"record stop nothing.ts", 1, "refused: no such record (Code Fail"},
      {"record resume nothing.ts", 1, "refused: no such record"},
      {"record delete nothing.ts", 1, "refused: no such record"},
      {"register nobody secret", 1, "refused: wrong user name or password"},
      {"status nothing.ts", 1, "no such record"},
      {"record start DvCon " + std::string(300, 'n'), 2, "longer than 255"},
      {"config set --max-records many", 2, "--max-records must be a number"},
      {"keepalive --timeout 0", 2, "--timeout"},
      {"frobnicate", 2, "unknown command"},
      {"--port " + std::to_string(kvr_test::FreeLoopbackPort()) + " keepalive", 3,
       "cannot connect"},
      {"--host 192.0.2.1 --timeout 300 keepalive", 3, ""},
      {"keepalive " + host, 0, ""},
      {"keepalive --host ::1", 0, ""},
      {"--host [::1] keepalive", 0, ""},
  };
  for (const auto& c : cases) {
    const Outcome o = Kvrctl(c.args);
    EXPECT_EQ(o.exitCode, c.exitCode) << c.args << ": " << o.err;
    EXPECT_NE(o.err.find(c.stderrHas), std::string::npos) << c.args << ": " << o.err;
    EXPECT_EQ(o.out.empty(), c.exitCode != 0) << c.args;
  }
  for (const auto& [timeout, exitCode] : {std::pair{3000, 0}, {200, 3}}) {
    LoopbackSocket listener = LoopbackSocket::Listen();
    std::thread relay(DelayedRelay, &listener, site_.rig->port(), 600ms);
    EXPECT_EQ(
        Kvrctl("--timeout " + std::to_string(timeout) + " keepalive", listener.port()).exitCode,
        exitCode)
        << timeout;
    relay.join();
  }
}

// Six records need two status replies (five entries each at most). Kills: a
// status that stops after the first reply, entries from the wrong reply
// fields, control codes swapped, a delete that leaves the file.
TEST_F(KvrctlTest, StatusJsonListsEveryRecordWithItsState) {
  const char* const names[] = {"r0.ts", "r1.ts", "r2.ts", "r3.ts", "r4.ts", "r5.ts"};
  for (const char* name : names) {
    ASSERT_EQ(Kvrctl(std::string("record start DvCon ") + name + " --limit-size 9").exitCode, 0)
        << name;
  }
  for (const char* args : {"pause r1.ts", "pause r2.ts", "resume r2.ts"}) {
    ASSERT_EQ(Kvrctl(std::string("record ") + args).exitCode, 0) << args;
  }
  const Outcome again = Kvrctl("record start DvCon r0.ts");
  EXPECT_NE(again.err.find("refused: a record of that name exists"), std::string::npos)
      << again.err;
  const char* const kSummary =
      "sorted((r['url'], r['stateName'], r['limitSizeMB']) for r in d['records'])";
  const std::string expected =
      "[('r0.ts', 'recording', 9), ('r1.ts', 'paused', 9), ('r2.ts', 'resumed', 9), "
      "('r3.ts', 'recording', 9), ('r4.ts', 'recording', 9), ('r5.ts', 'recording', 9)]\n";
  // The writers take up starts and controls on delivery threads.
  std::string last;
  EXPECT_TRUE(WaitFor([&] { return (last = Json("status", kSummary)) == expected; })) << last;
  for (const char* name : names) ASSERT_EQ(Kvrctl(std::string("record stop ") + name).exitCode, 0);
  EXPECT_EQ(Json("status", "d['records']"), "[]\n");
  const std::string file = site_.volumes[0] + "/r0.ts";
  ASSERT_TRUE(fs::exists(file));
  EXPECT_EQ(Kvrctl("record delete r0.ts").exitCode, 0);
  EXPECT_FALSE(fs::exists(file));
}

// Nothing listens on the camera's port: the service accepts the start and
// the camera's refusal never comes back as a reply. Kills: a start that
// reports "done" without watching the record.
TEST_F(KvrctlTest, RecordStartOfAnUnreachableCameraReportsItFailed) {
  const Outcome o =
      Kvrctl("record start rtsp://127.0.0.1:" + std::to_string(kvr_test::FreeLoopbackPort()) +
             "/cam gone.ts");
  EXPECT_EQ(o.exitCode, 1) << o.out << o.err;
  EXPECT_NE(o.err.find("record start gone.ts failed"), std::string::npos) << o.err;
}

// The attacker's sequence of kvrd's defaults test against a host that set
// nothing: every client is obeyed, as designed, yet nothing outside a volume
// is deleted and each change leaves an audit line naming the peer. Kills:
// kvrd's defaults made the library's (a refusal here), a delete that leaves
// the volume, a changing command without its audit line or its outcome.
TEST_F(KvrctlTest, AHostThatSetNothingObeysEveryClientAndAuditsIt) {
  kvr_test::LogCapture log(site_.folder.File("host.log"));
  std::ofstream(site_.folder.File("outside.dav")) << "evidence";
  const std::string root = site_.folder.File("root"), deep = site_.folder.File("a/b/c");
  fs::create_directory(root);
  const struct {
    std::string command;
    int exitCode;
    std::string audit;  // a text of its audit line, which then gives the outcome
  } attempts[] = {
      {"config set --add-volume root=" + root, 0, "volume root=" + root},
      {"record delete ../outside.dav", 1, "record ../outside.dav"},
      {"record start DvCon planted.ts --volume root", 0, "record planted.ts from DvCon"},
      {"config set --add-volume deep=" + deep, 0, "volume deep=" + deep},
      {"record stop planted.ts", 0, "record planted.ts control"},
  };
  for (const auto& a : attempts) {
    EXPECT_EQ(Kvrctl(a.command).exitCode, a.exitCode) << a.command;
    const std::string outcome = a.exitCode == 0 ? ": done" : ": refused";
    EXPECT_TRUE(WaitFor([&] { return !log.Line(a.audit).empty(); })) << a.command;
    const std::string line = log.Line(a.audit);
    EXPECT_NE(line.find(outcome), std::string::npos) << line;
    EXPECT_NE(line.find("audit: peer 127.0.0.1:"), std::string::npos) << line;
    EXPECT_NE(line.find("(not registered)"), std::string::npos) << line;
  }
  EXPECT_TRUE(fs::exists(site_.folder.File("outside.dav")));
  EXPECT_TRUE(fs::is_directory(deep));
}

// The per-volume reserve lies between nothing and everything: the free space
// less or more 4 GiB. The record started under the smaller reserve records;
// the one started under the larger ends with disk full at its first write.
// Kills: the reserve not reaching the volume or its writer, megabytes taken
// for bytes (or bytes for megabytes) on the way, the free space compared with
// the wrong figure.
TEST(HostTest, ARecordEndsDiskFullOnlyWhenFreeSpaceLessTheReserveIsGone) {
  kvr_test::Site site(1, 4);
  ASSERT_TRUE(site.rig->ok());
  const uint64_t free = fs::space(site.volumes[0]).available;
  // Wide enough that other programs writing or deleting meanwhile (builds on
  // the same disk) do not move the free space across either reserve.
  constexpr uint64_t kMargin = 4ull << 30;
  ASSERT_GT(free, 2 * kMargin) << "the test needs a volume with some room";
  const std::string payload(1 << 20, 'r');
  // A volume takes the reserve in force when it is added: one volume a row.
  for (const auto& [name, reserve] :
       {std::pair{"room", free - kMargin}, std::pair{"full", free + kMargin}}) {
    STORE_CONFIG_INFO config;
    KVR_GetKVRConfig(config);
    config.reservedvolumeSpace = reserve;
    config.volumes.resize(1);
    kvr_test::Copy(config.volumes[0].volumeName, name);
    kvr_test::Copy(config.volumes[0].volumePath, site.folder.File(name));
    ASSERT_EQ(KVR_SetKVRConfig(config), 0);
    std::string read = HostRig::ReadUrl(name[0]), write = name + std::string(".ts");
    ASSERT_EQ(KVR_StartRecRealMedia(read.data(), write.data(), config.volumes[0].volumeName, 0, 0),
              0);
    ASSERT_NE(site.rig->Handle(read), 0u) << name;
    ASSERT_EQ(HostRig::Push(site.rig->Handle(read), payload), 0);
  }
  EXPECT_TRUE(WaitFor([&] { return site.rig->Events() == std::vector<std::string>{"full.ts 1"}; }))
      << testing::PrintToString(site.rig->Events());
  // What a failed record had received is counted or not, as the failure races the count.
  const auto states = [] {
    std::vector<std::string> out;
    for (const auto& r : RecordTable()) {
      out.push_back(std::string(r.recordFileUrl) + " " + std::to_string(r.status) +
                    (r.status == 0 ? "" : " " + std::to_string(r.recordSize)));
    }
    return out;
  };
  EXPECT_TRUE(WaitFor([&] {
    return states() == std::vector<std::string>{"full.ts 0", "room.ts 4 1"};
  })) << testing::PrintToString(states());
}

// The eight-argument start with good arguments, every one of them distinct:
// the device's stream is asked for at the address the arguments name, and the
// record carries the name and limits given. Kills: any two arguments swapped.
TEST(HostTest, EightArgumentStartAsksTheNamedDeviceForItsStream) {
  kvr_test::Site site(1, 4);
  ASSERT_TRUE(site.rig->ok());
  LoopbackSocket device = LoopbackSocket::Listen();
  char vsIp[] = "127.0.0.1", puIp[] = "10.1.2.3", name[] = "eight.ts";
  ASSERT_EQ(
      KVR_StartRecRealMedia(vsIp, static_cast<int>(device.port()), 2, puIp, 37777, name, 3, 40), 0);
  LoopbackSocket stream = device.Accept();
  const std::string asked = stream.Read(80);
  const std::string url =
      "rtsp://127.0.0.1:" + std::to_string(device.port()) + "/RealMedia?ObjectID=10.1.2.3:37777@2";
  EXPECT_NE(asked.find(" " + url + " RTSP/1.0\r\n"), std::string::npos) << asked;
  // The writer takes up the start on a delivery thread.
  const auto record = [] {
    const auto table = RecordTable();
    return table.size() != 1
               ? ""
               : std::string(table[0].recordFileUrl) + " " + std::to_string(table[0].limitSize) +
                     " " + std::to_string(table[0].limitTime);
  };
  EXPECT_TRUE(WaitFor([&] { return record() == "eight.ts 3 40"; })) << record();
}

// Stop waits for the record files: a slow disk's last blocks are written
// before it returns (a daemon leaves right after), and a disk that never
// finishes holds it for its bound only. Kills: Stop returning after its
// settle time with blocks still queued; a wait that never ends when a channel
// never closes (its poll step 0, say).
TEST(ServiceStopTest, WaitsForTheRecordFilesButNotForEver) {
  for (const bool stalled : {false, true}) {
    SCOPED_TRACE(stalled ? "stalled disk" : "slow disk");
    kvr_test::Site site(1, 4);
    ASSERT_TRUE(site.rig->ok());
    const uint32_t handle = site.rig->StartPushed(1, "slow.ts");
    ASSERT_NE(handle, 0u);
    // Every block takes 400 ms to reach the disk, or waits at the gate: four
    // blocks outlast the settle time by more than half a second. The
    // record's file is the only one open once its writer has opened it.
    kvr_test::Gate disk;
    CProactor* proactor = CKVRSvrManage::GetInstance()->GetData()->GetProactor();
    ASSERT_TRUE(WaitFor([&] {
      bool throttled = false;
      for (int id = 1; id < 4096; ++id) {
        throttled |= proactor->SetWriteThrottle(
            id, [&](size_t) { stalled ? disk.Pass() : std::this_thread::sleep_for(400ms); });
      }
      return throttled;
    }));
    const std::string bytes(4 << 20, 'G');
    for (size_t at = 0; at < bytes.size(); at += 188 * 64) {
      ASSERT_EQ(HostRig::Push(handle, bytes.substr(at, 188 * 64)), 0);
    }
    // Pushed media reach the writer through the framework's queues: Stop
    // comes once the writer has taken every byte.
    ASSERT_TRUE(
        WaitFor([] { return RecordTable().size() == 1 && RecordTable()[0].recordSize == 4; }));
    std::atomic<int> stopped{1};
    std::thread stop([&] { stopped = KVR_StopService(); });
    const bool returned = WaitFor(
        [&] { return stopped != 1; },
        std::chrono::milliseconds(CKVRSvrManage::kStopSettleMs + CKVRSvrManage::kFileCloseWaitMs) +
            20s);
    disk.Open();
    stop.join();
    EXPECT_TRUE(returned) << "Stop waited on after its bound";
    EXPECT_EQ(stopped, 0);
    EXPECT_TRUE(stalled || fs::file_size(site.volumes[0] + "/slow.ts") == bytes.size());
    ASSERT_TRUE(WaitFor([&] { return proactor->GetChannelCount() == 0; }));
  }
}

}  // namespace
