// A reference-counted byte buffer on the heap.
//
// Media payloads and message texts travel between modules in one of these.
// The buffer owns its bytes and frees them in its destructor; the object
// itself is shared through QWTools::IReferable: a new buffer has no holders,
// whoever keeps it takes a reference (CReferPtr<CAutoBuffer>) and the last
// release destroys it. Counting is atomic, so holders may live on different
// threads; the bytes are not guarded and are only read once the buffer has
// been made.
//
// Adopted memory must come from `new char[]` (it is freed with delete[]).
// Copies, which every media unit makes, take recycled memory: see
// io/spare_memory.h.
#ifndef KVR_IO_AUTO_BUFFER_H_
#define KVR_IO_AUTO_BUFFER_H_

#include "io/spare_memory.h"
#include "svrframe/referable.h"

class CAutoBuffer : public QWTools::IReferable, public kvr::io::Recycled {
 public:
  CAutoBuffer() = default;
  ~CAutoBuffer() override;
  CAutoBuffer(const CAutoBuffer&) = delete;
  CAutoBuffer& operator=(const CAutoBuffer&) = delete;

  // Makes the buffer `size` bytes long and returns its data, or null when
  // size < 1 (the buffer is then left as it was).
  //
  // copy == false adopts `data`: a null pointer gets a new zero-filled block
  // of `size` bytes, any other pointer is taken over as it is and freed by
  // this buffer later.
  // copy == true copies `size` bytes from `data` into a block of size + 1
  // bytes whose last byte is 0, so text can be read as a C string; a null
  // `data` leaves the buffer without data (and returns null).
  //
  // Whatever the buffer held before is freed first.
  char* Make(int size, char* data = nullptr, bool copy = false);
  // Make with the copy flag set.
  char* MakeCopy(int size, const char* data);
  // MakeCopy without the closing 0, for payloads that are never read as
  // text: a payload of a power-of-two size then fills its size class instead
  // of taking one twice as large.
  char* MakeByteCopy(int size, const char* data);

  char* Data() const { return data_; }
  // The byte count the buffer was made for (0 while it holds nothing).
  int Size() const { return size_; }
  // The memory the bytes take, which a copy rounds up to its size class.
  size_t Footprint() const;

 private:
  void Free();
  char* Copy(int size, const char* data, bool terminate);

  char* data_ = nullptr;
  int size_ = 0;
  // A copy lives in kvr::io::SpareMemory and goes back with its token;
  // adopted memory came from new[].
  bool spare_ = false;
  int spareToken_ = 0;
};

#endif  // KVR_IO_AUTO_BUFFER_H_
