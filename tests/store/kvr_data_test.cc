// The storage data's own rules: record names, configuration, volume choice,
// use counts, drive discovery and the status query of an empty table.
#include "store/kvr_data.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "media/kvr_rtsp_comm_mdl.h"
#include "media/remote_stream.h"
#include "protocol/message/store_pdus.h"
#include "store/drive_discovery.h"
#include "store/record_name.h"
#include "tests/test_util.h"

namespace {

using kvr::pdu::StoreVolumeItem;

using kvr::store::DiscoverDrives;

using kvr::media::CRemoteStreamLib;

struct Member {
  const char* name;
  std::string path;
  int type;
};

// Sets the configuration: four numbers in megabytes and a volume list.
void Configure(CKVRData& data, const std::vector<Member>& members, int max = 4, int reservedMb = 0,
               int volumeReservedMb = 0) {
  CReferPtr<CSetKVRCngParams> set(CSetKVRCngParams::Create());
  set->maxRecordNumber = max;
  set->recoverMethod = 1;
  set->reservedSpace = reservedMb;
  set->reservedvolumeSpace = volumeReservedMb;
  for (const Member& m : members) set->AddVolume(m.name, m.path.c_str(), m.type);
  ASSERT_EQ(data.SetConfig(set.get()), 0);
}

STORE_CONFIG_INFO Config(CKVRData& data) {
  STORE_CONFIG_INFO config;
  data.CopyConfig(&config);
  return config;
}

std::string Chosen(CKVRData& data, const char* name = "") {
  STORE_VOLUME_INFO v;
  std::snprintf(v.volumeName, sizeof(v.volumeName), "%s", name);
  const int result = data.SelectVolume(&v);
  return result == 0 ? std::string(v.volumeName) : "result " + std::to_string(result);
}

class KVRDataTest : public ::testing::Test {
 protected:
  std::string Folder(const std::string& name) { return dir_.File(name); }

