#include "svrframe/refusal_tally.h"

#include "platform/debug_log.h"

namespace SvrFrame {

void CRefusalTally::Count() {
  if (count_.fetch_add(1, std::memory_order_relaxed) != 0) return;
  std::string name;
  {
    platform::MutexLock lock(nameMu_);
    name = name_;
  }
  platform::DebugPrintf(
      "record %s: a full framework queue refuses its messages; they are counted in its "
      "status",
      name.c_str());
}

}  // namespace SvrFrame
