// Throughput of the proactor against a plain write loop, to the same folder.
//
// Each run writes the same number of bytes (2 GiB by default): the plain loop
// in 1 MiB pieces through platform::File, the proactor in media-sized pieces
// of 4 to 64 KiB through 1 channel and through 64 channels at once. Every run
// ends with its files fsync'd, so the page cache flatters neither side, and
// the removal of its files is committed before the next run starts. The
// producer keeps at most 64 MiB ahead of what has reached the file system, as
// a recorder would not hold more than that in memory (the plain loop is held
// back by the kernel's own dirty-page limits instead). The order of the three
// runs rotates from round to round; the figures are medians over the rounds.
// The CPU time of each run (all threads of the process) is printed beside its
// throughput: on a machine shared with other work, a run that spreads its
// copying over two threads can finish sooner while costing more CPU.
//
// usage: bench_proactor [MiB per run] [rounds] [folder]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "io/proactor.h"
#include "platform/file.h"

namespace {

constexpr int64_t kMiB = 1048576;
constexpr size_t kPieceMin = 4096;
constexpr size_t kPieceMax = 65536;
constexpr int64_t kAheadLimit = 64 * kMiB;

using Clock = std::chrono::steady_clock;

class CountingMonitor : public IIoMonitor {
 public:
  int OnRead(CIoChannel*, kvr::io::CIoBlock*, int) override { return 0; }
  int OnWrite(CIoChannel*, int count) override {
    written.fetch_add(count);
    return 0;
  }
  int OnChannelError(CIoChannel*, int) override {
    errors.fetch_add(1);
    return 0;
  }
  int OnChannelRemoved(ChannelId) override {
    removed.fetch_add(1);
    return 0;
  }
  int OnNotify(int, int) override { return 0; }

