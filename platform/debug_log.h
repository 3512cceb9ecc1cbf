// The debug output: diagnostic lines of the service go to syslog at LOG_DEBUG.
// The host decides where they end up (a host that wants them on its terminal
// opens the log with LOG_PERROR; one that wants none masks LOG_DEBUG with
// setlogmask, and the lines then cost nothing; a new mask counts within a
// tenth of a second). Safe from any thread.
#ifndef KVR_PLATFORM_DEBUG_LOG_H_
#define KVR_PLATFORM_DEBUG_LOG_H_

namespace platform {

// Writes one line (UTF-8). A null text writes nothing.
void DebugOutput(const char* text);

// printf-style; lines longer than 1023 bytes are cut.
void DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// An audit line: who changed what, and the outcome. It goes to syslog at
// LOG_NOTICE in the LOG_AUTHPRIV facility, prefixed "audit: ", so a host can
// keep it apart from the debug lines (and masking LOG_DEBUG keeps it).
void AuditPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace platform

#endif  // KVR_PLATFORM_DEBUG_LOG_H_
