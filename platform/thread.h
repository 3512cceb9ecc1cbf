// Thread services of the operating system: sleeping, yielding, thread ids.
//
// The service polls with short sleeps; everything that waits goes through
// here so that a port to another system replaces this folder only. All
// functions are safe from any thread.
#ifndef KVR_PLATFORM_THREAD_H_
#define KVR_PLATFORM_THREAD_H_

#include <cstdint>

namespace platform {

// Blocks the calling thread for at least `ms` milliseconds (0 yields).
void SleepMs(uint32_t ms);

// An id of the calling thread, unique among live threads, never 0.
uint64_t CurrentThreadId();

// A value each thread keeps for itself, handed to `release` when a thread
// that set one ends (not the process's first thread, whose values outlive
// it). Unlike a C++ thread_local, it registers nothing with the runtime per
// thread, which a library loaded with dlopen cannot rely on being seen by
// leak checkers. Meant to live as long as the process.
class ThreadSlot {
 public:
  explicit ThreadSlot(void (*release)(void* value));
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;

  void* Get() const;
  void Set(void* value);

 private:
  unsigned key_ = 0;
};

}  // namespace platform

#endif  // KVR_PLATFORM_THREAD_H_
