// The service proven whole: a host linked with the library in this process,
// one rig (HostRig), and a table of scenarios that each take a size. The
// default run takes a few of everything; the "heavy" ctest entries set
// KVR_HEAVY_TESTS and take the service's target load (256 pushed records,
// 32 pulled ones, 2000 clients among 1000 bad peers, 8 soaking clients, 32
// pushed records beside 8 silent cameras, 256 stops at once);
// KVR_PROOF_SIZE and KVR_PROOF_SECONDS make any scenario larger or longer.
// The service is a process-wide singleton: ctest runs every test in a
// process of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/kvr_svr_manage.h"
#include "protocol/message/store_pdus.h"
#include "protocol/tcp/kvr_control_client.h"
#include "svrframe/kvr_cmd_deal_mdl.h"
#include "tests/media/camera_fixture.h"
#include "tests/media/media_probe.h"
#include "tests/proof/proof_rig.h"
#include "tests/proof/sanitizer_options.h"

namespace {

using kvr::pdu::RecordStatusEntry;

using kvr::tcp::CKVRControlClient;
using kvr::tcp::ControlStatus;

namespace fs = std::filesystem;
using kvr::api::CKVRSvrManage;
using kvr_test::HostRig;
using kvr_test::LoopbackSocket;
using kvr_test::RecordTable;
using kvr_test::Site;
using kvr_test::TsStream;
using kvr_test::UseCounts;
using kvr_test::WaitFor;
using namespace std::chrono_literals;

bool Heavy() { return std::getenv("KVR_HEAVY_TESTS") != nullptr; }
double Env(const char* name, double fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::atof(text) : fallback;
}

// `size` records of 2 Mbit/s each on two volumes, fed by up to 8 host
// threads in whole 188-byte packets: every byte lands in its own file, in
// order. Kills: chunks of one record reordered or given to another, a chunk
// lost under load, a stop that overtakes queued chunks, use counts that leak.
void PushedAtCameraPace(int size, double seconds) {
  const uint32_t records = static_cast<uint32_t>(size), feeders = std::min<uint32_t>(8, records);
  constexpr double kBytesPerSecond = 2e6 / 8;
  Site site(2, records);
  ASSERT_TRUE(site.rig->ok());
  std::vector<uint32_t> handles;
  for (uint32_t i = 0; i < records; ++i) {
    handles.push_back(site.rig->StartPushed(i, "cam" + std::to_string(i) + ".ts"));
    ASSERT_NE(handles.back(), 0u) << i;
  }
  EXPECT_EQ(std::set<uint32_t>(handles.begin(), handles.end()).size(), records);
  EXPECT_EQ(UseCounts(), (std::vector<int>{size / 2, size - size / 2})) << "volumes share";
  ASSERT_TRUE(WaitFor([&] {
    const auto table = RecordTable();
    return table.size() == records &&
           std::all_of(table.begin(), table.end(), [](const auto& r) { return r.status == 4; });
  })) << "every writer took up its start";

  std::vector<uint64_t> pushed(records, 0);
  std::vector<std::thread> threads;
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t f = 0; f < feeders; ++f) {
    threads.emplace_back([&, f] {
      std::vector<TsStream> streams;
      for (uint32_t i = f; i < records; i += feeders) streams.emplace_back(i);
      for (std::string chunk;;) {
        const double t =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const uint64_t owed = static_cast<uint64_t>(std::min(t, seconds) * kBytesPerSecond) /
                              TsStream::kPacket * TsStream::kPacket;
        for (uint32_t k = 0, i = f; i < records; ++k, i += feeders) {
          if (owed <= pushed[i]) continue;
          chunk.clear();
          streams[k].Next((owed - pushed[i]) / TsStream::kPacket, &chunk);
          ASSERT_EQ(HostRig::Push(handles[i], chunk), 0);
          pushed[i] = owed;
        }
        if (t >= seconds) return;
        std::this_thread::sleep_for(20ms);
      }
    });
  }
  for (auto& t : threads) t.join();

