#include "svrframe/svr_manage.h"

namespace SvrFrame {

CSvrManage::CSvrManage() : runtimeInfo_(std::make_unique<CRuntimeMdlInfo>("SvrManage")) {}

CSvrManage::~CSvrManage() { ReleaseCmdDealModule(); }

bool CSvrManage::RegisterCmdDealModule(ICmdDealModule* module) {
  if (module == nullptr) return false;
  QWTools::CReadWriteMutexLock guard(&lock_);
  cmdDealModule_ = module;
  closed_ = false;
  return true;
}

ICmdDealModule* CSvrManage::GetCmdDealModule() {
  QWTools::CReadWriteMutexLock guard(&lock_);
  return cmdDealModule_;
}

void CSvrManage::ReleaseCmdDealModule() {
  QWTools::CReadWriteMutexLock guard(&lock_);
  if (closed_) return;
  cmdDealModule_ = nullptr;
  closed_ = true;
}

}  // namespace SvrFrame
