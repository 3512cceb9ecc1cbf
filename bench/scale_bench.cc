// 256 pushed records at once through the exports (a host linked against the
// library), against a plain write() loop of the same bytes into the same
// number of files, in the same run:
//
//   paced:   2 Mbit/s per record for 20 s, in chunks of 26 packets (about
//            20 ms of stream): what a full recorder does; both sides keep up,
//            so the ratio shows only that nothing falls behind;
//   unpaced: as fast as each side goes, 8 MiB per record in 64 KiB chunks
//            (348 packets): where the ratio means something.
//
// Eight host threads feed 32 records each. Throughput is end to end: from the
// first chunk to the last byte in its file (the service's files are checked
// byte for byte afterwards; the plain loop's are closed). The host keeps
// each record within 2 MiB of what the service has counted for it (the
// status query), as a host feeding cameras cannot run ahead of them either.
// Resident memory per record is (RSS with 256 records started - RSS before)
// / 256, and again at the paced run's peak. Files go to build-bench/scale-bench
// (or $KVR_BENCH_DIR) and are removed.
//
// usage: bench_scale [paced seconds, default 20] [unpaced MiB per record, default 8]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "tests/proof/proof_rig.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kvr_test::TsStream;

constexpr uint32_t kRecords = 256, kFeeders = 8;

std::string Name(uint32_t record) { return "cam" + std::to_string(record) + ".ts"; }

struct Load {
  double bytesPerSecond;    // per record; 0: unpaced
  double seconds;           // paced: for this long
  uint64_t bytesPerRecord;  // unpaced: this much
  size_t chunkPackets;
};

