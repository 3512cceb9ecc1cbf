#include "platform/debug_log.h"

#include <syslog.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace platform {
namespace {

// How long the host's log mask is taken as read.
constexpr int64_t kMaskCheckMs = 100;

// A host that masks the debug level (setlogmask) pays nothing for the lines:
// neither the formatting nor syslog's attempt to reach the log socket, which
// without a log daemon is a new socket, a failed connect and a close per line.
// Reading the mask takes syslog's lock, which the threads printing a dozen
// lines per control message would queue on, so the answer is kept for a
// short while: a new mask counts within kMaskCheckMs.
bool DebugWanted() {
  static std::atomic<int64_t> nextCheck{0};
  static std::atomic<bool> wanted{true};
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  if (now >= nextCheck.load(std::memory_order_relaxed)) {
    nextCheck.store(now + kMaskCheckMs, std::memory_order_relaxed);
    wanted.store((setlogmask(0) & LOG_MASK(LOG_DEBUG)) != 0, std::memory_order_relaxed);
  }
  return wanted.load(std::memory_order_relaxed);
}

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

void AuditPrintf(const char* format, ...) {
  if (format == nullptr) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  syslog(LOG_AUTHPRIV | LOG_NOTICE, "audit: %s", line);
}

}  // namespace platform
