// Message throughput and delivery latency of the module framework.
//
// Throughput: one communication module sends data-class messages as fast as
// the receive-data queue takes them (a refused message is sent again); one
// function module receives them through the entrance route. Latency: one
// message at a time is sent to an idle framework (its event thread asleep in
// its idle wait) and timed until the function module's OnMessage starts.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "svrframe/comm_mdl.h"
#include "svrframe/kvr_cmd_deal_mdl.h"
#include "svrframe/svr_fun_mdl.h"

namespace {

using Clock = std::chrono::steady_clock;
using SvrFrame::MessageRef;

class Chunk : public SvrFrame::CInnerProtocolStack {
 public:
  const char* GetProtocolName() const override { return "QW"; }
  const char* GetCommandName() const override { return "MediaData"; }
  CSecureString GetResultText() const override { return CSecureString("0"); }
  int32_t GetMessageKind() const override { return SvrFrame::kMediaDataMessage; }
  int32_t GetCarrierKind() const override { return 0; }
  Clock::time_point sentAt;
};

class Sink : public SvrFrame::CSvrFunMdl {
 public:
  Sink() : CSvrFunMdl(false) { GetRuntimeInfo()->SetName("qw.kvr.func"); }
  int Destroy() override {
    delete this;
    return 0;
  }
  int Loop() override { return 0; }
  int OnMessage(const MessageRef& message) override {
    if (timing.load(std::memory_order_relaxed)) {
      const auto* chunk = static_cast<const Chunk*>(message.get());
      lastLatency.store(Clock::now() - chunk->sentAt, std::memory_order_relaxed);
    }
    received.fetch_add(1, std::memory_order_release);
    return 0;
  }
  std::atomic<long> received{0};
  std::atomic<bool> timing{false};
  std::atomic<Clock::duration> lastLatency{};
};

class Source : public SvrFrame::CCommMdl {
 public:
  Source() : CCommMdl(false) { GetRuntimeInfo()->SetName("RtspSource"); }
  int Destroy() override {
    delete this;
    return 0;
  }
  int Loop() override { return 0; }
};

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

}  // namespace

int main() {
  const auto dir = std::filesystem::temp_directory_path();
  const std::string file = (dir / "bench_framework_routes.xml").string();
  std::ofstream(file) << "<c><p type='QW'><m id='MediaData'>"
                         "<f entrance='1' funcName='qw.kvr.func'/></m></p></c>";

  auto* cmd = new CKVRCmdDealMdl(true);
  if (cmd->Init(file.c_str()) != 0) {
    std::fprintf(stderr, "bench_framework: routing file did not load\n");
    return 1;
  }
  std::filesystem::remove(file);
  auto* sink = new Sink;
  auto* source = new Source;
  cmd->RegisterFunModule(sink);
  cmd->RegisterCommModule(source, 1);

  // Throughput, in rounds: one round can be disturbed by anything else the
  // machine does, so the median is the figure.
  const long kMessages = 1000000;
  const int kRounds = 5;
  std::vector<double> rates;
  for (int round = 0; round < kRounds; ++round) {
    const long before = sink->received.load(std::memory_order_acquire);
    long refused = 0;
    const auto start = Clock::now();
    for (long i = 0; i < kMessages; ++i) {
      MessageRef message(new Chunk);
      while (source->Send(message, 0, SvrFrame::kDataClass) < 0) {
        ++refused;
        std::this_thread::yield();
      }
    }
    while (sink->received.load(std::memory_order_acquire) - before < kMessages) {
      std::this_thread::yield();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    rates.push_back(kMessages / seconds);
    std::printf("round %d: %ld messages in %.3f s = %.0f messages/s (%ld refusals)\n", round + 1,
                kMessages, seconds, kMessages / seconds, refused);
  }
  std::sort(rates.begin(), rates.end());
  std::printf("framework throughput: median %.0f messages/s (lowest %.0f, highest %.0f)\n",
              rates[rates.size() / 2], rates.front(), rates.back());

  // Latency to an idle framework.
  sink->timing = true;
  std::vector<double> latencies;
  const int kSamples = 2000;
  for (int i = 0; i < kSamples; ++i) {
    // Long enough for the event thread to be back in its idle wait.
    std::this_thread::sleep_for(std::chrono::microseconds(1500));
    const long before = sink->received.load(std::memory_order_acquire);
    auto* chunk = new Chunk;
    MessageRef message(chunk);
    chunk->sentAt = Clock::now();
    source->Send(message, 0, SvrFrame::kDataClass);
    message = MessageRef();
    while (sink->received.load(std::memory_order_acquire) == before) std::this_thread::yield();
    latencies.push_back(Micros(sink->lastLatency.load()));
  }
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) { return latencies[static_cast<size_t>(q * (latencies.size() - 1))]; };
  std::printf("idle delivery latency over %d messages: p50 %.1f us, p99 %.1f us, max %.1f us\n",
              kSamples, at(0.50), at(0.99), latencies.back());

  cmd->Destroy();
  return 0;
}
