#include "io/io_block.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "io/auto_buffer.h"
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

// Room for `extra` more entries, taken before anything is added so that
// running out of memory adds nothing. Grows by doubling: reserving only what
// is asked would reallocate the list on every slice a block gains.
template <typename T>
void MakeRoom(std::vector<T>& list, size_t extra) {
  const size_t need = list.size() + extra;
  if (need > list.capacity()) list.reserve(std::max(need, 2 * list.capacity()));
}

}  // namespace

CIoBlock::CIoBlock() : CIoBlock(nullptr, 0) {}

CIoBlock::CIoBlock(void* destination, size_t length) {
  if (destination != nullptr) {
    owns_ = false;
    view_ = static_cast<char*>(destination);
    viewLength_ = length;
  }
  g_live_blocks.fetch_add(1, std::memory_order_relaxed);
}

CIoBlock::~CIoBlock() {
  for (char* piece : pieces_) GivePiece(piece);
  for (CAutoBuffer* owner : owners_) {
    if (DropReference(owner)) delete owner;
  }
  g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
}

int64_t CIoBlock::LiveBlocks() { return g_live_blocks.load(std::memory_order_relaxed); }

size_t CIoBlock::SparePieces() { return SpareMemory::Held(kPieceSize); }

size_t CIoBlock::PieceRoom() const { return pieces_.empty() ? 0 : kPieceSize - pieceUsed_; }

void CIoBlock::AddSlice(const char* at, size_t length) {
  // Bytes that continue the last slice in memory (a piece filled further)
  // extend it, so a block of many small appends stays one slice a piece.
  if (!slices_.empty()) {
    platform::ConstSlice& last = slices_.back();
    if (static_cast<const char*>(last.data) + last.size == at) {
      last.size += length;
      size_ += length;
      return;
    }
  }
  slices_.push_back({at, length});
  size_ += length;
}

bool CIoBlock::Append(const void* data, size_t length) {
  if (length == 0) return true;
  if (data == nullptr || reserved_ != nullptr) return false;
  if (!owns_) {
    if (length > viewLength_ - size_) return false;
    std::memcpy(view_ + size_, data, length);
    if (slices_.empty()) slices_.push_back({view_, 0});
    slices_.back().size += length;
    size_ += length;
    return true;
  }
  // Take every piece and list entry first, so that running out of memory adds nothing.
  size_t room = PieceRoom();
  std::vector<char*> more;
  try {
    while (room < length) {
      char* piece = TakePiece();
      if (piece == nullptr) throw std::bad_alloc();
      more.push_back(piece);
      room += kPieceSize;
    }
    MakeRoom(pieces_, more.size());
    MakeRoom(slices_, more.size() + 1);
  } catch (const std::bad_alloc&) {
    for (char* piece : more) GivePiece(piece);
    return false;
  }
  const char* from = static_cast<const char*>(data);
  size_t next = 0;
  while (length > 0) {
    if (PieceRoom() == 0) {
      pieces_.push_back(more[next++]);
      pieceUsed_ = 0;
    }
    const size_t n = std::min(length, PieceRoom());
    char* at = pieces_.back() + pieceUsed_;
    std::memcpy(at, from, n);
    AddSlice(at, n);
    pieceUsed_ += n;
    from += n;
    length -= n;
  }
  return true;
}

bool CIoBlock::AppendShared(CAutoBuffer* owner, const void* data, size_t length) {
  if (!owns_ || owner == nullptr) return Append(data, length);
  if (length == 0) return true;
  if (data == nullptr || reserved_ != nullptr) return false;
  try {
    MakeRoom(owners_, 1);
    MakeRoom(slices_, 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
  AddReference(owner);
  owners_.push_back(owner);
  AddSlice(static_cast<const char*>(data), length);
  return true;
}

void* CIoBlock::Reserve(size_t length, size_t* reserved) {
  *reserved = 0;
  if (length == 0 || reserved_ != nullptr) return nullptr;
  if (!owns_) {
    *reserved = std::min(length, viewLength_ - size_);
    return *reserved > 0 ? view_ + size_ : nullptr;
  }
  if (PieceRoom() < std::min(length, kPieceSize)) {
    char* piece = TakePiece();
    if (piece == nullptr) return nullptr;
    try {
      pieces_.push_back(piece);
    } catch (const std::bad_alloc&) {
      GivePiece(piece);
      return nullptr;
    }
    pieceUsed_ = 0;
  }
  reserved_ = pieces_.back() + pieceUsed_;
  reservedLength_ = std::min(length, PieceRoom());
  *reserved = reservedLength_;
  return reserved_;
}

bool CIoBlock::Commit(size_t length) {
  if (!owns_) {
    if (length > viewLength_ - size_) return false;
    if (length == 0) return true;
    if (slices_.empty()) slices_.push_back({view_, 0});
    slices_.back().size += length;
    size_ += length;
    return true;
  }
  if (reserved_ == nullptr || length > reservedLength_) return false;
  char* at = reserved_;
  reserved_ = nullptr;
  reservedLength_ = 0;
  if (length == 0) return true;
  try {
    MakeRoom(slices_, 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
  AddSlice(at, length);
  pieceUsed_ += length;
  return true;
}

size_t CIoBlock::CopyOut(void* out, size_t length) const {
  length = std::min(length, size_);
  char* to = static_cast<char*>(out);
  size_t left = length;
  for (const platform::ConstSlice& slice : slices_) {
    if (left == 0) break;
    const size_t n = std::min(left, slice.size);
    std::memcpy(to, slice.data, n);
    to += n;
    left -= n;
  }
  return length;
}

}  // namespace kvr::io
