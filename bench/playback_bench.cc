// kvrd's memory while it streams an hour of footage as fragmented MP4 to a
// reader: the built daemon as a child process over a volume holding 60
// one-minute segments (one clip made with ffmpeg, linked under 60 names; the
// catalog is rebuilt from the files), read once at full speed and once by a
// reader slower than the footage is produced. The anchor is the daemon's
// resident size before the first request; what matters is that the peak
// stays near it, far under the range's size.
//
// usage: bench_playback [KVRD]   (default: the kvrd built beside this bench)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/test_util.h"
#include "tools/kvrd/wall_time.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long StatusKiB(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return -1;
}

struct Run {
  long long bytes = 0;
  double seconds = 0;
  long peakKiB = 0;
};

// Reads the reply, pausing `pauseMs` after every `step` bytes; samples the
// daemon's resident size as it goes.
Run Stream(unsigned api, pid_t daemon, const std::string& path, size_t step, int pauseMs,
           double stopAfterSeconds) {
  Run run;
  const auto start = Clock::now();
  kvr_test::LoopbackSocket s(api);
  s.SendAll("GET " + path + " HTTP/1.0\r\n\r\n");
  for (;;) {
    const std::string got = s.Read(step);
    run.bytes += static_cast<long long>(got.size());
    run.peakKiB = std::max(run.peakKiB, StatusKiB(daemon, "VmRSS:"));
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (got.size() < step || run.seconds > stopAfterSeconds) break;
    if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string kvrd =
      fs::absolute(argc > 1 ? fs::path(argv[1]) : fs::path(argv[0]).parent_path() / "../tools/kvrd")
          .string();
  kvr_test::ScratchDir dir;
  const std::string clip = dir.File("clip.ts");
  std::printf("making a 60 s clip (320x240 H.264 at 400 kbit/s, AAC)...\n");
  const kvr_test::Outcome made = kvr_test::RunCommand(
      "ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi "
      "-i sine=frequency=440:sample_rate=48000 -t 60 -c:v libx264 -preset ultrafast "
      "-profile:v baseline -pix_fmt yuv420p -g 25 -b:v 400k -c:a aac -f mpegts '" +
      clip + "'");
  if (made.exitCode != 0) {
    std::fprintf(stderr, "ffmpeg failed: %s\n", made.err.c_str());
    return 1;
  }
  fs::create_directories(dir.File("volume/cam"));
  const int64_t first = (kvrd::NowMs() - 3 * 3'600'000) / 1000 * 1000;
  for (int i = 0; i < 60; ++i) {
    fs::create_hard_link(clip, dir.File("volume/cam/" + kvrd::SegmentFileName(first + i * 60'000)));
  }
  const long long rangeBytes = 60LL * static_cast<long long>(fs::file_size(clip));
  const unsigned api = kvr_test::FreeLoopbackPort();
  std::ofstream(dir.File("kvrd.conf"))
      << "port = " << kvr_test::FreeLoopbackPort() << "\napi = " << api << "\nrouting = "
      << KVR_SOURCE_DIR "/config/Server_Config.xml\nvolume = v0 volume\nstate = state\n";
  const pid_t daemon = ::fork();
  if (daemon == 0) {
    ::chdir(dir.path().c_str());
    std::freopen("kvrd.log", "w", stderr);
    ::execl(kvrd.c_str(), kvrd.c_str(), "-f", "-c", "kvrd.conf", nullptr);
    ::_exit(127);
  }
  const bool up = kvr_test::WaitFor(
      [&] {
        kvr_test::LoopbackSocket probe(api);
        return probe.connected();
      },
      std::chrono::seconds(30));
  if (!up) {
    std::fprintf(stderr, "kvrd did not answer\n%s",
                 kvr_test::FileText(dir.File("kvrd.log")).c_str());
    ::kill(daemon, SIGKILL);
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long anchor = StatusKiB(daemon, "VmRSS:");
  const std::string path = "/cameras/cam/play?from=" + std::to_string(first / 1000) +
                           "&to=" + std::to_string(first / 1000 + 3600);
  const Run fast = Stream(api, daemon, path, 64 << 10, 0, 600);
  // 64 KiB every 250 ms is 2 Mbit/s against the footage's ~0.45: the queue
  // stays full for the whole run; 20 s of it.
  const Run slow = Stream(api, daemon, path, 64 << 10, 250, 20);
  const long hwm = StatusKiB(daemon, "VmHWM:");
  ::kill(daemon, SIGTERM);
  ::waitpid(daemon, nullptr, 0);

  std::printf("range: 1 h in 60 segments, %.1f MiB on disk\n", rangeBytes / 1048576.0);
  std::printf("anchor: kvrd resident before streaming       %8.1f MiB\n", anchor / 1024.0);
  std::printf(
      "full-speed reader: %.1f MiB of MP4 in %.1f s (%.0fx real time), peak resident "
      "%.1f MiB (+%.1f MiB)\n",
      fast.bytes / 1048576.0, fast.seconds, 3600 / fast.seconds, fast.peakKiB / 1024.0,
      (fast.peakKiB - anchor) / 1024.0);
  std::printf("slow reader (2 Mbit/s, 20 s): %.1f MiB read, peak resident %.1f MiB (+%.1f MiB)\n",
              slow.bytes / 1048576.0, slow.peakKiB / 1024.0, (slow.peakKiB - anchor) / 1024.0);
  std::printf("kvrd's high-water mark over the run: %.1f MiB\n", hwm / 1024.0);
  return fast.bytes > rangeBytes / 2 ? 0 : 1;
}
