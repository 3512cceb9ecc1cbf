#include "tools/kvrd/metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kvrd {
namespace {

// Label values escape backslash, double quote and newline; HELP text only
// backslash and newline.
std::string Escape(const std::string& text, bool quotes) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && quotes) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Number(double value) {
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  if (std::isnan(value)) return "NaN";
  char text[64];
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    std::snprintf(text, sizeof text, "%.6g", value);
  }
  return text;
}

std::string LabelText(const Labels& labels) {
  if (labels.empty()) return "";
  std::string out = "{";
  for (size_t i = 0; i < labels.size(); ++i) {
    out += (i ? "," : "") + labels[i].first + "=\"" + Escape(labels[i].second, true) + "\"";
  }
  return out + "}";
}

}  // namespace

void Histogram::Observe(double seconds) {
  const auto at = std::lower_bound(kBounds.begin(), kBounds.end(), seconds);
  ++counts_[static_cast<size_t>(at - kBounds.begin())];
  sum_ += seconds;
  ++count_;
}

void MetricsText::Family(const std::string& name, const char* type, const std::string& help) {
  if (std::find(families_.begin(), families_.end(), name) != families_.end()) return;
  families_.push_back(name);
  text_ += "# HELP " + name + " " + Escape(help, false) + "\n# TYPE " + name + " " + type + "\n";
}

void MetricsText::Sample(const std::string& name, const Labels& labels, double value) {
  text_ += name + LabelText(labels) + " " + Number(value) + "\n";
}

void MetricsText::Histo(const std::string& name, const Labels& labels, const Histogram& histogram) {
  uint64_t cumulative = 0;
  for (size_t i = 0; i <= Histogram::kBounds.size(); ++i) {
    cumulative += histogram.counts()[i];
    Labels withLe = labels;
    withLe.emplace_back(
        "le", i < Histogram::kBounds.size() ? Number(Histogram::kBounds[i]) : std::string("+Inf"));
    Sample(name + "_bucket", withLe, static_cast<double>(cumulative));
  }
  Sample(name + "_sum", labels, histogram.sum());
  Sample(name + "_count", labels, static_cast<double>(histogram.count()));
}

}  // namespace kvrd