  // Chunks of every record travel the same queues in order: once a last
  // chunk that takes record 0 past a whole megabyte is counted, every earlier
  // one has reached its writer, and a stop cannot overtake any.
  TsStream last(0);
  std::string tail;
  last.Next(pushed[0] / TsStream::kPacket, &tail);
  tail.clear();
  const uint64_t target = ((pushed[0] >> 20) + 1) << 20;
  last.Next((target - pushed[0] + TsStream::kPacket - 1) / TsStream::kPacket, &tail);
  ASSERT_EQ(HostRig::Push(handles[0], tail), 0);
  pushed[0] += tail.size();
  ASSERT_TRUE(WaitFor(
      [&] {
        for (const auto& r : RecordTable()) {
          if (std::string(r.recordFileUrl) == "cam0.ts")
            return r.recordSize == static_cast<int32_t>(target >> 20);
        }
        return false;
      },
      60s));
  for (uint32_t i = 0; i < records; ++i) {
    std::string url = "cam" + std::to_string(i) + ".ts";
    ASSERT_EQ(KVR_StopRecRealMedia(url.data()), 0) << url;
  }
  EXPECT_TRUE(RecordTable().empty());
  EXPECT_EQ(UseCounts(), (std::vector<int>{0, 0}));
  for (uint32_t i = 0; i < records; ++i) {
    const std::string path = site.FileOf("cam" + std::to_string(i) + ".ts");
    // The proactor finishes a stopped channel's writes on its own threads.
    WaitFor([&] { return fs::exists(path) && fs::file_size(path) == pushed[i]; }, 30s);
    EXPECT_EQ(kvr_test::CompareWithStream(path, i, pushed[i]), "");
  }
  EXPECT_EQ(site.rig->Events(), std::vector<std::string>{}) << "no record ended by itself";
}

