// kvrd recording the test camera by itself: the built daemon as a child
// process, its catalog read with SQLite, its files with ffprobe, its API with
// kvrctl. Heavy: run by the "heavy" label (KVR_HEAVY_TESTS=1).
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "tests/kvrd_process.h"
#include "tests/media/camera_fixture.h"
#include "tests/media/media_probe.h"
#include "tests/test_util.h"
#include "tools/kvrd/wall_time.h"

namespace {

namespace fs = std::filesystem;
using kvr_test::TestCamera;
using kvr_test::WaitFor;
using namespace std::chrono_literals;

struct Seg {
  std::string camera, volume, file;
  int64_t start = 0, end = 0, bytes = 0, keys = 0;
  bool open = false;
  bool operator==(const Seg&) const = default;
};
void PrintTo(const Seg& s, std::ostream* out) {
  *out << s.file << " [" << s.start << ", " << s.end << ") " << s.bytes << " B " << s.keys
       << " keys" << (s.open ? " open" : "");
}
struct Gap {
  int64_t start = 0, end = 0;
  std::string cause;
};

// A scratch site: a volume, a state folder and kvrd.conf with free ports.
struct Site {
  kvr_test::ScratchDir dir;
  unsigned port = kvr_test::FreeLoopbackPort(), api = kvr_test::FreeLoopbackPort();
  Site() { fs::create_directories(dir.File("volume0")); }
  void Write(const std::string& cameras, const std::string& extra = "") const {
    fs::copy_file(KVR_SOURCE_DIR "/config/Server_Config.xml", dir.File("Server_Config.xml"),
                  fs::copy_options::overwrite_existing);
    std::ofstream(dir.File("kvrd.conf"))
        << "port = " << port << "\napi = " << api
        << "\nrouting = Server_Config.xml\nvolume = v0 volume0\nstate = state\n"
           "retention_check = 1s\nuser = a b\n"
        << extra << cameras;
  }
  int Kvrctl(const std::string& args, std::string* out = nullptr) const {
    const kvr_test::Outcome o =
        kvr_test::RunCommand(KVRCTL " --api-port " + std::to_string(api) + " " + args);
    if (out != nullptr) *out = o.out + o.err;
    return o.exitCode;
  }
  // The daemon's own view of its cameras (state, last cause, retries), for a failure message.
  std::string Cameras() const {
    std::string out;
    Kvrctl("--json cameras", &out);
    return out;
  }
  std::vector<Seg> Segments(bool closedOnly = true) const {
    std::vector<Seg> rows;
    Query(
        "SELECT camera, volume, file, start_ms, end_ms, bytes, key_frames, open FROM segments "
        "ORDER BY camera, start_ms",
        [&](sqlite3_stmt* q) {
          Seg s{Text(q, 0),
                Text(q, 1),
                Text(q, 2),
                sqlite3_column_int64(q, 3),
                sqlite3_column_int64(q, 4),
                sqlite3_column_int64(q, 5),
                sqlite3_column_int64(q, 6),
                sqlite3_column_int(q, 7) != 0};
          if (!closedOnly || !s.open) rows.push_back(s);
        });
    return rows;
  }
  std::vector<Gap> Gaps() const {
    std::vector<Gap> rows;
    Query("SELECT start_ms, end_ms, cause FROM gaps ORDER BY start_ms", [&](sqlite3_stmt* q) {
      rows.push_back({sqlite3_column_int64(q, 0), sqlite3_column_int64(q, 1), Text(q, 2)});
    });
    return rows;
  }

