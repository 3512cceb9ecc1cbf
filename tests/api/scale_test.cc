// Many records at once through the exports, as a host would run them: 256
// pushed records fed at a camera's pace, and 32 records pulled from test
// cameras. Slow: ctest runs these under the "heavy" label only. The record
// counts are the service's target load; KVR_SCALE_SECONDS makes the runs
// longer (the bench runs the pushed load for 20 s and measures it).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/api/host_rig.h"
#include "tests/api/sanitizer_options.h"
#include "tests/media/camera_fixture.h"
#include "tests/media/media_probe.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using kvr_test::HostRig;
using kvr_test::RecordTable;
using kvr_test::TsStream;
using kvr_test::UseCounts;
using kvr_test::WaitFor;

double Seconds(double fallback) {
  const char* text = std::getenv("KVR_SCALE_SECONDS");
  return text != nullptr ? std::atof(text) : fallback;
}

// 256 records of 2 Mbit/s each on two volumes, fed by 8 host threads, 32 records each, in 188-byte
// packets.
TEST(ScaleTest, PushedRecordsKeepEveryByteAtCameraPace) {
  constexpr uint32_t kRecords = 256, kFeeders = 8;
  constexpr double kBytesPerSecond = 2e6 / 8;
  kvr_test::ScratchDir dir;
  const std::vector<std::string> volumes = {dir.File("v0"), dir.File("v1")};
  for (const auto& v : volumes) fs::create_directories(v);
  HostRig rig(volumes, kRecords, KVR_SOURCE_DIR "/config/Server_Config.xml");
  ASSERT_TRUE(rig.ok());

  std::vector<uint32_t> handles;
  for (uint32_t i = 0; i < kRecords; ++i) {
    handles.push_back(rig.StartPushed(i, "cam" + std::to_string(i) + ".ts"));
    ASSERT_NE(handles.back(), 0u) << i;
  }
  EXPECT_EQ(std::set<uint32_t>(handles.begin(), handles.end()).size(), kRecords);
  EXPECT_EQ(UseCounts(), (std::vector<int>{128, 128})) << "the volumes share the records";
  ASSERT_TRUE(WaitFor([] {
    const auto table = RecordTable();
    return table.size() == kRecords &&
           std::all_of(table.begin(), table.end(), [](const auto& r) { return r.status == 4; });
  })) << "every writer took up its start";

  // Each feeder pushes what its records owe at the pace, every 20 ms.
  const double seconds = Seconds(3);
  std::vector<uint64_t> pushed(kRecords, 0);
  std::vector<std::thread> feeders;
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t f = 0; f < kFeeders; ++f) {
    feeders.emplace_back([&, f] {
      std::vector<TsStream> streams;
      for (uint32_t i = f; i < kRecords; i += kFeeders) streams.emplace_back(i);
      std::string chunk;
      for (;;) {
        const double t =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const uint64_t owed = static_cast<uint64_t>(std::min(t, seconds) * kBytesPerSecond) /
                              TsStream::kPacket * TsStream::kPacket;
        for (uint32_t k = 0, i = f; i < kRecords; ++k, i += kFeeders) {
          if (owed <= pushed[i]) continue;
          chunk.clear();
          streams[k].Next((owed - pushed[i]) / TsStream::kPacket, &chunk);
          ASSERT_EQ(KVR_SetDvConMediaData(chunk.data(), static_cast<int>(chunk.size()), handles[i]),
                    0);
          pushed[i] = owed;
        }
        if (t >= seconds) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  for (auto& t : feeders) t.join();

  // Chunks of every record travel the same queues in order: once the last
  // chunk pushed (it takes record 0 past a whole megabyte) is counted, every
  // earlier one has reached its writer, and a stop cannot overtake any.
  std::string tail;
  TsStream last(0);
  {
    std::string skip;
    last.Next(pushed[0] / TsStream::kPacket, &skip);
  }
  const uint64_t target = ((pushed[0] >> 20) + 1) << 20;
  last.Next((target - pushed[0] + TsStream::kPacket - 1) / TsStream::kPacket, &tail);
  ASSERT_EQ(KVR_SetDvConMediaData(tail.data(), static_cast<int>(tail.size()), handles[0]), 0);
  pushed[0] += tail.size();
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto table = RecordTable();
        for (const auto& r : table) {
          if (std::string(r.recordFileUrl) == "cam0.ts")
            return static_cast<uint64_t>(r.recordSize) == target >> 20;
        }
        return false;
      },
      std::chrono::seconds(60)));

  for (uint32_t i = 0; i < kRecords; ++i) {
    std::string url = "cam" + std::to_string(i) + ".ts";
    ASSERT_EQ(KVR_StopRecRealMedia(url.data()), 0) << url;
  }
  // A task leaves once its writer has taken the stop.
  EXPECT_TRUE(WaitFor([] { return RecordTable().empty(); }));
  EXPECT_EQ(UseCounts(), (std::vector<int>{0, 0}));
  // Every byte in its own file, in order, none lost and none of another's.
  for (uint32_t i = 0; i < kRecords; ++i) {
    const std::string name = "cam" + std::to_string(i) + ".ts";
    const std::string path =
        fs::exists(volumes[0] + "/" + name) ? volumes[0] + "/" + name : volumes[1] + "/" + name;
    // The proactor finishes a stopped channel's writes on its own threads.
    WaitFor([&] { return fs::exists(path) && fs::file_size(path) == pushed[i]; },
            std::chrono::seconds(30));
    EXPECT_EQ(kvr_test::CompareWithStream(path, i, pushed[i]), "");
  }
  EXPECT_EQ(rig.Events(), std::vector<std::string>{}) << "no record ended by itself";
}

