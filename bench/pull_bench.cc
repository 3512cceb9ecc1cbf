// Cost of pulled streams: N streams of one test camera recorded through the
// remote stream library and the proactor (the record path without the
// framework), against N processes of `ffmpeg -rtsp_transport tcp -i URL -c copy
// -f mpegts FILE`, for the same wall time each.
//
// The camera (tests/media/rtsp_camera.py, a fresh one for every measurement)
// is a separate process serving one shared media, encoded once, so its cost
// is in neither figure. Our side runs
// in a child process of its own for each N (this program, re-executed), which
// measures itself: CPU from getrusage deltas around the whole run (opens and
// closes included), resident memory from /proc/self/status while all streams
// run, against the same process before the first open. ffmpeg's CPU and peak
// resident memory come from each child's rusage (wait4). The figures are per
// stream; the goals are at most 0.5x ffmpeg's CPU and at most 4 MiB resident
// per added stream.
//
// A 2-core machine swings a single stream's figures on either side by half a
// CPU-second or more from run to run, so each count is measured in several
// rounds, each side against the other in the same round, and the median
// round's ratio is the figure.
//
// usage: bench_pull [seconds per run, default 20] [stream counts, default 1,8,32]
//                   [folder] [rounds, default 3]
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "io/proactor.h"
#include "media/remote_stream.h"
#include "tests/media/camera_fixture.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_pull: %s\n", what.c_str());
  std::exit(1);
}

double CpuSeconds(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double SelfCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return CpuSeconds(u);
}

// ---- our side, in a child process: bench_pull --ours URL N SECONDS FOLDER ----

class RemovalMonitor : public CDefaultMonitor {
 public:
  int OnChannelError(CIoChannel*, int) override {
    errors.fetch_add(1);
    return 0;
  }
  int OnChannelRemoved(ChannelId) override {
    removed.fetch_add(1);
    return 0;
  }
  std::atomic<int> errors{0};
  std::atomic<int> removed{0};
};

struct Record {
  CProactor* proactor = nullptr;
  ChannelId channel = -1;
  std::atomic<int64_t> bytes{0};
  std::atomic<int> refused{0};
};

int OnData(uint32_t, const uint8_t* data, uint32_t size, void* user) {
  auto* record = static_cast<Record*>(user);
  // Write answers with what its block holds, 0 or -1 when nothing was taken.
  if (record->proactor->Write(record->channel, data, static_cast<int>(size)) <= 0) {
    record->refused.fetch_add(1);
  }
  record->bytes.fetch_add(size);
  return 0;
}

// Stream i of a run reads camera i % K of the K cameras in `urls` (one URL,
// or several one space apart).
std::string UrlOf(const std::string& urls, int i) {
  std::vector<std::string> list;
  std::istringstream words(urls);
  for (std::string word; words >> word;) list.push_back(word);
  return list.empty() ? urls : list[static_cast<size_t>(i) % list.size()];
}

int RunOurs(const std::string& urls, int count, double seconds, const std::string& dir) {
  RemovalMonitor monitor;
  CProactor proactor(20);  // as many workers as the service runs
  proactor.SetMonitor(&monitor);
  proactor.Start();
  kvr::media::CRemoteStreamLib& lib = kvr::media::CRemoteStreamLib::Instance();
  lib.Initialize();
  const long rss_before = kvr_bench::ResidentKiB();
  const double cpu_before = SelfCpuSeconds();

  // Streams open 100 ms apart, as the ffmpeg processes start; each is closed `seconds` after its
  // own open, as long as an ffmpeg runs.
  std::vector<std::unique_ptr<Record>> records;
  std::vector<uint32_t> streams;
  std::vector<std::chrono::steady_clock::time_point> opened;
  for (int i = 0; i < count; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));  // as ffmpeg's
    opened.push_back(std::chrono::steady_clock::now());
    auto record = std::make_unique<Record>();
    record->proactor = &proactor;
    const std::string path = dir + "/ours" + std::to_string(i) + ".ts";
    record->channel = proactor.OpenFile(path.c_str(), 1);
    if (record->channel < 0) Fail("cannot create " + path);
    const std::string url = UrlOf(urls, i);
    uint32_t stream = lib.OpenStream(url.c_str(), &OnData, record.get());
    if (stream == 0) Fail("cannot open " + url);
    streams.push_back(stream);
    records.push_back(std::move(record));
  }
  const auto run = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
  if (count == 0) opened.push_back(std::chrono::steady_clock::now());
  std::this_thread::sleep_until(opened[0] + run);
  const long rss_running = kvr_bench::ResidentKiB();  // every stream is open and running
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_until(opened[static_cast<size_t>(i)] + run);
    lib.CloseStream(streams[static_cast<size_t>(i)]);
    proactor.CloseChannel(records[static_cast<size_t>(i)]->channel);
  }
  while (monitor.removed.load() < count) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const double cpu = SelfCpuSeconds() - cpu_before;

  int64_t bytes = 0;
  int refused = 0;
  for (auto& record : records) {
    bytes += record->bytes.load();
    refused += record->refused.load();
  }
  std::printf("%.3f %ld %ld %lld %d\n", cpu, rss_before, rss_running, static_cast<long long>(bytes),
              refused + monitor.errors.load());
  std::fflush(stdout);
  proactor.Stop();
  return 0;
}

