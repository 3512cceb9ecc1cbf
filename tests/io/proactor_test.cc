#include "io/proactor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "io/file_channel.h"
#include "tests/test_util.h"

namespace {

using kvr::io::CIoBlock;
using kvr::io::kIoErrorWrite;
using kvr::io::kNoChannel;

using kvr_test::FileText;
using kvr_test::WaitFor;
using namespace std::chrono_literals;
using Errors = std::vector<std::pair<ChannelId, int>>;
constexpr int kMiB = 1048576;

std::string Pattern(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  std::minstd_rand rng(seed + 1);
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Records what the runtime reports. While `hold` is set every OnWrite waits,
// which keeps the workers of a proactor busy.
class RecordingMonitor : public IIoMonitor {
 public:
  // Runs `f` over the records under the lock and returns what it returns.
  template <typename F>
  auto Locked(F f) {
    std::lock_guard<std::mutex> lock(mu_);
    return f();
  }
  int OnRead(CIoChannel*, CIoBlock*, int) override { return 0; }
  int OnWrite(CIoChannel* channel, int count) override {
    std::unique_lock<std::mutex> lock(mu_);
    written[channel->id()] += count;
    cv_.wait(lock, [this] { return !hold; });
    return 0;
  }
  int OnChannelError(CIoChannel* channel, int kind) override {
    Locked([&] {
      errors.push_back({channel->id(), kind});
      if (on_error) on_error(channel->id());
    });
    return 0;
  }
  int OnChannelRemoved(ChannelId id) override {
    return Locked([&] { return removed.insert(id), 0; });
  }
  int OnNotify(int, int) override { return 0; }

  void HoldWrites(bool on) {
    Locked([&] { hold = on; });
    cv_.notify_all();
  }
  bool Removed(ChannelId id) {
    return Locked([&] { return removed.count(id) != 0; });
  }
  bool WaitRemoved(ChannelId id) {
    return WaitFor([&] { return Removed(id); });
  }
  int64_t Written(ChannelId id) {
    return Locked([&] { return written[id]; });
  }
  Errors GetErrors() {
    return Locked([&] { return errors; });
  }

  std::function<void(ChannelId)> on_error;  // runs inside OnChannelError on the worker
  bool hold = false;
  std::map<ChannelId, int64_t> written;
  Errors errors;
  std::set<ChannelId> removed;

 private:
  std::mutex mu_;
  std::condition_variable cv_;
};

class ProactorTest : public ::testing::Test {
 protected:
  // A failed assertion may leave the workers held: free them so that Stop can end.
  void TearDown() override {
    monitor_.HoldWrites(false);
    diskGate_.Open();
    proactor_.reset();
  }
  // A proactor reporting to monitor_; it dies before monitor_.
  CProactor& Make(int threads, bool start) {
    proactor_ = std::make_unique<CProactor>(threads);
    proactor_->SetMonitor(&monitor_);
    if (start) proactor_->Start();
    return *proactor_;
  }
  ChannelId Open(const std::string& name, int mode = 1) {
    ChannelId id = proactor_->OpenFile(dir_.File(name).c_str(), mode);
    EXPECT_GT(id, 0) << name;
    return id;
  }
  void CloseAndWait(ChannelId id) {
    EXPECT_EQ(proactor_->CloseChannel(id), 0);
    EXPECT_TRUE(monitor_.WaitRemoved(id)) << id;
  }
  kvr_test::ScratchDir dir_;
  RecordingMonitor monitor_;
  kvr_test::Gate diskGate_;  // a write throttle that stalls until opened
  std::unique_ptr<CProactor> proactor_;
};

TEST_F(ProactorTest, UnknownIdsAndBadArgumentsAreRefusedAndChangeNothing) {
  CProactor& proactor = Make(2, true);
  ChannelId live = Open("live");
  ChannelId gone = Open("gone");
  CloseAndWait(gone);
  char buffer[8];
  for (ChannelId id : {0, -1, gone, live + 1000, INT32_MAX, INT32_MIN}) {
    EXPECT_EQ(proactor.Write(id, "x", 1), -1) << id;
    EXPECT_EQ(proactor.Read(id, buffer, 8), -1) << id;
    EXPECT_FALSE(proactor.Seek(id, 0, 0) || proactor.IsFile(id)) << id;
    EXPECT_EQ(proactor.GetSize(id), 0) << id;
    EXPECT_EQ(proactor.CloseChannel(id), -1) << id;
    EXPECT_EQ(proactor.GetChannelError(id), -1) << id;
  }
  for (auto [data, n] : {std::pair<const char*, int>{nullptr, 10}, {"x", 0}, {"x", -5}}) {
    EXPECT_EQ(proactor.Write(live, data, n), -1) << n;
  }
  EXPECT_EQ(proactor.Read(live, nullptr, 0), -1);
  EXPECT_EQ(proactor.AddChannel(nullptr), kNoChannel);
  EXPECT_EQ(proactor.PostMessage(nullptr), -1);
  EXPECT_EQ(proactor.GetChannelCount(), 1u) << "no look-up made an entry";
  EXPECT_EQ(proactor.GetQueuedMessages(), 0u);
  EXPECT_EQ(proactor.Write(live, "ok", 2), 2) << "the refused calls left nothing in the block";
  CloseAndWait(live);
  EXPECT_EQ(FileText(dir_.File("live")), "ok");
  EXPECT_TRUE(monitor_.GetErrors().empty());
}

// A paused record is reopened with mode 3 and must keep what it wrote before;
// what cannot be opened is refused without touching anything.
TEST_F(ProactorTest, OpenModesReplaceOrAppendAndRefusalsTouchNothing) {
  CProactor& proactor = Make(2, true);
  const std::string path = dir_.File("existing.ts");
  std::ofstream(path) << "old content";
  const std::string too_long = dir_.path() + "/" + std::string(CFileChannel::kMaxFileName, 'n');
  for (auto [bad, mode] : {std::pair{path, 4},
                           {path, -1},
                           {dir_.File("missing"), 0},
                           {dir_.File("no/such/folder/f"), 1},
                           {std::string(), 1},
                           {too_long, 1}}) {
    EXPECT_EQ(proactor.OpenFile(bad.c_str(), mode), kNoChannel) << bad << " " << mode;
  }
  EXPECT_EQ(proactor.OpenFile(nullptr, 1), kNoChannel);
  EXPECT_FALSE(platform::PathExists(too_long.substr(0, CFileChannel::kMaxFileName - 1)))
      << "a long name is refused, not cut short";
  EXPECT_EQ(FileText(path), "old content") << "a refused mode touches nothing";
  EXPECT_EQ(proactor.GetChannelCount(), 0u) << "failed opens enter nothing";

  // The mode of an earlier channel that wrote "first|" (-1: no file yet), then the reopening one.
  const struct {
    int first, second;
    const char* expected;
  } cases[] = {{1, 3, "first|second"}, {-1, 3, "second"}, {1, 1, "second"}, {1, 2, "second"}};
  for (const auto& c : cases) {
    const std::string name = std::to_string(c.first) + "then" + std::to_string(c.second);
    if (c.first >= 0) {
      ChannelId id = Open(name, c.first);
      EXPECT_EQ(proactor.Write(id, "first|", 6), 6);
      CloseAndWait(id);
    }
    ChannelId id = Open(name, c.second);
    ASSERT_GT(id, 0) << name;
    EXPECT_EQ(proactor.GetSize(id), static_cast<int64_t>(strlen(c.expected) - 6)) << name;
    EXPECT_EQ(proactor.Write(id, "second", 6), 6);
    CloseAndWait(id);
    EXPECT_EQ(FileText(dir_.File(name)), c.expected);
  }
}

TEST_F(ProactorTest, WritesRacingACloseLandIfAndOnlyIfTheyWereTaken) {
  CProactor& proactor = Make(3, true);
  ChannelId id = Open("race.ts");
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
  ASSERT_TRUE(monitor_.WaitRemoved(id));
  EXPECT_TRUE(FileText(dir_.File("race.ts")) == expected);
}

// Every write of the three channels stalls until the gate opens: the disk has
// stopped, and the producer goes on writing 20 payloads to each. Channel a
// fills its own bound exactly, b what is left of the total, c nothing.
TEST_F(ProactorTest, WritesPastTheMemoryBoundsAreDroppedWholeUntilTheDiskCatchesUp) {
  CProactor& proactor = Make(3, true);
  constexpr size_t kPayload = kMiB / 4;
  ASSERT_TRUE(proactor.SetMemoryBounds(4 * kMiB, 6 * kMiB));
  EXPECT_FALSE(proactor.SetMemoryBounds(0, kMiB) || proactor.SetMemoryBounds(kMiB, 0));
  EXPECT_EQ(proactor.GetChannelBound() + proactor.GetTotalBound(), 10u * kMiB);
  auto stall = [this](size_t) { diskGate_.Pass(); };
  EXPECT_FALSE(proactor.SetWriteThrottle(12345, stall));
  const std::pair<const char*, size_t> rows[] = {{"a", 16}, {"b", 8}, {"c", 0}};
  std::vector<ChannelId> ids;
  std::vector<std::string> expected;
  for (const auto& [name, accepted] : rows) {
    ids.push_back(Open(name));
    ASSERT_TRUE(proactor.SetWriteThrottle(ids.back(), stall));
    expected.emplace_back();
    size_t taken = 0;
    for (uint32_t i = 0; i < 20; ++i) {
      const std::string payload = Pattern(kPayload, i);
      const int result = proactor.Write(ids.back(), payload.data(), static_cast<int>(kPayload));
      if (result > 0) {
        expected.back() += payload, ++taken;
      } else {
        EXPECT_EQ(result, CIoChannel::kWriteDropped) << name << i;
      }
    }
    EXPECT_EQ(taken, accepted) << name;
    EXPECT_EQ(proactor.GetHeldBytes(ids.back()), accepted * kPayload) << name;
  }
  EXPECT_EQ(proactor.GetHeldBytes(), 6u * kMiB);
  EXPECT_EQ(proactor.GetPeakHeldBytes(), 6u * kMiB) << "the total never passed its bound";
  diskGate_.Open();
  ASSERT_TRUE(WaitFor([&] { return proactor.GetHeldBytes() == 0; })) << "written bytes credited";
  for (size_t c = 0; c < ids.size(); ++c) {
    const std::string payload = Pattern(kPayload, 100);
    EXPECT_GT(proactor.Write(ids[c], payload.data(), static_cast<int>(kPayload)), 0) << c;
    expected[c] += payload;
  }
  // A bound below the write threshold: the refused write sends what the
  // block gathered to the disk, so the channel can take bytes again.
  ASSERT_TRUE(proactor.SetMemoryBounds(300000, 6 * kMiB));
  const std::string small = Pattern(200000, 9);
  EXPECT_EQ(proactor.Write(ids[2], small.data(), 200000), CIoChannel::kWriteDropped);
  ASSERT_TRUE(WaitFor([&] { return proactor.GetHeldBytes(ids[2]) == 0; }));
  EXPECT_GT(proactor.Write(ids[2], small.data(), 200000), 0);
  expected[2] += small;
  for (size_t c = 0; c < ids.size(); ++c) {
    CloseAndWait(ids[c]);
    EXPECT_TRUE(FileText(dir_.File(rows[c].first)) == expected[c]) << rows[c].first;
  }
  EXPECT_EQ(proactor.GetHeldBytes(), 0u);
}

// Two volumes with a lane each. Every worker of "sick" hangs in a write (more
// stalled channels than workers) and its channels write until refused, which
// they are at the volume's half of the total bound; "well" meanwhile writes
// a file whole, and the quiet last bytes of it reach the disk by the timer
// alone, with no further write and no close.
TEST_F(ProactorTest, AStalledVolumeHoldsOnlyItsOwnWorkersAndItsShareOfTheBound) {
  CProactor& proactor = Make(2, true);
  ASSERT_TRUE(proactor.SetMemoryBounds(4 * kMiB, 8 * kMiB));
  const ChannelId well = proactor.OpenFile(dir_.File("well").c_str(), 1, "well");
  std::vector<ChannelId> sick;
  for (int i = 0; i < 3; ++i) {
    sick.push_back(proactor.OpenFile(dir_.File("sick" + std::to_string(i)).c_str(), 1, "sick"));
    ASSERT_TRUE(proactor.SetWriteThrottle(sick.back(), [this](size_t) { diskGate_.Pass(); }));
    const std::string payload = Pattern(kMiB, i);
    for (int k = 0; k < 5; ++k) proactor.Write(sick.back(), payload.data(), kMiB);
  }
  EXPECT_EQ(proactor.GetLaneCount(), 3u);
  EXPECT_EQ(proactor.GetHeldBytes(), 4u * kMiB) << "the first fills the volume's share";
  const std::string expected = Pattern(3 * kMiB + 100, 7);
  for (size_t at = 0; at < expected.size(); at += kMiB / 2) {
    const int n = static_cast<int>(std::min<size_t>(kMiB / 2, expected.size() - at));
    EXPECT_GT(proactor.Write(well, expected.data() + at, n), 0) << at;
  }
  EXPECT_TRUE(WaitFor([&] { return FileText(dir_.File("well")) == expected; }, 1500ms));
  EXPECT_EQ(proactor.GetStalledMs(well), 0u);
  EXPECT_GT(proactor.GetStalledMs(sick[0]), 500u);
  diskGate_.Open();
  for (ChannelId id : sick) CloseAndWait(id);
  CloseAndWait(well);
  EXPECT_EQ(platform::FileSize(dir_.File("sick0")), 4 * kMiB);
}

// /dev/full fails every write with "no space left": once mid-stream (full
// blocks, with more queued behind the first), once in the close's final
// write. A monitor that calls back into the proactor from the failure report
// must not deadlock it.
TEST(ProactorFailureTest, AFailedWriteIsReportedOnceAndDropsWhatIsQueuedBehindIt) {
  const int64_t blocks_before = CIoBlock::LiveBlocks();
  for (int size : {kMiB, 16}) {
    SCOPED_TRACE(size);
    RecordingMonitor monitor;
    CProactor proactor(1);
    std::atomic<int> error_seen{-2};
    monitor.on_error = [&](ChannelId failed) { error_seen = proactor.GetChannelError(failed); };
    proactor.SetMonitor(&monitor);
    ChannelId id = proactor.OpenFile("/dev/full", size == kMiB ? 2 : 1);
    ASSERT_GT(id, 0);
    EXPECT_EQ(proactor.GetChannelError(id), 0);
    const std::string bytes = Pattern(static_cast<size_t>(size), 8);
    for (int i = 0; i < (size == kMiB ? 3 : 1); ++i) {
      ASSERT_EQ(proactor.Write(id, bytes.data(), size), size);
    }
    proactor.Start();
    if (size == kMiB) {
      ASSERT_TRUE(WaitFor([&] { return !monitor.GetErrors().empty(); }));
      EXPECT_EQ(proactor.GetChannelError(id), ENOSPC);
      ASSERT_TRUE(WaitFor([&] { return CIoBlock::LiveBlocks() == blocks_before; }))
          << "the blocks behind the failed one are freed, not written";
      EXPECT_EQ(proactor.GetHeldBytes(), 0u) << "and what they held is given back";
      // From now on Write answers -1: the record writer's write-error path.
      EXPECT_EQ(proactor.Write(id, bytes.data(), 100), -1);
      EXPECT_EQ(proactor.Write(id, bytes.data(), kMiB), -1);
      EXPECT_EQ(proactor.GetQueuedMessages(), 0u);
    }
    EXPECT_EQ(proactor.CloseChannel(id), 0);
    ASSERT_TRUE(monitor.WaitRemoved(id));
    EXPECT_EQ(monitor.GetErrors(), (Errors{{id, kIoErrorWrite}})) << "reported once";
    EXPECT_EQ(error_seen.load(), ENOSPC);
    EXPECT_EQ(monitor.Written(id), 0);
  }
}

// One worker, held until Stop has begun, and one channel with far more full
// blocks than the others: towards the end the queue runs empty after every
// pop while that channel still has blocks to write.
TEST_F(ProactorTest, StopClosesEveryChannelAndWritesWhatItHolds) {
  CProactor& proactor = Make(1, true);
  monitor_.HoldWrites(true);
  std::vector<ChannelId> ids;
  std::vector<std::string> expected;
  for (int i = 0; i < 4; ++i) {
    ids.push_back(Open("s" + std::to_string(i)));
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
    monitor_.HoldWrites(false);
  });
  EXPECT_EQ(proactor.Stop(), 0);
  release.join();
  EXPECT_EQ(proactor.GetChannelCount() + proactor.GetQueuedMessages(), 0u);
  EXPECT_EQ(proactor.Write(ids[0], "x", 1), -1);
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_TRUE(monitor_.Removed(ids[i])) << i;
    EXPECT_EQ(monitor_.Written(ids[i]), static_cast<int64_t>(expected[i].size())) << i;
    EXPECT_TRUE(FileText(dir_.File("s" + std::to_string(i))) == expected[i]) << i;
  }
}