 private:
  static std::string Text(sqlite3_stmt* q, int column) {
    const auto* text = sqlite3_column_text(q, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
  }
  template <class Each>
  void Query(const char* sql, Each each) const {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(dir.File("state/catalog.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
      sqlite3_busy_timeout(db, 2000);
      sqlite3_stmt* q = nullptr;
      if (sqlite3_prepare_v2(db, sql, -1, &q, nullptr) == SQLITE_OK) {
        while (sqlite3_step(q) == SQLITE_ROW) each(q);
      }
      sqlite3_finalize(q);
    }
    sqlite3_close(db);
  }
};

// kvrd on a Site, once it listens. "-v" adds the service's debug lines to
// the log, which name why a stream was lost or would not open.
struct Kvrd : kvr_test::KvrdProcess {
  explicit Kvrd(const Site& site, const char* mode = "-f") : KvrdProcess(site.dir.path(), mode) {
    EXPECT_TRUE(Logged("listening on port")) << Log();
  }
};

// The first video packet of a file: a key frame with a time stamp.
bool OpensWithKeyFrame(const std::string& path) {
  std::istringstream out(
      kvr_test::RunCommand(
          "ffprobe -v error -select_streams v -show_entries packet=pts_time,flags -of csv=p=0 '" +
          path + "' | head -n 1")
          .out);
  std::string line;
  std::getline(out, line);
  return line.find(",K") != std::string::npos && line.rfind("N/A", 0) != 0;
}

// The API's answers to bad input, through kvrctl, with a camera that never
// answers (nothing needs recording for these). Kills: an unknown camera or a
// reversed range answered 200, an empty range treated as an error, a
// refusal without its reason.
TEST(KvrdCheckTest, TheApiRefusesBadInputWithItsReason) {
  Site site;
  site.Write("camera = a rtsp://127.0.0.1:1/a\n");
  Kvrd kvrd(site);
  struct Case {
    std::string args;
    int code;
    std::string said;
  };
  const std::vector<Case> cases = {
      {"recordings nobody", 1, "unknown camera 'nobody' (HTTP 404)"},
      {"recordings a --from yesterday", 1, "unreadable time 'yesterday'"},
      {"recordings a --from 2026-01-02T00:00:00Z --to 2026-01-01T00:00:00Z", 1,
       "the range ends before it starts (HTTP 400)"},
      {"export a --from 2026-01-01T00:00:00Z --to 2026-01-02T00:00:00Z " + site.dir.File("x.ts"), 1,
       "no closed segment in the range (HTTP 404)"},
      {"protect a --from 2026-01-01T00:00:00Z", 2, "usage: kvrctl protect"},
      {"recordings a --from 2020-01-01T00:00:00Z --to 2020-01-02T00:00:00Z", 0, "START"},
      {"--json recordings a --from 1577836800 --to 1577923200", 0,
       "\"recordings\": [],\n \"gaps\": []"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(site.Kvrctl(c.args, &out), c.code) << c.args << ": " << out;
    EXPECT_NE(out.find(c.said), std::string::npos) << c.args << ": " << out;
  }
  EXPECT_FALSE(fs::exists(site.dir.File("x.ts"))) << "a refused export leaves no file";
}

// One HTTP/1.0 request to kvrd's API on loopback: the whole reply.
std::string Http(unsigned port, const std::string& path, const std::string& credentials = "") {
  kvr_test::LoopbackSocket s(port);
  s.SendAll("GET " + path + " HTTP/1.0\r\n" +
            (credentials.empty() ? "" : "Authorization: Basic " + credentials + "\r\n") + "\r\n");
  return s.Read(1 << 20);
}

// The probes, the metrics and the console through the daemon, with a camera
// that never answers. Beyond loopback with a user configured, all but the
// probes ask for credentials; a volume that goes away makes /readyz fail
// naming it. Kills: probes behind the password, any page served without
// one, a ready answer with a volume gone, metric families without HELP.
TEST(KvrdCheckTest, ProbesMetricsAndConsoleAnswerAndAskForCredentials) {
  Site site;
  // "a:b" is the site's user; "YTpi" is its Base64.
  site.Write("camera = a rtsp://127.0.0.1:1/a\n",
             "api = 0.0.0.0:" + std::to_string(site.api) + "\n");
  Kvrd kvrd(site);
  struct Case {
    std::string path, credentials, said;
  };
  const std::vector<Case> cases = {
      {"/healthz", "", "200 OK"},
      {"/readyz", "", "ready"},
      {"/", "", "401 Unauthorized"},
      {"/metrics", "YTpj", "401 Unauthorized"},
      {"/", "YTpi", "<title>kvrd console</title>"},
      {"/console.js", "YTpi", "text/javascript"},
      {"/volumes", "YTpi", "\"free_bytes\": "},
      {"/metrics", "YTpi", "# TYPE kvrd_camera_written_bytes_total counter\n"},
      {"/metrics", "YTpi", "kvrd_camera_recording{camera=\"a\"} 0\n"},
      {"/metrics", "YTpi", "kvrd_control_port_listening 1\n"},
      {"/metrics", "YTpi", "# TYPE kvr_control_requests_total counter\n"},
      {"/metrics", "YTpi", "kvrd_volume_seconds_until_full{volume=\"v0\"} "},
      {"/cameras/a/play?from=1577836800&to=1577923200", "YTpi", "no footage in the range"},
  };
  for (const Case& c : cases) {
    const std::string reply = Http(site.api, c.path, c.credentials);
    EXPECT_NE(reply.find(c.said), std::string::npos) << c.path << ":\n" << reply;
  }
  // Every family has its help and its type.
  const std::string metrics = Http(site.api, "/metrics", "YTpi");
  std::istringstream lines(metrics.substr(metrics.find("\r\n\r\n") + 4));
  std::string help;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("# HELP ", 0) == 0) help = line.substr(7, line.find(' ', 7) - 7);
    if (line.rfind("# TYPE ", 0) == 0) {
      EXPECT_EQ(line.substr(7, help.size() + 1), help + " ");
    } else if (line[0] != '#') {
      EXPECT_EQ(line.rfind(help, 0), 0u) << line << " outside its family";
    }
  }
  fs::rename(site.dir.File("volume0"), site.dir.File("gone"));
  const std::string notReady = Http(site.api, "/readyz");
  EXPECT_NE(notReady.find("503 Service Unavailable"), std::string::npos) << notReady;
  EXPECT_NE(notReady.find("volume v0 ("), std::string::npos) << notReady;
  fs::rename(site.dir.File("gone"), site.dir.File("volume0"));
}

class KvrdCamerasTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("KVR_HEAVY_TESTS") == nullptr) GTEST_SKIP() << "run with the heavy label";
  }
};

