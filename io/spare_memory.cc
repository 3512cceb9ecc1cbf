#include "io/spare_memory.h"

#include <cstdlib>
#include <vector>

#include "platform/mutex.h"

namespace kvr::io {
namespace {

constexpr int kClasses = 8;  // 2 KiB to 256 KiB
static_assert(SpareMemory::kSmallest << (kClasses - 1) == SpareMemory::kLargest);
constexpr int kPlain = SpareMemory::TokenOf(SpareMemory::kLargest + 1);

struct SizeClass {
  platform::Mutex mu;
  std::vector<char*> held GUARDED_BY(mu);
};

SizeClass* Classes() {
  static SizeClass* classes = new SizeClass[kClasses];
  return classes;
}

size_t Capacity(int c) { return SpareMemory::kSmallest << c; }

size_t MostKept(int c) {
  return c == kClasses - 1 ? SpareMemory::kKeptLargest : SpareMemory::kKeptBytes / Capacity(c);
}

}  // namespace

char* SpareMemory::Take(size_t size, int* token) {
  const int c = SpareMemory::TokenOf(size);
  *token = c;
  if (c == kPlain) return static_cast<char*>(std::malloc(size));
  SizeClass& sizeClass = Classes()[c];
  {
    platform::MutexLock lock(sizeClass.mu);
    if (!sizeClass.held.empty()) {
      char* memory = sizeClass.held.back();
      sizeClass.held.pop_back();
      return memory;
    }
  }
  return static_cast<char*>(std::malloc(Capacity(c)));
}

void SpareMemory::Give(char* memory, int token) {
  if (memory == nullptr) return;
  if (token >= 0 && token < kClasses) {
    SizeClass& sizeClass = Classes()[token];
    platform::MutexLock lock(sizeClass.mu);
    if (sizeClass.held.size() < MostKept(token)) {
      sizeClass.held.push_back(memory);
      return;
    }
  }
  std::free(memory);
}

size_t SpareMemory::Held(size_t size) {
  const int c = SpareMemory::TokenOf(size);
  if (c == kPlain) return 0;
  SizeClass& sizeClass = Classes()[c];
  platform::MutexLock lock(sizeClass.mu);
  return sizeClass.held.size();
}

}  // namespace kvr::io
