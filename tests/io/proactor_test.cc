#include "io/proactor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "io/file_channel.h"
#include "tests/test_util.h"

namespace {

using kvr_test::ScratchDir;
using kvr_test::WaitFor;

constexpr int kMiB = 1048576;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string Pattern(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  std::minstd_rand rng(seed + 1);
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Records what the runtime reports. Optionally holds every OnWrite until
// Release, to keep the single worker of a proactor busy.
class RecordingMonitor : public IIoMonitor {
 public:
  int OnRead(CIoChannel* channel, CIoBlock* block, int count) override {
    std::string bytes(block->size(), '\0');
    block->CopyOut(bytes.data(), bytes.size());
    std::lock_guard<std::mutex> lock(mu_);
    reads_[channel->id()].push_back({count, bytes});
    return 0;
  }
  int OnWrite(CIoChannel* channel, int count) override {
    std::unique_lock<std::mutex> lock(mu_);
    written_[channel->id()] += count;
    ++writes_entered_;
    cv_.notify_all();
    cv_.wait(lock, [this] { return !hold_writes_; });
    return 0;
  }
  int OnChannelError(CIoChannel* channel, int kind) override {
    std::lock_guard<std::mutex> lock(mu_);
    errors_.push_back({channel->id(), kind});
    if (on_error_) on_error_(channel->id());
    return 0;
  }
  int OnChannelRemoved(ChannelId id) override {
    std::lock_guard<std::mutex> lock(mu_);
    removed_.insert(id);
    return 0;
  }
  int OnNotify(int, int) override { return 0; }

  void HoldWrites() {
    std::lock_guard<std::mutex> lock(mu_);
    hold_writes_ = true;
  }
  void ReleaseWrites() {
    std::lock_guard<std::mutex> lock(mu_);
    hold_writes_ = false;
    cv_.notify_all();
  }
  bool WaitWritesEntered(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return writes_entered_ >= n; });
  }
  void OnError(std::function<void(ChannelId)> f) {
    std::lock_guard<std::mutex> lock(mu_);
    on_error_ = std::move(f);
  }