// `size` pushed records, each owed one MiB a second and fed every 20 ms, and
// after the first second size/4 cameras that take the connection and never
// say a word: no record's status shows a MiB later than 100 ms after the push
// that took it there, and every byte is in its file. Kills: a camera's open
// (or its time-out) on a thread that carries every record's media.
void SilentCameras(int size, double seconds) {
  const uint32_t records = static_cast<uint32_t>(size), cameras = std::max(1u, records / 4);
  constexpr double kBytesPerSecond = 1 << 20;
  constexpr int kMiB = 16;  // the most whole MiB timed per record
  Site site(1, records + cameras);
  ASSERT_TRUE(site.rig->ok());
  std::vector<uint32_t> handles;
  for (uint32_t i = 0; i < records; ++i) {
    handles.push_back(site.rig->StartPushed(i, "p" + std::to_string(i) + ".ts"));
    ASSERT_NE(handles.back(), 0u);
  }
  std::vector<LoopbackSocket> silent;
  for (uint32_t c = 0; c < cameras; ++c) silent.push_back(LoopbackSocket::Listen());

  using Clock = std::chrono::steady_clock;
  std::vector<uint64_t> pushed(records, 0);
  std::vector<Clock::time_point> crossed(records * kMiB);  // by record and MiB
  std::atomic<bool> done{false};
  std::thread feeder([&] {
    std::vector<TsStream> streams;
    for (uint32_t i = 0; i < records; ++i) streams.emplace_back(i);
    const auto start = Clock::now();
    bool camerasStarted = false;
    for (std::string chunk;;) {
      const double t = std::chrono::duration<double>(Clock::now() - start).count();
      if (t >= 1 && !camerasStarted) {
        camerasStarted = true;
        for (uint32_t c = 0; c < cameras; ++c) {
          std::string read = "rtsp://127.0.0.1:" + std::to_string(silent[c].port()) + "/silent";
          std::string write = "silent" + std::to_string(c) + ".ts";
          EXPECT_EQ(KVR_StartRecRealMedia(read.data(), write.data(), 0, 0), 0);
        }
      }
      const uint64_t owed = static_cast<uint64_t>(std::min(t, seconds) * kBytesPerSecond) /
                            TsStream::kPacket * TsStream::kPacket;
      for (uint32_t i = 0; i < records; ++i) {
        if (owed <= pushed[i]) continue;
        chunk.clear();
        streams[i].Next((owed - pushed[i]) / TsStream::kPacket, &chunk);
        const auto now = Clock::now();
        for (uint64_t mib = (pushed[i] >> 20) + 1; mib <= (owed >> 20) && mib < kMiB; ++mib)
          crossed[i * kMiB + mib] = now;
        EXPECT_EQ(HostRig::Push(handles[i], chunk), 0);
        pushed[i] = owed;
      }
      if (t >= seconds) break;
      std::this_thread::sleep_for(20ms);
    }
    done = true;
  });

  // The status is read every 5 ms; a MiB seen is timed against its push.
  std::vector<int> seen(records, 0);
  Clock::duration worst{};
  while (!done) {
    const auto table = RecordTable();
    const auto now = Clock::now();
    for (const auto& r : table) {
      const std::string url = r.recordFileUrl;
      if (url[0] != 'p') continue;
      const uint32_t i = static_cast<uint32_t>(std::stoul(url.substr(1)));
      for (int mib = seen[i] + 1; mib <= std::min(r.recordSize, kMiB - 1); ++mib) {
        worst = std::max(worst, now - crossed[i * kMiB + mib]);
      }
      seen[i] = std::max(seen[i], r.recordSize);
    }
    std::this_thread::sleep_for(5ms);
  }
  feeder.join();
  const auto worstMs = std::chrono::duration_cast<std::chrono::milliseconds>(worst).count();
  std::printf("silent cameras: %u records beside %u cameras, worst delay %lld ms\n", records,
              cameras, static_cast<long long>(worstMs));
  EXPECT_LT(worstMs, 100) << "a pushed record waited for the cameras";
  for (uint32_t i = 0; i < records; ++i) EXPECT_GE(seen[i], 1) << i;
  for (uint32_t i = 0; i < records; ++i) {
    std::string url = "p" + std::to_string(i) + ".ts";
    ASSERT_EQ(KVR_StopRecRealMedia(url.data()), 0);
  }
  for (uint32_t i = 0; i < records; ++i) {
    const std::string path = site.volumes[0] + "/p" + std::to_string(i) + ".ts";
    // The file runtime writes a stopped file's last blocks on its own threads.
    WaitFor([&] { return fs::exists(path) && fs::file_size(path) == pushed[i]; });
    EXPECT_EQ(kvr_test::CompareWithStream(path, i, pushed[i]), "") << "bytes were dropped";
  }
}

// Descriptors of this process open on files under `folder`.
int OpenFilesUnder(const std::string& folder) {
  int open = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(entry.path(), ec);
    if (!ec && target.string().rfind(folder, 0) == 0) ++open;
  }
  return open;
}

