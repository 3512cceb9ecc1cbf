// One buffer of bytes on its way between a channel and an I/O worker.
//
// An owned block keeps its bytes in a libevent evbuffer. The bytes a channel
// appends go into 256 KiB pieces of memory that are lent to the evbuffer by
// reference and come back to a process-wide store when the evbuffer lets go
// of them, so a recorder that writes all day reuses the same resident memory
// instead of taking fresh pages from the system for every block (touching a
// fresh page costs more than copying into it). A block over caller memory
// lets a read land straight in the caller's buffer.
//
// A block has one holder at a time (a channel's queue, a message, a worker)
// and is handed on through locked queues, so the block itself is not guarded;
// the store of pieces is.
#ifndef KVR_IO_IO_BLOCK_H_
#define KVR_IO_IO_BLOCK_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/file.h"

struct evbuffer;

namespace kvr::io {

class CIoBlock {
 public:
  // Size of the pieces an owned block grows by; its first piece is its start room.
  static constexpr size_t kPieceSize = 262144;

  // An owned, empty block.
  CIoBlock();
  // An empty block whose storage is `length` bytes of caller memory at
  // `destination`, which must outlive the block. A null destination makes an
  // owned block.
  CIoBlock(void* destination, size_t length);
  ~CIoBlock();
  CIoBlock(const CIoBlock&) = delete;
  CIoBlock& operator=(const CIoBlock&) = delete;

  bool owns() const { return buffer_ != nullptr; }
  // Bytes held.
  size_t size() const;

  // Appends a copy of the bytes; an owned block grows as needed. False when
  // caller memory has no room (nothing is added) or memory runs out.
  bool Append(const void* data, size_t length);
  // Space for up to `length` more bytes in one piece; Commit then says how
  // many of them were filled. Returns null when no space can be had.
  void* Reserve(size_t length, size_t* reserved);
  bool Commit(size_t length);

  // The held bytes in order, as pieces for one gathered write.
  std::vector<platform::ConstSlice> Slices() const;
  // Copies up to `length` held bytes from the front into `out`; returns the count.
  size_t CopyOut(void* out, size_t length) const;

  // Blocks alive in the process: what the I/O runtime is holding on to.
  static int64_t LiveBlocks();
  // Pieces of memory waiting in the store for reuse.
  static size_t SparePieces();

 private:
  // Hands the piece being filled over to the evbuffer.
  bool Seal();

  evbuffer* buffer_ = nullptr;  // owned form
  char* piece_ = nullptr;       // owned form: the piece being filled, not yet in buffer_
  size_t pieceUsed_ = 0;
  // Caller-memory form: [view_ + viewBegin_, view_ + viewEnd_) holds the bytes.
  char* view_ = nullptr;
  size_t viewLength_ = 0;
  size_t viewBegin_ = 0;
  size_t viewEnd_ = 0;
  // Space handed out by Reserve and not yet committed (owned form).
  void* reserved_ = nullptr;
  size_t reservedLength_ = 0;
};

}  // namespace kvr::io
#endif  // KVR_IO_IO_BLOCK_H_