  bool Removed(ChannelId id) {
    std::lock_guard<std::mutex> lock(mu_);
    return removed_.count(id) != 0;
  }
  bool WaitRemoved(ChannelId id) {
    return WaitFor([&] { return Removed(id); });
  }
  size_t RemovedCount() {
    std::lock_guard<std::mutex> lock(mu_);
    return removed_.size();
  }
  int64_t Written(ChannelId id) {
    std::lock_guard<std::mutex> lock(mu_);
    return written_[id];
  }
  std::vector<std::pair<ChannelId, int>> Errors() {
    std::lock_guard<std::mutex> lock(mu_);
    return errors_;
  }
  std::vector<std::pair<int, std::string>> Reads(ChannelId id) {
    std::lock_guard<std::mutex> lock(mu_);
    return reads_[id];
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool hold_writes_ = false;
  int writes_entered_ = 0;
  std::map<ChannelId, int64_t> written_;
  std::map<ChannelId, std::vector<std::pair<int, std::string>>> reads_;
  std::vector<std::pair<ChannelId, int>> errors_;
  std::set<ChannelId> removed_;
  std::function<void(ChannelId)> on_error_;
};

// The block size of the write message at the head of the queue, taken off
// and put back so that a later Start still carries it out.
size_t HeadWriteSize(CProactor& proactor) {
  std::unique_ptr<CIoMessage> message = proactor.PopMessage();
  if (message == nullptr || message->type() != CIoMessage::kWrite) return 0;
  size_t size = static_cast<CIoMessage_Write*>(message.get())->block()->size();
  proactor.PostMessage(std::move(message));
  return size;
}

TEST(ProactorTest, StartClampsTheThreadCountAndStopEndsEveryWorker) {
  const std::pair<int, int> cases[] = {{0, 1}, {-3, 1}, {51, 50}, {1000, 50}, {7, 7}};
  for (auto [asked, expected] : cases) {
    CProactor proactor(asked);
    EXPECT_FALSE(proactor.IsStarted());
    EXPECT_EQ(proactor.GetWorkerCount(), 0u);
    EXPECT_EQ(proactor.Start(), 0);
    EXPECT_EQ(proactor.Start(), 0) << "a second Start changes nothing";
    EXPECT_TRUE(proactor.IsStarted());
    EXPECT_EQ(proactor.GetThreadCount(), expected) << asked;
    EXPECT_EQ(proactor.GetWorkerCount(), static_cast<size_t>(expected)) << asked;
    EXPECT_EQ(proactor.Stop(), 0);
    EXPECT_EQ(proactor.Stop(), 0);
    EXPECT_FALSE(proactor.IsStarted());
    EXPECT_EQ(proactor.GetWorkerCount(), 0u) << "Stop leaves no worker behind";
  }

  // Started again after a stop, it works as before.
  ScratchDir dir;
  CProactor proactor(2);
  RecordingMonitor monitor;
  proactor.SetMonitor(&monitor);
  proactor.Start();
  proactor.Stop();
  proactor.Start();
  ChannelId id = proactor.OpenFile(dir.File("again").c_str(), 1);
  ASSERT_GT(id, 0);
  EXPECT_EQ(proactor.Write(id, "abc", 3), 3);
  EXPECT_EQ(proactor.CloseChannel(id), 0);
  ASSERT_TRUE(monitor.WaitRemoved(id));
  EXPECT_EQ(ReadAll(dir.File("again")), "abc");
}

TEST(ProactorTest, SmallWritesStayInMemoryUntilTheCloseWritesThem) {
  ScratchDir dir;
  const std::string path = dir.File("small.ts");
  RecordingMonitor monitor;
  CProactor proactor(2);
  proactor.SetMonitor(&monitor);
  ChannelId id = proactor.OpenFile(path.c_str(), 1);
  ASSERT_GT(id, 0);

  const std::string bytes = Pattern(100, 1);
  EXPECT_EQ(proactor.Write(id, bytes.data(), 100), 100);
  EXPECT_EQ(proactor.GetQueuedMessages(), 0u) << "100 bytes post nothing";
  EXPECT_EQ(platform::FileSize(path), 0);

  EXPECT_EQ(proactor.CloseChannel(id), 0);
  EXPECT_EQ(proactor.GetQueuedMessages(), 1u);
  EXPECT_EQ(HeadWriteSize(proactor), 100u) << "the close posts the partial block first";
  EXPECT_EQ(proactor.Write(id, "late", 4), 0) << "a closing channel takes nothing";

  proactor.Start();
  ASSERT_TRUE(monitor.WaitRemoved(id));
  EXPECT_EQ(ReadAll(path), bytes);
  EXPECT_EQ(monitor.Written(id), 100);
  EXPECT_EQ(proactor.GetChannelCount(), 0u);
}

TEST(ProactorTest, AFullBlockIsPostedAtOnceAndTheNextWaitsForItsTurn) {
  ScratchDir dir;
  const std::string path = dir.File("mib.ts");
  RecordingMonitor monitor;
  CProactor proactor(4);
  proactor.SetMonitor(&monitor);
  ChannelId id = proactor.OpenFile(path.c_str(), 1);
  ASSERT_GT(id, 0);

  const std::string bytes = Pattern(3 * kMiB, 2);
  EXPECT_EQ(proactor.Write(id, bytes.data(), kMiB), kMiB);
  EXPECT_EQ(proactor.GetQueuedMessages(), 1u) << "exactly 1 MiB posts one write at once";
  EXPECT_EQ(HeadWriteSize(proactor), static_cast<size_t>(kMiB));

  // With that write out, the channel holds its next full block back: one
  // write per channel keeps the file's bytes in order.
  EXPECT_EQ(proactor.Write(id, bytes.data() + kMiB, kMiB), kMiB);
  EXPECT_EQ(proactor.Write(id, bytes.data() + 2 * kMiB, kMiB), kMiB);
  EXPECT_EQ(proactor.GetQueuedMessages(), 1u);

  proactor.Start();
  ASSERT_TRUE(WaitFor([&] { return monitor.Written(id) == 3 * kMiB; }));
  EXPECT_EQ(proactor.GetQueuedMessages(), 0u);
  EXPECT_EQ(proactor.CloseChannel(id), 0);
  ASSERT_TRUE(monitor.WaitRemoved(id));
  EXPECT_EQ(ReadAll(path), bytes);
}

TEST(ProactorTest, TwoWritesOf700000MakeOneBlock) {
  ScratchDir dir;
  const std::string path = dir.File("two.ts");
  RecordingMonitor monitor;
  CProactor proactor(2);
  proactor.SetMonitor(&monitor);
  ChannelId id = proactor.OpenFile(path.c_str(), 2);
  ASSERT_GT(id, 0);

  const std::string bytes = Pattern(1400000, 3);
  EXPECT_EQ(proactor.Write(id, bytes.data(), 700000), 700000);
  EXPECT_EQ(proactor.GetQueuedMessages(), 0u);
  EXPECT_EQ(proactor.Write(id, bytes.data() + 700000, 700000), 1400000);
  EXPECT_EQ(proactor.GetQueuedMessages(), 1u);
  EXPECT_EQ(HeadWriteSize(proactor), 1400000u);

  proactor.CloseChannel(id);
  proactor.Start();
  ASSERT_TRUE(monitor.WaitRemoved(id));
  EXPECT_EQ(ReadAll(path), bytes);
}

TEST(ProactorTest, CloseChannelTwiceThenAfterTheCloseRan) {
  ScratchDir dir;
  RecordingMonitor monitor;
  CProactor proactor(1);
  proactor.SetMonitor(&monitor);
  ChannelId id = proactor.OpenFile(dir.File("c").c_str(), 1);
  ASSERT_GT(id, 0);

  EXPECT_EQ(proactor.CloseChannel(id), 0);
  EXPECT_EQ(proactor.GetQueuedMessages(), 1u) << "an empty channel posts its close at once";
  EXPECT_EQ(proactor.CloseChannel(id), 0);
  EXPECT_EQ(proactor.GetQueuedMessages(), 1u) << "the second close posts nothing more";
  EXPECT_EQ(proactor.GetChannelCount(), 1u) << "the channel stays until its close is handled";

  proactor.Start();
  ASSERT_TRUE(monitor.WaitRemoved(id));
  EXPECT_EQ(proactor.GetChannelCount(), 0u);
  EXPECT_EQ(proactor.CloseChannel(id), -1);
  EXPECT_EQ(monitor.RemovedCount(), 1u);
}

TEST(ProactorTest, IdsThatNameNothingAreRefusedAndCreateNothing) {
  ScratchDir dir;
  RecordingMonitor monitor;
  CProactor proactor(2);
  proactor.SetMonitor(&monitor);
  proactor.Start();
  ChannelId live = proactor.OpenFile(dir.File("live").c_str(), 1);
  ChannelId gone = proactor.OpenFile(dir.File("gone").c_str(), 1);
  ASSERT_GT(live, 0);
  ASSERT_GT(gone, 0);
  proactor.CloseChannel(gone);
  ASSERT_TRUE(monitor.WaitRemoved(gone));
  ASSERT_EQ(proactor.GetChannelCount(), 1u);

  char buffer[8];
  for (ChannelId id : {0, -1, gone, live + 1000, INT32_MAX, INT32_MIN}) {
    EXPECT_EQ(proactor.Write(id, "x", 1), -1) << id;
    EXPECT_EQ(proactor.Read(id, buffer, 8), -1) << id;
    EXPECT_FALSE(proactor.Seek(id, 0, 0)) << id;
    EXPECT_EQ(proactor.GetSize(id), 0) << id;
    EXPECT_FALSE(proactor.IsFile(id)) << id;
    EXPECT_EQ(proactor.CloseChannel(id), -1) << id;
    EXPECT_EQ(proactor.GetChannelError(id), -1) << id;
    EXPECT_EQ(proactor.RemoveChannel(id), -1) << id;
  }
  EXPECT_EQ(proactor.GetChannelCount(), 1u) << "no look-up made an entry";
  EXPECT_EQ(proactor.GetQueuedMessages(), 0u);

  // A live channel whose close is not posted cannot be pulled out from
  // under its messages.
  EXPECT_EQ(proactor.RemoveChannel(live), -1);
  EXPECT_EQ(proactor.AddChannel(nullptr), kNoChannel);
  EXPECT_EQ(proactor.PostMessage(nullptr), -1);
  EXPECT_EQ(proactor.GetChannelCount(), 1u);
  EXPECT_EQ(proactor.Write(live, "ok", 2), 2);
}

TEST(ProactorTest, IdsAreNeverZeroOrMinusOneAndNeverShared) {
  ScratchDir dir;
  RecordingMonitor monitor;
  CProactor proactor(4);
  proactor.SetMonitor(&monitor);
  proactor.Start();
  std::set<ChannelId> live;
  std::vector<ChannelId> opened;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 40; ++i) {
      ChannelId id = proactor.OpenFile(
          dir.File("f" + std::to_string(round) + "_" + std::to_string(i)).c_str(), 1);
      ASSERT_GT(id, 0);
      EXPECT_TRUE(live.insert(id).second) << "id " << id << " is already in use";
      opened.push_back(id);
    }
    // Close every other one; the rest stay open into the next round.
    for (size_t i = 0; i < opened.size(); i += 2) {
      proactor.CloseChannel(opened[i]);
      ASSERT_TRUE(monitor.WaitRemoved(opened[i]));
      live.erase(opened[i]);
    }
    opened.clear();
    EXPECT_EQ(proactor.GetChannelCount(), live.size());
  }
}