// `size` pushed records, each given a last chunk, then stopped at once by 8
// clients over the wire: every stop is answered, and within 2 s every record
// has left the table and every file is closed holding every byte. Kills: a
// stop that removes the writer before the writer has taken it (its tail lost,
// its file closed only by the grace-period destructor 5 s on); a stop that
// sleeps on a thread every record shares (10 ms a stop is 2.6 s for 256).
void StopBurst(int size, double) {
  const uint32_t records = static_cast<uint32_t>(size);
  constexpr uint32_t kThreads = 8;
  Site site(1, records);
  ASSERT_TRUE(site.rig->ok());
  std::vector<uint32_t> handles;
  std::vector<std::string> urls;
  for (uint32_t i = 0; i < records; ++i) {
    urls.push_back("s" + std::to_string(i) + ".ts");
    handles.push_back(site.rig->StartPushed(i, urls.back()));
    ASSERT_NE(handles.back(), 0u);
  }
  std::vector<std::string> chunks(records);
  for (uint32_t i = 0; i < records; ++i) {
    TsStream(i).Next(100, &chunks[i]);
    ASSERT_EQ(HostRig::Push(handles[i], chunks[i]), 0);
  }
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> stoppers;
  std::atomic<uint32_t> answered{0};
  for (uint32_t t = 0; t < kThreads; ++t) {
    stoppers.emplace_back([&, t] {
      CKVRControlClient client("stopper" + std::to_string(t));
      client.SetTimeout(30000);
      if (client.Connect("127.0.0.1", site.rig->port()) != ControlStatus::kOk) return;
      for (uint32_t i = t; i < records; i += kThreads) {
        CRecordMediaControl* request = CRecordMediaControl::Create();
        kvr_test::Copy(request->recordFileUrl, urls[i]);
        request->ctrlInfo = 3;
        const auto reply = client.Call<CRecordMediaControlAck>(request);
        answered += reply && reply->GetResultCode() == 0;
      }
    });
  }
  for (auto& s : stoppers) s.join();
  EXPECT_EQ(answered.load(), records);
  const bool gone =
      WaitFor([&] { return RecordTable().empty() && OpenFilesUnder(site.volumes[0]) == 0; }, 10s);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  std::printf("stop burst: %u stops answered, files closed after %lld ms\n", answered.load(),
              static_cast<long long>(ms));
  EXPECT_TRUE(gone);
  EXPECT_LT(ms, 2000) << "stops taken and files closed only after " << ms << " ms";
  for (uint32_t i = 0; i < records; ++i) {
    EXPECT_EQ(kvr_test::CompareWithStream(site.volumes[0] + "/" + urls[i], i, chunks[i].size()),
              "");
  }
}

// `size` records pulled from test cameras, 8 a camera: every file plays with video
// and audio for about as long as it recorded. Kills: a source that does not
// join a camera's running media, a stream lost under load, a file that does
// not play.
void PulledFromCameras(int size, double seconds) {
  const int cameraCount = (size + 7) / 8;
  Site site(1, static_cast<uint32_t>(size));
  ASSERT_TRUE(site.rig->ok());
  std::vector<std::unique_ptr<kvr_test::TestCamera>> cameras;
  for (int c = 0; c < cameraCount; ++c) {
    cameras.push_back(std::make_unique<kvr_test::TestCamera>());
    ASSERT_TRUE(cameras.back()->ok()) << cameras.back()->error();
  }
  const auto states = [] {
    std::string text;
    for (const auto& r : RecordTable()) text += std::to_string(r.status);
    return text;
  };
  // A camera builds its shared media for its first client: one record a
  // camera goes first, the others join a running media.
  std::vector<std::string> names;
  for (const auto& [first, end] : {std::pair{0, 1}, std::pair{1, 8}}) {
    for (int i = 0; i < size; ++i) {
      if (i % 8 < first || i % 8 >= end) continue;
      names.push_back("pull" + std::to_string(i) + ".ts");
      std::string read = cameras[i / 8]->url();
      ASSERT_EQ(KVR_StartRecRealMedia(read.data(), names.back().data(), 0, 0), 0);
    }
    ASSERT_TRUE(WaitFor([&] { return states() == std::string(names.size(), '4'); }, 60s))
        << states() << " " << testing::PrintToString(site.rig->Events());
  }
  // A start returns before its camera has answered: the timed part begins
  // once every stream is flowing into its file (a part-filled block reaches
  // the disk within half a second).
  ASSERT_TRUE(WaitFor(
      [&] {
        return std::all_of(names.begin(), names.end(), [&](const std::string& n) {
          std::error_code ec;
          return fs::file_size(site.volumes[0] + "/" + n, ec) > 0 && !ec;
        });
      },
      60s))
      << "a stream never reached its file; " << states() << " "
      << testing::PrintToString(site.rig->Events());
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  for (auto& n : names) ASSERT_EQ(KVR_StopRecRealMedia(n.data()), 0) << n;
  EXPECT_EQ(site.rig->Events(), std::vector<std::string>{}) << "no stream was lost";
  for (const auto& n : names) {
    const std::string path = site.volumes[0] + "/" + n;
    EXPECT_TRUE(WaitFor([&] { return fs::exists(path) && fs::file_size(path) > 0; })) << n;
    // A record opens on the camera's next key frame (at most a second away at
    // the test camera's key interval), so its file may lack that much of the start.
    EXPECT_GT(kvr_test::ExpectPlays(path, {"h264", "aac"}), seconds - 2.5) << n;
  }
}