// Twelve 2-second segments: each opens with a key frame, each starts no later
// than the one before ended, so their spans cover the wall time; an export of
// three of them plays for the range; the catalog rebuilt from the files after
// its file is deleted equals the one before.
// Kills: a roll-over that stops before the next segment has media, a segment
// placed after its first picture, a catalog row that disagrees with its file.
TEST_F(KvrdCamerasTest, TwelveSegmentsLeaveNoHoleAndTheCatalogRebuildsEqual) {
  TestCamera camera;
  ASSERT_TRUE(camera.ok()) << camera.error();
  Site site;
  site.Write("camera = cam1 " + camera.url() + " segment=2s\n");
  std::vector<Seg> before;
  {
    Kvrd kvrd(site);
    ASSERT_TRUE(WaitFor([&] { return site.Segments().size() >= 12; }, 60s))
        << kvrd.Log() << site.Cameras();
    before = site.Segments();
    const std::string from = kvrd::IsoTime(before[3].start + 500);
    const std::string to = kvrd::IsoTime(before[6].start - 500);
    std::string out;
    ASSERT_EQ(
        site.Kvrctl("export cam1 --from " + from + " --to " + to + " " + site.dir.File("export.ts"),
                    &out),
        0)
        << out;
    const double seconds = kvr_test::ExpectPlays(site.dir.File("export.ts"), {"h264", "aac"});
    const double wanted = (before[6].start - before[3].start - 1000) / 1000.0;
    EXPECT_GE(seconds, wanted - 0.1) << "the export starts at the key frame before the range";
    EXPECT_LE(seconds, wanted + 2.5) << "a picture group at most before it";
    EXPECT_EQ(kvrd.Stop(), 0) << kvrd.Log();
  }
  before = site.Segments();
  ASSERT_GE(before.size(), 12u);
  int64_t covered = 0;
  for (size_t i = 0; i < before.size(); ++i) {
    SCOPED_TRACE(before[i].file);
    covered += before[i].end - before[i].start;
    EXPECT_TRUE(OpensWithKeyFrame(site.dir.File("volume0/" + before[i].file)));
    EXPECT_GE(before[i].keys, 1);
    EXPECT_EQ(before[i].file, "cam1/" + kvrd::SegmentFileName(before[i].start));
    if (i > 0) {
      EXPECT_LE(before[i].start, before[i - 1].end) << "a hole after the one before";
    }
  }
  EXPECT_GE(covered, before.back().end - before.front().start);
  EXPECT_TRUE(site.Gaps().empty());

  for (const char* extra : {"", "-wal", "-shm"}) {
    fs::remove(site.dir.File(std::string("state/catalog.db") + extra));
  }
  site.Write("");  // no camera: the rebuild alone
  {
    Kvrd kvrd(site);
    EXPECT_EQ(kvrd.Stop(), 0) << kvrd.Log();
  }
  EXPECT_EQ(site.Segments(), before);
  EXPECT_TRUE(site.Gaps().empty());
}

