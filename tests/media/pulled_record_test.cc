// Records pulled from the test camera through the RTSP source, the framework,
// the writer and the proactor, checked with FFmpeg's own tools.
#include <gtest/gtest.h>

#include <thread>

#include "media/remote_stream.h"
#include "tests/media/camera_fixture.h"
#include "tests/media/media_probe.h"
#include "tests/media/media_rig.h"

namespace {

using kvr_test::MediaRig;
using kvr_test::TestCamera;
using kvr_test::WaitFor;
using Writer = CKVRIOCommMdl;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class PulledRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rig_.ok());
    ASSERT_TRUE(camera_.ok()) << camera_.error();
  }

  // Starts a record of the camera and waits until its media reach the file.
  MediaRig::Record StartPull(const std::string& url, const TestCamera* camera = nullptr) {
    auto rec = rig_.Start({.writeUrl = url, .readUrl = (camera ? camera : &camera_)->url()});
    EXPECT_TRUE(WaitFor([&] { return rec.writer->GetBytesReceived() > 0; }));
    return rec;
  }
  kvr_test::ProbeResult Probe(const std::string& url) {
    EXPECT_TRUE(rig_.WaitFilesClosed());
    return kvr_test::ProbeFile(rig_.dir().File(url));
  }

  MediaRig rig_;
  TestCamera camera_;
};

// Five seconds with a pause in the middle: the stream stays open while the
// writer drops it, and the one file plays with its timestamps kept.
TEST_F(PulledRecordTest, FiveSecondsPausedAndResumedPlayWithVideoAndAudio) {
  auto rec = StartPull("cam\\five.ts");
  const auto started = Clock::now();
  ASSERT_TRUE(WaitFor([&] { return !rig_.store().Log("RecRealMedia").empty(); }));
  const auto ack = rig_.store().Log("RecRealMedia")[0];
  EXPECT_EQ(ack.value, 5) << "the start reply carries 5 even on success";
  EXPECT_EQ(ack.replyTo, std::vector<std::string>{"client"});
  EXPECT_EQ(rec.pulled->GetReadUrl(), camera_.url());

  std::this_thread::sleep_until(started + 2s);
  rig_.Control(rec, Writer::kStatePaused);
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStatePaused));
  std::this_thread::sleep_until(started + 3s);
  EXPECT_NE(rec.pulled->GetStreamHandle(), 0u) << "a pause leaves the stream open";
  rig_.Control(rec, Writer::kStateResumed);
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateResumed));
  std::this_thread::sleep_until(started + 5s);
  rig_.Control(rec, Writer::kStateStopped);
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateStopped));
  ASSERT_TRUE(WaitFor([&] { return rec.pulled->GetStreamHandle() == 0; })) << "stream closed";
  const auto probe = Probe("cam/five.ts");
  EXPECT_TRUE(probe.ok) << probe.errors;
  EXPECT_EQ(probe.codecs, (std::vector<std::string>{"h264", "aac"}));
  EXPECT_NEAR(probe.duration, 5.0, 1.0);
  EXPECT_EQ(std::filesystem::file_size(rig_.dir().File("cam/five.ts")),
            rec.writer->GetBytesReceived());
}

// One camera is killed (its connection ends at once), the other hangs (only
// the read time-out notices): each record fails with one event 5 at its
// writer in time, and each file so far plays.
TEST_F(PulledRecordTest, LostCameraFailsTheRecordWithinTheReadTimeOut) {
  constexpr int kReadTimeoutMs = 2000;
  TestCamera hung;
  ASSERT_TRUE(hung.ok()) << hung.error();
  CRemoteStreamLib::Instance().SetTimeouts(0, kReadTimeoutMs);
  const MediaRig::Record recs[] = {StartPull("killed.ts"), StartPull("hung.ts", &hung)};
  CRemoteStreamLib::Instance().SetTimeouts(0, 0);
  std::this_thread::sleep_for(1s);
  camera_.Kill();
  hung.Freeze();
  const auto cut = Clock::now();
  for (const auto& rec : recs) {
    SCOPED_TRACE(rec.url);
    ASSERT_TRUE(WaitFor([&] { return !rig_.store().Events(rec.url).empty(); }));
    for (const auto& event : rig_.store().Log("RecordEvent")) {
      if (event.url != rec.url) continue;
      EXPECT_LE(event.at - cut, std::chrono::milliseconds(kReadTimeoutMs + 1000));
      EXPECT_EQ(event.replyTo,
                std::vector<std::string>{rec.writer->GetRuntimeInfo()->Name().c_str()});
    }
    ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateFailed));
    EXPECT_EQ(rig_.EventsSoFar(rec), std::vector<int>{Writer::kEventStreamLost}) << "once";
  }
  for (const auto& rec : recs) {
    const auto probe = Probe(rec.url);
    EXPECT_TRUE(probe.ok) << probe.errors;
    EXPECT_EQ(probe.codecs, (std::vector<std::string>{"h264", "aac"}));
  }
}

TEST(PulledStartTest, AStreamThatDoesNotOpenFailsTheRecord) {
  MediaRig rig;
  ASSERT_TRUE(rig.ok());
  // Nothing listens on port 1 of the loopback address.
  const std::string deviceUrl = "rtsp://127.0.0.1:1/RealMedia?ObjectID=10.1.2.3:37777@2";
  const struct {
    MediaRig::Request request;
    std::string readUrl;
  } rows[] = {
      {{.writeUrl = "refused.ts", .readUrl = "rtsp://127.0.0.1:1/x"}, "rtsp://127.0.0.1:1/x"},
      // No read URL: the device the request addresses gives the URL.
      {{.writeUrl = "device.ts",
        .readUrl = "",
        .vsDestIp = "127.0.0.1",
        .puIp = "10.1.2.3",
        .vsDestPort = 1,
        .puPort = 37777,
        .puChannel = 2},
       deviceUrl},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.request.writeUrl);
    auto rec = rig.Start(row.request);
    ASSERT_TRUE(rig.WaitState(rec, Writer::kStateFailed));
    EXPECT_EQ(rec.pulled->GetReadUrl(), row.readUrl);
    EXPECT_EQ(rec.pulled->GetStreamHandle(), 0u);
    ASSERT_TRUE(WaitFor([&] {
      for (const auto& ack : rig.store().Log("RecRealMedia")) {
        if (ack.url == rec.url) return ack.value == 5 && ack.replyTo.size() == 1;
      }
      return false;
    }));
  }
}

}  // namespace