TEST(ProactorTest, OpenModesAndNamesThatCannotBeOpened) {
  ScratchDir dir;
  RecordingMonitor monitor;
  CProactor proactor(2);
  proactor.SetMonitor(&monitor);
  proactor.Start();
  const std::string path = dir.File("existing.ts");
  WriteAll(path, "old content that is longer");

  EXPECT_EQ(proactor.OpenFile(path.c_str(), 3), kNoChannel);
  EXPECT_EQ(proactor.OpenFile(path.c_str(), -1), kNoChannel);
  EXPECT_EQ(ReadAll(path), "old content that is longer") << "a refused mode touches nothing";
  EXPECT_EQ(proactor.OpenFile(dir.File("missing").c_str(), 0), kNoChannel);
  EXPECT_EQ(proactor.OpenFile(dir.File("no/such/folder/f").c_str(), 1), kNoChannel);
  EXPECT_EQ(proactor.OpenFile(nullptr, 1), kNoChannel);
  EXPECT_EQ(proactor.OpenFile("", 1), kNoChannel);
  const std::string too_long = dir.path() + "/" + std::string(CFileChannel::kMaxFileName, 'n');
  EXPECT_EQ(proactor.OpenFile(too_long.c_str(), 1), kNoChannel);
  EXPECT_FALSE(platform::PathExists(too_long.substr(0, CFileChannel::kMaxFileName - 1)))
      << "a long name is refused, not cut short";
  EXPECT_EQ(proactor.GetChannelCount(), 0u) << "failed opens enter nothing";

  ChannelId id = proactor.OpenFile(path.c_str(), 2);
  ASSERT_GT(id, 0);
  EXPECT_TRUE(proactor.IsFile(id));
  EXPECT_EQ(proactor.GetSize(id), 0) << "mode 2 replaces the file, like mode 1";
  EXPECT_EQ(proactor.Write(id, "new", 3), 3);
  proactor.CloseChannel(id);
  ASSERT_TRUE(monitor.WaitRemoved(id));
  EXPECT_EQ(ReadAll(path), "new");
}

