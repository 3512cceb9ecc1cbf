// One buffer of bytes on its way between a channel and an I/O worker.
//
// An owned block keeps its bytes as an ordered list of slices over memory it
// holds. Bytes a channel copies in go into 256 KiB pieces that come from, and
// go back to, a process-wide store, so a recorder that writes all day reuses
// the same resident memory instead of taking fresh pages from the system for
// every block (touching a fresh page costs more than copying into it). Large
// payloads that already sit in a reference-counted buffer of their own (a
// media unit's copy) are not copied again: the block keeps a reference to
// that buffer until its bytes are written, which spares the delivery thread a
// copy of every byte a record writes. A block over caller memory lets a read
// land straight in the caller's buffer.
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

class CAutoBuffer;

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

  bool owns() const { return owns_; }
  // Bytes held.
  size_t size() const { return size_; }

  // Appends a copy of the bytes; an owned block grows as needed. False when
  // caller memory has no room (nothing is added) or memory runs out.
  bool Append(const void* data, size_t length);
  // Appends the `length` bytes at `data`, which lie inside `owner`'s buffer,
  // by reference: the block keeps `owner` alive until it is destroyed. Only
  // an owned block shares; caller memory copies. False as for Append.
  bool AppendShared(CAutoBuffer* owner, const void* data, size_t length);
  // Space for up to `length` more bytes in one piece; Commit then says how
  // many of them were filled. Returns null when no space can be had.
  void* Reserve(size_t length, size_t* reserved);
  bool Commit(size_t length);

  // The held bytes in order, as pieces for one gathered write.
  const std::vector<platform::ConstSlice>& Slices() const { return slices_; }
  // Copies up to `length` held bytes from the front into `out`; returns the count.
  size_t CopyOut(void* out, size_t length) const;

  // What the block's holder charged against a memory bound for it, to be
  // credited back when the block is gone.
  size_t charged() const { return charged_; }
  void AddCharge(size_t bytes) { charged_ += bytes; }

  // Blocks alive in the process: what the I/O runtime is holding on to.
  static int64_t LiveBlocks();
  // Pieces of memory waiting in the store for reuse.
  static size_t SparePieces();

 private:
  // Records `length` bytes at `at` as the next bytes of the block.
  void AddSlice(const char* at, size_t length);
  // Room left in the piece being filled (0 with none).
  size_t PieceRoom() const;

  bool owns_ = true;
  std::vector<platform::ConstSlice> slices_;
  size_t size_ = 0;
  // Owned form: every piece taken, the last one being filled.
  std::vector<char*> pieces_;
  size_t pieceUsed_ = 0;
  // Owned form: buffers whose bytes are shared, one reference each.
  std::vector<CAutoBuffer*> owners_;
  // Caller-memory form: `viewLength_` bytes at `view_`, the first size_ of them filled.
  char* view_ = nullptr;
  size_t viewLength_ = 0;
  // Space handed out by Reserve and not yet committed (owned form).
  char* reserved_ = nullptr;
  size_t reservedLength_ = 0;
  size_t charged_ = 0;
};

}  // namespace kvr::io
#endif  // KVR_IO_IO_BLOCK_H_
