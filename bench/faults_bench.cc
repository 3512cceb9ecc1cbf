// The delivery path of pushed records under the faults that used to hold up
// every record, against the same load without a fault, in the same run:
//
//   quiet (the anchor): R records fed 1 MiB/s each in 20 ms chunks for S s;
//   silent cameras:     the same, and after 1 s C pulled records of cameras
//                       that take the connection and never answer;
//   stop burst:         the same, and after 1 s 4R other records (each given
//                       one chunk) stopped at once by 8 clients over the wire.
//
// Delay is how long after the push that took a record past a whole MiB the
// record's status shows that MiB (the status is read every 2 ms), over every
// record and MiB; lost is what was pushed and is not in the files after the
// stops. The stop burst also reports when the last of its stops was answered
// and when the last of its files was closed. Files go to build-bench/faults-bench
// (or $KVR_BENCH_DIR) and are removed.
//
// usage: bench_faults [records R, default 32] [seconds S, default 4] [cameras C, default 2]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/message/store_pdus.h"
#include "protocol/tcp/kvr_control_client.h"
#include "tests/proof/proof_rig.h"

namespace {

using kvr::tcp::CKVRControlClient;
using kvr::tcp::ControlStatus;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kvr_test::HostRig;
using kvr_test::TsStream;

constexpr double kBytesPerSecond = 1 << 20;
constexpr int kMiB = 64;  // the most whole MiB timed per record

struct Figures {
  double medianMs = 0, worstMs = 0;
  uint64_t lostBytes = 0;
  int unseen = 0;  // MiB pushed that no status showed within the wait
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Feeds `records` new records named `prefix`N for `seconds`, runs `fault` on
// its own thread one second in, and measures as described above.
Figures Run(HostRig& rig, const std::string& volume, const std::string& prefix, uint32_t records,
            double seconds, const std::function<void()>& fault) {
  std::vector<uint32_t> handles;
  for (uint32_t i = 0; i < records; ++i) {
    handles.push_back(rig.StartPushed(1000 + i, prefix + std::to_string(i) + ".ts"));
    if (handles.back() == 0) {
      std::fprintf(stderr, "bench_faults: a record did not start\n");
      std::exit(1);
    }
  }
  std::vector<uint64_t> pushed(records, 0);
  std::vector<Clock::time_point> crossed(records * kMiB);
  std::atomic<bool> fed{false};
  std::thread faulting;
  std::thread feeder([&] {
    std::vector<TsStream> streams;
    for (uint32_t i = 0; i < records; ++i) streams.emplace_back(i);
    const auto start = Clock::now();
    for (std::string chunk;;) {
      const double t = std::chrono::duration<double>(Clock::now() - start).count();
      if (t >= 1 && fault && !faulting.joinable()) faulting = std::thread(fault);
      const uint64_t owed = static_cast<uint64_t>(std::min(t, seconds) * kBytesPerSecond) /
                            TsStream::kPacket * TsStream::kPacket;
      for (uint32_t i = 0; i < records; ++i) {
        if (owed <= pushed[i]) continue;
        chunk.clear();
        streams[i].Next((owed - pushed[i]) / TsStream::kPacket, &chunk);
        const auto now = Clock::now();
        for (uint64_t mib = (pushed[i] >> 20) + 1; mib <= (owed >> 20) && mib < kMiB; ++mib)
          crossed[i * kMiB + mib] = now;
        HostRig::Push(handles[i], chunk);
        pushed[i] = owed;
      }
      if (t >= seconds) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    fed = true;
  });

  std::vector<int> seen(records, 0);
  std::vector<double> delays;
  const auto seenAll = [&] {
    for (uint32_t i = 0; i < records; ++i) {
      if (seen[i] < std::min<int>(static_cast<int>(pushed[i] >> 20), kMiB - 1)) return false;
    }
    return true;
  };
  const auto giveUp = Clock::now() + std::chrono::duration<double>(seconds + 60);
  while (!(fed && seenAll()) && Clock::now() < giveUp) {
    const auto table = kvr_test::RecordTable();
    const auto now = Clock::now();
    for (const auto& r : table) {
      const std::string url = r.recordFileUrl;
      if (url.rfind(prefix, 0) != 0) continue;
      const uint32_t i = static_cast<uint32_t>(std::atoi(url.c_str() + prefix.size()));
      if (i >= records) continue;
      for (int mib = seen[i] + 1; mib <= std::min(r.recordSize, kMiB - 1); ++mib) {
        delays.push_back(Ms(now - crossed[i * kMiB + mib]));
      }
      seen[i] = std::max(seen[i], r.recordSize);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  feeder.join();
  if (faulting.joinable()) faulting.join();

  Figures f;
  for (uint32_t i = 0; i < records; ++i) {
    f.unseen += std::max(0, std::min<int>(static_cast<int>(pushed[i] >> 20), kMiB - 1) - seen[i]);
    std::string name = prefix + std::to_string(i) + ".ts";
    KVR_StopRecRealMedia(name.data());
  }
  for (uint32_t i = 0; i < records; ++i) {
    const std::string path = volume + "/" + prefix + std::to_string(i) + ".ts";
    std::error_code ec;
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (fs::file_size(path, ec) != pushed[i] && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const uint64_t size = fs::file_size(path, ec);
    f.lostBytes += ec ? pushed[i] : pushed[i] - std::min(pushed[i], size);
  }
  std::sort(delays.begin(), delays.end());
  if (!delays.empty()) {
    f.medianMs = delays[delays.size() / 2];
    f.worstMs = delays.back();
  }
  return f;
}

void Print(const char* what, const Figures& f, const Figures& anchor) {
  std::printf(
      "%-15s delay median %6.1f ms, worst %8.1f ms (%5.1fx the quiet worst); %d MiB never "
      "shown; lost %llu bytes\n",
      what, f.medianMs, f.worstMs, anchor.worstMs > 0 ? f.worstMs / anchor.worstMs : 0.0, f.unseen,
      static_cast<unsigned long long>(f.lostBytes));
}

}  // namespace

int main(int argc, char** argv) {
  const uint32_t records = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 32;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 4;
  const uint32_t cameras = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 2;
  const char* dir = std::getenv("KVR_BENCH_DIR");
  const std::string root = fs::absolute(dir != nullptr ? dir : "faults-bench").string();
  fs::create_directories(root + "/v0");
  fs::current_path(root);
  const std::string volume = root + "/v0";
  HostRig rig({volume}, 6 * records + cameras, KVR_SOURCE_DIR "/config/Server_Config.xml");
  if (!rig.ok()) {
    std::fprintf(stderr, "bench_faults: the service did not start\n");
    return 1;
  }
  std::printf("%u records at 1 MiB/s each for %.0f s a phase\n", records, seconds);

  const Figures quiet = Run(rig, volume, "q", records, seconds, nullptr);
  Print("quiet (anchor)", quiet, quiet);

  std::vector<kvr_test::LoopbackSocket> silent;
  for (uint32_t c = 0; c < cameras; ++c) silent.push_back(kvr_test::LoopbackSocket::Listen());
  const Figures cams = Run(rig, volume, "c", records, seconds, [&] {
    for (uint32_t c = 0; c < cameras; ++c) {
      std::string read = "rtsp://127.0.0.1:" + std::to_string(silent[c].port()) + "/silent";
      std::string write = "silent" + std::to_string(c) + ".ts";
      KVR_StartRecRealMedia(read.data(), write.data(), 0, 0);
    }
  });
  char label[64];
  std::snprintf(label, sizeof label, "%u silent cams", cameras);
  Print(label, cams, quiet);

  // The records to stop, each with one chunk.
  std::vector<std::string> names;
  const uint32_t stopped = 4 * records;
  for (uint32_t i = 0; i < stopped; ++i) {
    // Built in steps: GCC 12 at -O3 sees an overlap in "s" + to_string(i).
    names.emplace_back("s");
    names.back() += std::to_string(i);
    names.back() += ".ts";
    const uint32_t handle = rig.StartPushed(2000 + i, names.back());
    std::string chunk;
    TsStream(2000 + i).Next(100, &chunk);
    HostRig::Push(handle, chunk);
  }
  double answeredMs = 0, closedMs = 0;
  const Figures stops = Run(rig, volume, "b", records, seconds, [&] {
    const auto start = Clock::now();
    std::vector<std::thread> stoppers;
    for (uint32_t t = 0; t < 8; ++t) {
      stoppers.emplace_back([&, t] {
        CKVRControlClient client("stopper" + std::to_string(t));
        client.SetTimeout(30000);
        if (client.Connect("127.0.0.1", rig.port()) != ControlStatus::kOk) return;
        for (uint32_t i = t; i < stopped; i += 8) {
          CRecordMediaControl* request = CRecordMediaControl::Create();
          kvr_test::Copy(request->recordFileUrl, names[i]);
          request->ctrlInfo = 3;
          client.Call<CRecordMediaControlAck>(request);
        }
      });
    }
    for (auto& s : stoppers) s.join();
    answeredMs = Ms(Clock::now() - start);
    std::error_code ec;
    for (const auto& n : names) {
      while (fs::file_size(volume + "/" + n, ec) != 100 * TsStream::kPacket &&
             Clock::now() - start < std::chrono::seconds(30)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    closedMs = Ms(Clock::now() - start);
  });
  Print("stop burst", stops, quiet);
  std::printf("%-15s %u stops answered after %.0f ms, their files complete after %.0f ms\n", "",
              stopped, answeredMs, closedMs);
  for (uint32_t c = 0; c < cameras; ++c) {
    std::string write = "silent" + std::to_string(c) + ".ts";
    KVR_StopRecRealMedia(write.data());
  }
  fs::current_path("/");
  fs::remove_all(root);
  return 0;
}
