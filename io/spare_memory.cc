#include "io/spare_memory.h"

#include <sanitizer/asan_interface.h>

#include <cstdlib>
#include <vector>

#include "platform/mutex.h"

namespace kvr::io {
namespace {

constexpr int kClasses = 11;  // 256 bytes to 256 KiB
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

// Under AddressSanitizer, held memory and the room past what was asked for
// stay poisoned, so a use after Give or past the size is still reported as
// it would be with the system's allocator.
char* Handed(char* memory, size_t size, int c) {
  if (memory == nullptr) return nullptr;
  ASAN_UNPOISON_MEMORY_REGION(memory, size);
  ASAN_POISON_MEMORY_REGION(memory + size, Capacity(c) - size);
  return memory;
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
      return Handed(memory, size, c);
    }
  }
  return Handed(static_cast<char*>(std::malloc(Capacity(c))), size, c);
}

void* SpareMemory::TakeObject(size_t size) {
  int token = 0;
  void* object = Take(size, &token);
  if (object == nullptr) throw std::bad_alloc();
  return object;
}

void SpareMemory::Give(char* memory, int token) {
  if (memory == nullptr) return;
  if (token >= 0 && token < kClasses) {
    SizeClass& sizeClass = Classes()[token];
    platform::MutexLock lock(sizeClass.mu);
    if (sizeClass.held.size() < MostKept(token)) {
      ASAN_POISON_MEMORY_REGION(memory, Capacity(token));
      sizeClass.held.push_back(memory);
      return;
    }
  }
  // Memory handed out poisoned in part goes back to the allocator whole.
  if (token >= 0 && token < kClasses) ASAN_UNPOISON_MEMORY_REGION(memory, Capacity(token));
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