  std::atomic<int64_t> written{0};
  std::atomic<int> errors{0};
  std::atomic<int> removed{0};
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_proactor: %s\n", what.c_str());
  std::exit(1);
}

void SyncFile(const std::string& path) {
  platform::File file;
  if (!file.Open(path, platform::OpenMode::kReadExisting) || !file.Sync()) {
    Fail("cannot sync " + path + ": " + platform::ErrorText(file.error()));
  }
}

double Seconds(Clock::time_point begin) {
  return std::chrono::duration<double>(Clock::now() - begin).count();
}

double PlainLoop(const std::string& dir, const std::string& source, int64_t total) {
  const std::string path = dir + "/plain.bin";
  auto begin = Clock::now();
  platform::File file;
  if (!file.Open(path, platform::OpenMode::kWriteCreateAlways)) Fail("cannot create " + path);
  size_t from = 0;
  for (int64_t done = 0; done < total; done += kMiB) {
    if (!file.Write(source.data() + from, kMiB))
      Fail("plain write: " + platform::ErrorText(file.error()));
    from = (from + 4099 * 17) % (source.size() - kMiB);
  }
  if (!file.Sync() || !file.Close()) Fail("plain sync: " + platform::ErrorText(file.error()));
  double seconds = Seconds(begin);
  if (platform::FileSize(path) != total) Fail("plain file has the wrong size");
  platform::RemoveFile(path);
  return seconds;
}

double Channels(const std::string& dir, const std::string& source, int64_t total, int count) {
  CountingMonitor monitor;
  CProactor proactor(20);  // as many workers as the service runs
  proactor.SetMonitor(&monitor);
  // The producer paces itself below; the runtime's memory bound (which counts
  // a block until it is written, a little after OnWrite) must not be what
  // refuses it.
  proactor.SetMemoryBounds(2 * kAheadLimit, kvr::io::CIoBudget::kDefaultTotalLimit);
  proactor.Start();

  std::vector<std::string> paths;
  std::vector<ChannelId> ids;
  std::vector<int64_t> sizes(static_cast<size_t>(count), 0);
  std::mt19937_64 rng(42);
  std::uniform_int_distribution<size_t> piece(kPieceMin, kPieceMax);

  auto begin = Clock::now();
  for (int i = 0; i < count; ++i) {
    paths.push_back(dir + "/ch" + std::to_string(i) + ".bin");
    ids.push_back(proactor.OpenFile(paths.back().c_str(), 1));
    if (ids.back() < 0) Fail("cannot open " + paths.back());
  }
  int64_t handed = 0;
  for (size_t turn = 0; handed < total; ++turn) {
    size_t n = std::min<size_t>(piece(rng), static_cast<size_t>(total - handed));
    size_t from = rng() % (source.size() - n);
    size_t c = turn % static_cast<size_t>(count);
    while (handed - monitor.written.load() > kAheadLimit)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (proactor.Write(ids[c], source.data() + from, static_cast<int>(n)) <= 0)
      Fail("channel write refused");
    handed += static_cast<int64_t>(n);
    sizes[c] += static_cast<int64_t>(n);
  }
  for (ChannelId id : ids) proactor.CloseChannel(id);
  while (monitor.removed.load() < count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (const std::string& path : paths) SyncFile(path);
  double seconds = Seconds(begin);

  if (monitor.errors.load() != 0) Fail("a channel reported a failed write");
  for (int i = 0; i < count; ++i) {
    if (platform::FileSize(paths[static_cast<size_t>(i)]) != sizes[static_cast<size_t>(i)]) {
      Fail("channel file " + paths[static_cast<size_t>(i)] + " has the wrong size");
    }
    platform::RemoveFile(paths[static_cast<size_t>(i)]);
  }
  proactor.Stop();
  return seconds;
}

// Commits the removal of the last run's files so the next run does not pay for it.
void Settle(const std::string& dir) {
  SyncFile(dir);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t m = v.size() / 2;
  return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t mib = argc > 1 ? std::atoll(argv[1]) : 2048;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (mib < 64 || rounds < 1) Fail("usage: bench_proactor [MiB per run, at least 64] [rounds]");
  const int64_t total = mib * kMiB;

  // Scratch files go next to the build: build-bench/proactor-scratch.
  namespace fs = std::filesystem;
  fs::path exe = fs::weakly_canonical(fs::path(argv[0]));
  const std::string dir = argc > 3
                              ? std::string(argv[3])
                              : (exe.parent_path().parent_path() / "proactor-scratch").string();
  fs::remove_all(dir);
  fs::create_directories(dir);

  std::string source(64 * kMiB + kPieceMax, '\0');
  std::mt19937_64 rng(7);
  for (size_t i = 0; i + 8 <= source.size(); i += 8) {
    uint64_t v = rng();
    std::copy(reinterpret_cast<const char*>(&v), reinterpret_cast<const char*>(&v) + 8, &source[i]);
  }

  std::printf(
      "proactor vs plain write loop: %lld MiB per run, %d rounds, fsync at the end of each run\n",
      static_cast<long long>(mib), rounds);
  std::printf("scratch folder: %s\n", dir.c_str());
  std::vector<double> plain, one, many;
  double cpu[3] = {0, 0, 0};
  for (int r = 0; r < rounds; ++r) {
    for (int k = 0; k < 3; ++k) {
      Settle(dir);
      const int which = (r + k) % 3;
      const std::clock_t cpu_begin = std::clock();
      switch (which) {
        case 0:
          plain.push_back(static_cast<double>(mib) / PlainLoop(dir, source, total));
          break;
        case 1:
          one.push_back(static_cast<double>(mib) / Channels(dir, source, total, 1));
          break;
        default:
          many.push_back(static_cast<double>(mib) / Channels(dir, source, total, 64));
          break;
      }
      cpu[which] = static_cast<double>(std::clock() - cpu_begin) / CLOCKS_PER_SEC;
    }
    std::printf(
        "round %d: plain %.1f MiB/s (%.2f s CPU), 1 channel %.1f MiB/s (%.2f s CPU), "
        "64 channels %.1f MiB/s (%.2f s CPU)\n",
        r + 1, plain.back(), cpu[0], one.back(), cpu[1], many.back(), cpu[2]);
    std::fflush(stdout);
  }
  fs::remove_all(dir);

  const double p = Median(plain), o = Median(one), m = Median(many);
  std::printf("median: plain loop (1 MiB pieces)      %8.1f MiB/s\n", p);
  std::printf("median: proactor, 1 channel (4-64 KiB)  %8.1f MiB/s  ratio %.3f\n", o, o / p);
  std::printf("median: proactor, 64 channels (4-64 KiB) %8.1f MiB/s  ratio %.3f\n", m, m / p);
  std::printf("goal: ratio >= 0.9 for both: %s\n",
              (o / p >= 0.9 && m / p >= 0.9) ? "met" : "NOT met");
  return 0;
}