// One soaking client's calls, through the exports (`wire` false) or over its
// own control connection. Codes are the exports' statuses: 0 or the
// refusal's negative code; replies over the wire only say 0 or not, and a
// call that gets none is -100.
class SoakClient {
 public:
  SoakClient(int id, bool wire, HostRig* rig, const Site* site, uint32_t seed)
      : id_(id), wire_(wire), rig_(rig), site_(site), random_(seed), client_("soak" + Id()) {
    for (int k = 0; k < 6; ++k) names_.push_back("c" + Id() + "-" + std::to_string(k) + ".ts");
    names_.push_back("c" + Id() + "-dir/sub/deep.ts");  // a record in a subfolder
    client_.SetTimeout(30000);  // sanitizer builds are slow, and stops wait for their writer
    EXPECT_TRUE(!wire || client_.Connect("127.0.0.1", rig->port()) == ControlStatus::kOk);
  }

  // What one record name should be, as this client was told.
  struct Expected {
    bool task = false, file = false;
    std::string volume;  // the file's path, once there is one
    int state = 0;       // the writer's once it has taken up the last control
    uint32_t handle = 0;
  };
  const std::map<std::string, Expected>& expected() const { return expected_; }
  long calls() const { return calls_; }

  // Random calls until `stop`; false at the first answer that is not the
  // expected one. Kills: a refusal with the wrong reason, a start that races
  // another's table entry, a pause or stop of the wrong record, a delete of a
  // running record's file, a push to a stopped record's old handle that is
  // written somewhere.
  bool Run(const std::atomic<bool>& stop) {
    for (; !stop; ++calls_) {
      const std::string& name = names_[random_() % names_.size()];
      Expected& e = expected_[name];
      const int op = static_cast<int>(random_() % 100);
      if (op < 25) {
        const std::string read = "DvCon://soak/" + name;
        // A running record has its file, and the file is looked for first.
        const int want = e.file ? -6 : e.task ? -3 : 0;
        if (!Check("start", name, Start(read, name), want)) return false;
        if (want == 0) {
          e = {true, true, "", 4, rig_->Handle(read)};
          // The writer makes the file on a framework thread.
          if (!WaitFor([&] { return !(e.volume = site_->FileOf(name)).empty(); })) {
            return ADD_FAILURE() << name << ": no file after the start", false;
          }
        }
      } else if (op < 58) {
        const int code = op < 35 ? 1 : op < 45 ? 2 : 3;
        if (!Check("control", name, Control(name, code), e.task ? 0 : -2)) return false;
        if (code == 1 && (e.state == 4 || e.state == 2)) e.state = 1;
        if (code == 2 && e.state == 1) e.state = 2;
        // Over the wire the reply comes before the writer has taken the stop;
        // the task leaves right after.
        if (code == 3 && e.task && wire_ && !WaitFor([&] { return Count(name) == 0; })) {
          return ADD_FAILURE() << name << ": still listed after its stop", false;
        }
        if (code == 3) e.task = false;
      } else if (op < 70) {
        const int want = e.task ? -3 : e.file ? 0 : -5;
        if (!Check("delete", name, Delete(name), want)) return false;
        if (want == 0) e.file = false;
      } else if (op < 80) {
        if (!Check("query", name, Count(name), e.task ? 1 : 0)) return false;
      } else {
        // Media for every record of this client, a stopped one's old handle included.
        const std::string chunk(188 * (1 + random_() % 40), '\x47');
        for (const auto& [n, r] : expected_) {
          if (r.handle != 0 && HostRig::Push(r.handle, chunk) != 0) {
            return ADD_FAILURE() << n << ": a push was refused", false;
          }
        }
      }
    }
    return true;
  }

