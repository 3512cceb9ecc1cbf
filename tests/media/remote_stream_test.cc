#include "media/remote_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
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
  uint32_t close_inside = 0;  // a handle to try to close from the callback
  std::atomic<int> closes_tried{0};

  std::string Bytes() {
    std::lock_guard<std::mutex> lock(mu);
    return bytes;
  }
  bool SaveTo(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    std::string b = Bytes();
    out.write(b.data(), static_cast<std::streamsize>(b.size()));
    return out.good() && !b.empty();
  }
};

int OnData(uint32_t, const uint8_t* data, uint32_t size, void* user) {
  auto* c = static_cast<Capture*>(user);
  if (c->closed) ++c->after_close;
  bool whole = size > 0 && size % 188 == 0;
  for (uint32_t i = 0; whole && i < size; i += 188) whole = data[i] == 0x47;
  if (!whole) ++c->not_whole_packets;
  if (c->close_inside != 0 && c->closes_tried.fetch_add(1) == 0) lib.CloseStream(c->close_inside);
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

class RemoteStreamTest : public ::testing::Test {
 protected:
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

TEST_F(RemoteStreamTest, FiveSecondsFromTheCameraAreAPlayableTransportStream) {
  TestCamera camera;
  ASSERT_TRUE(camera.ok()) << camera.error();
  kvr_test::ScratchDir dir;
  Capture capture;
  uint32_t h = lib.OpenStream(camera.url().c_str(), &OnData, &capture);
  ASSERT_NE(h, 0u);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  lib.CloseStream(h);
  capture.closed = true;

  EXPECT_EQ(capture.not_whole_packets, 0);
  EXPECT_EQ(LostCount(h), 0) << "a closed stream is not a lost one";
  EXPECT_EQ(lib.OpenCount(), 0u);
  ASSERT_TRUE(capture.SaveTo(dir.File("pull.ts")));
  kvr_test::ProbeResult probe = kvr_test::ProbeFile(dir.File("pull.ts"));
  EXPECT_TRUE(probe.ok) << probe.errors;
  EXPECT_EQ(probe.codecs, (std::vector<std::string>{"h264", "aac"}));
  EXPECT_NEAR(probe.duration, 5.0, 1.0);
  EXPECT_EQ(kvr_test::DecodeErrors(dir.File("pull.ts")), "");
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
    if (c.freeze) {
      camera.Freeze();
    } else {
      camera.Kill();
    }
    ASSERT_TRUE(WaitLost(h, milliseconds(kReadMs + 3000)));
    double seconds = SecondsSince(gone);
    EXPECT_LE(seconds, kReadMs / 1000.0 + 1.0);
    EXPECT_GE(seconds, c.min_seconds);
    lib.CloseStream(h);
    EXPECT_EQ(LostCount(h), 1);

    ASSERT_TRUE(capture.SaveTo(dir.File("cut.ts")));
    kvr_test::ProbeResult probe = kvr_test::ProbeFile(dir.File("cut.ts"));
    EXPECT_TRUE(probe.ok) << probe.errors;
    EXPECT_EQ(probe.codecs, (std::vector<std::string>{"h264", "aac"}));
    EXPECT_EQ(kvr_test::DecodeErrors(dir.File("cut.ts")), "");
  }
}

// Several threads open streams of one camera and close them while data flows,
// one of them from two threads at once; no callback may follow a close.
TEST_F(RemoteStreamTest, CloseWhileDataFlowsFromSeveralThreads) {
  TestCamera camera;
  ASSERT_TRUE(camera.ok()) << camera.error();
  constexpr int kThreads = 4;
  constexpr int kRounds = 3;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        Capture a, b;
        uint32_t ha = lib.OpenStream(camera.url().c_str(), &OnData, &a);
        uint32_t hb = lib.OpenStream(camera.url().c_str(), &OnData, &b);
        if (ha == 0 || hb == 0 || ha == hb ||
            !kvr_test::WaitFor([&] { return a.chunks > 0 && b.chunks > 0; })) {
          ++failures;
        }
        std::thread other([&] { lib.CloseStream(ha); });
        lib.CloseStream(ha);
        a.closed = true;
        other.join();
        lib.CloseStream(hb);
        b.closed = true;
        if (a.after_close + b.after_close != 0 || LostCount(ha) + LostCount(hb) != 0) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(lib.OpenCount(), 0u);
}

TEST_F(RemoteStreamTest, CloseInsideTheCallbackIsRefusedAndTheStreamGoesOn) {
  TestCamera camera;
  ASSERT_TRUE(camera.ok()) << camera.error();
  Capture capture;
  capture.close_inside = lib.OpenStream(camera.url().c_str(), &OnData, &capture);
  ASSERT_NE(capture.close_inside, 0u);
  ASSERT_TRUE(kvr_test::WaitFor([&] { return capture.chunks >= 3; }));
  EXPECT_EQ(capture.closes_tried, capture.chunks);
  EXPECT_EQ(lib.OpenCount(), 1u);
  lib.CloseStream(capture.close_inside);
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
  EXPECT_EQ(capture.not_whole_packets, 0);
  ASSERT_TRUE(capture.SaveTo(dir.File("clip.ts")));
  kvr_test::ProbeResult probe = kvr_test::ProbeFile(dir.File("clip.ts"));
  EXPECT_TRUE(probe.ok) << probe.errors;
  EXPECT_EQ(probe.codecs, std::vector<std::string>{"h264"});
  EXPECT_NEAR(probe.duration, 2.0, 0.2);
}

// Nothing to open: 0, within the open time-out even when the server never answers.
TEST_F(RemoteStreamTest, OpenFailsWithinTheOpenTimeOut) {
  constexpr int kOpenMs = 1500;
  lib.SetTimeouts(kOpenMs, 0);
  kvr_test::ScratchDir dir;
  // A listener that accepts connections (the kernel does) and never answers.
  int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(silent, 4), 0);
  ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const std::string silent_url = "rtsp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/s";
  // A port nobody listens on.
  int closed = ::socket(AF_INET, SOCK_STREAM, 0);
  addr.sin_port = 0;
  ASSERT_EQ(::bind(closed, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::getsockname(closed, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const std::string dead_url = "rtsp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/s";
  ::close(closed);
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
