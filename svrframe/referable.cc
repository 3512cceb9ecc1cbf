#include "svrframe/referable.h"

int32_t IAddRefAble::AddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

int32_t IAddRefAble::Release() {
  int32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}