// Feeds every record its stream with 8 threads. `sink` takes one chunk of a
// record; `mayPush` (unpaced only) holds a record back while it returns false.
// Returns the bytes fed per record.
std::vector<uint64_t> Feed(const Load& load,
                           const std::function<void(uint32_t, const std::string&)>& sink,
                           const std::function<bool(uint32_t, uint64_t)>& mayPush) {
  std::vector<uint64_t> fed(kRecords, 0);
  std::vector<std::thread> feeders;
  const auto start = Clock::now();
  for (uint32_t f = 0; f < kFeeders; ++f) {
    feeders.emplace_back([&, f] {
      std::vector<TsStream> streams;
      for (uint32_t i = f; i < kRecords; i += kFeeders) streams.emplace_back(i);
      std::string chunk;
      for (bool more = true; more;) {
        more = false;
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        for (uint32_t k = 0, i = f; i < kRecords; ++k, i += kFeeders) {
          uint64_t goal = load.bytesPerRecord;
          if (load.bytesPerSecond > 0) {
            goal = static_cast<uint64_t>(std::min(t, load.seconds) * load.bytesPerSecond) /
                   TsStream::kPacket * TsStream::kPacket;
            more = more || t < load.seconds;
          } else {
            more = more || fed[i] < goal;
            if (fed[i] >= goal || !mayPush(i, fed[i])) continue;
            goal = std::min(goal, fed[i] + load.chunkPackets * TsStream::kPacket);
          }
          if (goal <= fed[i]) continue;
          chunk.clear();
          streams[k].Next((goal - fed[i] + TsStream::kPacket - 1) / TsStream::kPacket, &chunk);
          sink(i, chunk);
          fed[i] += chunk.size();
        }
        if (load.bytesPerSecond > 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else {
          std::this_thread::yield();
        }
      }
    });
  }
  for (auto& t : feeders) t.join();
  return fed;
}

struct Result {
  double fedAt, countedAt, filesAt;  // seconds from the first chunk
  double mibPerSecond;
  uint64_t bytes;
  long peakRssKiB;
  int badFiles;
};

// The plain loop: one file a record, one write() a chunk, closed at the end.
Result Plain(const Load& load, const std::string& folder) {
  fs::create_directories(folder);
  std::vector<int> fds;
  for (uint32_t i = 0; i < kRecords; ++i) {
    fds.push_back(
        ::open((folder + "/" + Name(i)).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  }
  const auto start = Clock::now();
  const auto fed = Feed(
      load,
      [&](uint32_t i, const std::string& chunk) {
        for (size_t at = 0; at < chunk.size();) {
          const ssize_t n = ::write(fds[i], chunk.data() + at, chunk.size() - at);
          if (n > 0) at += static_cast<size_t>(n);
        }
      },
      [](uint32_t, uint64_t) { return true; });
  for (int fd : fds) ::close(fd);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  uint64_t bytes = 0;
  for (uint64_t b : fed) bytes += b;
  fs::remove_all(folder);
  return {seconds, seconds, seconds, static_cast<double>(bytes) / (1 << 20) / seconds, bytes, 0, 0};
}

// The service: start the records, feed them, then stop them once every chunk
// has reached its writer, and wait for the files.
Result Service(const Load& load, kvr_test::HostRig& rig, const std::vector<std::string>& volumes,
               long* startedRssKiB) {
  std::vector<uint32_t> handles;
  for (uint32_t i = 0; i < kRecords; ++i) handles.push_back(rig.StartPushed(i, Name(i)));
  if (std::count(handles.begin(), handles.end(), 0u) != 0) {
    std::fprintf(stderr, "bench_scale: a record did not start\n");
    std::exit(1);
  }
  if (startedRssKiB != nullptr) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // writers take up their starts
    *startedRssKiB = kvr_bench::ResidentKiB();
  }

  // Megabytes counted per record, from the status query (one caller at a
  // time: the query's answer lives until the next one), and the peak RSS.
  std::vector<std::atomic<int>> counted(kRecords);
  std::atomic<bool> done{false};
  std::atomic<long> peak{0};
  std::thread watcher([&] {
    while (!done) {
      for (const auto& r : kvr_test::RecordTable()) {
        counted[std::atoi(r.recordFileUrl + 3)] = r.recordSize;
      }
      peak = std::max(peak.load(), kvr_bench::ResidentKiB());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });

  const auto start = Clock::now();
  auto fed = Feed(
      load,
      [&](uint32_t i, const std::string& chunk) {
        KVR_SetDvConMediaData(const_cast<char*>(chunk.data()), static_cast<int>(chunk.size()),
                              handles[i]);
      },
      [&](uint32_t i, uint64_t pushed) {
        return pushed < (static_cast<uint64_t>(counted[i]) + 2) << 20;
      });
  const auto since = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  const double fedAt = since();
  // One queue carries every record's chunks in order: once a last chunk that
  // takes record 0 past a whole megabyte is counted, every chunk has arrived.
  TsStream last(0);
  std::string tail;
  last.Next(fed[0] / TsStream::kPacket, &tail);
  tail.clear();
  const uint64_t target = ((fed[0] >> 20) + 1) << 20;
  last.Next((target - fed[0] + TsStream::kPacket - 1) / TsStream::kPacket, &tail);
  KVR_SetDvConMediaData(tail.data(), static_cast<int>(tail.size()), handles[0]);
  fed[0] += tail.size();
  const auto give_up = Clock::now() + std::chrono::seconds(60);
  while (static_cast<uint64_t>(counted[0]) < target >> 20 && Clock::now() < give_up) {
    std::this_thread::yield();
  }
  const double countedAt = since();
  done = true;
  watcher.join();
  // Each stop waits 10 ms for its writer: the host's threads stop their own
  // records, as they fed them.
  std::vector<std::thread> stoppers;
  for (uint32_t f = 0; f < kFeeders; ++f) {
    stoppers.emplace_back([f] {
      for (uint32_t i = f; i < kRecords; i += kFeeders) {
        std::string name = Name(i);
        KVR_StopRecRealMedia(name.data());
      }
    });
  }
  for (auto& t : stoppers) t.join();
  std::vector<std::string> paths;
  for (uint32_t i = 0; i < kRecords; ++i) {
    paths.push_back(fs::exists(volumes[0] + "/" + Name(i)) ? volumes[0] + "/" + Name(i)
                                                           : volumes[1] + "/" + Name(i));
  }
  for (uint32_t i = 0; i < kRecords && Clock::now() < give_up; ++i) {
    std::error_code ec;
    while (fs::file_size(paths[i], ec) != fed[i] && Clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  Result result{fedAt, countedAt, seconds, 0, 0, peak, 0};
  for (uint32_t i = 0; i < kRecords; ++i) {
    const std::string wrong = kvr_test::CompareWithStream(paths[i], i, fed[i]);
    if (!wrong.empty()) {
      if (result.badFiles++ < 5) std::fprintf(stderr, "bench_scale: %s\n", wrong.c_str());
    }
    std::string name = Name(i);
    KVR_DelRecMediaFile(name.data());
    result.bytes += fed[i];
  }
  result.mibPerSecond = static_cast<double>(result.bytes) / (1 << 20) / seconds;
  return result;
}

void Report(const char* what, const Result& ours, const Result& plain) {
  std::printf("%s: service %.1f MiB/s, plain write() %.1f MiB/s, ratio %.2f (%.0f MiB each)%s\n",
              what, ours.mibPerSecond, plain.mibPerSecond, ours.mibPerSecond / plain.mibPerSecond,
              static_cast<double>(ours.bytes) / (1 << 20),
              ours.badFiles != 0 ? ", FILES WRONG" : ", every file exact");
  std::printf(
      "  service: all fed at %.1f s, all counted by the writers at %.1f s, all in files at %.1f "
      "s\n",
      ours.fedAt, ours.countedAt, ours.filesAt);
}

}  // namespace

int main(int argc, char** argv) {
  const double pacedSeconds = argc > 1 ? std::atof(argv[1]) : 20;
  const uint64_t unpacedMiB = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 8;
  const char* dir = std::getenv("KVR_BENCH_DIR");
  const std::string root = fs::absolute(dir != nullptr ? dir : "scale-bench").string();
  fs::create_directories(root);
  fs::current_path(root);
  const std::vector<std::string> volumes = {root + "/v0", root + "/v1"};
  for (const auto& v : volumes) fs::create_directories(v);

  const long before = kvr_bench::ResidentKiB();
  kvr_test::HostRig rig(volumes, kRecords, KVR_SOURCE_DIR "/config/Server_Config.xml");
  if (!rig.ok()) {
    std::fprintf(stderr, "bench_scale: the service did not start\n");
    return 1;
  }
  const long serviceKiB = kvr_bench::ResidentKiB();

  const Load paced{2e6 / 8, pacedSeconds, 0, 26};
  ::sync();
  long startedKiB = 0;
  const Result ours = Service(paced, rig, volumes, &startedKiB);
  ::sync();
  const Result plain = pacedSeconds > 0 ? Plain(paced, root + "/plain") : ours;
  std::printf("resident memory: %.0f MiB before the service, %.0f MiB started and idle\n",
              static_cast<double>(before) / 1024, static_cast<double>(serviceKiB) / 1024);
  std::printf("per record: %.2f MiB with 256 started, %.2f MiB at the paced run's peak\n",
              static_cast<double>(startedKiB - serviceKiB) / 1024 / kRecords,
              static_cast<double>(ours.peakRssKiB - serviceKiB) / 1024 / kRecords);
  Report("paced 2 Mbit/s x 256", ours, plain);

  const Load unpaced{0, 0, unpacedMiB << 20, 348};
  ::sync();
  const Result fastPlain = Plain(unpaced, root + "/plain");
  ::sync();
  const Result fastOurs = Service(unpaced, rig, volumes, nullptr);
  Report("unpaced x 256", fastOurs, fastPlain);
  fs::current_path("/");
  fs::remove_all(root);
  return ours.badFiles + fastOurs.badFiles == 0 ? 0 : 1;
}
