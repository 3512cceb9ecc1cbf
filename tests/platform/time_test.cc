#include "platform/time.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/thread.h"

namespace {

TEST(TickTest, AdvancesWithSleepAndComparesAcrossTheWrap) {
  uint32_t start = platform::TickCount();
  platform::SleepMs(20);
  EXPECT_TRUE(platform::TicksElapsed(start, platform::TickCount(), 20));

  // 0xFFFFFFF0 -> 0x10 is 32 ms later, not 4 billion earlier.
  EXPECT_TRUE(platform::TicksElapsed(0xFFFFFFF0u, 0x10u, 32));
  EXPECT_FALSE(platform::TicksElapsed(0xFFFFFFF0u, 0x10u, 33));
}

TEST(LocalTimeAndThreadIdTest, FieldsInRangeAndIdsDistinctAndNonZero) {
  platform::LocalTime t = platform::GetLocalTime();
  EXPECT_TRUE(t.year >= 2020 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 &&
              t.hour <= 23 && t.minute <= 59 && t.second <= 60 && t.millisecond <= 999);
  uint64_t theirs = 0;
  std::thread([&] { theirs = platform::CurrentThreadId(); }).join();
  EXPECT_NE(theirs, 0u);
  EXPECT_NE(platform::CurrentThreadId(), theirs);
}

}  // namespace
