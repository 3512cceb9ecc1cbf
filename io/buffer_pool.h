// A locked store of I/O blocks that the proactor keeps while it is started.
//
// The pool owns what it is given and frees it all when destroyed. It hands
// nothing out and does not bound what it holds (the limit is kept for
// reference). Safe from any thread.
#ifndef KVR_IO_BUFFER_POOL_H_
#define KVR_IO_BUFFER_POOL_H_

#include <cstddef>
#include <deque>
#include <memory>

#include "io/io_block.h"
#include "platform/mutex.h"

class CBufferPool {
 public:
  // `firstCount` is not kept; `limit` is.
  CBufferPool(int firstCount, int limit);
  virtual ~CBufferPool();
  CBufferPool(const CBufferPool&) = delete;
  CBufferPool& operator=(const CBufferPool&) = delete;

  // Takes the block over; a null block is ignored.
  void Put(std::unique_ptr<kvr::io::CIoBlock> block);

  size_t Count() const;
  int limit() const { return limit_; }

 private:
  const int limit_;
  mutable platform::CriticalSection section_;
  std::deque<std::unique_ptr<kvr::io::CIoBlock>> blocks_ GUARDED_BY(section_);
};

#endif  // KVR_IO_BUFFER_POOL_H_
