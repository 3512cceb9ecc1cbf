// Who may command the service over the control port, and where its volumes
// may lie: the optional <Access> element of the routing file.
//
//   <ServerConfig>
//     <Access listen="127.0.0.1 ::1" registeredOnly="1" remoteConfiguration="0"
//             maxConnections="64" idleTimeout="300" maxQueuedReplies="1024" metrics="1">
//       <VolumeRoot path="/var/lib/kvr"/>
//     </Access>
//     <Protocol type="QW"> ...
//
// `listen` holds addresses separated by spaces or commas, or "any". Every
// attribute is optional. A routing file without the element gives the
// service as it was designed: every interface, every connection obeyed,
// remote configuration allowed, volumes anywhere, no connection cap and no
// idle time-out; `metrics` (off unless set) has the control port answer
// GET /metrics with the service's figures, to loopback peers only. The bound on queued replies
// holds for everyone: a client that reads none of its replies would otherwise hold the service's
// memory.
//
// The service manager reads it at each start and hands the same immutable
// copy to the TCP service and the storage data; any thread may read it.
#ifndef KVR_SVRFRAME_ACCESS_SETTINGS_H_
#define KVR_SVRFRAME_ACCESS_SETTINGS_H_

#include <string>
#include <vector>

namespace SvrFrame {

struct CAccessSettings {
  // Replies queued for one connection (or its requests not yet answered)
  // past which it is closed.
  static constexpr int kDefaultMaxQueuedReplies = 4096;

  // IPv4 and IPv6 addresses, each listened on; empty: every interface.
  std::vector<std::string> listen;
  bool registeredOnly = false;
  bool remoteConfiguration = true;
  std::vector<std::string> volumeRoots;  // absolute folders; empty: anywhere
  int maxConnections = 0;                // 0: no cap
  int idleTimeoutSec = 0;                // 0: never
  int maxQueuedReplies = kDefaultMaxQueuedReplies;
  bool metrics = false;  // GET /metrics answered to loopback peers

  // Whether anything differs from the design.
  bool Restricts() const;
  // The listened addresses as one line ("every interface" for none).
  std::string ListenText() const;
};

// Reads the first <Access> element under the root of the routing file
// `fileName` into `settings` (left as constructed when there is none). False
// with `error` saying which attribute is wrong, or that the file does not
// load; `settings` is then unchanged.
bool LoadAccessSettings(const std::string& fileName, CAccessSettings* settings, std::string* error);
// The same from XML text.
bool ParseAccessSettings(const std::string& text, CAccessSettings* settings, std::string* error);

}  // namespace SvrFrame
#endif  // KVR_SVRFRAME_ACCESS_SETTINGS_H_
