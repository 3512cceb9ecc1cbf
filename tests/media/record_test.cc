// Records through the framework into real files: the writer with the pushed
// source, and with the RTSP source pulling from the test camera, whose files
// are checked with FFmpeg's own tools.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>
#include <tuple>

#include "media/remote_stream.h"
#include "tests/media/camera_fixture.h"
#include "tests/media/media_probe.h"
#include "tests/media/media_rig.h"

namespace {

using kvr::media::CRemoteStreamLib;

using kvr_test::Bytes;
using kvr_test::Events;
using kvr_test::kPacket;
using kvr_test::MediaRig;
using kvr_test::TestCamera;
using kvr_test::WaitFor;
using kvr_test::Writer;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(rig_.ok()); }
  // A stalled disk must not outlive the test: the rig's proactor still writes on its way out.
  void TearDown() override { disk_.Open(); }
  kvr_test::Gate disk_;  // a throttle for records' channels that stalls until opened
  MediaRig rig_;
};

TEST_F(WriterTest, PausedAndResumedRecordKeepsEveryAcceptedByteInOrder) {
  auto rec = rig_.Recording({.writeUrl = "cam\\day\\rec.dav"});
  std::string expected;
  for (int round = 0; round < 3; ++round) {
    const std::string kept = Bytes(3000 + round, round);
    rig_.PushAndWait(rec, kept);
    expected += kept;
    rig_.Control(rec, Writer::kStatePaused);
    ASSERT_TRUE(rig_.WaitState(rec, Writer::kStatePaused));
    rig_.PushAndWait(rec, "dropped while paused");
    EXPECT_EQ(rec.writer->GetBytesReceived(), expected.size());
    rig_.Control(rec, Writer::kStatePaused);  // ignored: already paused
    rig_.Control(rec, Writer::kStateResumed);
    ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateResumed));
    rig_.Control(rec, Writer::kStateResumed);  // ignored: recording
  }
  const std::string last = Bytes(2 << 20, 7);  // more than a proactor block
  rig_.PushAndWait(rec, last);
  expected += last;
  rig_.Control(rec, Writer::kStatePaused);
  rig_.Control(rec, Writer::kStateStopped);  // allowed from paused, and answered once
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateStopped));
  rig_.Control(rec, Writer::kStateResumed);  // nothing after a stop
  ASSERT_TRUE(rig_.WaitFilesClosed());
  EXPECT_EQ(rig_.FileText("cam/day/rec.dav"), expected);
  EXPECT_EQ(rec.writer->GetState(), Writer::kStateStopped);
  EXPECT_TRUE(rig_.EventsSoFar(rec).empty());
  const auto replies = rig_.store->Log("RecRealMediaControl");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].value, Writer::kStateStopped);
  EXPECT_EQ(replies[0].url, rec.url);
  EXPECT_EQ(replies[0].replyTo, std::vector<std::string>{"client"});
}

TEST_F(WriterTest, SizeLimitSendsOneEventAtTheLimitAndClosesAfterTenMiBOfGrace) {
  auto rec = rig_.Recording({.writeUrl = "size.ts", .limitSize = 1});
  const std::string quarter = Bytes(256 << 10, 1);
  for (int i = 0; i < 3; ++i) rig_.PushAndWait(rec, quarter);
  rig_.PushAndWait(rec, quarter.substr(1));
  EXPECT_TRUE(rig_.EventsSoFar(rec).empty()) << "one byte short of the limit";
  rig_.PushAndWait(rec, "x");  // exactly 1,048,576
  EXPECT_EQ(rig_.EventsSoFar(rec), Events{Writer::kEventSizeLimit});
  while (rec.writer->GetBytesReceived() + quarter.size() < 11534336) rig_.PushAndWait(rec, quarter);
  rig_.PushAndWait(rec, std::string(11534335 - rec.writer->GetBytesReceived(), 'g'));
  EXPECT_EQ(rec.writer->GetState(), Writer::kStateRecording) << "one byte short of the grace";
  rig_.PushAndWait(rec, "y");
  EXPECT_EQ(rec.writer->GetState(), Writer::kStateStopped);
  rig_.PushAndWait(rec, quarter);  // after the close: dropped
  ASSERT_TRUE(rig_.WaitFilesClosed());
  EXPECT_EQ(std::filesystem::file_size(rig_.dir.File("size.ts")), 11534336u);
  EXPECT_EQ(rig_.EventsSoFar(rec), Events{Writer::kEventSizeLimit});
}

std::atomic<uint32_t> g_now{0};
uint32_t FakeTicks() { return g_now.load(); }