TEST(ProactorTest, WriteRefusesBadInputAndChangesNothing) {
  ScratchDir dir;
  const std::string path = dir.File("bad.ts");
  RecordingMonitor monitor;
  CProactor proactor(1);
  proactor.SetMonitor(&monitor);
  ChannelId id = proactor.OpenFile(path.c_str(), 1);
  ASSERT_GT(id, 0);
  EXPECT_EQ(proactor.Write(id, nullptr, 10), -1);
  EXPECT_EQ(proactor.Write(id, "x", 0), -1);
  EXPECT_EQ(proactor.Write(id, "x", -5), -1);
  EXPECT_EQ(proactor.Read(id, nullptr, 0), -1);
  EXPECT_EQ(proactor.Write(id, "abc", 3), 3) << "the bad calls left nothing in the block";
  EXPECT_EQ(proactor.GetQueuedMessages(), 0u);
  proactor.Start();
  proactor.CloseChannel(id);
  ASSERT_TRUE(monitor.WaitRemoved(id));
  EXPECT_EQ(ReadAll(path), "abc");
  EXPECT_TRUE(monitor.Errors().empty());
}

TEST(ProactorTest, ReadsLandInTheCallersMemoryOrAnOwnedBlock) {
  ScratchDir dir;
  const std::string path = dir.File("read.ts");
  const std::string content = Pattern(5000, 4);
  WriteAll(path, content);
  RecordingMonitor monitor;
  CProactor proactor(2);
  proactor.SetMonitor(&monitor);

  ChannelId id = proactor.OpenFile(path.c_str(), 0);
  ASSERT_GT(id, 0);
  EXPECT_TRUE(proactor.IsFile(id));
  EXPECT_EQ(proactor.GetSize(id), 5000);

  std::string into(1000, '\0');
  EXPECT_EQ(proactor.Read(id, into.data(), 1000), 0);
  EXPECT_EQ(proactor.Read(id, nullptr, 10), 1) << "one read per channel at a time";
  EXPECT_EQ(proactor.GetQueuedMessages(), 1u);
  proactor.Start();
  ASSERT_TRUE(WaitFor([&] { return monitor.Reads(id).size() == 1; }));
  EXPECT_EQ(into, content.substr(0, 1000));

  EXPECT_TRUE(proactor.Seek(id, -100, 2));
  EXPECT_FALSE(proactor.Seek(id, 0, 3));
  EXPECT_EQ(proactor.Read(id, nullptr, 400), 0);
  ASSERT_TRUE(WaitFor([&] { return monitor.Reads(id).size() == 2; }));
  auto reads = monitor.Reads(id);
  EXPECT_EQ(reads[1].first, 100) << "only 100 bytes were left after the seek";
  EXPECT_EQ(reads[1].second, content.substr(4900));

  // A write to a file opened for reading fails and is reported, not fatal.
  EXPECT_EQ(proactor.Write(id, content.data(), 5000), 5000);
  EXPECT_EQ(proactor.CloseChannel(id), 0);
  ASSERT_TRUE(monitor.WaitRemoved(id));
  ASSERT_EQ(monitor.Errors().size(), 1u);
  EXPECT_EQ(monitor.Errors()[0].second, kIoErrorWrite);
  EXPECT_EQ(ReadAll(path), content);
}

