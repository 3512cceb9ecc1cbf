#include "svrframe/inner_protocol_stack.h"

namespace SvrFrame {

const CSecureString& CInnerProtocolStack::At(const std::vector<CSecureString>& list, int index) {
  static const CSecureString kEmpty;
  if (index < 0 || static_cast<size_t>(index) >= list.size()) return kEmpty;
  return list[static_cast<size_t>(index)];
}

}  // namespace SvrFrame
