// The remote stream library on its own: closing while data flows, files, and
// opens that fail. Whole records from the camera are in record_test.cc.
#include "media/remote_stream.h"

#include <syslog.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "gtest/gtest.h"
#include "tests/media/camera_fixture.h"
#include "tests/media/media_probe.h"
#include "tests/test_util.h"

namespace {

using kvr::media::CRemoteStreamLib;

using kvr_test::WaitFor;
using Clock = std::chrono::steady_clock;

CRemoteStreamLib& lib = CRemoteStreamLib::Instance();

// What one stream delivered, and whether it broke a rule of the callback.
// Only the stream's reader thread writes it; the test reads it once closed.
struct Capture {
  std::string bytes;
  std::atomic<int> chunks{0}, notWholePackets{0}, afterClose{0}, closesTried{0};
  std::atomic<bool> closed{false};       // set once CloseStream returned
  std::atomic<uint32_t> closeInside{0};  // a stream the callback tries to close
};

int OnData(uint32_t, const uint8_t* data, uint32_t size, void* user) {
  auto* c = static_cast<Capture*>(user);
  if (c->closed) ++c->afterClose;
  bool whole = size > 0 && size % 188 == 0;
  for (uint32_t i = 0; whole && i < size; i += 188) whole = data[i] == 0x47;
  if (!whole) ++c->notWholePackets;
  if (const uint32_t h = c->closeInside.load(); h != 0) {
    lib.CloseStream(h);
    ++c->closesTried;
  }
  c->bytes.append(reinterpret_cast<const char*>(data), size);
  ++c->chunks;
  return 0;
}

// Disconnect callbacks seen, by stream handle (handles are handed out in turn).
std::atomic<int> lost[1024];
void OnLost(uint32_t stream, uint32_t, uint32_t) { ++lost[stream % 1024]; }
int LostCount(uint32_t stream) { return lost[stream % 1024]; }

class RemoteStreamTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { openlog("media_test", LOG_PERROR, LOG_USER); }
  // Every stream here reports its loss to OnLost; the callback the records'
  // sources registered for the process stays theirs.
  void SetUp() override {
    ASSERT_TRUE(lib.Initialize());
    lib.SetTimeouts(0, 0);
  }
  void TearDown() override {
    lib.Cleanup();
    EXPECT_EQ(lib.OpenCount(), 0u);
  }
};