// The camera is killed for 6 s and comes back on its port: kvrd records one
// gap of about the outage, logs the outage once, and records again within the
// back-off. Kills: a warning per retry, no gap or one per retry, a back-off
// that grows past its cap or never retries.
TEST_F(KvrdCamerasTest, AKilledCameraLeavesOneGapOfItsOutage) {
  const unsigned short port = kvr_test::FreeLoopbackPort();
  auto camera = std::make_unique<TestCamera>("", "", port);
  ASSERT_TRUE(camera->ok()) << camera->error();
  Site site;
  site.Write("camera = cam1 " + camera->url() + " segment=3s\n");
  Kvrd kvrd(site);
  ASSERT_TRUE(WaitFor([&] { return site.Segments().size() >= 2; }, 30s))
      << kvrd.Log() << site.Cameras();
  const int64_t killed = kvrd::NowMs();
  camera.reset();
  std::this_thread::sleep_for(6s);
  camera = std::make_unique<TestCamera>("", "", port);
  ASSERT_TRUE(camera->ok()) << camera->error();
  const int64_t back = kvrd::NowMs();
  // After 6 s of failures the back-off is at most 8 s; then the open.
  ASSERT_TRUE(WaitFor(
      [&] {
        for (const Seg& s : site.Segments(false)) {
          if (s.start > back) return true;
        }
        return false;
      },
      15s))
      << kvrd.Log();
  ASSERT_TRUE(WaitFor([&] { return site.Gaps().size() == 1; }, 5s)) << kvrd.Log();
  const Gap gap = site.Gaps()[0];
  EXPECT_LE(gap.start, killed + 500) << "the gap starts with the last picture";
  EXPECT_GE(gap.end, back) << "nothing was recorded while the camera was away";
  EXPECT_LE(gap.end - gap.start, 6000 + 15000);
  EXPECT_FALSE(gap.cause.empty());
  EXPECT_EQ(kvrd.Count("retrying with back-off"), 1) << kvrd.Log();
  EXPECT_EQ(kvrd.Count("recording again after"), 1) << kvrd.Log();
}