TEST(ProactorTest, ManyChannelsWrittenAtOnceKeepEveryByteInOrder) {
  ScratchDir dir;
  RecordingMonitor monitor;
  CProactor proactor(4);
  proactor.SetMonitor(&monitor);
  proactor.Start();

  constexpr int kThreads = 4;
  constexpr int kPerThread = 4;
  std::vector<std::string> expected(kThreads * kPerThread);
  std::vector<ChannelId> ids(kThreads * kPerThread);
  for (size_t i = 0; i < ids.size(); ++i) {
    ids[i] = proactor.OpenFile(dir.File("ch" + std::to_string(i)).c_str(), 1);
    ASSERT_GT(ids[i], 0);
  }
  const std::string source = Pattern(4 * kMiB, 5);

  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      std::mt19937 rng(100 + t);
      std::uniform_int_distribution<int> piece(1, 200000);
      std::uniform_int_distribution<int> total(kMiB, 3 * kMiB);
      std::vector<int> left(kPerThread);
      for (int& l : left) l = total(rng);
      bool more = true;
      while (more) {
        more = false;
        for (int c = 0; c < kPerThread; ++c) {
          if (left[c] <= 0) continue;
          size_t index = static_cast<size_t>(t * kPerThread + c);
          int n = std::min(left[c], piece(rng));
          size_t from = rng() % (source.size() - static_cast<size_t>(n));
          if (proactor.Write(ids[index], source.data() + from, n) <= 0) return;
          expected[index].append(source, from, static_cast<size_t>(n));
          left[c] -= n;
          more = more || left[c] > 0;
        }
      }
      for (int c = 0; c < kPerThread; ++c) proactor.CloseChannel(ids[t * kPerThread + c]);
    });
  }
  for (std::thread& p : producers) p.join();
  for (ChannelId id : ids) ASSERT_TRUE(monitor.WaitRemoved(id)) << id;

  for (size_t i = 0; i < ids.size(); ++i) {
    const std::string got = ReadAll(dir.File("ch" + std::to_string(i)));
    ASSERT_EQ(got.size(), expected[i].size()) << "channel " << i;
    EXPECT_TRUE(got == expected[i]) << "channel " << i << " differs";
    EXPECT_EQ(monitor.Written(ids[i]), static_cast<int64_t>(expected[i].size()));
  }
  EXPECT_TRUE(monitor.Errors().empty());
  EXPECT_EQ(proactor.GetChannelCount(), 0u);
}

