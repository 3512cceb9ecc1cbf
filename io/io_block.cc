#include "io/io_block.h"

#include <event2/buffer.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

namespace {
std::atomic<int64_t> g_live_blocks{0};
}  // namespace

CIoBlock::CIoBlock(size_t capacity) : CIoBlock(nullptr, capacity) {}

CIoBlock::CIoBlock(void* destination, size_t length) {
  if (destination != nullptr) {
    view_ = static_cast<char*>(destination);
    view_length_ = length;
  } else {
    buffer_ = evbuffer_new();
    if (buffer_ == nullptr) throw std::bad_alloc();
    // Room up front, so that filling the block does not allocate on every append.
    if (length > 0 && evbuffer_expand(buffer_, length) != 0) {
      evbuffer_free(buffer_);
      throw std::bad_alloc();
    }
  }
  g_live_blocks.fetch_add(1, std::memory_order_relaxed);
}

CIoBlock::~CIoBlock() {
  if (buffer_ != nullptr) evbuffer_free(buffer_);
  g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
}

int64_t CIoBlock::LiveBlocks() { return g_live_blocks.load(std::memory_order_relaxed); }

size_t CIoBlock::size() const {
  return buffer_ != nullptr ? evbuffer_get_length(buffer_) : view_end_ - view_begin_;
}

size_t CIoBlock::room() const {
  return buffer_ != nullptr ? SIZE_MAX - size() : view_length_ - view_end_;
}

bool CIoBlock::Append(const void* data, size_t length) {
  if (length == 0) return true;
  if (data == nullptr || reserved_ != nullptr) return false;
  if (buffer_ != nullptr) return evbuffer_add(buffer_, data, length) == 0;
  if (length > room()) return false;
  std::memcpy(view_ + view_end_, data, length);
  view_end_ += length;
  return true;
}

void* CIoBlock::Reserve(size_t length, size_t* reserved) {
  *reserved = 0;
  if (length == 0 || reserved_ != nullptr) return nullptr;
  if (buffer_ == nullptr) {
    *reserved = std::min(length, room());
    return *reserved > 0 ? view_ + view_end_ : nullptr;
  }
  if (length > static_cast<size_t>(INT64_MAX)) return nullptr;
  evbuffer_iovec vec;
  if (evbuffer_reserve_space(buffer_, static_cast<ev_ssize_t>(length), &vec, 1) != 1) {
    return nullptr;
  }
  reserved_ = vec.iov_base;
  reserved_length_ = std::min(length, vec.iov_len);
  *reserved = reserved_length_;
  return reserved_;
}

bool CIoBlock::Commit(size_t length) {
  if (buffer_ == nullptr) {
    if (length > room()) return false;
    view_end_ += length;
    return true;
  }
  if (reserved_ == nullptr || length > reserved_length_) return false;
  evbuffer_iovec vec{reserved_, length};
  reserved_ = nullptr;
  reserved_length_ = 0;
  return evbuffer_commit_space(buffer_, &vec, 1) == 0;
}

std::vector<platform::ConstSlice> CIoBlock::Slices() const {
  std::vector<platform::ConstSlice> slices;
  if (buffer_ == nullptr) {
    if (size() > 0) slices.push_back({view_ + view_begin_, size()});
    return slices;
  }
  int count = evbuffer_peek(buffer_, -1, nullptr, nullptr, 0);
  if (count <= 0) return slices;
  std::vector<evbuffer_iovec> vec(static_cast<size_t>(count));
  count = evbuffer_peek(buffer_, -1, nullptr, vec.data(), count);
  for (int i = 0; i < count; ++i) {
    if (vec[i].iov_len > 0) slices.push_back({vec[i].iov_base, vec[i].iov_len});
  }
  return slices;
}

void CIoBlock::Drain(size_t length) {
  if (buffer_ != nullptr) {
    evbuffer_drain(buffer_, std::min(length, size()));
    return;
  }
  view_begin_ += std::min(length, size());
}

size_t CIoBlock::CopyOut(void* out, size_t length) const {
  length = std::min(length, size());
  if (length == 0) return 0;
  if (buffer_ == nullptr) {
    std::memcpy(out, view_ + view_begin_, length);
    return length;
  }
  ev_ssize_t n = evbuffer_copyout(buffer_, out, length);
  return n > 0 ? static_cast<size_t>(n) : 0;
}
