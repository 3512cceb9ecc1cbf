#include "io/spare_memory.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <unordered_set>
#include <vector>

#include "platform/mutex.h"
#include "platform/thread.h"

namespace kvr::io {
namespace {

constexpr int kClasses = 11;  // 256 bytes to 256 KiB
static_assert(SpareMemory::kSmallest << (kClasses - 1) == SpareMemory::kLargest);
constexpr int kPlain = SpareMemory::TokenOf(SpareMemory::kLargest + 1);
constexpr int kPieces = kClasses - 1;
// Classes up to 4 KiB (media units, their buffer objects, small copies)
// also keep a stash on each thread, traded with the shared class kBatch
// blocks at a time: a host thread takes what the delivery thread gives,
// and one lock per batch replaces one per block.
constexpr int kStashed = 5;
constexpr size_t kBatch = 32;

size_t Capacity(int c) { return SpareMemory::CapacityOf(c); }

struct SizeClass {
  platform::Mutex mu;
  std::vector<char*> held GUARDED_BY(mu);
};

SizeClass* Classes() {
  static SizeClass* classes = new SizeClass[kClasses];
  return classes;
}

// Bytes held in the shared classes below the pieces.
std::atomic<size_t> g_held_bytes{0};

// Holds what the class has room for, frees the rest.
void Hold(int c, char* const* blocks, size_t count) {
  SizeClass& sizeClass = Classes()[c];
  size_t kept = 0;
  {
    platform::MutexLock lock(sizeClass.mu);
    for (; kept < count; ++kept) {
      if (c == kPieces) {
        if (sizeClass.held.size() >= SpareMemory::kKeptLargest) break;
      } else {
        const size_t held = g_held_bytes.fetch_add(Capacity(c), std::memory_order_relaxed);
        if (held + Capacity(c) > SpareMemory::kKeptBytes) {
          g_held_bytes.fetch_sub(Capacity(c), std::memory_order_relaxed);
          break;
        }
      }
      sizeClass.held.push_back(blocks[kept]);
    }
  }
  for (size_t i = kept; i < count; ++i) {
    // Memory handed out poisoned goes back to the allocator whole.
    ASAN_UNPOISON_MEMORY_REGION(blocks[i], Capacity(c));
    std::free(blocks[i]);
  }
}

// Moves up to `most` held blocks of the class into `out`, the newest last
// (where a stash takes from); returns how many.
size_t Fetch(int c, char** out, size_t most) {
  SizeClass& sizeClass = Classes()[c];
  platform::MutexLock lock(sizeClass.mu);
  const size_t n = std::min(most, sizeClass.held.size());
  for (size_t i = 0; i < n; ++i) {
    out[n - 1 - i] = sizeClass.held.back();
    sizeClass.held.pop_back();
  }
  if (c != kPieces) g_held_bytes.fetch_sub(n * Capacity(c), std::memory_order_relaxed);
  return n;
}

struct Stash {
  std::vector<char*> blocks[kStashed];
};

// Every thread's stash, so that what a stash holds stays in reach. Never
// destroyed: threads end during the process's exit too.
struct Stashes {
  platform::Mutex mu;
  std::unordered_set<Stash*> all GUARDED_BY(mu);
};

Stashes& AllStashes() {
  static Stashes* stashes = new Stashes;
  return *stashes;
}

// A thread that ends gives its stash to the shared classes.
void ReleaseStash(void* value) {
  auto* stash = static_cast<Stash*>(value);
  for (int c = 0; c < kStashed; ++c) Hold(c, stash->blocks[c].data(), stash->blocks[c].size());
  {
    Stashes& stashes = AllStashes();
    platform::MutexLock lock(stashes.mu);
    stashes.all.erase(stash);
  }
  delete stash;
}

Stash& MyStash() {
  static platform::ThreadSlot* slot = new platform::ThreadSlot(&ReleaseStash);
  auto* stash = static_cast<Stash*>(slot->Get());
  if (stash == nullptr) {
    stash = new Stash;
    {
      Stashes& stashes = AllStashes();
      platform::MutexLock lock(stashes.mu);
      stashes.all.insert(stash);
    }
    slot->Set(stash);
  }
  return *stash;
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
  if (c < kStashed) {
    std::vector<char*>& stash = MyStash().blocks[c];
    if (stash.empty()) {
      char* batch[kBatch];
      stash.assign(batch, batch + Fetch(c, batch, kBatch));
    }
    if (!stash.empty()) {
      char* memory = stash.back();
      stash.pop_back();
      return Handed(memory, size, c);
    }
  } else if (char* memory = nullptr; Fetch(c, &memory, 1) == 1) {
    return Handed(memory, size, c);
  }
  return Handed(static_cast<char*>(std::malloc(Capacity(c))), size, c);
}

void SpareMemory::Give(char* memory, int token) {
  if (memory == nullptr) return;
  if (token < 0 || token >= kClasses) {
    std::free(memory);
    return;
  }
  ASAN_POISON_MEMORY_REGION(memory, Capacity(token));
  if (token >= kStashed) {
    Hold(token, &memory, 1);
    return;
  }
  std::vector<char*>& stash = MyStash().blocks[token];
  stash.push_back(memory);
  if (stash.size() < 2 * kBatch) return;
  Hold(token, stash.data() + kBatch, stash.size() - kBatch);
  stash.resize(kBatch);
}

size_t SpareMemory::Held(size_t size) {
  const int c = SpareMemory::TokenOf(size);
  if (c == kPlain) return 0;
  SizeClass& sizeClass = Classes()[c];
  platform::MutexLock lock(sizeClass.mu);
  size_t held = sizeClass.held.size();
  if (c < kStashed) held += MyStash().blocks[c].size();
  return held;
}

}  // namespace kvr::io
