// The record file writer and the pushed-media source, driven through the
// framework with real files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <functional>
#include <thread>

#include "media/record_path.h"
#include "tests/media/media_rig.h"

namespace {

using kvr_test::MediaRig;
using kvr_test::WaitFor;
using Writer = CKVRIOCommMdl;

std::string Bytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  for (auto& c : out) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
  return out;
}

TEST(RecordPathTest, JoinsWithSlashesMakesFoldersAndRefusesWhatDoesNotFit) {
  std::string out;
  for (auto [root, url] : {std::pair{"/v", "a/b/rec.dav"},
                           {"/v/", "a\\b\\rec.dav"},
                           {"\\\\v\\\\", "\\a//b\\\\rec.dav"}}) {
    EXPECT_TRUE(MakeRecordPath(root, url, &out));
    EXPECT_EQ(out, "/v/a/b/rec.dav") << root << " " << url;
  }
  EXPECT_TRUE(MakeRecordPath("/v", std::string(256, 'x').c_str(), &out)) << "259 bytes fit";
  EXPECT_FALSE(MakeRecordPath("/v", std::string(257, 'x').c_str(), &out));
  EXPECT_EQ(out, "") << "a path that does not fit is not cut";

  kvr_test::ScratchDir dir;
  EXPECT_EQ(EnsureDirectories((dir.path() + "/a\\b/rec.dav").c_str()), 0);
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("a/b")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("a/b/rec.dav")));
  EXPECT_EQ(EnsureDirectories((dir.path() + "/a/b/rec.dav").c_str()), 0) << "folders exist";
  EXPECT_EQ(EnsureDirectories("rec.dav"), -1);
  EXPECT_EQ(EnsureDirectories((dir.path() + "/a/b/rec.dav/x").c_str()), 0);
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
    const std::string kept = Bytes(3000 + round, round);
    rig_.PushAndWait(rec, kept);
    expected += kept;
    rig_.Control(rec, Writer::kStatePaused);
    ASSERT_TRUE(rig_.WaitState(rec, Writer::kStatePaused));
    const TimeRecord pausedAt = rec.writer->GetEndTime();
    rig_.PushAndWait(rec, "dropped while paused");
    EXPECT_EQ(rec.writer->GetBytesReceived(), expected.size());
    const TimeRecord later = rec.writer->GetEndTime();
    EXPECT_EQ(std::memcmp(&pausedAt, &later, sizeof later), 0) << "the pause time, not now";
    rig_.Control(rec, Writer::kStatePaused);  // ignored: already paused
    rig_.Control(rec, Writer::kStateResumed);
    ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateResumed));
    rig_.Control(rec, Writer::kStateResumed);  // ignored: recording
  }
  const std::string last = Bytes(2 << 20, 7);  // more than a proactor block
  rig_.PushAndWait(rec, last);
  expected += last;
  rig_.Control(rec, Writer::kStatePaused);
  rig_.Control(rec, Writer::kStateStopped);  // allowed from paused, and answered
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateStopped));
  rig_.Control(rec, Writer::kStateResumed);  // nothing after a stop
  ASSERT_TRUE(WaitFor([&] { return !rig_.store().Log("RecRealMediaControl").empty(); }));
  const auto reply = rig_.store().Log("RecRealMediaControl")[0];
  EXPECT_EQ(reply.value, Writer::kStateStopped);
  EXPECT_EQ(reply.url, rec.url);
  EXPECT_EQ(reply.replyTo, std::vector<std::string>{"client"});

  ASSERT_TRUE(rig_.WaitFilesClosed());
  EXPECT_EQ(rig_.FileText("cam/day/rec.dav"), expected);
  EXPECT_EQ(rec.writer->GetRecordSizeMB(), expected.size() >> 20);
  EXPECT_EQ(rec.writer->GetState(), Writer::kStateStopped);
  EXPECT_TRUE(rig_.EventsSoFar(rec).empty());
  EXPECT_EQ(rig_.store().Log("RecRealMediaControl").size(), 1u);
}

