#include "platform/mutex.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/thread.h"
#include "platform/time.h"

namespace {

TEST(CriticalSectionTest, OnlyTheOwnerLeavesUntilTheOwnerRecordIsCleared) {
  platform::CriticalSection cs;
  cs.Enter();
  bool foreign_leave = true;
  std::thread([&] { foreign_leave = cs.Leave(); }).join();
  EXPECT_TRUE(!foreign_leave && cs.HeldByCurrentThread());
  cs.ClearOwner();
  EXPECT_FALSE(cs.HeldByCurrentThread());
  std::thread([&] { foreign_leave = cs.Leave(); }).join();
  EXPECT_TRUE(foreign_leave && cs.TryEnter() && cs.Leave()) << "a foreign leave frees the lock";
  EXPECT_FALSE(cs.Leave()) << "leaving a free lock is refused";
}

TEST(SignalTest, NotifyBeforeWaitIsKeptOneWakesOneAndAWaitBlocksUntilNotified) {
  platform::Signal signal;
  signal.Notify();
  EXPECT_TRUE(signal.Wait(5000) && !signal.Wait(10));
  std::thread waker([&] { platform::SleepMs(20), signal.Notify(); });  // so the wait blocks
  EXPECT_TRUE(signal.Wait(10000));
  waker.join();
}

// Kills a sleep that can miss the notification arriving between the waiter's
// last look at the flag and its sleep: a missed one shows as a false Wait.
TEST(SignalTest, PingPongHandoffsLoseNoWakeUp) {
  constexpr int kRounds = 2000;
  platform::Signal ping, pong;
  int missed = 0;
  std::thread partner([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (!ping.Wait(10000)) ++missed;
      pong.Notify();
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    ping.Notify();
    if (!pong.Wait(10000)) ++missed;
  }
  partner.join();
  EXPECT_EQ(missed, 0);
}

TEST(TimeTest, TicksAdvanceAndWrapLocalTimeInRangeThreadIdsDistinct) {
  const uint32_t start = platform::TickCount();
  platform::SleepMs(20);
  EXPECT_TRUE(platform::TicksElapsed(start, platform::TickCount(), 20));
  // 0xFFFFFFF0 -> 0x10 is 32 ms later, not 4 billion earlier.
  EXPECT_TRUE(platform::TicksElapsed(0xFFFFFFF0u, 0x10u, 32) &&
              !platform::TicksElapsed(0xFFFFFFF0u, 0x10u, 33));
  const platform::LocalTime t = platform::GetLocalTime();
  EXPECT_TRUE(t.year >= 2020 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 &&
              t.hour <= 23 && t.minute <= 59 && t.second <= 60 && t.millisecond <= 999);
  uint64_t theirs = 0;
  std::thread([&] { theirs = platform::CurrentThreadId(); }).join();
  EXPECT_TRUE(theirs != 0 && platform::CurrentThreadId() != theirs);
}

}  // namespace
