// Memory for what passes through the service by the thousand every second:
// media units, the copies they carry and the pieces of file blocks.
//
// Such memory is taken on one thread (a host pushing media, a channel) and
// let go on another (the delivery thread, an I/O worker). Handed back to the
// system's allocator, it lands in the taking thread's heap, whose top the
// allocator then trims and grows again chunk after chunk: every fresh page
// is a fault, and touching a fresh page costs more than copying into it.
// Memory given back here is kept instead, by size class (powers of two from
// kSmallest to kLargest), up to the caps below, and the most recently given
// is handed out first as the warmest. Larger requests, and what comes back
// to a full class, go to the system.
//
// Process-wide and never destroyed, so memory given back during exit still
// has a home. Safe from any thread: each class has its own lock, and the
// small classes keep a stash on each thread that trades with the class in
// batches, since blocks are taken on one thread and given on another.
#ifndef KVR_IO_SPARE_MEMORY_H_
#define KVR_IO_SPARE_MEMORY_H_

#include <cstddef>
#include <new>

namespace kvr::io {

class SpareMemory {
 public:
  static constexpr size_t kSmallest = 256;
  static constexpr size_t kLargest = 262144;
  // What is given back is held up to that many bytes over all classes but
  // the largest, which holds the file blocks' pieces (a busy volume has
  // hundreds in flight) up to a count of its own.
  static constexpr size_t kKeptBytes = 48u << 20;
  static constexpr size_t kKeptLargest = 512;

  // What Give needs to take back memory that Take gave for `size` bytes.
  static constexpr int TokenOf(size_t size) {
    if (size > kLargest) return -1;
    int c = 0;
    while ((kSmallest << c) < size) ++c;
    return c;
  }
  // The bytes really held by memory taken with `token`, or 0 for memory
  // from the system (token -1), whose size only its taker knows.
  static constexpr size_t CapacityOf(int token) { return token < 0 ? 0 : kSmallest << token; }
  // At least `size` bytes, or null when memory runs out; `*token` receives
  // TokenOf(size).
  static char* Take(size_t size, int* token);
  // Takes back memory from Take with its token; null is ignored.
  static void Give(char* memory, int token);
  // Blocks of the class that serves `size` bytes held for reuse.
  static size_t Held(size_t size);
};

// A base for classes whose objects are made and dropped for every media
// chunk: their objects come from SpareMemory. Deleted through a virtual
// destructor, an object gives back the size of what it really is.
struct Recycled {
  static void* operator new(size_t size) {
    int token = 0;
    void* object = SpareMemory::Take(size, &token);
    if (object == nullptr) throw std::bad_alloc();
    return object;
  }
  static void* operator new(size_t size, const std::nothrow_t&) noexcept {
    int token = 0;
    return SpareMemory::Take(size, &token);
  }
  static void operator delete(void* object, size_t size) {
    SpareMemory::Give(static_cast<char*>(object), SpareMemory::TokenOf(size));
  }
};

}  // namespace kvr::io

#endif  // KVR_IO_SPARE_MEMORY_H_
