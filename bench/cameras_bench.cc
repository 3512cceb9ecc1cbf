// kvrd's bookkeeping for 32 cameras over one hour of simulated recording in
// 10-second segments, with 30 minutes' retention: every segment is opened and
// closed in the catalog as a camera does it (one small file on disk each),
// and retention sweeps once a simulated minute. Prints the catalog's rows,
// the look-up time of a one-hour range against a full scan of the catalog in
// the same run (the anchor), and the CPU time and resident memory the
// bookkeeping cost.
//
// usage: bench_cameras [CAMERAS] [SIMULATED_SECONDS]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "bench/bench_util.h"
#include "tools/kvrd/retention.h"
#include "tools/kvrd/sqlite_catalog.h"
#include "tools/kvrd/wall_time.h"

namespace {

using namespace kvrd;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

template <class Body>
double MeanMicros(int rounds, Body body) {
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) body(i);
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / rounds;
}

}  // namespace

int main(int argc, char** argv) {
  const int cameras = argc > 1 ? std::atoi(argv[1]) : 32;
  const int64_t simulatedMs = (argc > 2 ? std::atoll(argv[2]) : 3600) * 1000;
  constexpr int64_t kSegmentMs = 10'000, kRetentionMs = 30 * 60'000, kSweepMs = 60'000;
  const fs::path root =
      fs::temp_directory_path() / ("kvr-bench-cameras-" + std::to_string(getpid()));
  fs::create_directories(root / "volume");
  std::string error;
  auto catalog = SqliteCatalog::Open((root / "state").string(), &error);
  if (!catalog) {
    std::fprintf(stderr, "bench_cameras: %s\n", error.c_str());
    return 1;
  }
  std::map<std::string, int64_t> retentions;
  for (int c = 0; c < cameras; ++c) {
    const std::string name = "cam" + std::to_string(c);
    retentions[name] = kRetentionMs;
    catalog->AddCamera(name);
    fs::create_directories(root / "volume" / name);
  }
  // The retention's clock is the real one: the simulated hour ends now.
  const int64_t begin = NowMs() - simulatedMs;
  Retention retention(
      catalog.get(), [&] { return retentions; },
      [&] {
        return std::vector<VolumeSpace>{{"v0", (root / "volume").string(), 1ull << 40, 0}};
      });
  retention.SetSettings({1ull << 30, 2ull << 30, kSweepMs});

  const double cpu0 = CpuSeconds();
  const long rss0 = kvr_bench::ResidentKiB();
  const auto wall0 = Clock::now();
  int64_t segments = 0, deleted = 0;
  for (int64_t t = begin; t < begin + simulatedMs; t += kSegmentMs) {
    for (int c = 0; c < cameras; ++c) {
      const std::string name = "cam" + std::to_string(c);
      SegmentRow row{0, name, "v0", name + "/" + SegmentFileName(t + c), t + c, t + c, 0, 0, true};
      row.id = catalog->AddSegment(row);
      std::ofstream(root / "volume" / row.file) << "ts";
      row.endMs = row.startMs + kSegmentMs;
      row.bytes = 2;
      row.keyFrames = 5;
      row.open = false;
      catalog->UpdateSegment(row);
      ++segments;
    }
    if ((t - begin) % kSweepMs == 0) deleted += retention.Sweep();
  }
  deleted += retention.Sweep();
  const double wallSeconds = std::chrono::duration<double>(Clock::now() - wall0).count();
  const double cpu = CpuSeconds() - cpu0;
  const long rss = kvr_bench::ResidentKiB();
  const size_t rows = catalog->AllSegments().size();

  // A one-hour range of one camera, against reading the whole catalog.
  const int64_t end = begin + simulatedMs;
  size_t found = 0;
  const double lookup = MeanMicros(200, [&](int i) {
    found = catalog->Segments("cam" + std::to_string(i % cameras), end - 3'600'000, end).size();
  });
  const double scan = MeanMicros(5, [&](int) { catalog->AllSegments(); });

  std::printf("bench_cameras: %d cameras x %.0f s in %lld-s segments, retention %lld s\n", cameras,
              simulatedMs / 1000.0, static_cast<long long>(kSegmentMs / 1000),
              static_cast<long long>(kRetentionMs / 1000));
  std::printf("  segments recorded %lld, deleted by age %lld, catalog rows %zu\n",
              static_cast<long long>(segments), static_cast<long long>(deleted), rows);
  std::printf(
      "  look-up of a one-hour range: %.1f us (%zu rows); full scan (anchor) %.1f us;"
      " ratio %.4f\n",
      lookup, found, scan, lookup / scan);
  std::printf(
      "  bookkeeping: %.2f CPU-s for the simulated hour (%.3f%% of one core over the hour),"
      " %.2f s of wall time\n",
      cpu, 100.0 * cpu / (simulatedMs / 1000.0), wallSeconds);
  std::printf("  resident memory: %ld KiB at the end (%+ld KiB during the run)\n", rss, rss - rss0);
  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}