  kvr_test::ScratchDir dir_;
  CKVRData data_;
};

TEST_F(KVRDataTest, FreshDataRefusesEveryRecordAndReportsNoStatus) {
  EXPECT_EQ(Config(data_).maxRecordNumber, 0u);
  EXPECT_TRUE(data_.IsTaskTableFull());
  EXPECT_EQ(Chosen(data_), "result -1");
  RECORD_STATUS_INFO marker;
  RECORD_STATUS_INFO* records = nullptr;
  uint32_t count = 7;
  EXPECT_EQ(data_.QueryRecordStatus("", &records, &count), -1);
  records = &marker;
  EXPECT_EQ(data_.QueryRecordStatus("*", &records, &count), 0);
  EXPECT_TRUE(records == nullptr && count == 0);
  // Names and passwords match exactly.
  data_.AddUser("op", "pw");
  EXPECT_EQ(std::vector<int>({data_.CheckUser("op", "pw"), data_.CheckUser("OP", "pw"),
                              data_.CheckUser("op", "PW"), data_.CheckUser("op", "pw ")}),
            std::vector<int>({0, -1, -1, -1}));
}

TEST_F(KVRDataTest, SetConfigKeepsMegabytesAsBytesAndWalksTheVolumeList) {
  const std::string a = Folder("a"), b = Folder("b/deep"), c = Folder("c");
  std::ofstream(Folder("file")) << "x";
  // An empty path ends the list like a missing name.
  Configure(data_,
            {{"A", a, 2}, {"B", b, 3}, {"odd", Folder("odd"), 42}, {"nopath", "", 1}, {"C", c, 1}},
            4, 1, 5);
  STORE_CONFIG_INFO config = Config(data_);
  EXPECT_EQ(config.reservedSpace, 1048576u);
  EXPECT_EQ(config.recoverMethod, 1u);
  ASSERT_EQ(config.volumes.size(), 3u);
  EXPECT_EQ(config.volumeCount, 3);
  EXPECT_TRUE(std::filesystem::is_directory(b)) << "the folder of a new volume is made";
  EXPECT_EQ(config.volumes[0].weight, 2097152u);
  EXPECT_EQ(config.volumes[1].weight, 1572864u);
  EXPECT_EQ(config.volumes[2].weight, 0u) << "a type without a weight is kept, weighing 0";
  EXPECT_EQ(config.volumes[1].reservedBytes, 5u * 1048576);

  // Same name: new path and type, the weight of the first type stays. Type -1
  // removes exactly that volume; -1 for an unknown name is ignored. A folder
  // that cannot be made ends the list, so "late" is not added either.
  Configure(data_,
            {{"A", c, 5},
             {"odd", "x", -1},
             {"ghost", "y", -1},
             {"bad", Folder("file") + "/sub", 1},
             {"late", Folder("late"), 1}},
            4, -1, 0);
  config = Config(data_);
  ASSERT_EQ(config.volumes.size(), 2u);
  EXPECT_EQ(config.volumeCount, 2);
  EXPECT_STREQ(config.volumes[0].volumePath, c.c_str());
  EXPECT_EQ(config.volumes[0].volumeType, 5);
  EXPECT_EQ(config.volumes[0].weight, 2097152u);
  EXPECT_STREQ(config.volumes[1].volumeName, "B");
  EXPECT_EQ(config.reservedSpace, ~uint64_t{0} << 20) << "a negative size stays negative";

  // The get answers in megabytes, -1 included, per cngType.
  // cngType: max, recover, reserved, volume reserved, volumes listed.
  const std::pair<int, const char*> gets[] = {
      {0, "4 1 -1 0 2"},    {2, "4 -1 -1 -1 0"}, {3, "-1 -1 -1 -1 2"}, {4, "-1 1 -1 -1 0"},
      {5, "-1 -1 -1 -1 0"}, {6, "-1 -1 -1 0 0"}, {7, "-1 -1 -1 -1 0"}};
  for (const auto& [cngType, want] : gets) {
    CReferPtr<CGetKVRCngParamsAck> reply(CGetKVRCngParamsAck::Create(0));
    ASSERT_EQ(data_.GetConfig(reply.get(), cngType), 0);
    EXPECT_EQ(reply->cngType, cngType);
    StoreVolumeItem item;
    int listed = 0;
    for (bool first = true; reply->NextVolume(&item, first) == 0; first = false) ++listed;
    std::string got;
    for (int n : {reply->maxRecordNumber, reply->recoverMethod, reply->reservedSpace,
                  reply->reservedvolumeSpace, listed}) {
      got += (got.empty() ? "" : " ") + std::to_string(n);
    }
    EXPECT_EQ(got, want) << cngType;
  }
}

TEST_F(KVRDataTest, VolumeChoiceByWeightPerUseWithTiesToTheEarlier) {
  const std::string a = Folder("a"), b = Folder("b"), c = Folder("c");
  Configure(data_, {{"A", a, 2}, {"B", b, 3}, {"C", c, 3}, {"A2", Folder("a2"), 10}});
  EXPECT_EQ(Chosen(data_), "A");  // 2097152 > 1572864
  data_.IncreaseUseCount(a.c_str());
  EXPECT_EQ(Chosen(data_), "B");  // 1572864 > 2097152 / 2; C ties with B
  data_.IncreaseUseCount(b.c_str());
  EXPECT_EQ(Chosen(data_), "C");
  data_.DecreaseUseCount(b.c_str());
  EXPECT_EQ(Chosen(data_), "B");
  EXPECT_EQ(Chosen(data_, "C"), "C");
  EXPECT_EQ(Chosen(data_, "nosuch"), "result 1");

  // Use counts stay within 0..255; at 255 the weight is shared by 256.
  for (int i = 0; i < 300; ++i) data_.IncreaseUseCount(a.c_str());
  for (int i = 0; i < 5; ++i) data_.DecreaseUseCount(c.c_str());
  STORE_CONFIG_INFO config = Config(data_);
  EXPECT_EQ(config.volumes[0].useCount, 255);
  EXPECT_EQ(config.volumes[2].useCount, 0);
  for (const std::string& p : {b, c}) {
    for (int i = 0; i < 255; ++i) data_.IncreaseUseCount(p.c_str());
  }
  EXPECT_EQ(Chosen(data_), "A2");  // 104857 > 8192 > 1572864 / 256
}

TEST(DriveDiscoveryTest, OffersOnlyMountsThatTakeAFileAndLeavesNothingBehind) {
  kvr_test::ScratchDir dir;
  std::ofstream(dir.File("plain")) << "x";
  const std::vector<platform::MountPoint> mounts = {
      {dir.File("missing"), "ext4"}, {dir.path(), "ext4"}, {dir.File("plain"), "xfs"}};
  const std::vector<StoreVolumeItem> drives = DiscoverDrives(mounts);
  ASSERT_EQ(drives.size(), 1u);
  EXPECT_EQ(drives[0].volumeName + std::string(" ") + drives[0].volumePath,
            dir.path() + " " + dir.path());
  EXPECT_GT(drives[0].volumeRest, 0u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
      << "the probe file is deleted";
}

// The remote stream library reports lost streams on its reader threads while
// records enter and leave the source table: the look-up must hold the table's
// lock (the ThreadSanitizer build sees it otherwise), and a handle without a
// source, a stream lost before its record entered it, is only noted.
TEST_F(KVRDataTest, LostStreamsAreLookedUpSafelyWhileSourcesComeAndGo) {
  ASSERT_TRUE(CKVRRTSPCommMdl::SetupRemoteStreams());
  const CRemoteStreamLib::DisconnectCallback lost =
      CRemoteStreamLib::Instance().GetDisconnectCallback();
  ASSERT_NE(lost, nullptr);
  std::vector<std::unique_ptr<CKVRRTSPCommMdl>> sources;
  for (int i = 0; i < 4; ++i) sources.push_back(std::make_unique<CKVRRTSPCommMdl>());
  std::atomic<bool> done{false};
  std::thread churn([&] {
    for (int i = 0; i < 4000; ++i) {
      const std::string url = "rec" + std::to_string(i % 4);
      data_.SetRtspSource(url.c_str(), sources[i % 4].get());
      if (i % 2 == 1) data_.RemoveRtspSource(url.c_str());
    }
    done = true;
  });
  do {
    lost(0xFFFFFF00u, 0, 0);  // no source has this handle
  } while (!done);
  churn.join();
  EXPECT_EQ(data_.FindRtspSourceByStream(0xFFFFFF00u), nullptr);
}

}  // namespace
