#include "platform/mutex.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/thread.h"

namespace {

using platform::CriticalSection;
using platform::Signal;

TEST(CriticalSectionTest, OnlyTheOwnerLeavesUntilTheOwnerRecordIsCleared) {
  CriticalSection cs;
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

TEST(SignalTest, NotifyBeforeWaitIsKeptAndTimeoutReportsFalse) {
  Signal signal;
  signal.Notify();
  EXPECT_TRUE(signal.Wait(5000));
  EXPECT_FALSE(signal.Wait(10)) << "one notification wakes one wait";

  std::thread waker([&] {
    platform::SleepMs(20);  // so that the wait below really blocks
    signal.Notify();
  });
  EXPECT_TRUE(signal.Wait(10000));
  waker.join();
}

// Kills a sleep that can miss the notification arriving between the waiter's
// last look at the flag and its sleep: a missed one shows as a false Wait.
TEST(SignalTest, PingPongHandoffsLoseNoWakeUp) {
  constexpr int kRounds = 2000;
  Signal ping, pong;
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

}  // namespace