// ---- the parent ----

struct Figures {
  double cpu = 0;      // seconds, all streams
  double rss_kib = 0;  // per stream: added resident memory (ours) or peak resident (ffmpeg)
  int64_t bytes = 0;   // all streams
};

std::string Self() { return fs::read_symlink("/proc/self/exe").string(); }

Figures MeasureOurs(const std::string& url, int count, double seconds, const std::string& dir) {
  std::string command = Self() + " --ours '" + url + "' " + std::to_string(count) + " " +
                        std::to_string(seconds) + " '" + dir + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) Fail("cannot run " + command);
  double cpu = 0;
  long before = 0, running = 0;
  long long bytes = 0;
  int failures = 0;
  int got = std::fscanf(pipe, "%lf %ld %ld %lld %d", &cpu, &before, &running, &bytes, &failures);
  if (pclose(pipe) != 0 || got != 5) Fail("our side failed");
  if (failures != 0) Fail("our side: " + std::to_string(failures) + " writes refused or failed");
  return Figures{cpu, static_cast<double>(running - before) / std::max(count, 1), bytes};
}

Figures MeasureFfmpeg(const std::string& url, int count, double seconds, const std::string& dir) {
  // Started 100 ms apart (see RunOurs); each runs `seconds` from its start.
  std::vector<pid_t> children;
  std::vector<std::chrono::steady_clock::time_point> started;
  for (int i = 0; i < count; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    started.push_back(std::chrono::steady_clock::now());
    const std::string file = dir + "/ffmpeg" + std::to_string(i) + ".ts";
    pid_t pid = fork();
    if (pid < 0) Fail("fork failed");
    if (pid == 0) {
      execlp("ffmpeg", "ffmpeg", "-nostdin", "-loglevel", "error", "-rtsp_transport", "tcp", "-i",
             UrlOf(url, i).c_str(), "-c", "copy", "-f", "mpegts", "-y", file.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    children.push_back(pid);
  }
  const auto run = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_until(started[static_cast<size_t>(i)] + run);
    kill(children[static_cast<size_t>(i)], SIGINT);  // ffmpeg ends its file properly on SIGINT
  }
  Figures figures;
  double peak_sum = 0;
  for (pid_t pid : children) {
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) Fail("wait4 failed");
    // ffmpeg answers SIGINT by ending its file and exiting with 255.
    if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 255)) {
      Fail("ffmpeg failed (status " + std::to_string(status) + ")");
    }
    figures.cpu += CpuSeconds(usage);
    peak_sum += static_cast<double>(usage.ru_maxrss);  // KiB on Linux
  }
  for (int i = 0; i < count; ++i) {
    const std::string file = dir + "/ffmpeg" + std::to_string(i) + ".ts";
    std::error_code ec;
    uintmax_t size = fs::file_size(file, ec);
    if (ec || size == 0) Fail("ffmpeg wrote nothing to " + file);
    figures.bytes += static_cast<int64_t>(size);
  }
  figures.rss_kib = peak_sum / count;
  return figures;
}

// Runs `measure` against cameras of its own, one for every 8 streams (as a
// real camera serves a few clients, and so the cameras' encoding stays a
// small load beside the measured processes); no run inherits a camera from
// an earlier one. One stream held open on each by this (unmeasured) process keeps the camera's
// shared media up during the whole run.
Figures OnFreshCamera(int count, double seconds, const std::string& dir,
                      Figures (*measure)(const std::string&, int, double, const std::string&)) {
  constexpr int kStreamsPerCamera = 8;
  std::vector<std::unique_ptr<kvr_test::TestCamera>> cameras;
  std::vector<uint32_t> holders;
  std::string urls;
  kvr::media::CRemoteStreamLib& lib = kvr::media::CRemoteStreamLib::Instance();
  for (int i = 0; i < std::max(1, (count + kStreamsPerCamera - 1) / kStreamsPerCamera); ++i) {
    cameras.push_back(std::make_unique<kvr_test::TestCamera>());
    if (!cameras.back()->ok()) Fail("no camera: " + cameras.back()->error());
    const std::string url = cameras.back()->url();
    holders.push_back(lib.OpenStream(
        url.c_str(), [](uint32_t, const uint8_t*, uint32_t, void*) { return 0; }, nullptr));
    if (holders.back() == 0) Fail("cannot open " + url);
    urls += (urls.empty() ? "" : " ") + url;
  }
  Figures figures = measure(urls, count, seconds, dir);
  for (const uint32_t holder : holders) lib.CloseStream(holder);
  return figures;
}

