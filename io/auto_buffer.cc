#include "io/auto_buffer.h"

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

char* CAutoBuffer::MakeCopy(int size, const char* data) {
  if (size < 1) return nullptr;
  char* block = nullptr;
  int token = 0;
  if (data != nullptr) {
    // size + 1 cannot overflow: size is a positive int, the sum is done in size_t.
    block = kvr::io::SpareMemory::Take(static_cast<size_t>(size) + 1, &token);
    if (block == nullptr) return nullptr;
    std::memcpy(block, data, static_cast<size_t>(size));
    block[size] = '\0';
  }
  Free();
  data_ = block;
  spare_ = block != nullptr;
  spareToken_ = token;
  size_ = block != nullptr ? size : 0;
  return data_;
}
