#include "io/buffer_pool.h"

CBufferPool::CBufferPool(int /*firstCount*/, int limit) : limit_(limit) {}

CBufferPool::~CBufferPool() {
  platform::SectionLock lock(section_);
  blocks_.clear();
}

void CBufferPool::Put(std::unique_ptr<kvr::io::CIoBlock> block) {
  if (block == nullptr) return;
  platform::SectionLock lock(section_);
  blocks_.push_back(std::move(block));
}

size_t CBufferPool::Count() const {
  platform::SectionLock lock(section_);
  return blocks_.size();
}
