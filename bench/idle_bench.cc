// What the service costs with nothing to do: the library started through its
// exports with no record, its CPU time over a window (20 s unless given),
// against the goal of 0.2 % of one core. Beside it, in the same run, the file
// runtime alone (one proactor with the service's workers per volume and two
// volumes opened) over a window of the same length, so the share of each part
// shows. Usage: bench_idle [SECONDS]
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "include/KVRServer.h"
#include "io/proactor.h"
#include "platform/socket.h"
#include "store/kvr_data.h"

namespace {

namespace fs = std::filesystem;

struct Usage {
  double cpu_seconds;
  long switches;  // voluntary and involuntary context switches: wake-ups
};

Usage Now() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_nvcsw + usage.ru_nivcsw};
}

long Threads() {
  long count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/task")) count += entry.exists();
  return count;
}

// CPU share of one core and wake-ups per second while the process waits `seconds`.
void Measure(const char* what, double seconds) {
  std::this_thread::sleep_for(std::chrono::seconds(1));  // let start-up settle
  const Usage before = Now();
  const auto started = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const Usage after = Now();
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double share = 100.0 * (after.cpu_seconds - before.cpu_seconds) / wall;
  std::printf("%-44s %7.3f %% of a core  %8.1f switches/s  %3ld threads\n", what, share,
              (after.switches - before.switches) / wall, Threads());
}

unsigned FreePort() {
  const platform::SocketFd fd = platform::OpenTcpSocket();
  platform::BindIPv4(fd, 0, 0);
  const unsigned port = platform::NetToHost16(platform::LocalPort(fd));
  platform::CloseSocket(fd);
  return port;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
  setlogmask(LOG_UPTO(LOG_INFO));
  const fs::path dir = fs::temp_directory_path() / ("kvr-idle-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  fs::current_path(dir);
  fs::copy_file(KVR_SOURCE_DIR "/config/Server_Config.xml", "Server_Config.xml");
  std::printf("idle for %g s each; goal for the service: <= 0.200 %% of a core\n", seconds);

  Measure("the process before anything starts", seconds);
  {
    CProactor proactor(CKVRData::kProactorThreads);
    proactor.Start();
    for (const char* volume : {"a", "b"}) {
      const ChannelId id = proactor.OpenFile((dir / volume).c_str(), 1, volume);
      proactor.Write(id, "x", 1);  // a part-filled block and a sync come due, then nothing
    }
    Measure("the file runtime, two volumes, files open", seconds);
  }
  const unsigned port = FreePort();
  if (KVR_StartService(static_cast<unsigned short>(port)) != 0) {
    std::fprintf(stderr, "bench_idle: the service did not start on port %u\n", port);
    return 1;
  }
  Measure("the service started, no record", seconds);
  KVR_StopService();
  fs::current_path(fs::temp_directory_path());
  fs::remove_all(dir);
  return 0;
}