// 32 records pulled from 4 cameras, 8 each (one camera's RTSP server serves
// about 30 sessions of a media), for a few seconds: every file plays.
TEST(ScaleTest, PulledRecordsAllPlay) {
  constexpr int kCameras = 4, kPerCamera = 8;
  kvr_test::ScratchDir dir;
  HostRig rig({dir.path()}, kCameras * kPerCamera, KVR_SOURCE_DIR "/config/Server_Config.xml");
  ASSERT_TRUE(rig.ok());
  std::vector<std::unique_ptr<kvr_test::TestCamera>> cameras;
  for (int c = 0; c < kCameras; ++c) {
    cameras.push_back(std::make_unique<kvr_test::TestCamera>());
    ASSERT_TRUE(cameras.back()->ok()) << cameras.back()->error();
  }
  // A camera builds its shared media for its first client:
  // one record per camera goes first, the other seven join a running media.
  // Pulled media reach the file in blocks of a megabyte or at the close, so
  // the start is seen in the status and the playing is checked after the stop.
  std::vector<std::string> names;
  const auto states = [] {
    std::string text;
    for (const auto& r : RecordTable()) text += std::to_string(r.status);
    return text;
  };
  for (const auto& [first, end] : {std::pair{0, 1}, std::pair{1, kPerCamera}}) {
    for (int c = 0; c < kCameras; ++c) {
      for (int k = first; k < end; ++k) {
        names.push_back("pull" + std::to_string(c) + "-" + std::to_string(k) + ".ts");
        std::string read = cameras[c]->url();
        ASSERT_EQ(KVR_StartRecRealMedia(read.data(), names.back().data(), 0, 0), 0);
      }
    }
    ASSERT_TRUE(WaitFor([&] { return states() == std::string(names.size(), '4'); },
                        std::chrono::seconds(60)))
        << states() << " " << testing::PrintToString(rig.Events());
  }
  const double seconds = Seconds(5);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  for (auto& n : names) ASSERT_EQ(KVR_StopRecRealMedia(n.data()), 0) << n;
  EXPECT_EQ(rig.Events(), std::vector<std::string>{}) << "no stream was lost";
  // The proactor writes what a stopped channel holds on its own threads.
  for (const auto& n : names) {
    EXPECT_TRUE(WaitFor([&] { return fs::exists(dir.File(n)) && fs::file_size(dir.File(n)) > 0; }))
        << n;
  }
  for (const auto& n : names) {
    const double duration = kvr_test::ExpectPlays(dir.File(n), {"h264", "aac"});
    EXPECT_GT(duration, seconds - 1.5) << n;
  }
}

}  // namespace