TEST(ProactorTest, WritesRacingACloseLandIfAndOnlyIfTheyWereTaken) {
  ScratchDir dir;
  const std::string path = dir.File("race.ts");
  RecordingMonitor monitor;
  CProactor proactor(3);
  proactor.SetMonitor(&monitor);
  proactor.Start();
  ChannelId id = proactor.OpenFile(path.c_str(), 1);
  ASSERT_GT(id, 0);

  const std::string source = Pattern(64 * 1024, 6);
  std::string expected;
  std::atomic<bool> started{false};
  std::thread writer([&] {
    std::mt19937 rng(7);
    for (int i = 0; i < 4000; ++i) {
      int n = 1 + static_cast<int>(rng() % source.size());
      int result = proactor.Write(id, source.data(), n);
      started = true;
      if (result > 0) expected.append(source, 0, static_cast<size_t>(n));
      if (result < 0) break;  // the channel is gone
    }
  });
  WaitFor([&] { return started.load(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(proactor.CloseChannel(id), 0);
  writer.join();
  ASSERT_TRUE(monitor.WaitRemoved(id));
  EXPECT_TRUE(ReadAll(path) == expected);
}

TEST(ProactorTest, AFailedWriteIsReportedAndLaterWritesAreRefused) {
  RecordingMonitor monitor;
  CProactor proactor(2);
  proactor.SetMonitor(&monitor);
  proactor.Start();
  // Every write to this device fails with "no space left".
  ChannelId id = proactor.OpenFile("/dev/full", 1);
  ASSERT_GT(id, 0);
  EXPECT_EQ(proactor.GetChannelError(id), 0);

  const std::string bytes = Pattern(kMiB, 8);
  EXPECT_EQ(proactor.Write(id, bytes.data(), kMiB), kMiB) << "the caller never waits for the disk";
  ASSERT_TRUE(WaitFor([&] { return !monitor.Errors().empty(); }));
  EXPECT_EQ(monitor.Errors()[0], std::make_pair(id, static_cast<int>(kIoErrorWrite)));
  EXPECT_EQ(proactor.GetChannelError(id), ENOSPC);

  // From now on Write answers -1: the record writer's write-error path.
  EXPECT_EQ(proactor.Write(id, bytes.data(), 100), -1);
  EXPECT_EQ(proactor.Write(id, bytes.data(), kMiB), -1);
  EXPECT_EQ(proactor.GetQueuedMessages(), 0u);

  EXPECT_EQ(proactor.CloseChannel(id), 0);
  ASSERT_TRUE(monitor.WaitRemoved(id)) << "the close is not held up by the failure";
  EXPECT_EQ(monitor.Errors().size(), 1u);
  EXPECT_EQ(monitor.Written(id), 0);
}

TEST(ProactorTest, AFailedWriteDropsTheBlocksQueuedBehindIt) {
  const int64_t blocks_before = CIoBlock::LiveBlocks();
  RecordingMonitor monitor;
  CProactor proactor(1);
  proactor.SetMonitor(&monitor);
  ChannelId id = proactor.OpenFile("/dev/full", 2);
  ASSERT_GT(id, 0);
  const std::string bytes = Pattern(kMiB, 9);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(proactor.Write(id, bytes.data(), kMiB), kMiB);
  ASSERT_EQ(proactor.Write(id, bytes.data(), 500), 500);
  EXPECT_EQ(CIoBlock::LiveBlocks(), blocks_before + 4);

  proactor.Start();
  ASSERT_TRUE(WaitFor([&] { return proactor.GetChannelError(id) == ENOSPC; }));
  ASSERT_TRUE(WaitFor([&] { return CIoBlock::LiveBlocks() == blocks_before; }))
      << "the blocks behind the failed one are freed, not written";
  EXPECT_EQ(monitor.Errors().size(), 1u) << "one failure, reported once";
  EXPECT_EQ(proactor.Write(id, bytes.data(), 1), -1);
  EXPECT_EQ(proactor.CloseChannel(id), 0);
  ASSERT_TRUE(monitor.WaitRemoved(id));
  EXPECT_EQ(monitor.Written(id), 0);
}

TEST(ProactorTest, AWriteThatFailsAtTheCloseStillEndsTheChannel) {
  RecordingMonitor monitor;
  // A monitor that reacts to the failure by calling back into the proactor
  // must not deadlock it.
  CProactor proactor(1);
  std::atomic<int> error_seen{-2};
  monitor.OnError([&](ChannelId failed) { error_seen = proactor.GetChannelError(failed); });
  proactor.SetMonitor(&monitor);
  proactor.Start();
  ChannelId id = proactor.OpenFile("/dev/full", 1);
  ASSERT_GT(id, 0);
  EXPECT_EQ(proactor.Write(id, "tail of a record", 16), 16);
  EXPECT_EQ(proactor.CloseChannel(id), 0);
  ASSERT_TRUE(monitor.WaitRemoved(id));
  ASSERT_EQ(monitor.Errors().size(), 1u);
  EXPECT_EQ(error_seen.load(), ENOSPC);
  EXPECT_EQ(proactor.GetChannelCount(), 0u);
}

TEST(ProactorTest, StopClosesEveryChannelAndWritesWhatItHolds) {
  ScratchDir dir;
  RecordingMonitor monitor;
  std::vector<ChannelId> ids;
  std::vector<std::string> expected;
  {
    // One worker, held until Stop has begun, and one channel with far more
    // full blocks than the others: towards the end the queue runs empty
    // after every pop while that channel still has blocks to write.
    CProactor proactor(1);
    proactor.SetMonitor(&monitor);
    proactor.Start();
    monitor.HoldWrites();
    for (int i = 0; i < 4; ++i) {
      ids.push_back(proactor.OpenFile(dir.File("s" + std::to_string(i)).c_str(), 1));
      ASSERT_GT(ids.back(), 0);
      expected.push_back(Pattern(i == 3 ? 8 * kMiB + 123 : kMiB + 456789, 10 + i));
    }
    for (size_t at = 0; at < expected.back().size(); at += 100000) {
      for (size_t i = 0; i < ids.size(); ++i) {
        if (at >= expected[i].size()) continue;
        int n = static_cast<int>(std::min<size_t>(100000, expected[i].size() - at));
        ASSERT_GT(proactor.Write(ids[i], expected[i].data() + at, n), 0);
      }
    }
    std::thread release([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      monitor.ReleaseWrites();
    });
    EXPECT_EQ(proactor.Stop(), 0);
    release.join();
    EXPECT_EQ(proactor.GetChannelCount(), 0u);
    EXPECT_EQ(proactor.GetQueuedMessages(), 0u);
    for (ChannelId id : ids) EXPECT_TRUE(monitor.Removed(id));
    EXPECT_EQ(proactor.Write(ids[0], "x", 1), -1);
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(monitor.Written(ids[i]), static_cast<int64_t>(expected[i].size())) << i;
    EXPECT_TRUE(ReadAll(dir.File("s" + std::to_string(i))) == expected[i]) << i;
  }
}

TEST(ProactorTest, StopGivesUpOnAStuckQueueAfterItsBoundedWait) {
  ScratchDir dir;
  const int64_t blocks_before = CIoBlock::LiveBlocks();
  RecordingMonitor monitor;
  CProactor proactor(1);
  proactor.SetMonitor(&monitor);
  proactor.Start();
  const std::string bytes = Pattern(kMiB, 11);

  // The only worker is kept inside its first write, so what comes after stays queued.
  monitor.HoldWrites();
  ChannelId busy = proactor.OpenFile(dir.File("busy").c_str(), 1);
  ASSERT_GT(busy, 0);
  proactor.Write(busy, bytes.data(), kMiB);
  ASSERT_TRUE(monitor.WaitWritesEntered(1));
  std::vector<ChannelId> waiting;
  for (int i = 0; i < 2; ++i) {
    waiting.push_back(proactor.OpenFile(dir.File("wait" + std::to_string(i)).c_str(), 1));
    proactor.Write(waiting.back(), bytes.data(), kMiB);
  }
  ASSERT_EQ(proactor.GetQueuedMessages(), 2u);

  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(7500));
    monitor.ReleaseWrites();
  });
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(proactor.Stop(), 0);
  auto took = std::chrono::steady_clock::now() - begin;
  release.join();

  EXPECT_GE(took, std::chrono::milliseconds(6900)) << "it waited its full bound for the queue";
  EXPECT_LT(took, std::chrono::milliseconds(12000));
  EXPECT_EQ(proactor.GetQueuedMessages(), 0u) << "what was still queued is released";
  EXPECT_EQ(proactor.GetChannelCount(), 0u);
  EXPECT_EQ(monitor.RemovedCount(), 3u);
  EXPECT_EQ(CIoBlock::LiveBlocks(), blocks_before);
  EXPECT_EQ(platform::FileSize(dir.File("busy")), kMiB) << "the write in hand was finished";
  EXPECT_EQ(platform::FileSize(dir.File("wait0")), 0);
}

TEST(ProactorTest, DestroyingANeverStartedProactorReleasesEverything) {
  ScratchDir dir;
  const int64_t blocks_before = CIoBlock::LiveBlocks();
  RecordingMonitor monitor;
  ChannelId id;
  {
    CProactor proactor(2);
    proactor.SetMonitor(&monitor);
    proactor.SetMonitor(nullptr);  // ignored: the recording monitor stays
    id = proactor.OpenFile(dir.File("never").c_str(), 1);
    ASSERT_GT(id, 0);
    const std::string bytes = Pattern(2 * kMiB + 10, 12);
    proactor.Write(id, bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(proactor.GetQueuedMessages(), 1u);
    EXPECT_GT(CIoBlock::LiveBlocks(), blocks_before);
    EXPECT_EQ(proactor.GetPooledBlocks(), 0u);
  }
  EXPECT_TRUE(monitor.Removed(id));
  EXPECT_EQ(CIoBlock::LiveBlocks(), blocks_before);
}

}  // namespace
