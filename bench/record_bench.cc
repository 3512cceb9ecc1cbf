// Pushed media to record files: N records, each fed by its own host thread
// through the export's entry (CKVRDvConCommMdl::PushMedia), the framework,
// the record file writer and the proactor, for a few seconds per N. Prints
// the payload throughput, the CPU seconds per written GiB, and what the
// volume space query made before every payload costs on its own.
//
// Files go to build-bench/record-bench (or $KVR_BENCH_DIR) and are removed.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "io/proactor.h"
#include "media/kvr_dvcon_comm_mdl.h"
#include "media/kvr_io_comm_mdl.h"
#include "platform/disk.h"
#include "protocol/message/store_pdus.h"
#include "svrframe/kvr_cmd_deal_mdl.h"
#include "svrframe/svr_fun_mdl.h"

namespace {

using Clock = std::chrono::steady_clock;
// File workers per volume, as the service runs them.
constexpr int kWorkersPerVolume = 4;

// Passes media and requests on to their reply-to modules, as the storage
// function module does.
class PassOn : public SvrFrame::CSvrFunMdl {
 public:
  PassOn() : CSvrFunMdl(false) { GetRuntimeInfo()->SetName("qw.kvr.func"); }
  int Destroy() override {
    delete this;
    return 0;
  }
  int Loop() override { return 0; }
  int OnMessage(const SvrFrame::MessageRef& message) override {
    return Send(message, 0, SvrFrame::kDataClass);
  }
};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Waits until `writer` has taken all but `slack` of `pushed` bytes, or until
// it stops making progress (a full queue dropped some) or the run stops.
void WaitForWriter(const CKVRIOCommMdl* writer, uint64_t pushed, uint64_t slack,
                   const std::atomic<bool>& stop) {
  uint64_t last = writer->GetBytesReceived();
  auto progressed = Clock::now();
  while (pushed > writer->GetBytesReceived() + slack && !stop) {
    // A host waits for its camera by sleeping: a host that spins on two
    // cores takes the time that the service it waits for needs. Megabytes
    // ahead, a tenth of a millisecond asleep never leaves the writer idle.
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    const uint64_t now = writer->GetBytesReceived();
    if (now != last) {
      last = now;
      progressed = Clock::now();
    } else if (Clock::now() - progressed > std::chrono::milliseconds(500)) {
      return;
    }
  }
}

// One run: `records` pushed records for `seconds`, chunks of `chunk` bytes;
// with `perRecord`, each host pushes that many bytes as fast as the writer
// takes them instead, and the run's seconds to the files closed are returned.
double Run(const std::string& root, int records, double seconds, int chunk, bool sync = true,
           uint64_t perRecord = 0) {
  CProactor proactor(kWorkersPerVolume);
  if (!sync) proactor.SetSyncInterval(0);
  proactor.Start();
  auto* cmd = new CKVRCmdDealMdl(true);
  if (cmd->Init(KVR_SOURCE_DIR "/config/Server_Config.xml") != 0) {
    std::fprintf(stderr, "bench_record: routing file did not load\n");
    std::exit(1);
  }
  cmd->RegisterFunModule(new PassOn);
  std::vector<CKVRIOCommMdl*> writers;
  std::vector<uint32_t> handles;
  for (int i = 0; i < records; ++i) {
    auto* writer = new CKVRIOCommMdl;
    writer->SetVolumeRoot(root.c_str());
    writer->SetProactor(&proactor);
    cmd->RegisterCommModule(writer, 0);
    auto* source = new CKVRDvConCommMdl;
    source->SetWriterName(writer->GetRuntimeInfo()->Name().c_str());
    cmd->RegisterCommModule(source, 0);
    CRecordMedia* request = CRecordMedia::Create();
    SvrFrame::MessageRef ref(request);
    static int runs = 0;  // every run its own files: an existing file refuses its record
    std::snprintf(request->writeFileUrl, 256, "r%d-n%d-c%d-s%d-%d.ts", runs++, records, chunk, sync,
                  i);
    request->AddReplyTo(writer->GetRuntimeInfo()->Name());
    writer->OnMessage(ref);
    writers.push_back(writer);
    handles.push_back(source->GetHandle());
  }

  const std::string payload(chunk, 'p');
  std::atomic<bool> stop{false};
  std::vector<std::thread> hosts;
  const double cpuBefore = CpuSeconds();
  const auto start = Clock::now();
  for (int i = 0; i < records; ++i) {
    hosts.emplace_back([&, i] {
      uint64_t pushed = 0;
      while (!stop.load(std::memory_order_relaxed) && (perRecord == 0 || pushed < perRecord)) {
        CKVRDvConCommMdl::PushMedia(payload.data(), chunk, handles[i]);
        pushed += chunk;
        // A host feeds a camera's pace, not faster than the writer takes it:
        // stay within a few MiB of what has been counted.
        WaitForWriter(writers[i], pushed, 4u << 20, stop);
      }
    });
  }
  if (perRecord == 0) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
  }
  for (auto& t : hosts) t.join();
  if (perRecord != 0) {
    for (auto* w : writers) WaitForWriter(w, perRecord, 0, stop);
  }
  uint64_t bytes = 0;
  for (auto* w : writers) bytes += w->GetBytesReceived();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  // Each record stopped as a host stops it: the run ends when its last block
  // is written and every file closed, not when the framework is torn down.
  for (auto* w : writers) {
    CRecordMediaControl* stopRequest = CRecordMediaControl::Create();
    SvrFrame::MessageRef ref(stopRequest);
    std::snprintf(stopRequest->recordFileUrl, sizeof stopRequest->recordFileUrl, "%s",
                  w->GetRecordUrl().c_str());
    stopRequest->ctrlInfo = CKVRIOCommMdl::kStateStopped;
    w->OnMessage(ref);
  }
  while (proactor.GetChannelCount() > 0 || proactor.GetJobsInFlight() > 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const double closed = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = CpuSeconds() - cpuBefore;
  cmd->Destroy();
  proactor.Stop();
  const double mib = static_cast<double>(bytes) / (1 << 20);
  if (perRecord != 0) return closed;
  std::printf(
      "%2d records, %6d-byte chunks, %-18s %5.0f MiB/s (%6.0f chunks/s, %4.0f MiB/s to the "
      "files closed), %.2f CPU s per GiB\n",
      records, chunk, sync ? "fdatasync each 1 s:" : "no fdatasync:", mib / elapsed,
      static_cast<double>(bytes) / chunk / elapsed, mib / closed, cpu / (mib / 1024));
  return closed;
}

// The anchor: the same bytes in the same chunks, each file by its own thread
// with plain write() calls, fdatasync before close when the service syncs.
double WriteLoop(const std::string& root, int records, int chunk, bool sync, uint64_t perRecord) {
  const std::string payload(chunk, 'p');
  const auto start = Clock::now();
  std::vector<std::thread> writers;
  for (int i = 0; i < records; ++i) {
    writers.emplace_back([&, i] {
      const std::string path = root + "/loop-" + std::to_string(i) + ".ts";
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
      if (fd < 0) std::exit(1);
      for (uint64_t written = 0; written < perRecord; written += chunk) {
        if (::write(fd, payload.data(), chunk) != chunk) std::exit(1);
      }
      if (sync) ::fdatasync(fd);
      ::close(fd);
    });
  }
  for (auto& t : writers) t.join();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  // "pushed": only the runs against the write() loop, as for a profiler.
  const bool pushedOnly = argc > 1 && std::string(argv[1]) == "pushed";
  const char* dir = std::getenv("KVR_BENCH_DIR");
  const std::string root = dir != nullptr ? dir : "record-bench";
  std::filesystem::remove_all(root);  // a killed run's files would refuse the records
  std::filesystem::create_directories(root);

  constexpr int kQueries = 200000;
  if (!pushedOnly) {
    platform::DiskSpace space;
    const auto start = Clock::now();
    for (int i = 0; i < kQueries; ++i) platform::GetDiskSpace(root, &space);
    std::printf("volume space query before each payload: %.2f us\n",
                std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kQueries);

    // Each case twice, with and without the durability sync, to show its cost.
    for (int records : {1, 4, 16}) {
      for (bool sync : {false, true}) Run(root, records, 3.0, 1316, sync);
    }
    for (bool sync : {false, true}) Run(root, 4, 3.0, 64 << 10, sync);
  }

  // 4 records of 8 MiB pushed as fast as they come, against a write() loop of
  // the same bytes in the same run (best of five rounds each, since a busy
  // machine slows either at random).
  constexpr uint64_t kPerRecord = 8u << 20;
  for (int chunk : {1316, 64 << 10}) {
    // "pushed N": only N-byte chunks.
    if (argc > 2 && std::atoi(argv[2]) != chunk) continue;
    for (bool sync : {false, true}) {
      double service = 1e9, loop = 1e9;
      for (int round = 0; round < 5; ++round) {
        service = std::min(service, Run(root, 4, 0, chunk, sync, kPerRecord));
        loop = std::min(loop, WriteLoop(root, 4, chunk, sync, kPerRecord));
        // Each round on an empty folder: the loop truncates its own files,
        // while the service's pile up dirty pages that the kernel's
        // write-back would throttle later rounds for.
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
      }
      std::printf(
          "4 x 8 MiB pushed, %6d-byte chunks, %-18s service %6.1f ms, write() loop %6.1f ms: "
          "%.2fx the loop's speed\n",
          chunk, sync ? "fdatasync at close:" : "no fdatasync:", service * 1e3, loop * 1e3,
          loop / service);
    }
  }
  std::filesystem::remove_all(root);
  return 0;
}
