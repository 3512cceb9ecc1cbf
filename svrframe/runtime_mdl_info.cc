#include "svrframe/runtime_mdl_info.h"

namespace SvrFrame {

void CRuntimeMdlInfo::GetName(CSecureString& out) const {
  platform::MutexLock lock(mu_);
  out = *name_;
}

bool CRuntimeMdlInfo::SetName(const CSecureString& name) {
  auto fresh = std::make_shared<const CSecureString>(name);  // made outside the lock
  platform::MutexLock lock(mu_);
  name_ = std::move(fresh);
  return true;
}

CSecureString CRuntimeMdlInfo::Name() const {
  platform::MutexLock lock(mu_);
  return *name_;
}

SharedName CRuntimeMdlInfo::GetSharedName() const {
  platform::MutexLock lock(mu_);
  return name_;
}

}  // namespace SvrFrame
