// Helpers shared by the bench programs.
#ifndef KVR_BENCH_BENCH_UTIL_H_
#define KVR_BENCH_BENCH_UTIL_H_

#include <cstdlib>
#include <fstream>
#include <string>

namespace kvr_bench {

// This process's resident size in KiB (VmRSS of /proc/self/status), -1 when unknown.
inline long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

}  // namespace kvr_bench

#endif  // KVR_BENCH_BENCH_UTIL_H_
