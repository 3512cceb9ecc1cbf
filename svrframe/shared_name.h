// Names and lists of names that many messages share.
//
// A module's name and a routing table's routes are read for every message
// but almost never change, so messages hold them by shared pointer instead
// of copying them: a change makes a new one, and an existing one is never
// changed. Any thread may read one it holds.
#ifndef KVR_SVRFRAME_SHARED_NAME_H_
#define KVR_SVRFRAME_SHARED_NAME_H_

#include <memory>
#include <vector>

#include "svrframe/secure_string.h"

namespace SvrFrame {

using SharedName = std::shared_ptr<const CSecureString>;
using SharedNames = std::shared_ptr<const std::vector<CSecureString>>;

}  // namespace SvrFrame

#endif  // KVR_SVRFRAME_SHARED_NAME_H_
