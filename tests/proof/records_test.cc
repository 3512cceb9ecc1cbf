// Records that end by themselves or live long on one volume, through the
// exports as a host drives them: a camera that cannot be reached, a volume
// that hundreds of records used, a volume path written the Windows way.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/proof/proof_rig.h"

namespace {

namespace fs = std::filesystem;
using kvr_test::RecordTable;
using kvr_test::TsStream;
using kvr_test::UseCounts;
using kvr_test::WaitFor;

// A camera that cannot be reached ends its record by itself: the record
// stays listed, failed, with its volume use, until a stop takes it away.
// Kills: the source's control 0 taking the requester's route (the task torn
// down, a later stop answered -2); a failed record giving back its volume use.
TEST(RecordsTest, AnUnreachableCamerasRecordStaysListedFailedUntilStopped) {
  kvr_test::Site site(1, 4);
  ASSERT_TRUE(site.rig->ok());
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
  EXPECT_TRUE(RecordTable().empty());
  EXPECT_EQ(UseCounts(), std::vector<int>{0});
}

// 300 records on one volume, then 255 of them stopped: the field shows the
// count capped at 255, and the 45 left are still counted. Kills: a count that
// stops at 255 going up but not going down (it would show 0).
TEST(RecordsTest, UseCountsFollowThreeHundredStartsAndTwoHundredFiftyFiveStops) {
  constexpr uint32_t kRecords = 300, kStopped = 255;
  kvr_test::Site site(1, kRecords);
  ASSERT_TRUE(site.rig->ok());
  std::vector<std::string> urls;
  for (uint32_t i = 0; i < kRecords; ++i) {
    urls.push_back("u" + std::to_string(i) + ".ts");
    ASSERT_NE(site.rig->StartPushed(i, urls.back()), 0u) << i;
  }
  EXPECT_EQ(UseCounts(), std::vector<int>{255}) << "the 8-bit field shows the count capped";
  for (uint32_t i = 0; i < kStopped; ++i) ASSERT_EQ(KVR_StopRecRealMedia(urls[i].data()), 0);
  EXPECT_EQ(RecordTable().size(), kRecords - kStopped);
  EXPECT_EQ(UseCounts(), std::vector<int>{kRecords - kStopped});
  for (uint32_t i = kStopped; i < kRecords; ++i) KVR_StopRecRealMedia(urls[i].data());
  EXPECT_EQ(UseCounts(), std::vector<int>{0});
}

// A volume path written with '\' records like any other, and the service
// starts with its open-file limit raised to the hard one. Kills: the free
// space asked for with the path unconverted (the record fails as disk full);
// a start that keeps the soft limit.
TEST(RecordsTest, ABackslashVolumePathRecordsAndTheFileLimitIsRaised) {
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  rlimit lowered = files;
  lowered.rlim_cur = std::min<rlim_t>(files.rlim_max, 256);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  kvr_test::ServiceFolder folder(true);
  fs::create_directories(folder.File("win/vol"));
  kvr_test::HostRig rig({folder.File("win\\vol")}, 2, folder.File("Server_Config.xml"));
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lowered), 0);
  EXPECT_EQ(lowered.rlim_cur, files.rlim_max);

  std::string url = "rec\\a.ts";
  const uint32_t handle = rig.StartPushed(0, url);
  ASSERT_NE(handle, 0u);
  // Two pushes a second and more apart: the second is judged by a look at
  // the volume's space that has answered.
  std::string first, second;
  TsStream stream(0);
  stream.Next(1000, &first);
  stream.Next(1000, &second);
  ASSERT_EQ(kvr_test::HostRig::Push(handle, first), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  ASSERT_EQ(kvr_test::HostRig::Push(handle, second), 0);
  // The stop travels behind both pushes and returns once the writer took it.
  ASSERT_EQ(KVR_StopRecRealMedia(url.data()), 0);
  const std::string path = folder.File("win/vol/rec/a.ts");
  EXPECT_TRUE(WaitFor([&] { return fs::exists(path) && fs::file_size(path) == 2 * first.size(); }));
  EXPECT_EQ(kvr_test::CompareWithStream(path, 0, 2 * first.size()), "");
  EXPECT_EQ(rig.Events(), std::vector<std::string>{}) << "the record failed as disk full";
}

}  // namespace
