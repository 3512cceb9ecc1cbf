#include "platform/time.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/thread.h"

namespace {

TEST(TickTest, AdvancesWithSleepAndComparesAcrossTheWrap) {
  uint32_t start = platform::TickCount();
  platform::SleepMs(20);
  uint32_t now = platform::TickCount();
  EXPECT_TRUE(platform::TicksElapsed(start, now, 20));
  EXPECT_FALSE(platform::TicksElapsed(start, now, 60000));

  // 0xFFFFFFF0 -> 0x10 is 32 ms later, not 4 billion earlier.
  EXPECT_TRUE(platform::TicksElapsed(0xFFFFFFF0u, 0x10u, 32));
  EXPECT_FALSE(platform::TicksElapsed(0xFFFFFFF0u, 0x10u, 33));
}

TEST(LocalTimeTest, FieldsAreInTheirRanges) {
  platform::LocalTime t = platform::GetLocalTime();
  EXPECT_GE(t.year, 2020);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31) << t.month << t.day;
  EXPECT_TRUE(t.hour <= 23 && t.minute <= 59 && t.second <= 60 && t.millisecond <= 999);
}

TEST(ThreadIdTest, DiffersBetweenThreadsAndIsNeverZero) {
  uint64_t mine = platform::CurrentThreadId();
  uint64_t theirs = 0;
  std::thread([&] { theirs = platform::CurrentThreadId(); }).join();
  EXPECT_NE(mine, 0u);
  EXPECT_NE(theirs, 0u);
  EXPECT_NE(mine, theirs);
}

}  // namespace
