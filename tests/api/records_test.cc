// Every record on its own, through the exports as a host runs them: cameras
// that never answer beside pushed records, a burst of stops, a camera that
// cannot be reached, a volume that many records used, a volume path written
// the Windows way. Each test runs in a process of its own (the service is a
// singleton); ctest runs them under the "heavy" label.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/api/host_rig.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kvr_test::HostRig;
using kvr_test::RecordTable;
using kvr_test::TsStream;
using kvr_test::UseCounts;
using kvr_test::WaitFor;

constexpr char kRoutes[] = KVR_SOURCE_DIR "/config/Server_Config.xml";

// A camera that takes the connection and never says a word: an RTSP open
// waits for it until the open time-out.
class SilentCamera {
 public:
  SilentCamera() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::listen(fd_, 64);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~SilentCamera() { ::close(fd_); }
  std::string url() const { return "rtsp://127.0.0.1:" + std::to_string(port_) + "/silent"; }

 private:
  int fd_ = -1;
  unsigned short port_ = 0;
};

int RecordSizeMB(const std::string& url) {
  for (const auto& r : RecordTable()) {
    if (url == r.recordFileUrl) return r.recordSize;
  }
  return -1;
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

// Pushed records, each owed one MiB a second, fed by one thread every 20 ms;
// a camera that does not answer is started beside them after the first
// second. The delay of a record is how long after the push that took it past
// a whole MiB its status shows that MiB. A thread that every record shares
// and that waits for a camera shows up as seconds here.
TEST(RecordsTest, CamerasThatNeverAnswerDelayNoPushedRecord) {
  constexpr uint32_t kRecords = 32, kCameras = 8;
  constexpr double kSeconds = 4, kBytesPerSecond = 1 << 20;
  kvr_test::ScratchDir dir;
  HostRig rig({dir.path()}, kRecords + kCameras, kRoutes);
  ASSERT_TRUE(rig.ok());
  std::vector<uint32_t> handles;
  for (uint32_t i = 0; i < kRecords; ++i) {
    handles.push_back(rig.StartPushed(i, "p" + std::to_string(i) + ".ts"));
    ASSERT_NE(handles.back(), 0u);
  }
  std::vector<SilentCamera> cameras(kCameras);

  std::vector<uint64_t> pushed(kRecords, 0);
  std::vector<Clock::time_point> crossed(kRecords * 8);  // by record and MiB
  std::atomic<bool> done{false};
  std::thread feeder([&] {
    std::vector<TsStream> streams;
    for (uint32_t i = 0; i < kRecords; ++i) streams.emplace_back(i);
    std::string chunk;
    const auto start = Clock::now();
    bool camerasStarted = false;
    for (;;) {
      const double t = std::chrono::duration<double>(Clock::now() - start).count();
      if (t >= 1 && !camerasStarted) {
        camerasStarted = true;
        for (uint32_t c = 0; c < kCameras; ++c) {
          std::string read = cameras[c].url(), write = "silent" + std::to_string(c) + ".ts";
          EXPECT_EQ(KVR_StartRecRealMedia(read.data(), write.data(), 0, 0), 0);
        }
      }
      const uint64_t owed = static_cast<uint64_t>(std::min(t, kSeconds) * kBytesPerSecond) /
                            TsStream::kPacket * TsStream::kPacket;
      for (uint32_t i = 0; i < kRecords; ++i) {
        if (owed <= pushed[i]) continue;
        chunk.clear();
        streams[i].Next((owed - pushed[i]) / TsStream::kPacket, &chunk);
        KVR_SetDvConMediaData(chunk.data(), static_cast<int>(chunk.size()), handles[i]);
        const auto now = Clock::now();
        for (uint64_t mib = (pushed[i] >> 20) + 1; mib <= (owed >> 20) && mib < 8; ++mib)
          crossed[i * 8 + mib] = now;
        pushed[i] = owed;
      }
      if (t >= kSeconds) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    done = true;
  });

  // The status is read every 5 ms; a MiB seen is timed against its push.
  std::vector<int> seen(kRecords, 0);
  Clock::duration worst{};
  while (!done) {
    const auto table = RecordTable();
    const auto now = Clock::now();
    for (const auto& r : table) {
      const std::string url = r.recordFileUrl;
      if (url[0] != 'p') continue;
      const uint32_t i = static_cast<uint32_t>(std::stoul(url.substr(1)));
      for (int mib = seen[i] + 1; mib <= std::min(r.recordSize, 7); ++mib) {
        worst = std::max(worst, now - crossed[i * 8 + mib]);
      }
      seen[i] = std::max(seen[i], r.recordSize);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  feeder.join();
  const auto worstMs = std::chrono::duration_cast<std::chrono::milliseconds>(worst).count();
  EXPECT_LT(worstMs, 100) << "a pushed record waited for the cameras";
  for (uint32_t i = 0; i < kRecords; ++i) EXPECT_GE(seen[i], 3) << i;

  for (uint32_t i = 0; i < kRecords; ++i) {
    std::string url = "p" + std::to_string(i) + ".ts";
    ASSERT_EQ(KVR_StopRecRealMedia(url.data()), 0);
  }
  for (uint32_t i = 0; i < kRecords; ++i) {
    const std::string path = dir.File("p" + std::to_string(i) + ".ts");
    WaitFor([&] { return fs::exists(path) && fs::file_size(path) == pushed[i]; });
    EXPECT_EQ(kvr_test::CompareWithStream(path, i, pushed[i]), "") << "bytes were dropped";
  }
}

// 256 pushed records stopped at once from 8 host threads: each stop is
// answered, and within 2 s every record has left the table and every file
// is closed holding every byte pushed before its stop.
TEST(RecordsTest, TwoHundredFiftySixStopsAreAnsweredAndEveryFileClosedWithinTwoSeconds) {
  constexpr uint32_t kRecords = 256, kThreads = 8;
  kvr_test::ScratchDir dir;
  HostRig rig({dir.path()}, kRecords, kRoutes);
  ASSERT_TRUE(rig.ok());
  std::vector<uint32_t> handles;
  std::vector<std::string> urls;
  for (uint32_t i = 0; i < kRecords; ++i) {
    urls.push_back("s" + std::to_string(i) + ".ts");
    handles.push_back(rig.StartPushed(i, urls.back()));
    ASSERT_NE(handles.back(), 0u);
  }
  // The last chunk of each record goes in right before its stop.
  std::string chunk;
  for (uint32_t i = 0; i < kRecords; ++i) {
    chunk.clear();
    TsStream(i).Next(100, &chunk);
    ASSERT_EQ(KVR_SetDvConMediaData(chunk.data(), static_cast<int>(chunk.size()), handles[i]), 0);
  }
  const auto start = Clock::now();
  std::vector<std::thread> stoppers;
  std::atomic<int> answered{0};
  for (uint32_t t = 0; t < kThreads; ++t) {
    stoppers.emplace_back([&, t] {
      for (uint32_t i = t; i < kRecords; i += kThreads) {
        answered += KVR_StopRecRealMedia(urls[i].data()) == 0;
      }
    });
  }
  for (auto& s : stoppers) s.join();
  EXPECT_EQ(answered.load(), static_cast<int>(kRecords));
  const bool gone =
      WaitFor([&] { return RecordTable().empty() && OpenFilesUnder(dir.path()) == 0; },
              std::chrono::seconds(10));
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_TRUE(gone);
  EXPECT_LT(ms, 2000) << "stops taken and files closed only after " << ms << " ms";
  for (uint32_t i = 0; i < kRecords; ++i) {
    EXPECT_EQ(kvr_test::CompareWithStream(dir.File(urls[i]), i, chunk.size()), "");
  }
}

// A camera that cannot be reached ends its record by itself: the record
// stays listed, failed, on its volume, until a stop takes it away.
TEST(RecordsTest, AnUnreachableCamerasRecordStaysListedFailedUntilStopped) {
  kvr_test::ScratchDir dir;
  HostRig rig({dir.path()}, 4, kRoutes);
  ASSERT_TRUE(rig.ok());
  std::string read = "rtsp://127.0.0.1:" + std::to_string(kvr_test::FreeLoopbackPort()) + "/gone";
  std::string write = "lost.ts";
  ASSERT_EQ(KVR_StartRecRealMedia(read.data(), write.data(), 0, 0), 0);
  ASSERT_TRUE(WaitFor([] {
    const auto table = RecordTable();
    return table.size() == 1 && table[0].status == 0;
  })) << "the failed record left the table";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(RecordTable().size(), 1u) << "the failed record left the table";
  EXPECT_EQ(UseCounts(), std::vector<int>{1});
  EXPECT_EQ(KVR_StopRecRealMedia(write.data()), 0) << "its stop found no task";
  EXPECT_TRUE(WaitFor([] { return RecordTable().empty() && UseCounts() == std::vector<int>{0}; }));
}

// 300 records on one volume, then 255 of them stopped: the field shows the
// true count up to 255, and the 45 left are still counted.
TEST(RecordsTest, UseCountsFollowThreeHundredStartsAndTwoHundredFiftyFiveStops) {
  constexpr uint32_t kRecords = 300, kStopped = 255;
  kvr_test::ScratchDir dir;
  HostRig rig({dir.path()}, kRecords, kRoutes);
  ASSERT_TRUE(rig.ok());
  std::vector<std::string> urls;
  for (uint32_t i = 0; i < kRecords; ++i) {
    urls.push_back("u" + std::to_string(i) + ".ts");
    ASSERT_NE(rig.StartPushed(i, urls.back()), 0u);
  }
  EXPECT_EQ(UseCounts(), std::vector<int>{255}) << "the 8-bit field shows the count capped";
  for (uint32_t i = 0; i < kStopped; ++i) ASSERT_EQ(KVR_StopRecRealMedia(urls[i].data()), 0);
  EXPECT_TRUE(WaitFor([] { return RecordTable().size() == 45; }));
  EXPECT_EQ(UseCounts(), std::vector<int>{45});
  for (uint32_t i = kStopped; i < kRecords; ++i) KVR_StopRecRealMedia(urls[i].data());
  EXPECT_TRUE(WaitFor([] { return UseCounts() == std::vector<int>{0}; }));
}

// A volume path written with '\' records like any other, and the service
// starts with the open-file limit raised to the hard one.
TEST(RecordsTest, ABackslashVolumePathRecordsAndTheFileLimitIsRaised) {
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  rlimit lowered = files;
  lowered.rlim_cur = std::min<rlim_t>(files.rlim_max, 256);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  kvr_test::ScratchDir dir;
  fs::create_directories(dir.File("win/vol"));
  std::string windows = dir.File("win\\vol");
  HostRig rig({windows}, 2, kRoutes);
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lowered), 0);
  EXPECT_EQ(lowered.rlim_cur, files.rlim_max);

  const uint32_t handle = rig.StartPushed(0, "rec\\a.ts");
  ASSERT_NE(handle, 0u);
  std::string chunk;
  TsStream(0).Next(1000, &chunk);
  ASSERT_EQ(KVR_SetDvConMediaData(chunk.data(), static_cast<int>(chunk.size()), handle), 0);
  std::string url = "rec\\a.ts";
  ASSERT_TRUE(WaitFor([&] { return RecordSizeMB(url) >= 0 && RecordTable()[0].status == 4; }));
  ASSERT_EQ(KVR_StopRecRealMedia(url.data()), 0);
  const std::string path = dir.File("win/vol/rec/a.ts");
  EXPECT_TRUE(WaitFor([&] { return fs::exists(path) && fs::file_size(path) == chunk.size(); }));
  EXPECT_EQ(kvr_test::CompareWithStream(path, 0, chunk.size()), "");
  EXPECT_EQ(rig.Events(), std::vector<std::string>{}) << "the record failed as disk full";
}

}  // namespace
