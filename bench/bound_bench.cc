// Resident memory of the file runtime when its producer is faster than its
// disk: a paced producer hands media-sized payloads to several channels at a
// multiple of the rate at which their (throttled) disk takes them. Without a
// bound the process grows by the difference every second; with one it grows
// until the bound is reached and then stays flat while the surplus is dropped.
// Every second it prints the resident size, what malloc holds, the bytes held,
// taken and dropped; at the end the spread of both sizes over the second half
// of the run, when the bound has long been reached.
//
// usage: bench_bound [seconds] [channels] [disk MiB/s per channel]
//                    [producer speed as a multiple of the disk] [total bound MiB]
//                    [channel bound MiB]
// (bounds far above what the run produces show the runtime without them)
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "io/proactor.h"

namespace {

constexpr size_t kMiB = 1048576;
constexpr size_t kPayload = 348 * 188;  // a media chunk of whole TS packets

using Clock = std::chrono::steady_clock;

double ResidentMiB() { return static_cast<double>(kvr_bench::ResidentKiB()) / 1024; }

// What malloc has taken from the system: the 256 KiB pieces of the blocks are
// mapped one by one. Resident size trails it while pieces are reused into
// pages they had not touched yet, so this is where flatness shows first.
double MallocMiB() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.arena + info.hblkhd) / static_cast<double>(kMiB);
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_bound: %s\n", what.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  const int channels = argc > 2 ? std::atoi(argv[2]) : 8;
  const double disk_rate = argc > 3 ? std::atof(argv[3]) : 2.0;
  const double speed = argc > 4 ? std::atof(argv[4]) : 8.0;
  const size_t total_bound = (argc > 5 ? std::strtoull(argv[5], nullptr, 10) : 512) * kMiB;
  const size_t channel_bound = (argc > 6 ? std::strtoull(argv[6], nullptr, 10) : 64) * kMiB;
  if (seconds < 2 || channels < 1 || disk_rate <= 0 || speed <= 0 || total_bound == 0 ||
      channel_bound == 0) {
    Fail("usage: bench_bound [seconds] [channels] [disk MiB/s] [speed] [total MiB] [channel MiB]");
  }
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::weakly_canonical(fs::path(argv[0])).parent_path().parent_path() / "bound-scratch";
  fs::remove_all(dir);
  fs::create_directories(dir);

  CProactor proactor(20);
  proactor.Start();
  if (!proactor.SetMemoryBounds(channel_bound, total_bound)) Fail("bounds");
  // Each channel's disk takes `disk_rate` MiB a second: every block waits
  // until its share of time has passed.
  const auto per_byte = std::chrono::duration<double>(1.0 / (disk_rate * kMiB));
  std::vector<ChannelId> ids;
  for (int c = 0; c < channels; ++c) {
    const std::string path = (dir / ("ch" + std::to_string(c) + ".ts")).string();
    ids.push_back(proactor.OpenFile(path.c_str(), 1));
    if (ids.back() <= 0) Fail("cannot open " + path);
    auto next = std::make_shared<Clock::time_point>(Clock::now());
    proactor.SetWriteThrottle(ids.back(), [next, per_byte](size_t bytes) {
      *next = std::max(*next, Clock::now()) +
              std::chrono::duration_cast<Clock::duration>(per_byte * static_cast<double>(bytes));
      std::this_thread::sleep_until(*next);
    });
  }

  std::string source(16 * kMiB, '\0');
  std::mt19937 rng(3);
  for (char& c : source) c = static_cast<char>(rng());

  const double produce_rate = disk_rate * channels * speed;  // MiB a second
  std::printf(
      "bench_bound: %d channels, disk %.1f MiB/s each, producer %.1f MiB/s (%.1fx); "
      "bounds %zu MiB a channel, %zu MiB in all\n",
      channels, disk_rate, produce_rate, speed, proactor.GetChannelBound() / kMiB,
      proactor.GetTotalBound() / kMiB);
  const double rss_before = ResidentMiB();
  std::printf("%4s %9s %9s %9s %9s %9s\n", "s", "RSS MiB", "malloc", "held MiB", "taken",
              "dropped");

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> taken{0}, dropped{0};
  std::thread producer([&] {
    const auto begin = Clock::now();
    uint64_t handed = 0;
    size_t from = 0, turn = 0;
    while (!stop.load()) {
      const double due =
          std::chrono::duration<double>(Clock::now() - begin).count() * produce_rate * kMiB;
      if (static_cast<double>(handed) >= due) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      const int result = proactor.Write(ids[turn++ % ids.size()], source.data() + from,
                                        static_cast<int>(kPayload));
      if (result == CIoChannel::kWriteDropped) {
        dropped += kPayload;
      } else if (result > 0) {
        taken += kPayload;
      } else {
        Fail("a write was refused");
      }
      handed += kPayload;
      from = (from + 4099 * 188) % (source.size() - kPayload);
    }
  });

  std::vector<double> rss, heap;
  for (int s = 1; s <= seconds; ++s) {
    std::this_thread::sleep_until(Clock::now() + std::chrono::seconds(1));
    rss.push_back(ResidentMiB());
    heap.push_back(MallocMiB());
    std::printf("%4d %9.1f %9.1f %9.1f %9.1f %9.1f\n", s, rss.back(), MallocMiB(),
                static_cast<double>(proactor.GetHeldBytes()) / kMiB,
                static_cast<double>(taken.load()) / kMiB,
                static_cast<double>(dropped.load()) / kMiB);
    std::fflush(stdout);
  }
  stop = true;
  producer.join();

  auto spread = [](const std::vector<double>& v) {
    const auto half = v.begin() + static_cast<long>(v.size() / 2);
    return std::make_pair(*std::min_element(half, v.end()), *std::max_element(half, v.end()));
  };
  const auto [rss_low, rss_high] = spread(rss);
  const auto [heap_low, heap_high] = spread(heap);
  std::printf("RSS before %.1f MiB; second half: RSS %.1f..%.1f MiB, malloc %.1f..%.1f MiB\n",
              rss_before, rss_low, rss_high, heap_low, heap_high);
  std::printf("peak held %.1f MiB of a %.1f MiB bound\n",
              static_cast<double>(proactor.GetPeakHeldBytes()) / kMiB,
              static_cast<double>(proactor.GetTotalBound()) / kMiB);
  // Without the throttles Stop writes out what is still held.
  for (ChannelId id : ids) proactor.SetWriteThrottle(id, nullptr);
  proactor.Stop();
  fs::remove_all(dir);
  return 0;
}
