#include "svrframe/referable.h"

namespace QWTools {

bool AddReference(IReferable* object) {
  if (object == nullptr) return false;
  return object->count_.fetch_add(1, std::memory_order_relaxed) + 1 != 0;
}

bool DropReference(IReferable* object) {
  if (object == nullptr) return false;
  // acq_rel: the deleting holder must see every write the other holders made.
  return object->count_.fetch_sub(1, std::memory_order_acq_rel) - 1 == 0;
}

void ReleaseReference(IReferable* object) {
  if (DropReference(object)) delete object;
}

}  // namespace QWTools

int32_t IAddRefAble::AddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

int32_t IAddRefAble::Release() {
  int32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}
