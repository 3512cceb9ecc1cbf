// The record file writer and the pushed-media source, driven through the
// framework with real files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <thread>

#include "media/record_path.h"
#include "tests/media/media_rig.h"

namespace {

using kvr_test::MediaRig;
using kvr_test::WaitFor;
using Writer = CKVRIOCommMdl;

std::string Bytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  for (auto& c : out) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  return out;
}

bool SameTime(const TimeRecord& a, const TimeRecord& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(RecordPathTest, JoinsWithSlashesAndRefusesWhatDoesNotFit) {
  struct Row {
    const char* root;
    const char* url;
    const char* path;
  } rows[] = {
      {"/v", "rec.dav", "/v/rec.dav"},
      {"/v/", "a\\b\\rec.dav", "/v/a/b/rec.dav"},
      {"\\\\v\\\\", "\\a//b\\\\rec.dav", "/v/a/b/rec.dav"},
  };
  const std::string fits = std::string(256, 'x');  // "/v/" + 256 = 259 bytes
  std::string out = "old";
  for (const auto& r : rows) {
    EXPECT_TRUE(MakeRecordPath(r.root, r.url, &out)) << r.url;
    EXPECT_EQ(out, r.path) << r.url;
  }
  EXPECT_TRUE(MakeRecordPath("/v", fits.c_str(), &out));
  EXPECT_FALSE(MakeRecordPath("/v", (fits + "x").c_str(), &out));
  EXPECT_EQ(out, "") << "a path that does not fit is not cut";
  EXPECT_FALSE(MakeRecordPath(nullptr, "x", &out));
}

TEST(RecordPathTest, EnsureDirectoriesMakesTheFoldersButNeverTheFile) {
  kvr_test::ScratchDir dir;
  EXPECT_EQ(EnsureDirectories((dir.path() + "/a\\b/rec.dav").c_str()), 0);
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("a/b")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("a/b/rec.dav")));
  EXPECT_EQ(EnsureDirectories((dir.path() + "/a/b/rec.dav").c_str()), 0) << "existing folders";
  EXPECT_EQ(EnsureDirectories("rec.dav"), -1) << "no separator";
  std::ofstream(dir.File("file")) << "x";
  EXPECT_EQ(EnsureDirectories((dir.path() + "/file/sub/rec.dav").c_str()), -1);
}

class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(rig_.ok()); }
  MediaRig rig_;
};

TEST_F(WriterTest, PausedAndResumedRecordKeepsEveryAcceptedByteInOrder) {
  auto rec = rig_.Start({.writeUrl = "cam\\day\\rec.dav"});
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateRecording));
  std::string expected;
  for (int round = 0; round < 3; ++round) {
    const std::string kept = Bytes(3000 + round, round), dropped = Bytes(500, 100 + round);
    rig_.PushAndWait(rec, kept);
    expected += kept;
    rig_.Control(rec, Writer::kStatePaused);
    ASSERT_TRUE(rig_.WaitState(rec, Writer::kStatePaused));
    const TimeRecord pausedAt = rec.writer->GetEndTime();
    const TimeRecord started = rec.writer->GetStartTime();
    rig_.PushAndWait(rec, dropped);
    EXPECT_EQ(rec.writer->GetBytesReceived(), expected.size()) << "paused bytes are not counted";
    EXPECT_TRUE(SameTime(pausedAt, rec.writer->GetEndTime())) << "the pause time, not now";
    EXPECT_NE(started.year, 0);
    rig_.Control(rec, Writer::kStatePaused);  // ignored: already paused
    rig_.Control(rec, Writer::kStateResumed);
    ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateResumed));
    rig_.Control(rec, Writer::kStateResumed);  // ignored: recording
  }
  const std::string last = Bytes(2 << 20, 7);  // over a proactor block
  rig_.PushAndWait(rec, last);
  expected += last;
  rig_.Control(rec, Writer::kStatePaused);
  rig_.Control(rec, Writer::kStateStopped);  // allowed from paused, and replied to
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateStopped));
  rig_.Control(rec, Writer::kStateResumed);  // nothing after a stop
  ASSERT_TRUE(WaitFor([&] { return rig_.store().Log("RecRealMediaControl").size() == 1; }));
  const auto reply = rig_.store().Log("RecRealMediaControl")[0];
  EXPECT_EQ(reply.kind, SvrFrame::kReplyMessage);
  EXPECT_EQ(reply.value, Writer::kStateStopped);
  EXPECT_EQ(reply.url, rec.url);
  EXPECT_EQ(reply.replyTo, std::vector<std::string>{"client"});

  ASSERT_TRUE(rig_.WaitFilesClosed());
  EXPECT_EQ(rig_.FileText("cam/day/rec.dav"), expected);
  EXPECT_EQ(rec.writer->GetRecordSizeMB(), expected.size() >> 20);
  EXPECT_EQ(rec.writer->GetState(), Writer::kStateStopped);
  EXPECT_TRUE(rig_.EventsSoFar(rec).empty());
}

