// Retry delays for a camera that cannot be reached: exponential from a base
// to a cap, each with "equal jitter" (half fixed, half random) so that
// cameras lost together do not all knock again in the same instant. Owned
// by one camera's thread.
#ifndef KVR_TOOLS_KVRD_BACKOFF_H_
#define KVR_TOOLS_KVRD_BACKOFF_H_

#include <algorithm>
#include <cstdint>
#include <random>

namespace kvrd {

class Backoff {
 public:
  Backoff(int64_t baseMs, int64_t capMs, uint32_t seed) : base_(baseMs), cap_(capMs), rng_(seed) {}

  // The next delay: within [d/2, d] for d = min(cap, base * 2^failures so far).
  int64_t Next() {
    const int64_t full = std::min(cap_, base_ << std::min(failures_, 20));
    ++failures_;
    std::uniform_int_distribution<int64_t> jitter(0, full / 2);
    return full - full / 2 + jitter(rng_);
  }
  void Reset() { failures_ = 0; }

 private:
  const int64_t base_, cap_;
  int failures_ = 0;
  std::mt19937 rng_;
};

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_BACKOFF_H_