// A small volume filling up: retention deletes the oldest segments and keeps
// the protected first one and the open one; the camera never stops for lack
// of space. Kills: deleting protected or open footage, deleting nothing
// until the library's disk-full stop, deleting newest first.
TEST_F(KvrdCamerasTest, AFillingVolumeLosesItsOldestFootageOnly) {
  TestCamera camera;
  ASSERT_TRUE(camera.ok()) << camera.error();
  Site site;
  const std::string volume = site.dir.File("volume0");
  if (::mount("tmpfs", volume.c_str(), "tmpfs", 0, "size=8m") != 0) {
    GTEST_SKIP() << "cannot mount a small filesystem here: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{volume};
  // Reserved 1 MiB, deleting below 3 MiB free until 3.25 MiB: a filler
  // leaves 3.6 MiB, so a few seconds of footage reach the low watermark.
  struct statvfs fsinfo {};
  ASSERT_EQ(::statvfs(volume.c_str(), &fsinfo), 0);
  const uint64_t free = fsinfo.f_bavail * fsinfo.f_frsize;
  const uint64_t filler = free - (3686ull << 10);
  std::ofstream(volume + "/filler", std::ios::binary) << std::string(filler, '\0');
  site.Write("camera = cam1 " + camera.url() + " segment=2s\n",
             "volume_reserved_space = 1M\nfree_low = 2M\nfree_high = 2304K\n");
  Kvrd kvrd(site, "-v");
  ASSERT_TRUE(WaitFor([&] { return !site.Segments().empty(); }, 20s)) << kvrd.Log();
  const Seg first = site.Segments()[0];
  ASSERT_EQ(site.Kvrctl("protect cam1 --from " + kvrd::IsoTime(first.start) + " --to " +
                        kvrd::IsoTime(first.end)),
            0);
  ASSERT_TRUE(WaitFor([&] { return kvrd.Count("retention: deleted") >= 4; }, 90s))
      << kvrd.Log() << site.Cameras();
  std::this_thread::sleep_for(2s);
  const std::vector<Seg> left = site.Segments(false);
  ASSERT_GE(left.size(), 2u);
  EXPECT_EQ(left[0], first) << "the protected segment stays";
  EXPECT_TRUE(fs::exists(volume + "/" + first.file));
  EXPECT_TRUE(left.back().open) << "the camera still records";
  // What was deleted is older than everything kept but the protected footage.
  const std::string log = kvrd.Log();
  int64_t newestDeleted = 0;
  for (size_t at = log.find("retention: deleted cam1/"); at != std::string::npos;
       at = log.find("retention: deleted cam1/", at + 1)) {
    const auto start = kvrd::ParseSegmentFileName(log.substr(at + 24, 23));
    ASSERT_TRUE(start);
    newestDeleted = std::max(newestDeleted, *start);
  }
  // Segments overlapping the protected range (the next one starts before the
  // first ends) are protected with it.
  const auto unprotected =
      std::find_if(left.begin(), left.end(), [&](const Seg& s) { return s.start >= first.end; });
  ASSERT_NE(unprotected, left.end());
  EXPECT_LT(newestDeleted, unprotected->start) << log;
  EXPECT_EQ(kvrd.Count("disk full"), 0) << log;
  EXPECT_EQ(kvrd.Count("retrying"), 0) << log;
  std::string cameras;
  site.Kvrctl("cameras", &cameras);
  EXPECT_NE(cameras.find("recording"), std::string::npos) << cameras;
  EXPECT_EQ(kvrd.Stop(), 0);
}

// SIGHUP with a broken file keeps everything and names the line; with a
// good one, the camera left alone keeps its open segment, the removed one
// stops and the added one starts. Kills: a reload that restarts every
// camera, or applies half of a broken file.
TEST_F(KvrdCamerasTest, AReloadTouchesOnlyTheCamerasItChanges) {
  TestCamera camera;
  ASSERT_TRUE(camera.ok()) << camera.error();
  Site site;
  const std::string a = "camera = a " + camera.url() + " segment=60s\n";
  const std::string b = "camera = b " + camera.url() + " segment=60s\n";
  site.Write(a + b);
  Kvrd kvrd(site);
  auto open = [&](const std::string& name) {
    for (const Seg& s : site.Segments(false)) {
      if (s.camera == name && s.open) return s.file;
    }
    return std::string();
  };
  ASSERT_TRUE(WaitFor([&] { return !open("a").empty() && !open("b").empty(); }, 20s));
  const std::string openA = open("a");

  site.Write(a + b + "camera = c " + camera.url() + " volume=nowhere\n");
  kvrd.Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return kvrd.Count("reload refused") == 1; }, 5s)) << kvrd.Log();
  EXPECT_EQ(kvrd.Count("kvrd.conf:10: camera c: unknown volume 'nowhere'"), 1) << kvrd.Log();

  site.Write(a + "camera = c " + camera.url() + " segment=60s\n");
  kvrd.Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return !open("c").empty() && open("b").empty(); }, 20s)) << kvrd.Log();
  EXPECT_EQ(open("a"), openA) << "camera a was restarted";
  EXPECT_EQ(kvrd.Count("camera b: removed"), 1) << kvrd.Log();
  std::string cameras;
  site.Kvrctl("cameras", &cameras);
  EXPECT_NE(cameras.find("not configured"), std::string::npos) << "b's footage stays listed";
}

}  // namespace
