// Clocks of the platform: a wrapping millisecond tick and the local calendar time.
// Safe from any thread.
#ifndef KVR_PLATFORM_TIME_H_
#define KVR_PLATFORM_TIME_H_

#include <cstdint>

namespace platform {

// Milliseconds of a monotonic clock, truncated to 32 bits: it wraps after
// about 49.7 days, so compare two ticks only by unsigned subtraction
// (`TickCount() - start >= limit`), never by `<`.
uint32_t TickCount();

// True when at least `ms` milliseconds passed from `start` to `now`, across a wrap too.
inline bool TicksElapsed(uint32_t start, uint32_t now, uint32_t ms) {
  return static_cast<uint32_t>(now - start) >= ms;
}

struct LocalTime {
  int year = 0;    // e.g. 2026
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
  int second = 0;  // 0..60
  int millisecond = 0;
  int day_of_week = 0;  // 0 = Sunday
};

// The current wall-clock time in the machine's time zone.
LocalTime GetLocalTime();

}  // namespace platform

#endif  // KVR_PLATFORM_TIME_H_
