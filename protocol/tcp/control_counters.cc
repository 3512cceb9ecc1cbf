#include "protocol/tcp/control_counters.h"

namespace kvr::tcp {
void MetricFamily(std::string* text, const char* name, const char* type, const char* help) {
  *text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void MetricSample(std::string* text, const std::string& name, const std::string& labels,
                  uint64_t value) {
  *text += name + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
}

std::string LabelValue(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void ControlCounters::Dropped(Drop cause) {
  drops_[static_cast<int>(cause)].fetch_add(1, std::memory_order_relaxed);
}

void ControlCounters::Answered(const char* command, bool known, int result) {
  std::string name = known && command != nullptr ? command : "other";
  platform::MutexLock lock(mu_);
  ++requests_[{std::move(name), result}];
}

void ControlCounters::SetSource(Source source) {
  platform::MutexLock lock(mu_);
  source_ = std::move(source);
}

std::string ControlCounters::Text() {
  std::string text;
  MetricFamily(&text, "kvr_control_connections_total", "counter", "Control connections accepted.");
  MetricSample(&text, "kvr_control_connections_total", "", accepted_.load());
  MetricFamily(&text, "kvr_control_connections", "gauge", "Control connections open.");
  const int64_t open = open_.load();
  MetricSample(&text, "kvr_control_connections", "", open > 0 ? static_cast<uint64_t>(open) : 0);
  MetricFamily(&text, "kvr_control_disconnects_total", "counter",
               "Connections the service refused or let go, by cause.");
  static const char* const kCauses[] = {"cap", "idle", "unread"};
  for (int i = 0; i < 3; ++i) {
    MetricSample(&text, "kvr_control_disconnects_total",
                 std::string("cause=\"") + kCauses[i] + "\"", drops_[i].load());
  }
  MetricFamily(&text, "kvr_control_refused_logins_total", "counter",
               "Register requests answered with a failure.");
  MetricSample(&text, "kvr_control_refused_logins_total", "", refusedLogins_.load());
  MetricFamily(&text, "kvr_control_requests_total", "counter",
               "Requests answered, by command and result code (21: not registered).");
  Source source;
  {
    platform::MutexLock lock(mu_);
    for (const auto& [key, count] : requests_) {
      MetricSample(
          &text, "kvr_control_requests_total",
          "command=\"" + LabelValue(key.first) + "\",result=\"" + std::to_string(key.second) + "\"",
          count);
    }
    source = source_;
  }
  if (source) source(&text);
  return text;
}

}  // namespace kvr::tcp
