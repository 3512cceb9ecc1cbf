#include "platform/thread.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <sched.h>
#include <cerrno>

namespace platform {

void SleepMs(uint32_t ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  timespec rem{};
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

uint64_t CurrentThreadId() {
  thread_local uint64_t id = static_cast<uint64_t>(syscall(SYS_gettid));
  return id;
}

}  // namespace platform