TEST_F(WriterTest, TimeLimitsAndTheirGraceFollowTheTick) {
  // url, tick at the start, limitTime, limitSize, event's ms after the start,
  // event, bytes pushed at each step.
  const std::tuple<const char*, uint32_t, int, int, uint32_t, int, size_t> rows[] = {
      {"ten-seconds", 1000, 10, 0, 10000, Writer::kEventTimeLimit, 100},
      {"default-day", 5, 0, 0, 86400000, Writer::kEventTimeLimit, 100},
      {"across-wrap", 0xFFFFF000u, 10, 0, 10000, Writer::kEventTimeLimit, 100},
      // Both limits reached by one unit: one event, the size event.
      {"both", 0, 10, 1, 10000, Writer::kEventSizeLimit, 1 << 19},
  };
  for (const auto& [url, start, limitTime, limitSize, eventAt, event, chunk] : rows) {
    SCOPED_TRACE(url);
    g_now = start;
    auto rec = rig_.Recording(
        {.writeUrl = url, .limitSize = limitSize, .limitTime = limitTime, .ticks = &FakeTicks});
    const uint32_t end = eventAt + Writer::kTimeGraceMs;
    for (uint32_t at : {eventAt - 1, eventAt, end - 1, end}) {
      g_now = start + at;
      rig_.PushAndWait(rec, std::string(chunk, 'c'));
      EXPECT_EQ(rig_.EventsSoFar(rec), at < eventAt ? Events{} : Events{event});
      EXPECT_EQ(rec.writer->GetState(), at < end ? Writer::kStateRecording : Writer::kStateStopped);
    }
  }
}

