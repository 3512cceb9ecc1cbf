// The daemon's figures in Prometheus' text exposition format: a histogram
// with fixed buckets that the cameras fill, and a writer that emits each
// metric family once (HELP, TYPE, then its samples) with escaped labels.
//
// Plain values: a Histogram is guarded by whoever holds it (a camera's
// status lock); a MetricsText is built and read by one thread.
#ifndef KVR_TOOLS_KVRD_METRICS_H_
#define KVR_TOOLS_KVRD_METRICS_H_

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kvrd {

class Histogram {
 public:
  // Upper bounds in seconds: from a local disk's answer to a camera's open
  // timeout.
  static constexpr std::array<double, 10> kBounds = {0.01, 0.025, 0.05, 0.1, 0.25,
                                                     0.5,  1,     2.5,  5,   10};

  void Observe(double seconds);
  // Observations at or under kBounds[i] (not cumulative); the last slot is
  // the ones above every bound.
  const std::array<uint64_t, kBounds.size() + 1>& counts() const { return counts_; }
  double sum() const { return sum_; }
  uint64_t count() const { return count_; }

 private:
  std::array<uint64_t, kBounds.size() + 1> counts_{};
  double sum_ = 0;
  uint64_t count_ = 0;
};

using Labels = std::vector<std::pair<std::string, std::string>>;

class MetricsText {
 public:
  // Starts a family; `type` is counter, gauge or histogram. A family already
  // started is not started again (its samples join it only if they follow).
  void Family(const std::string& name, const char* type, const std::string& help);
  void Sample(const std::string& name, const Labels& labels, double value);
  // The _bucket, _sum and _count samples of a histogram family.
  void Histo(const std::string& name, const Labels& labels, const Histogram& histogram);

  const std::string& text() const { return text_; }

 private:
  std::string text_;
  std::vector<std::string> families_;
};

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_METRICS_H_
