#include "platform/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <sched.h>
#include <cerrno>
#include <cstdlib>

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

static_assert(sizeof(pthread_key_t) <= sizeof(unsigned));

ThreadSlot::ThreadSlot(void (*release)(void* value)) {
  pthread_key_t key;
  if (pthread_key_create(&key, release) != 0) std::abort();  // the process's keys are used up
  key_ = key;
}

void* ThreadSlot::Get() const { return pthread_getspecific(key_); }

void ThreadSlot::Set(void* value) { pthread_setspecific(key_, value); }

}  // namespace platform
