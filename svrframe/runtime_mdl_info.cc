#include "svrframe/runtime_mdl_info.h"

namespace SvrFrame {

void CRuntimeMdlInfo::GetName(CSecureString& out) const {
  std::lock_guard<std::mutex> lock(mu_);
  out = name_;
}

bool CRuntimeMdlInfo::SetName(const CSecureString& name) {
  CSecureString copy(name);  // made outside the lock; `name` may be our own
  std::lock_guard<std::mutex> lock(mu_);
  name_ = std::move(copy);
  return true;
}

CSecureString CRuntimeMdlInfo::Name() const {
  std::lock_guard<std::mutex> lock(mu_);
  return name_;
}

}  // namespace SvrFrame
