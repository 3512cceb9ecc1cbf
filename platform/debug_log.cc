#include "platform/debug_log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

namespace platform {

void DebugOutput(const char* text) {
  if (text == nullptr) return;
  syslog(LOG_DEBUG, "%s", text);
}

void DebugPrintf(const char* format, ...) {
  if (format == nullptr) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  syslog(LOG_DEBUG, "%s", line);
}

}  // namespace platform
