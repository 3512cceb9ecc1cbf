// The name of a module or of the module manager.
//
// Every module owns one; the command dealing module renames a communication
// module when it registers it, while that module's own threads may be reading
// the name, so the name is guarded by a small lock. Safe from any thread.
#ifndef KVR_SVRFRAME_RUNTIME_MDL_INFO_H_
#define KVR_SVRFRAME_RUNTIME_MDL_INFO_H_

#include <memory>

#include "platform/mutex.h"
#include "svrframe/secure_string.h"
#include "svrframe/shared_name.h"

namespace SvrFrame {

class CRuntimeMdlInfo {
 public:
  CRuntimeMdlInfo() = default;
  explicit CRuntimeMdlInfo(const char* name) : name_(std::make_shared<const CSecureString>(name)) {}
  virtual ~CRuntimeMdlInfo() = default;
  CRuntimeMdlInfo(const CRuntimeMdlInfo&) = delete;
  CRuntimeMdlInfo& operator=(const CRuntimeMdlInfo&) = delete;

  // Copies the name into `out`.
  virtual void GetName(CSecureString& out) const;
  virtual bool SetName(const CSecureString& name);

  // The name by value, for callers that only want to read it.
  CSecureString Name() const;
  // The name itself, shared: a renaming makes a new one, so it never changes.
  // Every message a module sends is stamped with it, which costs no copy.
  SharedName GetSharedName() const;

 private:
  mutable platform::Mutex mu_;
  SharedName name_ GUARDED_BY(mu_) = std::make_shared<const CSecureString>("NOMAME");
};

}  // namespace SvrFrame

#endif  // KVR_SVRFRAME_RUNTIME_MDL_INFO_H_
