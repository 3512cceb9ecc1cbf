// What the control port has seen since the service started: connections,
// requests by command and result, refused logins, and connections let go by
// cause. Printed in Prometheus' text format for a GET /metrics on the control
// port, which the access settings turn on (for loopback peers only), so a
// host such as kvrd can scrape the library's own figures without a new
// export.
//
// Made by the TCP service and shared with every connection's module (they
// outlive the service by the framework's grace time). Safe from any thread:
// the connection counts are atomics, the request table has its own lock.
#ifndef KVR_PROTOCOL_TCP_CONTROL_COUNTERS_H_
#define KVR_PROTOCOL_TCP_CONTROL_COUNTERS_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "platform/mutex.h"

namespace kvr::tcp {

class ControlCounters {
 public:
  // Why a connection was let go by the service.
  enum class Drop { kCap, kIdle, kUnread };
  // Appends more families (the records' figures) to the text; set by the
  // service's owner before the port opens.
  using Source = std::function<void(std::string* text)>;

  // A connection that got its module, and the same one closed.
  void Connected() {
    accepted_.fetch_add(1, std::memory_order_relaxed);
    open_.fetch_add(1, std::memory_order_relaxed);
  }
  void Closed() { open_.fetch_sub(1, std::memory_order_relaxed); }
  void Dropped(Drop cause);
  // One request answered (or refused) with `result`. A command the service
  // does not know is counted as "other", so that clients cannot grow the table.
  void Answered(const char* command, bool known, int result);
  // A Register answered with anything but success.
  void LoginRefused() { refusedLogins_.fetch_add(1, std::memory_order_relaxed); }
  void SetSource(Source source);

  // The whole text, families with HELP and TYPE lines.
  std::string Text();

 private:
  std::atomic<uint64_t> accepted_{0};
  std::atomic<int64_t> open_{0};
  std::atomic<uint64_t> drops_[3] = {};
  std::atomic<uint64_t> refusedLogins_{0};
  platform::Mutex mu_;
  std::map<std::pair<std::string, int>, uint64_t> requests_ GUARDED_BY(mu_);
  Source source_ GUARDED_BY(mu_);
};

// `text` as a Prometheus label value: backslash, quote and newline escaped.
std::string LabelValue(const std::string& text);
// Appends a family's HELP and TYPE lines, and one sample of it; `labels` is
// the text between the braces (empty: none).
void MetricFamily(std::string* text, const char* name, const char* type, const char* help);
void MetricSample(std::string* text, const std::string& name, const std::string& labels,
                  uint64_t value);

}  // namespace kvr::tcp

#endif  // KVR_PROTOCOL_TCP_CONTROL_COUNTERS_H_
