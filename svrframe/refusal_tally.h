// The count of one record's messages that a full framework queue refused.
//
// The record's writer makes it; its sources attach it to every media unit
// they send, so that wherever the unit is refused on its way (the sources'
// own send, the storage function module passing media on) the command
// dealing module counts it here. The first refusal says so in the debug log,
// once a record; the count shows in the record's status. Shared by the
// writer and the units in flight; every call is safe from any thread.
#ifndef KVR_SVRFRAME_REFUSAL_TALLY_H_
#define KVR_SVRFRAME_REFUSAL_TALLY_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/mutex.h"

namespace SvrFrame {

class CRefusalTally {
 public:
  // The record the debug line names.
  void SetName(const std::string& name) {
    platform::MutexLock lock(nameMu_);
    name_ = name;
  }
  // One refused message.
  void Count();
  uint64_t Get() const { return count_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> count_{0};
  platform::Mutex nameMu_;
  std::string name_ GUARDED_BY(nameMu_);
};

}  // namespace SvrFrame

#endif  // KVR_SVRFRAME_REFUSAL_TALLY_H_