TEST_F(WriterTest, FourConcurrentPushedRecordsEachGetTheirOwnBytesInOrder) {
  constexpr int kRecords = 4, kChunks = 400;
  std::vector<MediaRig::Record> recs;
  for (int i = 0; i < kRecords; ++i) {
    recs.push_back(rig_.Start({.writeUrl = "r" + std::to_string(i) + ".ts"}));
  }
  for (auto& rec : recs) ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateRecording));
  std::vector<std::string> expected(kRecords);
  std::vector<std::thread> hosts;
  for (int i = 0; i < kRecords; ++i) {
    hosts.emplace_back([&, i] {
      for (int c = 0; c < kChunks; ++c) {
        const std::string chunk = Bytes(1 + (c * 977 + i * 131) % 9000, i * 100000 + c);
        CKVRDvConCommMdl::PushMedia(chunk.data(), static_cast<int>(chunk.size()),
                                    recs[i].pushed->GetHandle());
        expected[i] += chunk;
        // A full queue would drop chunks: keep the hosts within its bound.
        if (c % 50 == 49) {
          WaitFor([&] { return recs[i].writer->GetBytesReceived() == expected[i].size(); });
        }
      }
    });
  }
  for (auto& t : hosts) t.join();
  for (int i = 0; i < kRecords; ++i) {
    ASSERT_TRUE(WaitFor([&] { return recs[i].writer->GetBytesReceived() == expected[i].size(); }));
    rig_.Control(recs[i], Writer::kStateStopped);
  }
  ASSERT_TRUE(rig_.WaitFilesClosed());
  for (int i = 0; i < kRecords; ++i) {
    EXPECT_TRUE(rig_.FileText(recs[i].url) == expected[i]) << recs[i].url;
  }
}

TEST_F(WriterTest, SizeLimitSendsOneEventAtTheLimitAndClosesAfterTenMiBOfGrace) {
  auto rec = rig_.Start({.writeUrl = "size.ts", .limitSize = 1});
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateRecording));
  EXPECT_EQ(rec.writer->GetSizeLimit(), 1u << 20);
  const std::string quarter = Bytes(256 << 10, 1);
  for (int i = 0; i < 3; ++i) rig_.PushAndWait(rec, quarter);
  rig_.PushAndWait(rec, quarter.substr(1));
  EXPECT_TRUE(rig_.EventsSoFar(rec).empty()) << "one byte short of the limit";
  rig_.PushAndWait(rec, "x");  // exactly 1,048,576
  EXPECT_EQ(rig_.EventsSoFar(rec), std::vector<int>{Writer::kEventSizeLimit});
  // Up to 11,534,336 bytes - 1 the record goes on, with no second event.
  while (rec.writer->GetBytesReceived() + quarter.size() < 11534336) rig_.PushAndWait(rec, quarter);
  rig_.PushAndWait(rec, std::string(11534335 - rec.writer->GetBytesReceived(), 'g'));
  EXPECT_EQ(rec.writer->GetState(), Writer::kStateRecording);
  rig_.PushAndWait(rec, "y");
  EXPECT_EQ(rec.writer->GetState(), Writer::kStateStopped);
  rig_.PushAndWait(rec, quarter);  // after the close: dropped
  ASSERT_TRUE(rig_.WaitFilesClosed());
  EXPECT_EQ(std::filesystem::file_size(rig_.dir().File("size.ts")), 11534336u);
  EXPECT_EQ(rig_.EventsSoFar(rec), std::vector<int>{Writer::kEventSizeLimit});
}

