// kvrd's side of the service's access settings, and its dealings with the
// service manager: the access keys of kvrd.conf, the routing file kvrd hands
// the library (the installed one with an <Access> element put in), the check
// of a configuration file that holds passwords, and systemd's readiness
// notice.
//
// The main thread calls these before the service starts (and on a reload);
// nothing here runs on the library's threads.
#ifndef KVR_TOOLS_KVRD_ACCESS_H_
#define KVR_TOOLS_KVRD_ACCESS_H_

#include <functional>
#include <string>
#include <vector>

namespace kvrd {

// The access keys, with kvrd's defaults: loopback only, registered sessions
// only, no remote configuration, volume roots = the configured volumes.
struct Access {
  // IPv4 and IPv6 addresses one space apart; "any": every interface.
  std::string listen = "127.0.0.1";
  bool registeredOnly = true;
  bool remoteConfiguration = false;
  std::vector<std::string> volumeRoots;  // empty: the configured volumes
  unsigned maxConnections = 64;
  unsigned idleTimeoutSec = 600;
  unsigned maxQueuedReplies = 4096;
};

// Takes `key` = `value` when it is an access key: true when it was one, with
// `error` set when its value is wrong. `resolve` makes a path absolute.
bool ParseAccessKey(const std::string& key, const std::string& value, Access* access,
                    std::string* error,
                    const std::function<std::string(const std::string&)>& resolve);

// The <Access> element for `access`, the volume roots being `roots`.
std::string AccessElement(const Access& access, const std::vector<std::string>& roots);

// Writes the routing file `source` with `element` put first under its root
// element into a private folder (RUNTIME_DIRECTORY when systemd gave one,
// else a fresh folder under TMPDIR or /tmp, 0700), and returns that folder,
// or "" with `error` set. The library then loads it from there.
std::string WriteRoutingWithAccess(const std::string& source, const std::string& element,
                                   std::string* error);

// A warning when `file` holds user lines and others than its owner may read
// it; "" when it is fine.
std::string PasswordFileWarning(const std::string& file, bool hasUsers);

// Tells systemd's service manager `state` ("READY=1", "RELOADING=1",
// "STOPPING=1") over NOTIFY_SOCKET; nothing when kvrd was not started with one.
void NotifyServiceManager(const char* state);

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_ACCESS_H_