TEST_F(WriterTest, FourConcurrentPushedRecordsEachGetTheirOwnBytesInOrder) {
  constexpr int kRecords = 4, kChunks = 400;
  std::vector<MediaRig::Record> recs;
  for (int i = 0; i < kRecords; ++i) recs.push_back(rig_.Start({.writeUrl = std::to_string(i)}));
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
  for (int i = 0; i < kRecords; ++i) EXPECT_TRUE(rig_.FileText(recs[i].url) == expected[i]) << i;
}

TEST_F(WriterTest, SizeLimitSendsOneEventAtTheLimitAndClosesAfterTenMiBOfGrace) {
  auto rec = rig_.Start({.writeUrl = "size.ts", .limitSize = 1});
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateRecording));
  const std::string quarter = Bytes(256 << 10, 1);
  for (int i = 0; i < 3; ++i) rig_.PushAndWait(rec, quarter);
  rig_.PushAndWait(rec, quarter.substr(1));
  EXPECT_TRUE(rig_.EventsSoFar(rec).empty()) << "one byte short of the limit";
  rig_.PushAndWait(rec, "x");  // exactly 1,048,576
  EXPECT_EQ(rig_.EventsSoFar(rec), std::vector<int>{Writer::kEventSizeLimit});
  while (rec.writer->GetBytesReceived() + quarter.size() < 11534336) rig_.PushAndWait(rec, quarter);
  rig_.PushAndWait(rec, std::string(11534335 - rec.writer->GetBytesReceived(), 'g'));
  EXPECT_EQ(rec.writer->GetState(), Writer::kStateRecording) << "one byte short of the grace";
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
    uint32_t eventAt;  // ms after the start
    int event;
    size_t chunk;  // bytes pushed at each step
  } rows[] = {
      {"ten-seconds", 1000, 10, 0, 10000, Writer::kEventTimeLimit, 100},
      {"default-day", 5, 0, 0, 86400000, Writer::kEventTimeLimit, 100},
      {"across-wrap", 0xFFFFF000u, 10, 0, 10000, Writer::kEventTimeLimit, 100},
      // Both limits reached by one unit: one event, the size event.
      {"both", 0, 10, 1, 10000, Writer::kEventSizeLimit, 1 << 19},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.url);
    g_now = r.start;
    auto rec = rig_.Start({.writeUrl = r.url, .limitSize = r.limitSize, .limitTime = r.limitTime});
    ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateRecording));
    const std::string chunk(r.chunk, 'c');
    for (uint32_t at : {r.eventAt - 1, r.eventAt, r.eventAt + Writer::kTimeGraceMs - 1,
                        r.eventAt + Writer::kTimeGraceMs}) {
      g_now = r.start + at;
      rig_.PushAndWait(rec, chunk);
      EXPECT_EQ(rig_.EventsSoFar(rec),
                at < r.eventAt ? std::vector<int>{} : std::vector<int>{r.event});
      EXPECT_EQ(rec.writer->GetState(), at < r.eventAt + Writer::kTimeGraceMs
                                            ? Writer::kStateRecording
                                            : Writer::kStateStopped);
    }
  }
  Writer::SetTickSource(nullptr);
}