// Threads open two streams each and close one of them from two threads at
// once while data flows; no callback may follow a close, and a callback that
// closes its own stream is refused. A camera per thread: the test camera's
// server fails when one media's sessions are set up and torn down at once.
TEST_F(RemoteStreamTest, CloseWhileDataFlowsFromSeveralThreads) {
  constexpr int kThreads = 2, kRounds = 3;
  kvr_test::TestCamera cameras[kThreads];
  for (const auto& camera : cameras) ASSERT_TRUE(camera.ok()) << camera.error();
  std::atomic<int> failures{0}, calledAfterClose{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, url = cameras[t].url()] {
      for (int round = 0; round < kRounds; ++round) {
        Capture a, b;
        const uint32_t ha = lib.OpenStream(url.c_str(), &OnData, &a, &OnLost);
        const uint32_t hb = lib.OpenStream(url.c_str(), &OnData, &b, &OnLost);
        b.closeInside = hb;
        const bool flowing =
            ha != 0 && hb != 0 && ha != hb && WaitFor([&] { return b.closesTried > 0; });
        const int seen = b.chunks;
        if (!flowing || !WaitFor([&] { return a.chunks > 0 && b.chunks > seen; })) ++failures;
        std::thread other([&] { lib.CloseStream(ha); });
        lib.CloseStream(ha);
        a.closed = true;
        other.join();
        lib.CloseStream(hb);
        b.closed = true;
        calledAfterClose += a.afterClose + b.afterClose;
        failures += a.notWholePackets + b.notWholePackets;
        failures += LostCount(ha) + LostCount(hb);  // a closed stream is not a lost one
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(calledAfterClose, 0);
}

// A camera that asks for credentials opens only with the right ones in the URL.
TEST_F(RemoteStreamTest, CredentialsInTheUrl) {
  kvr_test::TestCamera camera("operator", "s3cret");
  ASSERT_TRUE(camera.ok()) << camera.error();
  Capture capture;
  EXPECT_EQ(lib.OpenStream(camera.url().c_str(), &OnData, &capture, &OnLost), 0u);
  EXPECT_EQ(lib.OpenStream(camera.UrlWith("operator", "wrong").c_str(), &OnData, &capture, &OnLost),
            0u);
  const uint32_t h =
      lib.OpenStream(camera.UrlWith("operator", "s3cret").c_str(), &OnData, &capture, &OnLost);
  ASSERT_NE(h, 0u);
  EXPECT_TRUE(kvr_test::WaitFor([&] { return capture.chunks > 0; }));
  lib.CloseStream(h);
}

// A file is read to its end, which counts as the stream lost, once; the G.711
// audio has no place in MPEG-TS and is left out while the video is kept.
TEST_F(RemoteStreamTest, FileUrlKeepsWhatMpegTsCarries) {
  // A 2 s clip with H.264 video and G.711 audio.
  kvr_test::ScratchDir dir;
  const std::string clip = dir.File("clip.mkv"), record = dir.File("record.ts");
  const std::string make =
      "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i "
      "sine=sample_rate=8000 -t 2 -c:v libx264 -preset ultrafast -g 25 -c:a pcm_mulaw ";
  ASSERT_EQ(std::system((make + clip).c_str()), 0);
  Capture capture;
  const uint32_t h = lib.OpenStream(("file:" + clip).c_str(), &OnData, &capture, &OnLost);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(WaitFor([&] { return LostCount(h) > 0; }));
  lib.CloseStream(h);
  EXPECT_EQ(LostCount(h), 1);
  EXPECT_EQ(capture.notWholePackets, 0);
  std::ofstream(record, std::ios::binary) << capture.bytes;
  EXPECT_NEAR(kvr_test::ExpectPlays(record, {"h264"}, true), 2.0, 0.2);
}

// Nothing to open: 0, within the open time-out even when the server never answers.
TEST_F(RemoteStreamTest, OpenFailsWithinTheOpenTimeOut) {
  constexpr int kOpenMs = 1500;
  lib.SetTimeouts(kOpenMs, 0);
  // The kernel accepts connections for a listener that never answers.
  kvr_test::LoopbackSocket silent = kvr_test::LoopbackSocket::Listen();
  ASSERT_TRUE(silent.connected());
  const std::string silentUrl = "rtsp://127.0.0.1:" + std::to_string(silent.port()) + "/s";
  // One character too long: refused at once, not after the silent server's time-out.
  const std::string longUrl =
      silentUrl + std::string(CRemoteStreamLib::kMaxUrlLength + 1 - silentUrl.size(), 'x');
  const std::pair<const char*, double> cases[] = {{silentUrl.c_str(), kOpenMs / 1000.0 + 1.0},
                                                  {"rtsp://127.0.0.1:1/s", 1.0},
                                                  {"/nonexistent/clip.ts", 1.0},
                                                  {longUrl.c_str(), 0.5},
                                                  {nullptr, 0.5}};
  for (const auto& [url, maxSeconds] : cases) {
    SCOPED_TRACE(url == nullptr ? "null" : url);
    Capture capture;
    const auto start = Clock::now();
    EXPECT_EQ(lib.OpenStream(url, &OnData, &capture, &OnLost), 0u);
    EXPECT_LE(std::chrono::duration<double>(Clock::now() - start).count(), maxSeconds);
    EXPECT_EQ(capture.chunks, 0);
  }
}

}  // namespace
