#include "tools/kvrd/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace kvrd {
namespace {

std::atomic<bool> g_echo{false};
std::atomic<bool> g_perror{false};
std::atomic<bool> g_starting{true};

}  // namespace

void SetLogEcho(bool echo, bool perror) {
  g_echo = echo;
  g_perror = perror;
}

void SetStarting(bool starting) { g_starting = starting; }

void Log(int priority, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  syslog(priority, "%s", line);
  // Debug lines reach stderr only through syslog's own copy (-v).
  if (!g_perror && ((g_echo && priority < LOG_DEBUG) || (g_starting && priority <= LOG_ERR))) {
    std::fprintf(stderr, "kvrd: %s\n", line);
  }
}

}  // namespace kvrd