// Each way a record fails: the event, state 0, the file closed, and what the
// file holds afterwards.
TEST_F(WriterTest, FailuresEndTheRecordWithTheirEvent) {
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  struct Row {
    MediaRig::Request request;
    std::function<void()> prepare;
    int event;
    const char* content;  // null: not checked
  } rows[] = {
      {{.writeUrl = "full.ts", .reservedBytes = UINT64_MAX}, [] {}, Writer::kEventDiskFull, ""},
      {{.writeUrl = "taken.ts"},
       [&] { std::ofstream(rig_.dir().File("taken.ts")) << "precious"; },
       Writer::kEventWriteError,
       "precious"},
      // A real failed disk write: the process may not write beyond 1 MiB, so
      // the proactor's first block fails, and the next Write reports it.
      {{.writeUrl = "big.ts"},
       [&] {
         signal(SIGXFSZ, SIG_IGN);
         rlimit small = old;
         small.rlim_cur = 1 << 20;
         setrlimit(RLIMIT_FSIZE, &small);
       },
       Writer::kEventWriteError,
       nullptr},
  };
  const std::string chunk = Bytes(256 << 10, 3);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.request.writeUrl);
    r.prepare();
    auto rec = rig_.Start(r.request);
    ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateRecording));
    for (int i = 0; i < 64 && rec.writer->GetState() == Writer::kStateRecording; ++i) {
      rig_.PushAndWait(rec, chunk);
    }
    rig_.PushAndWait(rec, chunk);  // dropped
    EXPECT_EQ(rec.writer->GetState(), Writer::kStateFailed);
    EXPECT_EQ(rig_.EventsSoFar(rec), std::vector<int>{r.event});
    EXPECT_EQ(rig_.store().Log("RecordEvent")[0].replyTo, std::vector<std::string>{"client"});
    EXPECT_TRUE(rig_.WaitFilesClosed());
    if (r.content != nullptr) {
      EXPECT_EQ(rig_.FileText(r.request.writeUrl), r.content);
    }
  }
  setrlimit(RLIMIT_FSIZE, &old);

  // After a limit event no disk-full event follows: the payload is dropped
  // and the record goes on in its grace.
  auto limited = rig_.Start({.writeUrl = "limited.ts", .limitSize = 1});
  ASSERT_TRUE(rig_.WaitState(limited, Writer::kStateRecording));
  rig_.PushAndWait(limited, std::string(1 << 20, 'a'));
  limited.writer->SetReservedBytes(UINT64_MAX);
  rig_.PushAndWait(limited, "dropped");
  EXPECT_EQ(rig_.EventsSoFar(limited), std::vector<int>{Writer::kEventSizeLimit});
  EXPECT_EQ(limited.writer->GetState(), Writer::kStateRecording);
}

TEST_F(WriterTest, PushEntryRefusesBadInputAndHandlesThatNameNoLiveSource) {
  auto rec = rig_.Start({.writeUrl = "push.ts"});
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateRecording));
  const uint32_t handle = rec.pushed->GetHandle();
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(CKVRDvConCommMdl::PushMedia(nullptr, 10, handle), -1);
  EXPECT_EQ(CKVRDvConCommMdl::PushMedia("abc", 0, handle), -1);
  EXPECT_EQ(CKVRDvConCommMdl::PushMedia("abc", 3, 0), 0);

  // Sources for the same writer come and go while a host pushes to whichever
  // handle it was last given: pushes to a released source touch nothing.
  std::atomic<uint32_t> target{0};
  std::atomic<bool> done{false};
  std::thread host([&] {
    while (!done) CKVRDvConCommMdl::PushMedia("zzzz", 4, target.load());
  });
  uint32_t last = 0;
  for (int i = 0; i < 200; ++i) {
    auto* source = new CKVRDvConCommMdl;
    EXPECT_NE(source->GetHandle(), handle);
    source->SetWriterName(rec.writer->GetRuntimeInfo()->Name().c_str());
    target = last = source->GetHandle();
    std::this_thread::yield();
    source->Destroy();
  }
  done = true;
  host.join();
  EXPECT_EQ(CKVRDvConCommMdl::PushMedia("zzzz", 4, last), 0);
  // Everything that arrived came whole, and through live sources only.
  rig_.PushAndWait(rec, "abc");
  rig_.Control(rec, Writer::kStateStopped);
  ASSERT_TRUE(rig_.WaitFilesClosed());
  const std::string file = rig_.FileText("push.ts");
  EXPECT_EQ(file.substr(file.size() - 3), "abc");
  EXPECT_EQ(file.find_first_not_of("z"), file.size() - 3);
  EXPECT_EQ((file.size() - 3) % 4, 0u);
}

TEST_F(WriterTest, PushedStartWithoutRecordUrlFailsTheRecord) {
  auto rec = rig_.Start({.writeUrl = ""});
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateFailed));
  ASSERT_TRUE(WaitFor([&] { return !rig_.store().Log("RecRealMedia").empty(); }));
  const auto ack = rig_.store().Log("RecRealMedia")[0];
  EXPECT_EQ(ack.value, 5);
  EXPECT_TRUE(ack.replyTo.empty());
  // The writer itself records under the default name until it is failed.
  EXPECT_TRUE(std::filesystem::exists(rig_.dir().File(Writer::kDefaultRecordUrl)));
}

}  // namespace