// Each way a record fails: its one event to the requester, state 0, the file
// closed, and an existing file left as it was.
TEST_F(WriterTest, FailuresEndTheRecordWithTheirEvent) {
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  const rlimit small{(4 << 20) + 100, old.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  std::ofstream(rig_.dir.File("taken.ts")) << "precious";
  const std::pair<MediaRig::Request, int> rows[] = {
      {{.writeUrl = "full.ts", .reservedBytes = UINT64_MAX}, Writer::kEventDiskFull},
      {{.writeUrl = "taken.ts"}, Writer::kEventWriteError},
      // A real failed disk write: the process may not write beyond 4 MiB, a
      // limit inside a packet, so the proactor's first block fails part-way
      // and the next Write reports it.
      {{.writeUrl = "big.ts"}, Writer::kEventWriteError},
  };
  const std::string chunk = Bytes(1000 * kPacket, 3);
  std::string pushed;
  for (const auto& [request, event] : rows) {
    SCOPED_TRACE(request.writeUrl);
    if (request.writeUrl == "big.ts") setrlimit(RLIMIT_FSIZE, &small);
    auto rec = rig_.Recording(request);
    pushed.clear();  // the last row's stays
    for (int i = 0; i < 64 && rec.writer->GetState() == Writer::kStateRecording; ++i) {
      rig_.PushAndWait(rec, chunk);
      pushed += chunk;
    }
    rig_.PushAndWait(rec, chunk);  // dropped
    EXPECT_EQ(rec.writer->GetState(), Writer::kStateFailed);
    EXPECT_EQ(rig_.EventsSoFar(rec), Events{event});
    EXPECT_EQ(rig_.store->Log("RecordEvent", &rec.url).at(0).replyTo,
              std::vector<std::string>{"client"});
    EXPECT_TRUE(rig_.WaitFilesClosed());
  }
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(rig_.FileText("full.ts") + rig_.FileText("taken.ts"), "precious");
  // The write that failed part-way at the limit is cut back: whole packets of
  // what was pushed, in order.
  const std::string kept = rig_.FileText("big.ts");
  EXPECT_GT(kept.size(), 0u);
  EXPECT_EQ(kept.size() % kPacket, 0u) << kept.size();
  EXPECT_TRUE(pushed.compare(0, kept.size(), kept) == 0);

  // After a limit event no disk-full event follows: the payload is dropped
  // and the record goes on in its grace.
  auto limited = rig_.Recording({.writeUrl = "limited.ts", .limitSize = 1});
  rig_.PushAndWait(limited, std::string(1 << 20, 'a'));
  limited.writer->SetReservedBytes(UINT64_MAX);
  rig_.PushAndWait(limited, "dropped");
  EXPECT_EQ(rig_.EventsSoFar(limited), Events{Writer::kEventSizeLimit});
  EXPECT_EQ(limited.writer->GetState(), Writer::kStateRecording);
}

// The disk stalls (the record's channel waits at a throttle) while the source
// goes on: what passes the channel's bound is dropped whole and counted, one
// debug line in the whole record says so however often it happens, and the
// record goes on, its file gaining a gap but keeping whole packets.
TEST_F(WriterTest, PayloadsPastTheMemoryBoundAreDroppedAndTheRecordGoesOn) {
  const kvr_test::LogCapture log(rig_.dir.File("debug.log"));
  const std::string kDropLine = "behind.ts: the disk is behind";
  CProactor& proactor = rig_.proactor();
  ASSERT_TRUE(proactor.SetMemoryBounds(1 << 20, 64 << 20));
  auto rec = rig_.Recording({.writeUrl = "behind.ts"});
  // The writer opens its file on a delivery thread of its own.
  ASSERT_TRUE(WaitFor([&] {
    return proactor.SetWriteThrottle(rec.writer->GetChannelId(), [&](size_t) { disk_.Pass(); });
  }));
  constexpr size_t kPayload = 512 * kPacket;  // 10 fit in 1 MiB, the 11th does not
  std::string expected;
  for (uint32_t i = 0; i < 30; ++i) {
    const std::string payload = Bytes(kPayload, i);
    rig_.PushAndWait(rec, payload);
    if (i < 10) expected += payload;
  }
  EXPECT_EQ(rec.writer->GetDroppedPayloads(), 20u);
  EXPECT_EQ(rec.writer->GetDroppedBytes(), 20 * kPayload);
  EXPECT_LE(proactor.GetPeakHeldBytes(), 1u << 20);
  EXPECT_EQ(rec.writer->GetState(), Writer::kStateRecording);
  EXPECT_EQ(log.Count(kDropLine), 1);

  disk_.Open();
  ASSERT_TRUE(WaitFor([&] { return proactor.GetHeldBytes() == 0; }));
  // Caught up, behind again (a bound smaller than a payload), caught up again;
  // no round holds enough to be near the bound of the next.
  for (const auto& [bound, seed, kept] : {std::tuple{size_t{1} << 20, 100u, true},
                                          {size_t{50000}, 200u, false},
                                          {size_t{1} << 20, 300u, true}}) {
    ASSERT_TRUE(proactor.SetMemoryBounds(bound, 64 << 20));
    for (uint32_t i = 0; i < 2; ++i) {
      const std::string payload = Bytes(kPayload, seed + i);
      rig_.PushAndWait(rec, payload);
      if (kept) expected += payload;
    }
  }
  EXPECT_EQ(rec.writer->GetDroppedPayloads(), 22u);
  rig_.Control(rec, Writer::kStateStopped);
  ASSERT_TRUE(rig_.WaitFilesClosed());
  EXPECT_TRUE(rig_.FileText("behind.ts") == expected);
  EXPECT_TRUE(rig_.EventsSoFar(rec).empty()) << "a gap is not the end of the record";
  EXPECT_EQ(log.Count(kDropLine), 1);
}

// Sources for the same writer come and go while a host pushes to whichever
// handle it was last given: pushes to a released source touch nothing.
TEST_F(WriterTest, PushEntryRefusesBadInputAndHandlesThatNameNoLiveSource) {
  auto rec = rig_.Recording({.writeUrl = "push.ts"});
  const uint32_t handle = rec.pushed->GetHandle();
  EXPECT_EQ(CKVRDvConCommMdl::PushMedia(nullptr, 10, handle), -1);
  EXPECT_EQ(CKVRDvConCommMdl::PushMedia("abc", 0, handle), -1);
  EXPECT_EQ(CKVRDvConCommMdl::PushMedia("abc", 3, 0), 0);
  std::atomic<uint32_t> target{0};
  std::atomic<bool> done{false};
  std::thread host([&] {
    while (!done) CKVRDvConCommMdl::PushMedia("zzzz", 4, target.load());
  });
  for (int i = 0; i < 200; ++i) {
    auto* source = new CKVRDvConCommMdl;
    source->SetWriterName(rec.writer->GetRuntimeInfo()->Name().c_str());
    target = source->GetHandle();
    std::this_thread::yield();
    source->Destroy();
  }
  done = true;
  host.join();
  EXPECT_EQ(CKVRDvConCommMdl::PushMedia("zzzz", 4, target), 0);
  // Everything that arrived came whole, and through live sources only.
  rig_.PushAndWait(rec, "abc");
  rig_.Control(rec, Writer::kStateStopped);
  ASSERT_TRUE(rig_.WaitFilesClosed());
  const std::string file = rig_.FileText("push.ts");
  EXPECT_EQ(file, std::string(file.size() - 3, 'z') + "abc");
  EXPECT_EQ(file.size() % 4, 3u);
}

class PulledRecordTest : public WriterTest {
 protected:
  void SetUp() override { ASSERT_TRUE(rig_.ok() && camera_.ok()) << camera_.error(); }

  // Starts a record of the camera and waits until its media reach the file.
  MediaRig::Record StartPull(const std::string& url, const TestCamera* camera = nullptr) {
    auto rec = rig_.Start({.writeUrl = url, .readUrl = (camera ? camera : &camera_)->url()});
    EXPECT_TRUE(WaitFor([&] { return rec.writer->GetBytesReceived() > 0; }));
    return rec;
  }
  // Once the files are closed: the record plays with video and audio; its length.
  double ExpectPlays(const std::string& url) {
    EXPECT_TRUE(rig_.WaitFilesClosed());
    return kvr_test::ExpectPlays(rig_.dir.File(url), {"h264", "aac"});
  }

  TestCamera camera_;
};

// One camera is killed (its connection ends at once), the other hangs (only
// the read time-out notices): each record fails with one event 5 at its
// writer in time, and each file so far plays. A pushed record goes on.
TEST_F(PulledRecordTest, LostCameraFailsTheRecordWithinTheReadTimeOut) {
  // Short, so the loose bound below (room for a loaded machine) still
  // tells it from the 5 s default.
  constexpr int kReadTimeoutMs = 1000;
  TestCamera hung;
  ASSERT_TRUE(hung.ok()) << hung.error();
  CRemoteStreamLib::Instance().SetTimeouts(0, kReadTimeoutMs);
  const MediaRig::Record recs[] = {StartPull("killed.ts"), StartPull("hung.ts", &hung)};
  CRemoteStreamLib::Instance().SetTimeouts(0, 0);
  // A pushed record beside them, which must not notice.
  auto pushed = rig_.Recording({.writeUrl = "pushed.ts"});
  std::string pushedBytes = Bytes(100 * kPacket, 1);
  rig_.PushAndWait(pushed, pushedBytes);
  std::this_thread::sleep_for(1s);
  camera_.Kill();
  hung.Freeze();
  const auto cut = Clock::now();
  for (const auto& rec : recs) {
    SCOPED_TRACE(rec.url);
    ASSERT_TRUE(WaitFor([&] { return !rig_.store->Log("RecordEvent", &rec.url).empty(); }));
    EXPECT_LE(Clock::now() - cut, std::chrono::milliseconds(kReadTimeoutMs + 3000));
    EXPECT_EQ(rig_.store->Log("RecordEvent", &rec.url)[0].replyTo,
              std::vector<std::string>{rec.writer->GetRuntimeInfo()->Name().c_str()});
    ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateFailed));
    EXPECT_EQ(rig_.EventsSoFar(rec), Events{Writer::kEventStreamLost}) << "once";
  }
  const std::string later = Bytes(100 * kPacket, 2);
  rig_.PushAndWait(pushed, later);
  pushedBytes += later;
  EXPECT_EQ(pushed.writer->GetState(), Writer::kStateRecording);
  rig_.Control(pushed, Writer::kStateStopped);
  for (const auto& rec : recs) ExpectPlays(rec.url);
  EXPECT_TRUE(rig_.FileText("pushed.ts") == pushedBytes) << "the pushed record went on";
  EXPECT_TRUE(rig_.EventsSoFar(pushed).empty());
}

// No read URL: the device the request addresses gives the URL. Nothing
// listens there, so the record fails, and the start is still answered 5.
TEST_F(WriterTest, PulledDeviceStreamThatDoesNotOpenFailsTheRecord) {
  auto rec = rig_.Start({.writeUrl = "device.ts", .readUrl = ""}, [](CRecordMedia& r) {
    kvr_test::Copy(r.vsDestIp, "127.0.0.1");
    kvr_test::Copy(r.puIp, "10.1.2.3");
    r.vsDestPort = 1, r.puPort = 37777, r.puChannel = 2;
  });
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateFailed));
  EXPECT_EQ(rec.pulled->GetReadUrl(), "rtsp://127.0.0.1:1/RealMedia?ObjectID=10.1.2.3:37777@2");
  ASSERT_TRUE(WaitFor([&] { return !rig_.store->Log("RecRealMedia", &rec.url).empty(); }));
  EXPECT_EQ(rig_.store->Log("RecRealMedia", &rec.url)[0].value, 5);
}

}  // namespace
