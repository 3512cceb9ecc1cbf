#include "media/remote_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/media/camera_fixture.h"
#include "tests/media/media_probe.h"
#include "tests/test_util.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using kvr_test::TestCamera;

CRemoteStreamLib& lib = CRemoteStreamLib::Instance();

// What one stream delivered, and whether it broke a rule of the callback.
struct Capture {
  std::mutex mu;
  std::string bytes;
  std::atomic<int> chunks{0};
  std::atomic<int> not_whole_packets{0};  // a chunk that is not a run of 188-byte TS packets
  std::atomic<bool> closed{false};        // set by the test once CloseStream returned
  std::atomic<int> after_close{0};
  std::atomic<uint32_t> close_inside{0};  // a stream to try to close from inside the callback
  std::atomic<int> closes_tried{0};

  bool SaveTo(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu);
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return out.good() && !bytes.empty();
  }
};

int OnData(uint32_t, const uint8_t* data, uint32_t size, void* user) {
  auto* c = static_cast<Capture*>(user);
  if (c->closed) ++c->after_close;
  bool whole = size > 0 && size % 188 == 0;
  for (uint32_t i = 0; whole && i < size; i += 188) whole = data[i] == 0x47;
  if (!whole) ++c->not_whole_packets;
  if (uint32_t h = c->close_inside.load(); h != 0) {
    lib.CloseStream(h);
    ++c->closes_tried;
  }
  {
    std::lock_guard<std::mutex> lock(c->mu);
    c->bytes.append(reinterpret_cast<const char*>(data), size);
  }
  ++c->chunks;
  return 0;
}

// Disconnect callbacks seen, by stream handle.
std::mutex lost_mu;
std::condition_variable lost_cv;
std::map<uint32_t, int> lost;

void OnLost(uint32_t stream, uint32_t, uint32_t) {
  std::lock_guard<std::mutex> lock(lost_mu);
  ++lost[stream];
  lost_cv.notify_all();
}

int LostCount(uint32_t stream) {
  std::lock_guard<std::mutex> lock(lost_mu);
  return lost.count(stream) ? lost[stream] : 0;
}

bool WaitLost(uint32_t stream, milliseconds timeout) {
  std::unique_lock<std::mutex> lock(lost_mu);
  return lost_cv.wait_for(lock, timeout, [&] { return lost.count(stream) != 0; });
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A 2 s clip with H.264 video and G.711 audio, which MPEG-TS cannot carry.
bool MakeClip(const std::string& path) {
  int code = -1;
  std::string out = kvr_test::RunCommand(
      "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi "
      "-i sine=frequency=440:sample_rate=8000 -t 2 -c:v libx264 -preset ultrafast -g 25 "
      "-c:a pcm_mulaw " +
          kvr_test::ShellQuote(path),
      &code);
  return code == 0;
}

// Saves what `capture` received as `name` in `dir` and checks that FFmpeg's
// tools read it without a complaint and find `codecs`; returns the probe.
kvr_test::ProbeResult ExpectPlays(Capture& capture, const kvr_test::ScratchDir& dir,
                                  const std::vector<std::string>& codecs) {
  const std::string path = dir.File("record.ts");
  EXPECT_EQ(capture.not_whole_packets, 0);
  EXPECT_TRUE(capture.SaveTo(path));
  kvr_test::ProbeResult probe = kvr_test::ProbeFile(path);
  EXPECT_TRUE(probe.ok) << probe.errors;
  EXPECT_EQ(probe.codecs, codecs);
  EXPECT_EQ(kvr_test::DecodeErrors(path), "");
  return probe;
}

class RemoteStreamTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The library's debug lines (why an open failed, a stream was lost) on stderr.
    openlog("media_test", LOG_PERROR, LOG_USER);
  }
  void SetUp() override {
    ASSERT_TRUE(lib.Initialize());
    lib.RegisterDisconnectCallback(&OnLost, 0);
    lib.SetTimeouts(0, 0);
  }
  void TearDown() override {
    lib.Cleanup();
    EXPECT_EQ(lib.OpenCount(), 0u);
  }
};