std::atomic<uint32_t> g_now{0};
uint32_t FakeTicks() { return g_now.load(); }

TEST_F(WriterTest, TimeLimitsAndTheirGraceFollowTheTick) {
  Writer::SetTickSource(&FakeTicks);
  struct Row {
    const char* url;
    uint32_t start;
    int limitTime, limitSize;
    uint32_t eventAt;  // ms after the start at which the event is due
    int event;
    size_t chunk;  // bytes pushed at each step
  } rows[] = {
      {"ten-seconds.ts", 1000, 10, 0, 10000, Writer::kEventTimeLimit, 100},
      {"default-day.ts", 5, 0, 0, 86400000, Writer::kEventTimeLimit, 100},
      {"across-wrap.ts", 0xFFFFF000u, 10, 0, 10000, Writer::kEventTimeLimit, 100},
      // Both limits reached by one unit: one event, and it is the size event.
      {"both.ts", 0, 10, 1, 10000, Writer::kEventSizeLimit, (1 << 20) / 2},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.url);
    g_now = r.start;
    auto rec = rig_.Start({.writeUrl = r.url, .limitSize = r.limitSize, .limitTime = r.limitTime});
    ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateRecording));
    const std::string chunk(r.chunk, 'c');
    g_now = r.start + r.eventAt - 1;
    rig_.PushAndWait(rec, chunk);
    EXPECT_TRUE(rig_.EventsSoFar(rec).empty());
    g_now = r.start + r.eventAt;
    rig_.PushAndWait(rec, chunk);
    EXPECT_EQ(rig_.EventsSoFar(rec), std::vector<int>{r.event});
    g_now = r.start + r.eventAt + Writer::kTimeGraceMs - 1;
    rig_.PushAndWait(rec, chunk);
    EXPECT_EQ(rec.writer->GetState(), Writer::kStateRecording) << "within the grace";
    g_now = r.start + r.eventAt + Writer::kTimeGraceMs;
    rig_.PushAndWait(rec, chunk);
    EXPECT_EQ(rec.writer->GetState(), Writer::kStateStopped);
    EXPECT_EQ(rig_.EventsSoFar(rec).size(), 1u);
  }
  Writer::SetTickSource(nullptr);
}

TEST_F(WriterTest, ReservedSpaceAboveTheFreeSpaceFailsTheRecordOnce) {
  auto rec = rig_.Start({.writeUrl = "full.ts", .reservedBytes = UINT64_MAX});
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateRecording));
  CKVRDvConCommMdl::PushMedia("abc", 3, rec.pushed->GetHandle());
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateFailed));
  rig_.PushAndWait(rec, "def");
  ASSERT_TRUE(rig_.WaitFilesClosed());
  EXPECT_EQ(rig_.FileText("full.ts"), "") << "the payload is dropped";
  EXPECT_EQ(rig_.EventsSoFar(rec), std::vector<int>{Writer::kEventDiskFull});
  EXPECT_EQ(rig_.store().Log("RecordEvent")[0].replyTo, std::vector<std::string>{"client"});
}

TEST_F(WriterTest, ExistingFileIsLeftAloneAndTheFirstUnitEndsTheRecord) {
  std::ofstream(rig_.dir().File("taken.ts")) << "precious";
  auto rec = rig_.Start({.writeUrl = "taken.ts"});
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateRecording));
  EXPECT_EQ(rec.writer->GetChannelId(), kNoChannel);
  CKVRDvConCommMdl::PushMedia("abc", 3, rec.pushed->GetHandle());
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateFailed));
  EXPECT_EQ(rig_.EventsSoFar(rec), std::vector<int>{Writer::kEventWriteError});
  EXPECT_EQ(rig_.FileText("taken.ts"), "precious");
}

