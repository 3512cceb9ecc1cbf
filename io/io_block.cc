#include "io/io_block.h"

#include <event2/buffer.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "io/spare_memory.h"

namespace kvr::io {

namespace {

std::atomic<int64_t> g_live_blocks{0};

constexpr int kPieceToken = SpareMemory::TokenOf(CIoBlock::kPieceSize);
static_assert(CIoBlock::kPieceSize == SpareMemory::kLargest);

char* TakePiece() {
  int token = 0;
  return SpareMemory::Take(CIoBlock::kPieceSize, &token);
}

void GivePiece(char* piece) { SpareMemory::Give(piece, kPieceToken); }

// The evbuffer lets go of a lent piece.
void ReturnPiece(const void* /*data*/, size_t /*length*/, void* piece) {
  GivePiece(static_cast<char*>(piece));
}

}  // namespace

CIoBlock::CIoBlock() : CIoBlock(nullptr, 0) {}

CIoBlock::CIoBlock(void* destination, size_t length) {
  if (destination != nullptr) {
    view_ = static_cast<char*>(destination);
    viewLength_ = length;
  } else {
    buffer_ = evbuffer_new();
    if (buffer_ == nullptr) throw std::bad_alloc();
  }
  g_live_blocks.fetch_add(1, std::memory_order_relaxed);
}

CIoBlock::~CIoBlock() {
  if (piece_ != nullptr) GivePiece(piece_);
  if (buffer_ != nullptr) evbuffer_free(buffer_);
  g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
}

int64_t CIoBlock::LiveBlocks() { return g_live_blocks.load(std::memory_order_relaxed); }

size_t CIoBlock::SparePieces() { return SpareMemory::Held(kPieceSize); }

size_t CIoBlock::size() const {
  return buffer_ != nullptr ? evbuffer_get_length(buffer_) + pieceUsed_ : viewEnd_ - viewBegin_;
}

bool CIoBlock::Seal() {
  if (piece_ == nullptr) return true;
  if (pieceUsed_ == 0) {
    GivePiece(piece_);
  } else if (evbuffer_add_reference(buffer_, piece_, pieceUsed_, ReturnPiece, piece_) != 0) {
    return false;
  }
  piece_ = nullptr;
  pieceUsed_ = 0;
  return true;
}

bool CIoBlock::Append(const void* data, size_t length) {
  if (length == 0) return true;
  if (data == nullptr || reserved_ != nullptr) return false;
  if (buffer_ == nullptr) {
    if (length > viewLength_ - viewEnd_) return false;
    std::memcpy(view_ + viewEnd_, data, length);
    viewEnd_ += length;
    return true;
  }
  // Take every piece first, so that running out of memory adds nothing.
  size_t room = piece_ != nullptr ? kPieceSize - pieceUsed_ : 0;
  std::vector<char*> more;
  while (room < length) {
    char* piece = TakePiece();
    if (piece == nullptr) {
      for (char* p : more) GivePiece(p);
      return false;
    }
    more.push_back(piece);
    room += kPieceSize;
  }
  const char* from = static_cast<const char*>(data);
  size_t next = 0;
  while (length > 0) {
    if (piece_ == nullptr || pieceUsed_ == kPieceSize) {
      if (piece_ != nullptr && !Seal()) {
        while (next < more.size()) GivePiece(more[next++]);
        return false;
      }
      piece_ = more[next++];
    }
    size_t n = std::min(length, kPieceSize - pieceUsed_);
    std::memcpy(piece_ + pieceUsed_, from, n);
    pieceUsed_ += n;
    from += n;
    length -= n;
  }
  return true;
}

void* CIoBlock::Reserve(size_t length, size_t* reserved) {
  *reserved = 0;
  if (length == 0 || reserved_ != nullptr) return nullptr;
  if (buffer_ == nullptr) {
    *reserved = std::min(length, viewLength_ - viewEnd_);
    return *reserved > 0 ? view_ + viewEnd_ : nullptr;
  }
  if (length > static_cast<size_t>(INT64_MAX) || !Seal()) return nullptr;
  evbuffer_iovec vec;
  if (evbuffer_reserve_space(buffer_, static_cast<ev_ssize_t>(length), &vec, 1) != 1) {
    return nullptr;
  }
  reserved_ = vec.iov_base;
  reservedLength_ = std::min(length, vec.iov_len);
  *reserved = reservedLength_;
  return reserved_;
}

bool CIoBlock::Commit(size_t length) {
  if (buffer_ == nullptr) {
    if (length > viewLength_ - viewEnd_) return false;
    viewEnd_ += length;
    return true;
  }
  if (reserved_ == nullptr || length > reservedLength_) return false;
  evbuffer_iovec vec{reserved_, length};
  reserved_ = nullptr;
  reservedLength_ = 0;
  return evbuffer_commit_space(buffer_, &vec, 1) == 0;
}

std::vector<platform::ConstSlice> CIoBlock::Slices() const {
  std::vector<platform::ConstSlice> slices;
  if (buffer_ == nullptr) {
    if (size() > 0) slices.push_back({view_ + viewBegin_, size()});
    return slices;
  }
  int count = evbuffer_peek(buffer_, -1, nullptr, nullptr, 0);
  if (count > 0) {
    std::vector<evbuffer_iovec> vec(static_cast<size_t>(count));
    count = evbuffer_peek(buffer_, -1, nullptr, vec.data(), count);
    for (int i = 0; i < count; ++i) {
      if (vec[i].iov_len > 0) slices.push_back({vec[i].iov_base, vec[i].iov_len});
    }
  }
  if (pieceUsed_ > 0) slices.push_back({piece_, pieceUsed_});
  return slices;
}

size_t CIoBlock::CopyOut(void* out, size_t length) const {
  length = std::min(length, size());
  if (length == 0) return 0;
  if (buffer_ == nullptr) {
    std::memcpy(out, view_ + viewBegin_, length);
    return length;
  }
  size_t in_buffer = std::min(length, evbuffer_get_length(buffer_));
  if (in_buffer > 0 &&
      evbuffer_copyout(buffer_, out, in_buffer) != static_cast<ev_ssize_t>(in_buffer)) {
    return 0;
  }
  if (length > in_buffer)
    std::memcpy(static_cast<char*>(out) + in_buffer, piece_, length - in_buffer);
  return length;
}

}  // namespace kvr::io
