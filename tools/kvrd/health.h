// What /readyz checks and what the volumes' figures are made of: a volume
// that takes a file, the control port that accepts a connection, and the
// rate footage is written at (from the segments closed lately), which gives
// the time until a volume is full. Stateless; any thread.
#ifndef KVR_TOOLS_KVRD_HEALTH_H_
#define KVR_TOOLS_KVRD_HEALTH_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kvrd/catalog.h"

namespace kvrd {

// Writes and removes a small file in `folder`: empty when that worked, the
// reason when not.
std::string VolumeWritable(const std::string& folder);

// A TCP connection to the numeric `address` (IPv4 or IPv6), port `port`, is
// accepted.
bool PortListening(const std::string& address, unsigned port);
// The body of the library's GET /metrics at that address and port (the
// access settings' `metrics` on, the address a loopback one), or "" when it
// does not answer 200 within a second.
std::string ControlPortMetrics(const std::string& address, unsigned port);

// How long the rate is taken over.
constexpr int64_t kRateWindowMs = 10 * 60'000;

// Bytes per second that `closed` (one camera's closed segments, in start
// order) were written at: their bytes over the time they cover. 0 when they
// cover under a second.
double WriteRate(const std::vector<SegmentRow>& closed);

// Seconds until `freeBytes` less `reservedBytes` fill at `bytesPerSecond`;
// +infinity when nothing is written, 0 when already full.
double SecondsUntilFull(uint64_t freeBytes, uint64_t reservedBytes, double bytesPerSecond);

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_HEALTH_H_
