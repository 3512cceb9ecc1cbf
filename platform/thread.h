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

}  // namespace platform

#endif  // KVR_PLATFORM_THREAD_H_