// The callback also tries to close its own stream on every call: refused, the
// stream goes on.
TEST_F(RemoteStreamTest, FiveSecondsFromTheCameraAreAPlayableTransportStream) {
  TestCamera camera;
  ASSERT_TRUE(camera.ok()) << camera.error();
  kvr_test::ScratchDir dir;
  Capture capture;
  uint32_t h = lib.OpenStream(camera.url().c_str(), &OnData, &capture);
  ASSERT_NE(h, 0u);
  capture.close_inside = h;
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_EQ(lib.OpenCount(), 1u);
  lib.CloseStream(h);
  capture.closed = true;

  EXPECT_GT(capture.closes_tried, 0);
  EXPECT_EQ(LostCount(h), 0) << "a closed stream is not a lost one";
  EXPECT_NEAR(ExpectPlays(capture, dir, {"h264", "aac"}).duration, 5.0, 1.0);
}

// A camera that goes away and one that hangs: each stream is reported lost
// once, and what arrived before is a file that plays to its end.
TEST_F(RemoteStreamTest, LostCameraIsReportedOnceAndTheFileSoFarPlays) {
  constexpr int kReadMs = 2000;
  struct Case {
    const char* name;
    bool freeze;         // hang (read time-out) rather than die (connection closed)
    double min_seconds;  // earliest acceptable report after the camera went
  };
  for (const Case& c : {Case{"killed", false, 0.0}, Case{"frozen", true, kReadMs / 1000.0 - 0.2}}) {
    SCOPED_TRACE(c.name);
    lib.SetTimeouts(5000, kReadMs);
    TestCamera camera;
    ASSERT_TRUE(camera.ok()) << camera.error();
    kvr_test::ScratchDir dir;
    Capture capture;
    uint32_t h = lib.OpenStream(camera.url().c_str(), &OnData, &capture);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(kvr_test::WaitFor([&] { return capture.chunks >= 8; }));

    auto gone = Clock::now();
    c.freeze ? camera.Freeze() : camera.Kill();
    ASSERT_TRUE(WaitLost(h, milliseconds(kReadMs + 3000)));
    EXPECT_LE(SecondsSince(gone), kReadMs / 1000.0 + 1.0);
    EXPECT_GE(SecondsSince(gone), c.min_seconds);
    lib.CloseStream(h);
    EXPECT_EQ(LostCount(h), 1);
    ExpectPlays(capture, dir, {"h264", "aac"});
  }
}

