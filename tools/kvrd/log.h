// The daemon's log: syslog, and stderr when run in the foreground. Set up once
// by main before any other thread runs; Log may then be called from any
// thread (one write per line keeps lines whole).
#ifndef KVR_TOOLS_KVRD_LOG_H_
#define KVR_TOOLS_KVRD_LOG_H_

#include <syslog.h>

namespace kvrd {

// `echo`: copy lines to stderr; `perror`: syslog copies them already.
void SetLogEcho(bool echo, bool perror);
// Until the service runs, errors reach stderr whatever `echo` says.
void SetStarting(bool starting);

void Log(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_LOG_H_