TEST_F(WriterTest, FailedDiskWriteEndsTheRecordWithAWriteError) {
  // The process may not write files beyond 1 MiB: the proactor's first block
  // write fails, and the writer learns of it from the next Write.
  signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 1 << 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  auto rec = rig_.Start({.writeUrl = "big.ts"});
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateRecording));
  const std::string chunk = Bytes(256 << 10, 3);
  for (int i = 0; i < 64 && rec.writer->GetState() == Writer::kStateRecording; ++i) {
    rig_.PushAndWait(rec, chunk);
  }
  EXPECT_EQ(rec.writer->GetState(), Writer::kStateFailed);
  EXPECT_EQ(rig_.EventsSoFar(rec), std::vector<int>{Writer::kEventWriteError});
  EXPECT_TRUE(rig_.WaitFilesClosed()) << "the failed channel is released";
  setrlimit(RLIMIT_FSIZE, &old);
}

TEST_F(WriterTest, PushEntryRefusesBadInputAndHandlesThatNameNoSource) {
  auto rec = rig_.Start({.writeUrl = "push.ts"});
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateRecording));
  const uint32_t handle = rec.pushed->GetHandle();
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(CKVRDvConCommMdl::PushMedia(nullptr, 10, handle), -1);
  EXPECT_EQ(CKVRDvConCommMdl::PushMedia("abc", 0, handle), -1);
  EXPECT_EQ(CKVRDvConCommMdl::PushMedia("abc", 3, 0), 0);

  // A second source gets its own handle; once it is gone, its handle names
  // nothing and pushes to it touch nothing.
  auto* other = new CKVRDvConCommMdl;
  const uint32_t gone = other->GetHandle();
  EXPECT_NE(gone, handle);
  other->SetWriterName(rec.writer->GetRuntimeInfo()->Name().c_str());
  other->Destroy();
  EXPECT_EQ(CKVRDvConCommMdl::PushMedia("zzz", 3, gone), 0);
  rig_.PushAndWait(rec, "abc");
  rig_.Control(rec, Writer::kStateStopped);
  ASSERT_TRUE(rig_.WaitFilesClosed());
  EXPECT_EQ(rig_.FileText("push.ts"), "abc");
}

TEST_F(WriterTest, SourcesMayBeReleasedWhileHostsPush) {
  auto rec = rig_.Start({.writeUrl = "race.ts"});
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateRecording));
  std::atomic<uint32_t> handle{0};
  std::atomic<bool> done{false};
  std::thread host([&] {
    while (!done) CKVRDvConCommMdl::PushMedia("abcd", 4, handle.load());
  });
  for (int i = 0; i < 200; ++i) {
    auto* source = new CKVRDvConCommMdl;
    source->SetWriterName(rec.writer->GetRuntimeInfo()->Name().c_str());
    handle = source->GetHandle();
    std::this_thread::yield();
    source->Destroy();
  }
  done = true;
  host.join();
  EXPECT_EQ(rec.writer->GetBytesReceived() % 4, 0u);
}

TEST_F(WriterTest, PushedStartWithoutRecordUrlFailsTheRecord) {
  auto rec = rig_.Start({.writeUrl = ""});
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateFailed));
  ASSERT_TRUE(WaitFor([&] { return rig_.store().Log("RecRealMedia").size() == 1; }));
  const auto ack = rig_.store().Log("RecRealMedia")[0];
  EXPECT_EQ(ack.kind, SvrFrame::kReplyMessage);
  EXPECT_EQ(ack.value, 5);
  EXPECT_TRUE(ack.replyTo.empty());
  // The writer itself recorded to the default name before it was failed.
  EXPECT_TRUE(std::filesystem::exists(rig_.dir().File(Writer::kDefaultRecordUrl)));
}

}  // namespace
