#include "platform/debug_log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

namespace platform {
namespace {

// A host that masks the debug level (setlogmask) pays nothing for the lines:
// neither the formatting nor syslog's attempt to reach the log socket, which
// without a log daemon is a new socket, a failed connect and a close per line.
bool DebugWanted() { return (setlogmask(0) & LOG_MASK(LOG_DEBUG)) != 0; }

}  // namespace

void DebugOutput(const char* text) {
  if (text == nullptr || !DebugWanted()) return;
  syslog(LOG_DEBUG, "%s", text);
}

void DebugPrintf(const char* format, ...) {
  if (format == nullptr || !DebugWanted()) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  syslog(LOG_DEBUG, "%s", line);
}

}  // namespace platform