 private:
  std::string Id() const { return std::to_string(id_); }
  static char* C(const std::string& s) { return const_cast<char*>(s.c_str()); }
  bool Check(const char* what, const std::string& name, int code, int want) {
    if (code == want || (wire_ && (code == 0) == (want == 0))) return true;
    ADD_FAILURE() << "client " << id_ << " " << what << " " << name << ": " << code << ", expected "
                  << want << " after " << calls_ << " calls";
    return false;
  }
  template <class Ack>
  int Result(const CReferPtr<Ack>& reply) {
    if (reply) return reply->GetResultCode() == 0 ? 0 : -1;
    ADD_FAILURE() << client_.Session() << ": " << client_.ErrorText();
    return -100;
  }
  int Start(const std::string& read, const std::string& name) {
    if (!wire_) return KVR_StartRecRealMedia(C(read), C(name), 0, 0);
    CRecordMedia* request = CRecordMedia::Create();
    kvr_test::Copy(request->readFileUrl, read);
    kvr_test::Copy(request->writeFileUrl, name);
    return Result(client_.Call<CRecordMediaAck>(request));
  }
  int Control(const std::string& name, int code) {
    if (!wire_)
      return code == 3 ? KVR_StopRecRealMedia(C(name)) : KVR_ControlRecRealMedia(C(name), code);
    CRecordMediaControl* request = CRecordMediaControl::Create();
    kvr_test::Copy(request->recordFileUrl, name);
    request->ctrlInfo = code;
    return Result(client_.Call<CRecordMediaControlAck>(request));
  }
  int Delete(const std::string& name) {
    if (!wire_) return KVR_DelRecMediaFile(C(name));
    CDelRecordMedia* request = CDelRecordMedia::Create();
    kvr_test::Copy(request->recordFileUrl, name);
    return Result(client_.Call<CDelRecordMediaAck>(request));
  }
  // Entries found for `name` (0 or 1), or -1 when the query failed.
  int Count(const std::string& name) {
    if (wire_) {
      std::vector<RecordStatusEntry> entries;
      const int result = client_.QueryStatus(name.c_str(), &entries);
      // Nothing found is answered with result 5 and no entry.
      return result == 0 || (result == 5 && entries.empty()) ? static_cast<int>(entries.size())
                                                             : -1;
    }
    // The status query's answer lives until the next query: one at a time.
    static std::mutex queries;
    std::lock_guard<std::mutex> lock(queries);
    unsigned long records = 0;
    unsigned int count = 0;
    return KVR_QueryRecRealMediaStatus(C(name), records, count) == 0 ? static_cast<int>(count) : -1;
  }

  const int id_;
  const bool wire_;
  HostRig* const rig_;
  const Site* const site_;
  std::mt19937 random_;
  CKVRControlClient client_;
  std::vector<std::string> names_;
  std::map<std::string, Expected> expected_;
  long calls_ = 0;
};