std::vector<int> ParseCounts(const char* text) {
  std::vector<int> counts;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    int n = std::atoi(item.c_str());
    if (n < 1 || n > 256) Fail("stream counts are 1..256, comma-separated");
    counts.push_back(n);
  }
  return counts;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--ours") == 0) {
    return RunOurs(argv[2], std::atoi(argv[3]), std::atof(argv[4]), argv[5]);
  }
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
  const std::vector<int> counts = ParseCounts(argc > 2 ? argv[2] : "1,8,32");
  if (seconds < 2) Fail("usage: bench_pull [seconds, at least 2] [counts, e.g. 1,8,32] [folder]");
  fs::path exe = fs::weakly_canonical(fs::path(argv[0]));
  const std::string dir = argc > 3 && argv[3][0] != '\0'
                              ? argv[3]
                              : (exe.parent_path().parent_path() / "pull-scratch").string();
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
  if (rounds < 1 || rounds > 99) Fail("rounds are 1..99");

  std::printf(
      "pulled streams of a test camera, %.0f s per run; CPU and resident memory per stream\n",
      seconds);
  // The record path costs something with no stream at all (the proactor's 20
  // workers wake every 10 ms): measured alone, and taken out in "net".
  const Figures idle = MeasureOurs("unused", 0, seconds, dir);
  std::printf("record path idle (proactor, no stream): %.3f CPU s, %.0f KiB\n", idle.cpu,
              idle.rss_kib);
  std::printf("%4s | %10s %10s %10s %6s %6s | %10s %10s | %9s %9s\n", "N", "our CPU s", "net s",
              "ffmpeg s", "ratio", "net", "our +KiB", "ffmpeg KiB", "our KB/s", "ff KB/s");
  int last_n = 0;
  double last_total_kib = 0;
  std::string slopes;
  std::string medians;
  for (int n : counts) {
    std::vector<std::pair<double, Figures>> measured;  // ratio, our figures
    for (int round = 0; round < rounds; ++round) {
      fs::remove_all(dir);
      fs::create_directories(dir);
      Figures ours = OnFreshCamera(n, seconds, dir, &MeasureOurs);
      Figures theirs = OnFreshCamera(n, seconds, dir, &MeasureFfmpeg);
      const double net = (ours.cpu - idle.cpu) / n;
      std::printf("%4d | %10.3f %10.3f %10.3f %6.2f %6.2f | %10.0f %10.0f | %9.1f %9.1f\n", n,
                  ours.cpu / n, net, theirs.cpu / n, ours.cpu / theirs.cpu, net * n / theirs.cpu,
                  ours.rss_kib, theirs.rss_kib,
                  static_cast<double>(ours.bytes) / n / seconds / 1000,
                  static_cast<double>(theirs.bytes) / n / seconds / 1000);
      std::fflush(stdout);
      measured.emplace_back(ours.cpu / theirs.cpu, ours);
    }
    std::sort(measured.begin(), measured.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    const auto& [ratio, ours] = measured[measured.size() / 2];
    char line[96];
    std::snprintf(line, sizeof line, "%4d streams: %.2fx ffmpeg's CPU (median of %d rounds)\n", n,
                  ratio, rounds);
    medians += line;
    // The first stream also pays for what every later one shares (FFmpeg's
    // tables, the thread arenas); the slope between runs is the cost of one more.
    const double total_kib = ours.rss_kib * n;
    if (last_n != 0 && n != last_n) {
      char line[128];
      std::snprintf(line, sizeof line, "  %d -> %d streams: %.0f KiB per added stream\n", last_n, n,
                    (total_kib - last_total_kib) / (n - last_n));
      slopes += line;
    }
    last_n = n;
    last_total_kib = total_kib;
  }
  std::printf("ratio of each count, median round:\n%s", medians.c_str());
  if (!slopes.empty()) std::printf("our resident memory, slope between runs:\n%s", slopes.c_str());
  fs::remove_all(dir);
  return 0;
}
