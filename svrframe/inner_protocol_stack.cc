#include "svrframe/inner_protocol_stack.h"

namespace SvrFrame {

// Never destroyed: the framework's delivery threads may still read them while
// the process exits.
const CSecureString& CInnerProtocolStack::Empty() {
  static const CSecureString* const kEmpty = new CSecureString();
  return *kEmpty;
}

const std::vector<CSecureString>& CInnerProtocolStack::EmptyList() {
  static const std::vector<CSecureString>* const kEmpty = new std::vector<CSecureString>();
  return *kEmpty;
}

void CInnerProtocolStack::AddDestination(const CSecureString& name) {
  auto grown = std::make_shared<std::vector<CSecureString>>(DestinationList());
  grown->push_back(name);
  destinations_ = std::move(grown);
}

void CInnerProtocolStack::SetDestinations(const std::vector<CSecureString>& names) {
  destinations_ = std::make_shared<const std::vector<CSecureString>>(names);
}

const CSecureString& CInnerProtocolStack::At(const std::vector<CSecureString>& list, int index) {
  if (index < 0 || static_cast<size_t>(index) >= list.size()) return Empty();
  return list[static_cast<size_t>(index)];
}

}  // namespace SvrFrame