// `size` clients, half over the wire and half host threads (the same
// handlers on the host's threads beside the framework's), at random; at the
// end the task table, the volumes' use counts and the files agree with what
// the clients were told, and stopping and deleting what is left empties
// them. KVR_SOAK_SEED repeats a run.
void Soak(int size, double seconds) {
  const uint32_t seed = static_cast<uint32_t>(Env("KVR_SOAK_SEED", std::random_device()()));
  std::printf("soak: %d clients, %.0f s, seed %u\n", size, seconds, seed);
  Site site(2, static_cast<uint32_t>(size) * 7);
  ASSERT_TRUE(site.rig->ok());
  std::vector<std::unique_ptr<SoakClient>> clients;
  for (int c = 0; c < size; ++c) {
    clients.push_back(std::make_unique<SoakClient>(c, c % 2 == 0, site.rig.get(), &site, seed + c));
  }
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (auto& c : clients) threads.emplace_back([&stop, &c] { c->Run(stop); });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();

  std::map<std::string, int> tasks;
  std::map<std::string, int> uses;
  std::set<std::string> files;
  std::vector<std::string> fileNames;
  long calls = 0;
  for (const auto& c : clients) {
    calls += c->calls();
    for (const auto& [name, e] : c->expected()) {
      if (e.task) tasks[name] = e.state;
      if (e.task) ++uses[e.volume.substr(0, e.volume.size() - name.size() - 1)];
      if (e.file) files.insert(e.volume), fileNames.push_back(name);
    }
  }
  std::printf("soak: %ld calls, %zu records left running, %zu files\n", calls, tasks.size(),
              files.size());
  const auto taskTable = [] {
    std::map<std::string, int> table;
    for (const auto& r : RecordTable()) table[r.recordFileUrl] = r.status;
    return table;
  };
  const auto onDisk = [&] {
    std::set<std::string> found;
    for (const auto& v : site.volumes) {
      for (const auto& entry : fs::recursive_directory_iterator(v)) {
        if (entry.is_regular_file()) found.insert(entry.path().string());
      }
    }
    return found;
  };
  // The writers take up the last pauses and resumes on framework threads.
  WaitFor([&] { return taskTable() == tasks; });
  EXPECT_EQ(taskTable(), tasks);
  EXPECT_EQ(UseCounts(), (std::vector<int>{uses[site.volumes[0]], uses[site.volumes[1]]}));
  EXPECT_EQ(onDisk(), files);
  for (const auto& [name, state] : tasks) EXPECT_EQ(KVR_StopRecRealMedia((char*)name.c_str()), 0);
  EXPECT_EQ(UseCounts(), (std::vector<int>{0, 0}));
  for (const auto& f : fileNames) EXPECT_EQ(KVR_DelRecMediaFile((char*)f.c_str()), 0) << f;
  EXPECT_TRUE(taskTable().empty());
  EXPECT_EQ(onDisk(), std::set<std::string>{});
}

// What bad peer i sends: bytes that are no message, a header that never ends
// (past the 100 KB a connection holds), a header promising a body larger than
// that, half a request, or nothing at all.
std::string Misbehaviour(int i, std::mt19937& random) {
  const std::string request = kvr_test::KeepAliveRequest(7);
  switch (i % 5) {
    case 0: {
      std::string junk(4096, '\0');
      for (char& c : junk) c = static_cast<char>(random());
      return junk;
    }
    case 1:
      return "POST /KeepAlive HTTP/1.1\r\nX-Pad: " + std::string(110000, 'p');
    case 2:
      return "POST /KeepAlive HTTP/1.1\r\nContent-Length: 2000000000\r\n\r\n<?xml";
    case 3:
      return request.substr(0, request.size() / 2);
    default:
      return "";
  }
}

long ResidentBytes() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

