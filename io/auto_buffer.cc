#include "io/auto_buffer.h"

#include <cstring>
#include <new>

CAutoBuffer::~CAutoBuffer() { Free(); }

void CAutoBuffer::Free() {
  delete[] data_;
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
  if (data != nullptr) {
    // size + 1 cannot overflow: size is a positive int, the sum is done in size_t.
    block = new (std::nothrow) char[static_cast<size_t>(size) + 1];
    if (block == nullptr) return nullptr;
    std::memcpy(block, data, static_cast<size_t>(size));
    block[size] = '\0';
  }
  Free();
  data_ = block;
  size_ = block != nullptr ? size : 0;
  return data_;
}
