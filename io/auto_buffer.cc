#include "io/auto_buffer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "io/spare_memory.h"

CAutoBuffer::~CAutoBuffer() { Free(); }

void CAutoBuffer::Free() {
  if (spare_) {
    kvr::io::SpareMemory::Give(data_, spareToken_);
  } else {
    delete[] data_;
  }
  spare_ = false;
  data_ = nullptr;
  size_ = 0;
}

size_t CAutoBuffer::Footprint() const {
  if (data_ == nullptr) return 0;
  const size_t bytes = static_cast<size_t>(size_);
  // A large copy is plain memory of its size (and perhaps its closing 0).
  return spare_ ? std::max(bytes + 1, kvr::io::SpareMemory::CapacityOf(spareToken_)) : bytes;
}

char* CAutoBuffer::Make(int size, char* data, bool copy) {
  if (size < 1) return nullptr;
  if (copy) return MakeCopy(size, data);
  if (data != nullptr && data == data_) {  // adopting what it already owns
    size_ = size;
    return data_;
  }
  if (data == nullptr) {
    data = new (std::nothrow) char[size]();
    if (data == nullptr) return nullptr;
  }
  Free();
  data_ = data;
  size_ = size;
  return data_;
}

char* CAutoBuffer::MakeCopy(int size, const char* data) { return Copy(size, data, true); }

char* CAutoBuffer::MakeByteCopy(int size, const char* data) { return Copy(size, data, false); }

char* CAutoBuffer::Copy(int size, const char* data, bool terminate) {
  if (size < 1) return nullptr;
  char* block = nullptr;
  int token = 0;
  if (data != nullptr) {
    // size + 1 cannot overflow: size is a positive int, the sum is done in size_t.
    block = kvr::io::SpareMemory::Take(static_cast<size_t>(size) + (terminate ? 1 : 0), &token);
    if (block == nullptr) return nullptr;
    std::memcpy(block, data, static_cast<size_t>(size));
    if (terminate) block[size] = '\0';
  }
  Free();
  data_ = block;
  spare_ = block != nullptr;
  spareToken_ = token;
  size_ = block != nullptr ? size : 0;
  return data_;
}