// `size` clients, all connected before any asks, among size/2 bad peers and
// one peer that pipelines request after request (100 per client, 20,000 at
// least) and never reads its replies: every client gets its reply, the
// flooder is let go once its unread replies pass the bound, and once all are
// gone the service holds nothing of them (connections, modules, modules in
// their grace period), two rounds running. Kills: a pass that waits on a
// silent, half-sent or never-reading peer; passes that do not take turns
// over more sockets than one pass polls; replies queued without a bound for
// a peer that does not read; a close that leaves a connection or a module
// behind; a module that leaves the table but is never destroyed (the second
// round's memory grows by some 20 MB: each endless header fills a 100 KB
// buffer).
void ManyPeers(int size, double) {
  const int bad = size / 2;
  ASSERT_TRUE(kvr_test::RaiseFileLimit(2 * (size + bad) + 200)) << "too few file descriptors";
  Site site(1, 4);
  ASSERT_TRUE(site.rig->ok());
  CKVRSvrManage* manager = CKVRSvrManage::GetInstance();
  const auto held = [manager] {
    return manager->GetTcpService()->ConnectionCount() + manager->GetTcpService()->ModuleCount() +
           manager->GetCmdDealMdl()->RemovedModuleCount();
  };
  const std::string request = kvr_test::KeepAliveRequest(7), reply = kvr_test::KeepAliveReply(7);
  std::string flood;
  for (int i = 0; i < std::max(20000, 100 * size); ++i) flood += request;
  std::mt19937 random(15);
  long settled = 0;
  for (int round = 0; round < 2; ++round) {
    const long before = ResidentBytes();
    std::atomic<long> peak{before};
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
      for (; sampling; std::this_thread::sleep_for(20ms)) {
        peak = std::max(peak.load(), ResidentBytes());
      }
    });
    std::vector<std::unique_ptr<LoopbackSocket>> peers, clients;
    for (int i = 0; i < bad; ++i) {
      peers.push_back(std::make_unique<LoopbackSocket>(site.rig->port()));
      EXPECT_TRUE(peers.back()->SendAll(Misbehaviour(i, random))) << i;
    }
    LoopbackSocket flooder(site.rig->port());
    std::thread flooding([&] { flooder.SendAll(flood); });
    for (int i = 0; i < size; ++i) {
      clients.push_back(std::make_unique<LoopbackSocket>(site.rig->port()));
      EXPECT_TRUE(clients.back()->connected()) << i;
    }
    EXPECT_TRUE(WaitFor([&] {
      return manager->GetTcpService()->ConnectionCount() >= static_cast<size_t>(size + bad);
    }));
    for (auto& c : clients) EXPECT_TRUE(c->SendAll(request));
    int answered = 0;
    for (auto& c : clients) answered += c->Read(reply.size()) == reply;
    EXPECT_EQ(answered, size);
    // Sent in full, or cut off by the drop.
    flooding.join();
    EXPECT_TRUE(WaitFor([&] {
      return manager->GetTcpService()->ConnectionCount() == static_cast<size_t>(size + bad);
    })) << "the flooder is still connected";
    flooder.Close();
    peers.clear();
    clients.clear();
    // Closed connections' modules are destroyed after the framework's grace
    // period. (Not an ASSERT: the sampler must still be joined.)
    EXPECT_TRUE(WaitFor([&] { return held() == 0; },
                        std::chrono::milliseconds(SvrFrame::CCmdDealMdl::kRemovalGraceMs + 10000)));
    sampling = false;
    sampler.join();
    const long resident = ResidentBytes();
    std::printf(
        "round %d: %d clients answered, %zu requests flooded; resident %ld KiB before, "
        "%ld KiB at most, %ld KiB after\n",
        round, answered, flood.size() / request.size(), before >> 10, peak.load() >> 10,
        resident >> 10);
    // Sanitizers hold freed memory back from reuse: there the leak checker
    // stands in for this.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr bool kPlainAllocator = false;
#else
    constexpr bool kPlainAllocator = true;
#endif
    EXPECT_TRUE(!kPlainAllocator || round == 0 || resident - settled < (8L << 20))
        << resident - settled;
    // The flood alone once took over 300 MB and kept it.
    EXPECT_TRUE(!kPlainAllocator || peak - before < (128L << 20)) << (peak - before);
    settled = resident;
  }
}

struct Scenario {
  const char* name;
  void (*run)(int size, double seconds);
  int size, heavySize;
  double seconds, heavySeconds;
};
const Scenario kScenarios[] = {
    {"PushedAtCameraPace", PushedAtCameraPace, 4, 256, 2, 3},
    {"PulledFromCameras", PulledFromCameras, 2, 32, 2, 5},
    {"Soak", Soak, 2, 8, 3, 25},
    {"ManyPeers", ManyPeers, 40, 2000, 0, 0},
    {"SilentCameras", SilentCameras, 8, 32, 3, 4},
    {"StopBurst", StopBurst, 32, 256, 0, 0},
};

void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

class ProofTest : public ::testing::TestWithParam<Scenario> {};
TEST_P(ProofTest, Holds) {
  const Scenario& s = GetParam();
  int heavySize = s.heavySize;
#if defined(__SANITIZE_ADDRESS__)
  // 32 live streams demuxed under the sanitizer outrun two cores and the
  // streams' read time-out (whole cameras' sessions were lost): half of them.
  if (s.run == PulledFromCameras) heavySize /= 2;
#endif
  s.run(static_cast<int>(Env("KVR_PROOF_SIZE", Heavy() ? heavySize : s.size)),
        Env("KVR_PROOF_SECONDS", Heavy() ? s.heavySeconds : s.seconds));
}
INSTANTIATE_TEST_SUITE_P(Scenarios, ProofTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
