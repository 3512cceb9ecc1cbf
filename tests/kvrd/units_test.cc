// kvrd's camera pieces in-process: times and names, the configuration's
// refusals, the back-off, the catalog's rules and retention's choices.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "tests/test_util.h"
#include "tools/kvrd/backoff.h"
#include "tools/kvrd/config.h"
#include "tools/kvrd/retention.h"
#include "tools/kvrd/sqlite_catalog.h"
#include "tools/kvrd/wall_time.h"

namespace {

using namespace kvrd;
namespace fs = std::filesystem;

// Kills: leap days and month lengths not checked, milliseconds dropped, a
// name that sorts out of time order, a trailing junk accepted.
TEST(WallTimeTest, TimesAndSegmentNamesReadBackAndSortInTimeOrder) {
  const std::map<std::string, std::optional<int64_t>> cases = {
      {"1970-01-01T00:00:00Z", 0},
      {"2024-02-29T23:59:59.999Z", 1709251199999},
      {"2024-02-29 23:59:59", 1709251199000},
      {"1709251199", 1709251199000},
      {"2023-02-29T00:00:00Z", std::nullopt},
      {"2024-04-31T00:00:00Z", std::nullopt},
      {"2024-01-01T24:00:00Z", std::nullopt},
      {"2024-01-01T00:00:00Zjunk", std::nullopt},
      {"2024-01-01T00:00:00.5Z", std::nullopt},
      {"yesterday", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(ParseTime(text), want) << text;

  std::string previous;
  for (int64_t ms : {int64_t{0}, int64_t{999}, int64_t{1000}, int64_t{1709251199999},
                     int64_t{1709251200000}, int64_t{4102444800000}}) {
    EXPECT_EQ(ParseTime(IsoTime(ms)), ms);
    const std::string name = SegmentFileName(ms);
    EXPECT_EQ(ParseSegmentFileName(name), ms) << name;
    EXPECT_LT(previous, name);
    previous = name;
  }
  for (const char* other : {"20240229T235959.999Z.mp4", "x20240229T235959.999Z.ts", "cam.ts"}) {
    EXPECT_EQ(ParseSegmentFileName(other), std::nullopt) << other;
  }
  EXPECT_EQ(ParseDuration("90"), 90'000);
  EXPECT_EQ(ParseDuration("10m"), 600'000);
  EXPECT_EQ(ParseDuration("7d"), 604'800'000);
  for (const char* bad : {"0", "-5m", "5w", "m", ""}) EXPECT_EQ(ParseDuration(bad), std::nullopt);
}

// Each refusal names the file and the line; the good file's cameras keep
// their defaults. Kills: a duplicate or an unknown volume let through, a
// line number off by one, the 10-minute default lost.
TEST(ConfigTest, CameraLinesAreCheckedWithFileAndLine) {
  kvr_test::ScratchDir dir;
  fs::create_directory(dir.File("v"));
  const std::string head = "volume = v0 v\nstate = state\n";
  auto load = [&](const std::string& body, Config* config) {
    std::ofstream(dir.File("kvrd.conf")) << head << body;
    std::string error;
    return LoadConfig(dir.File("kvrd.conf"), config, &error) ? std::string() : error;
  };
  const std::string where = dir.File("kvrd.conf") + ":";
  const std::map<std::string, std::string> refused = {
      {"camera = a rtsp://h/a\ncamera = a rtsp://h/b\n", "4: camera 'a' given twice"},
      {"camera = a rtsp://h/a volume=v9\n", "3: camera a: unknown volume 'v9'"},
      {"camera = a http://h/a\n", "3: camera a: URL must start with rtsp://"},
      {"camera = a rtsp://h/a segment=1s\n", "3: segment must be 2s to 24h"},
      {"camera = a rtsp://h/a retention=soon\n", "3: retention must be a duration"},
      {"camera = a rtsp://h/a colour=red\n", "3: camera a: unknown option 'colour=red'"},
      {"camera = a/b rtsp://h/a\n", "3: camera name 'a/b' must be"},
      {"camera = a\n", "3: expected 'camera = NAME URL"},
  };
  Config config;
  for (const auto& [body, message] : refused) {
    EXPECT_EQ(load(body, &config).rfind(where + message, 0), 0u)
        << body << " gave: " << load(body, &config);
  }
  std::ofstream(dir.File("nostate.conf")) << "volume = v0 v\ncamera = a rtsp://h/a\n";
  std::string error;
  EXPECT_FALSE(LoadConfig(dir.File("nostate.conf"), &config, &error));
  EXPECT_NE(error.find(":2: cameras need a 'state"), std::string::npos) << error;

  ASSERT_EQ(load("camera = a rtsp://u:p@h/a\ncamera = b rtsp://h/b segment=30s retention=2h "
                 "volume=v0\ncamera = c rtsp://h/c volume=any\napi = 0.0.0.0:8080\n",
                 &config),
            "");
  ASSERT_EQ(config.cameras.size(), 3u);
  EXPECT_EQ(config.cameras[0].segmentMs, 600'000);
  EXPECT_EQ(config.cameras[0].retentionMs, 0);
  EXPECT_EQ(config.cameras[1].segmentMs, 30'000);
  EXPECT_EQ(config.cameras[1].retentionMs, 7'200'000);
  EXPECT_EQ(config.cameras[1].volume, "v0");
  EXPECT_EQ(config.cameras[2].volume, "");
  EXPECT_EQ(config.apiAddress + ":" + std::to_string(config.apiPort), "0.0.0.0:8080");
  EXPECT_EQ(WithoutCredentials(config.cameras[0].url), "rtsp://***@h/a");
}

// Kills: no doubling, no cap, jitter outside [d/2, d], Reset ignored.
TEST(BackoffTest, DelaysDoubleToTheCapWithJitterAndStartAgainAfterReset) {
  Backoff backoff(1'000, 60'000, 7);
  for (int round = 0; round < 2; ++round) {
    int64_t full = 1'000;
    for (int i = 0; i < 10; ++i, full = std::min<int64_t>(full * 2, 60'000)) {
      const int64_t delay = backoff.Next();
      EXPECT_GE(delay, full / 2) << "try " << i;
      EXPECT_LE(delay, full) << "try " << i;
    }
    backoff.Reset();
  }
  std::set<int64_t> seen;
  for (int i = 0; i < 20; ++i) seen.insert(Backoff(1'000, 60'000, i).Next());
  EXPECT_GT(seen.size(), 10u) << "cameras lost together would retry together";
}

// A catalog with segments of two cameras on one volume, files on disk.
class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    catalog_ = SqliteCatalog::Open(dir_.File("state"), &error);
    ASSERT_TRUE(catalog_) << error;
    fs::create_directories(dir_.File("v/a"));
    fs::create_directories(dir_.File("v/b"));
  }
  // A closed segment of `camera` from `start` s for 10 s, `bytes` long on disk.
  int64_t Add(const std::string& camera, int64_t start, bool open = false) {
    SegmentRow row{0,
                   camera,
                   "v0",
                   camera + "/" + SegmentFileName(start * 1000),
                   start * 1000,
                   (start + 10) * 1000,
                   1 << 20,
                   5,
                   open};
    std::ofstream(dir_.File("v/" + row.file)) << std::string(1000, 'x');
    return catalog_->AddSegment(row);
  }
  std::vector<int64_t> Ids(const std::vector<SegmentRow>& rows) {
    std::vector<int64_t> ids;
    for (const SegmentRow& row : rows) ids.push_back(row.id);
    return ids;
  }
  kvr_test::ScratchDir dir_;
  std::unique_ptr<SqliteCatalog> catalog_;
};

// Kills: an open or protected segment offered for deletion, oldest-first
// order lost, a range query that misses a segment overlapping its start.
TEST_F(CatalogTest, OpenAndProtectedSegmentsAreNeverOfferedForDeletion) {
  const int64_t a1 = Add("a", 100), b1 = Add("b", 105), a2 = Add("a", 110), a3 = Add("a", 120);
  const int64_t b2 = Add("b", 130, /*open=*/true);
  catalog_->AddProtection({0, "a", 112'000, 113'000});  // inside a2
  EXPECT_EQ(Ids(catalog_->Oldest("v0", 10)), (std::vector<int64_t>{a1, b1, a3}));
  EXPECT_EQ(Ids(catalog_->Expired("a", 200'000)), (std::vector<int64_t>{a1, a3}));
  EXPECT_EQ(Ids(catalog_->Segments("a", 105'000, 111'000)), (std::vector<int64_t>{a1, a2}));
  EXPECT_TRUE(catalog_->Segments("a", 300'000, 400'000).empty());
  EXPECT_EQ(catalog_->RemoveProtections("a", 100'000, 200'000), 1);
  EXPECT_EQ(Ids(catalog_->Oldest("v0", 2)), (std::vector<int64_t>{a1, b1}));
  EXPECT_EQ(Ids(catalog_->Expired("b", 1'000'000)), (std::vector<int64_t>{b1})) << b2;
}

// Kills: a corrupt file trusted (or deleted) instead of set aside.
TEST_F(CatalogTest, ACorruptFileIsSetAsideAndAFreshCatalogMade) {
  Add("a", 100);
  catalog_.reset();
  for (const char* extra : {"-wal", "-shm"}) fs::remove(dir_.File("state/catalog.db") + extra);
  std::ofstream(dir_.File("state/catalog.db"), std::ios::trunc) << std::string(8192, '\x5a');
  std::string error;
  catalog_ = SqliteCatalog::Open(dir_.File("state"), &error);
  ASSERT_TRUE(catalog_) << error;
  EXPECT_TRUE(catalog_->Fresh());
  EXPECT_TRUE(catalog_->AllSegments().empty());
  int asideCount = 0;
  for (const auto& entry : fs::directory_iterator(dir_.File("state"))) {
    asideCount += entry.path().filename().string().rfind("catalog.db.corrupt-", 0) == 0;
  }
  EXPECT_EQ(asideCount, 1);
}

// A volume short of space: the oldest closed, unprotected segments go,
// across cameras, until the high watermark; age retention goes by camera.
// Kills: deleting an open or protected segment, stopping at the low mark,
// deleting from the wrong volume, age applied to a camera without one.
TEST_F(CatalogTest, RetentionFreesSpaceOldestFirstAndKeepsOpenAndProtected) {
  const int64_t now = NowMs() / 1000;
  const int64_t a1 = Add("a", now - 500), b1 = Add("b", now - 490), a2 = Add("a", now - 480);
  const int64_t b2 = Add("b", now - 470), a3 = Add("a", now - 460);
  const int64_t open = Add("b", now - 5, /*open=*/true);
  catalog_->AddProtection({0, "a", (now - 500) * 1000, (now - 495) * 1000});  // a1
  uint64_t free = 0;
  const uint64_t reserved = 10 << 20;
  Retention retention(
      catalog_.get(),
      [] {
        return std::map<std::string, int64_t>{{"a", 0}, {"b", 0}};
      },
      [&] {
        return std::vector<VolumeSpace>{{"v0", dir_.File("v"), free, reserved}};
      });
  retention.SetSettings({3 << 20, 5 << 20, 1000});
  // Each deletion frees 1 MiB as far as the fake volume tells.
  free = reserved + (4 << 20);  // above low: nothing happens
  EXPECT_EQ(retention.Sweep(), 0);
  free = reserved + (2 << 20);  // under low: 3 MiB more to reach high
  Retention counting(
      catalog_.get(),
      [] {
        return std::map<std::string, int64_t>{{"a", 0}, {"b", 0}};
      },
      [&] {
        uint64_t have = free;
        for (int64_t gone : {b1, a2, b2, a3}) {
          bool present = false;
          for (const SegmentRow& row : catalog_->AllSegments()) present |= row.id == gone;
          if (!present) have += 1 << 20;
        }
        return std::vector<VolumeSpace>{{"v0", dir_.File("v"), have, reserved}};
      });
  counting.SetSettings({3 << 20, 5 << 20, 1000});
  EXPECT_GE(counting.Sweep(), 3);
  std::vector<int64_t> left = Ids(catalog_->AllSegments());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<int64_t>{a1, a3, open})) << "b1, a2, b2 were the oldest deletable";
  EXPECT_FALSE(fs::exists(dir_.File("v/a/" + SegmentFileName((now - 480) * 1000))));
  EXPECT_TRUE(fs::exists(dir_.File("v/a/" + SegmentFileName((now - 500) * 1000))));

  // Age: only a camera with a retention loses its old footage.
  Retention aging(
      catalog_.get(),
      [] {
        return std::map<std::string, int64_t>{{"a", 100'000}, {"b", 0}};
      },
      [&] {
        return std::vector<VolumeSpace>{{"v0", dir_.File("v"), 1ull << 40, reserved}};
      });
  EXPECT_EQ(aging.Sweep(), 1);
  EXPECT_EQ(Ids(catalog_->AllSegments()), (std::vector<int64_t>{a1, open}));
}

}  // namespace
