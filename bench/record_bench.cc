// Pushed media to record files: N records, each fed by its own host thread
// through the export's entry (CKVRDvConCommMdl::PushMedia), the framework,
// the record file writer and the proactor, for a few seconds per N. Prints
// the payload throughput, the CPU seconds per written GiB, and what the
// volume space query made before every payload costs on its own.
//
// Files go to build-bench/record-bench (or $KVR_BENCH_DIR) and are removed.
#include <sys/resource.h>

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

// One run: `records` pushed records for `seconds`, chunks of `chunk` bytes.
void Run(const std::string& root, int records, double seconds, int chunk, bool sync = true) {
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
    std::snprintf(request->writeFileUrl, 256, "n%d-c%d-s%d-%d.ts", records, chunk, sync, i);
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
      while (!stop.load(std::memory_order_relaxed)) {
        CKVRDvConCommMdl::PushMedia(payload.data(), chunk, handles[i]);
        pushed += chunk;
        // A host feeds a camera's pace, not faster than the writer takes it:
        // stay within a few MiB of what has been counted.
        while (pushed > writers[i]->GetBytesReceived() + (4u << 20) && !stop) {
          std::this_thread::yield();
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : hosts) t.join();
  uint64_t bytes = 0;
  for (auto* w : writers) bytes += w->GetBytesReceived();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  cmd->Destroy();  // closes every file
  proactor.Stop();
  const double cpu = CpuSeconds() - cpuBefore;
  const double mib = static_cast<double>(bytes) / (1 << 20);
  const double closed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf(
      "%2d records, %6d-byte chunks, %-18s %5.0f MiB/s (%6.0f chunks/s, %4.0f MiB/s to the "
      "files closed), %.2f CPU s per GiB\n",
      records, chunk, sync ? "fdatasync each 1 s:" : "no fdatasync:", mib / elapsed,
      static_cast<double>(bytes) / chunk / elapsed, mib / closed, cpu / (mib / 1024));
}

}  // namespace

int main() {
  const char* dir = std::getenv("KVR_BENCH_DIR");
  const std::string root = dir != nullptr ? dir : "record-bench";
  std::filesystem::create_directories(root);

  constexpr int kQueries = 200000;
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
  std::filesystem::remove_all(root);
  return 0;
}