// A disk write that hangs, as one to a dead network volume does, until the
// test lets it go. `written` is read only once the channel is destroyed.
struct HungDisk {
  std::atomic<bool> entered{false}, released{false}, destroyed{false};
  std::string written;
};

class HungChannel : public CIoChannel {
 public:
  explicit HungChannel(std::shared_ptr<HungDisk> disk) : CIoChannel(16), disk_(disk) {}
  ~HungChannel() override { disk_->destroyed = true; }
  int GetKind() const override { return 0; }

 protected:
  int64_t WriteOut(CIoBlock* block, int*) override {
    disk_->entered = true;
    while (!disk_->released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const size_t at = disk_->written.size();
    disk_->written.resize(at + block->size());
    block->CopyOut(disk_->written.data() + at, block->size());
    return static_cast<int64_t>(block->size());
  }

 private:
  const std::shared_ptr<HungDisk> disk_;
};

// Stop (here through the destructor) waits its full bound for the channels,
// then returns although the only worker is still inside a write; when that
// write returns, after the proactor is gone, the worker must find alive all
// it touches (the sanitizer build checks) and report nothing more.
TEST_F(ProactorTest, AHungWriteNeitherHoldsUpStopNorOutlivesWhatItUses) {
  const int64_t blocks_before = CIoBlock::LiveBlocks();
  auto disk = std::make_shared<HungDisk>();
  CProactor& proactor = Make(1, true);
  ChannelId hung = proactor.AddChannel(std::make_unique<HungChannel>(disk));
  ASSERT_EQ(proactor.Write(hung, "first block, 16.", 16), 16);
  ASSERT_TRUE(WaitFor([&] { return disk->entered.load(); }));
  ASSERT_EQ(proactor.Write(hung, "second block, 16", 16), 16);
  ChannelId queued = Open("queued");
  ASSERT_EQ(proactor.Write(queued, Pattern(kMiB, 11).data(), kMiB), kMiB);
  ASSERT_EQ(proactor.GetQueuedMessages(), 1u);

  auto stopping = std::async(std::launch::async, [this] {
    auto begin = std::chrono::steady_clock::now();
    proactor_.reset();
    return std::chrono::steady_clock::now() - begin;
  });
  const bool returned = stopping.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  disk->released = true;
  ASSERT_TRUE(returned) << "Stop waited for the hung write";
  const auto took = stopping.get();
  EXPECT_GE(took, std::chrono::milliseconds(6900)) << "it waited its full bound";
  EXPECT_LT(took, std::chrono::milliseconds(7900)) << "and not much longer";
  EXPECT_TRUE(monitor_.Removed(hung) && monitor_.Removed(queued));
  EXPECT_EQ(platform::FileSize(dir_.File("queued")), 0) << "what was queued is dropped";
  ASSERT_TRUE(WaitFor([&] { return disk->destroyed.load(); }))
      << "the worker let go of the channel";
  EXPECT_EQ(disk->written, "first block, 16.") << "the write in hand ends, the next is dropped";
  EXPECT_EQ(monitor_.Written(hung), 0) << "a removed channel is not reported on";
  EXPECT_TRUE(WaitFor([&] { return CIoBlock::LiveBlocks() == blocks_before; }));
}

}  // namespace