// Several threads open streams and close them while data flows, one of them
// from two threads at once; no callback may follow a close. Each thread has a
// camera of its own: the test camera's server does not survive sessions of one
// media being set up and torn down at the same moment.
TEST_F(RemoteStreamTest, CloseWhileDataFlowsFromSeveralThreads) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 3;
  std::vector<std::unique_ptr<TestCamera>> cameras;
  for (int t = 0; t < kThreads; ++t) {
    cameras.push_back(std::make_unique<TestCamera>());
    ASSERT_TRUE(cameras.back()->ok()) << cameras.back()->error();
  }
  std::atomic<int> not_opened{0}, no_data{0}, called_after_close{0}, reported_lost{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, url = cameras[t]->url()] {
      for (int round = 0; round < kRounds; ++round) {
        Capture a, b;
        uint32_t ha = lib.OpenStream(url.c_str(), &OnData, &a);
        uint32_t hb = lib.OpenStream(url.c_str(), &OnData, &b);
        if (ha == 0 || hb == 0 || ha == hb) ++not_opened;
        if (!kvr_test::WaitFor([&] { return a.chunks > 0 && b.chunks > 0; })) ++no_data;
        std::thread other([&] { lib.CloseStream(ha); });
        lib.CloseStream(ha);
        a.closed = true;
        other.join();
        lib.CloseStream(hb);
        b.closed = true;
        called_after_close += a.after_close + b.after_close;
        reported_lost += LostCount(ha) + LostCount(hb);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(not_opened, 0);
  EXPECT_EQ(no_data, 0);
  EXPECT_EQ(called_after_close, 0);
  EXPECT_EQ(reported_lost, 0);
  EXPECT_EQ(lib.OpenCount(), 0u);
}

TEST_F(RemoteStreamTest, CredentialsInTheUrl) {
  TestCamera::Options options;
  options.user = "operator";
  options.password = "s3cret";
  TestCamera camera(options);
  ASSERT_TRUE(camera.ok()) << camera.error();
  Capture capture;
  EXPECT_EQ(lib.OpenStream(camera.url().c_str(), &OnData, &capture), 0u);
  EXPECT_EQ(lib.OpenStream(camera.UrlWith("operator", "wrong").c_str(), &OnData, &capture), 0u);
  uint32_t h = lib.OpenStream(camera.UrlWith("operator", "s3cret").c_str(), &OnData, &capture);
  ASSERT_NE(h, 0u);
  EXPECT_TRUE(kvr_test::WaitFor([&] { return capture.chunks > 0; }));
  lib.CloseStream(h);
}

// A file is read to its end, which counts as the stream lost; the G.711 audio
// has no place in MPEG-TS and is left out while the video is kept.
TEST_F(RemoteStreamTest, FileUrlKeepsWhatMpegTsCarries) {
  kvr_test::ScratchDir dir;
  ASSERT_TRUE(MakeClip(dir.File("clip.mkv")));
  Capture capture;
  uint32_t h = lib.OpenStream(("file:" + dir.File("clip.mkv")).c_str(), &OnData, &capture);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(WaitLost(h, milliseconds(5000)));
  lib.CloseStream(h);
  EXPECT_NEAR(ExpectPlays(capture, dir, {"h264"}).duration, 2.0, 0.2);
}

// Nothing to open: 0, within the open time-out even when the server never answers.
TEST_F(RemoteStreamTest, OpenFailsWithinTheOpenTimeOut) {
  constexpr int kOpenMs = 1500;
  lib.SetTimeouts(kOpenMs, 0);
  kvr_test::ScratchDir dir;
  // A loopback socket bound to a free port; listening or not. Returns its URL.
  auto socket_url = [](int fd, bool listening) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              (!listening || ::listen(fd, 4) == 0) &&
              ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    return ok ? "rtsp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/s" : "";
  };
  // The kernel accepts connections for a listener that never answers.
  const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  const std::string silent_url = socket_url(silent, true);
  const int closed = ::socket(AF_INET, SOCK_STREAM, 0);
  const std::string dead_url = socket_url(closed, false);
  ::close(closed);
  ASSERT_FALSE(silent_url.empty() || dead_url.empty());
  // A playable file whose URL is one character too long.
  std::string long_name(CRemoteStreamLib::kMaxUrlLength + 1 - dir.File("").size() - 4, 'x');
  ASSERT_TRUE(MakeClip(dir.File(long_name + ".mkv")));
  const std::string long_url = dir.File(long_name + ".mkv");
  ASSERT_EQ(long_url.size(), CRemoteStreamLib::kMaxUrlLength + 1);

  struct Case {
    const char* name;
    const char* url;
    double max_seconds;
  };
  for (const Case& c :
       {Case{"server never answers", silent_url.c_str(), kOpenMs / 1000.0 + 1.0},
        Case{"nobody listens", dead_url.c_str(), 1.0},
        Case{"missing file", "/nonexistent/clip.ts", 1.0},
        Case{"URL over 255 characters", long_url.c_str(), 0.5}, Case{"null URL", nullptr, 0.5}}) {
    SCOPED_TRACE(c.name);
    Capture capture;
    auto start = Clock::now();
    EXPECT_EQ(lib.OpenStream(c.url, &OnData, &capture), 0u);
    EXPECT_LE(SecondsSince(start), c.max_seconds);
    EXPECT_EQ(capture.chunks, 0);
  }
  EXPECT_EQ(lib.OpenCount(), 0u);
  ::close(silent);
}

}  // namespace
