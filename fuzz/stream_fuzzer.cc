// Feeds arbitrary byte streams, cut into receives at points the input
// chooses, through a client connection's module into the parser and the
// storage function module, with records really started on a scratch volume.
//
// Input: byte 0 holds the number of cut bytes (low 4 bits) and how often the
// stream is repeated (high 4 bits: 12 and above repeat it 4 to 32 times, so
// that a short input can fill the connection's 100 KB stream buffer); then
// the cut bytes, each the length of one receive, used in turn; then the
// stream (repeated up to 256 KB).
//
// The requests travel as in the service, but on this thread: the
// connection's module hands each unit straight to the storage function
// module, whose replies and forwarded requests go straight to the modules
// they are addressed to. A pulled source never gets its request, so nothing
// is ever dialled. Between inputs every record is stopped and its files
// removed, and a configuration the input set is put back, so each input
// starts from the same state. Volumes that an input configures are moved
// inside the scratch folder.
//
// Beyond "does not crash": the connection never holds more than its buffer,
// every reply goes out as one whole HTTP message, nothing appears outside the
// volumes, and stopping every record empties the task table and the
// volume's use count.
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "media/kvr_dvcon_comm_mdl.h"
#include "media/kvr_io_comm_mdl.h"
#include "protocol/http/http_message.h"
#include "protocol/message/session_pdus.h"
#include "protocol/message/store_pdus.h"
#include "protocol/tcp/kvr_tcp_comm_mdl.h"
#include "store/kvr_data.h"
#include "store/kvr_store_fun_mdl.h"
#include "svrframe/kvr_cmd_deal_mdl.h"

namespace {

using kvr::pdu::kPduModeHttp;
using kvr::pdu::StoreVolumeItem;

using kvr::tcp::CTcpSendLink;

namespace fs = std::filesystem;

constexpr int kMaxRecords = 4;
constexpr size_t kMaxStream = 1u << 18;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// Stands in for the TCP server: keeps what the connection's module queues
// and reports it written when the harness says so.
class CapturingServer : public ITPObject {
 public:
  CapturingServer() : ITPObject(1, nullptr) {}
  int QueueSend(int32_t, const char* data, int length) override {
    Check(data != nullptr && length > 0, "a queued reply has bytes");
    sent.emplace_back(data, static_cast<size_t>(length));
    return static_cast<int>(sent.size() & 0xFFFF);
  }
  int Poll() override { return 1; }
  int Send(int32_t, const char*, int length) override { return length; }
  std::vector<std::string> sent;
};

struct Harness {
  fs::path root;    // the scratch folder; only `sandbox` may appear in it
  fs::path volume;  // the configured volume, inside the sandbox
  CKVRCmdDealMdl* cmd = nullptr;
  CKVRData* data = nullptr;
  CKVRStoreFunMdl* fun = nullptr;
  CKVRTcpCommMdl* client = nullptr;  // of the input being run
  bool configChanged = false;
  int sandboxVolumes = 0;
};
Harness* g = nullptr;

// Every volume is the folder "v" of its own folder in the sandbox, so that a
// record leaving its volume by one or more levels lands where no volume is.
fs::path Sandbox() { return g->root / "sandbox"; }
fs::path SandboxVolume(const std::string& name) { return Sandbox() / name / "v"; }

// A configuration set whose volumes all lie inside the sandbox.
CReferPtr<CSetKVRCngParams> Sandboxed(CSetKVRCngParams* request) {
  CReferPtr<CSetKVRCngParams> copy(CSetKVRCngParams::Create());
  copy->maxRecordNumber = request->maxRecordNumber;
  copy->recoverMethod = request->recoverMethod;
  copy->reservedSpace = request->reservedSpace;
  copy->reservedvolumeSpace = request->reservedvolumeSpace;
  StoreVolumeItem item;
  for (bool first = true; request->NextVolume(&item, first) == 0; first = false) {
    const std::string path = SandboxVolume("set" + std::to_string(g->sandboxVolumes++)).string();
    copy->AddVolume(item.volumeName, path.c_str(), item.volumeType);
  }
  copy->SetCommOrigin(request->GetCommOrigin());
  copy->SetSession(request->GetSession().c_str());
  copy->SetSequence(request->GetSequence().c_str());
  return copy;
}

// The storage function module's sends: to the modules named in replyTo.
int FunSink(const SvrFrame::MessageRef* message, void*, int, int) {
  if (message == nullptr || !*message) return 0;
  for (const CSecureString& name : (*message)->ReplyToList()) {
    if (g->client != nullptr && name == g->client->GetRuntimeInfo()->Name()) {
      g->client->OnMessage(*message);
      continue;
    }
    SvrFrame::IModule* module = g->cmd->FindCommModule(name);
    // A pulled source would dial the address the input gave it.
    if (dynamic_cast<CKVRIOCommMdl*>(module) != nullptr ||
        dynamic_cast<CKVRDvConCommMdl*>(module) != nullptr) {
      module->OnMessage(*message);
    }
  }
  return 0;
}

// The connection's sends: every unit to the storage function module.
int ClientSink(const SvrFrame::MessageRef* message, void*, int, int) {
  if (message == nullptr || !*message) return 0;
  if (auto* set = dynamic_cast<CSetKVRCngParams*>(message->get())) {
    CReferPtr<CSetKVRCngParams> inside = Sandboxed(set);
    g->configChanged = true;
    g->fun->OnMessage(SvrFrame::MessageRef(inside.get()));
    return 0;
  }
  g->fun->OnMessage(*message);
  return 0;
}

// The configuration every input starts from: one volume, four records.
void Configure(const STORE_CONFIG_INFO* current) {
  CReferPtr<CSetKVRCngParams> set(CSetKVRCngParams::Create());
  set->maxRecordNumber = kMaxRecords;
  set->recoverMethod = 0;
  set->reservedSpace = set->reservedvolumeSpace = 0;
  if (current != nullptr) {
    for (const STORE_VOLUME_INFO& v : current->volumes)
      set->AddVolume(v.volumeName, v.volumePath, -1);
  }
  set->AddVolume("V", g->volume.c_str(), 1);
  g->fun->HandleStoreConfig(set.get());
}

void StopEveryRecord() {
  std::vector<RECORD_STATUS_INFO> records;
  g->data->QueryRecordStatus("*", &records);
  for (const RECORD_STATUS_INFO& record : records) {
    CReferPtr<CRecordMediaControl> stop(CRecordMediaControl::Create());
    std::snprintf(stop->recordFileUrl, sizeof(stop->recordFileUrl), "%s", record.recordFileUrl);
    stop->ctrlInfo = 3;
    g->fun->HandleRecRealMediaControl(stop.get());
  }
  // A stop is answered at once; each task leaves once its writer has taken
  // the stop, within a bounded time.
  for (int waited = 0; g->data->GetTaskCount() != 0 && waited < 5000; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Check(g->data->GetTaskCount() == 0, "stopping every record empties the task table");
}

void CheckNothingOutsideVolumes() {
  for (const auto& entry : fs::directory_iterator(g->root)) {
    Check(entry.path() == Sandbox(), "nothing is written beside the sandbox");
  }
  for (const auto& holder : fs::directory_iterator(Sandbox())) {
    Check(holder.is_directory(), "nothing is written beside the volumes' folders");
    for (const auto& entry : fs::directory_iterator(holder.path())) {
      Check(entry.path().filename() == "v", "nothing is written beside a volume");
    }
  }
}

void ResetSandbox() {
  for (const auto& entry : fs::directory_iterator(Sandbox())) {
    if (entry.path() != g->volume.parent_path()) fs::remove_all(entry.path());
  }
  for (const auto& entry : fs::directory_iterator(g->volume)) fs::remove_all(entry.path());
  g->sandboxVolumes = 0;
}

void RemoveScratch() {
  std::error_code ec;
  if (g != nullptr) fs::remove_all(g->root, ec);
}

// Seeds, made by the service's own units: KVR_WRITE_SEEDS=<folder> writes them and exits.
void WriteSeeds(const char* folder) {
  auto text = [](IZETAPDU* unit, int seq) {
    unit->SetSession("12");
    unit->SetSequence(std::to_string(seq).c_str());
    CReferPtr<CAutoBuffer> buffer = unit->ToBuffer(kPduModeHttp);
    return std::string(buffer->Data(), static_cast<size_t>(buffer->Size()));
  };
  CReferPtr<CKeepAlive> keepAlive(CKeepAlive::Create());
  std::snprintf(keepAlive->cuName, sizeof(keepAlive->cuName), "operator");
  keepAlive->keepAlivePeriod = 30;
  CReferPtr<CRegister> reg(CRegister::Create());
  std::snprintf(reg->cuName, sizeof(reg->cuName), "op");
  std::snprintf(reg->cuPassword, sizeof(reg->cuPassword), "pw");
  CReferPtr<CRecordMedia> pushed(CRecordMedia::Create());
  std::snprintf(pushed->readFileUrl, sizeof(pushed->readFileUrl), "DvCon://cam1");
  std::snprintf(pushed->writeFileUrl, sizeof(pushed->writeFileUrl), "cam1\\day\\rec.dav");
  pushed->limitSize = 1;
  CReferPtr<CRecordMedia> pulled(CRecordMedia::Create());
  std::snprintf(pulled->readFileUrl, sizeof(pulled->readFileUrl), "rtsp://127.0.0.1:1/none");
  std::snprintf(pulled->writeFileUrl, sizeof(pulled->writeFileUrl), "pulled.ts");
  CReferPtr<CRecordMediaControl> pause(CRecordMediaControl::Create());
  std::snprintf(pause->recordFileUrl, sizeof(pause->recordFileUrl), "cam1\\day\\rec.dav");
  pause->ctrlInfo = 1;
  CReferPtr<CRecordMediaControl> stop(CRecordMediaControl::Create());
  std::snprintf(stop->recordFileUrl, sizeof(stop->recordFileUrl), "cam1\\day\\rec.dav");
  stop->ctrlInfo = 3;
  CReferPtr<CQueryRecordStatus> status(CQueryRecordStatus::Create());
  std::snprintf(status->recordFileUrl, sizeof(status->recordFileUrl), "*");
  CReferPtr<CDelRecordMedia> del(CDelRecordMedia::Create());
  std::snprintf(del->recordFileUrl, sizeof(del->recordFileUrl), "cam1\\day\\rec.dav");
  CReferPtr<CSetKVRCngParams> set(CSetKVRCngParams::Create());
  set->maxRecordNumber = 2;
  set->reservedSpace = set->reservedvolumeSpace = 0;
  set->AddVolume("W", "/elsewhere", 1);

  const std::string session = text(pushed.get(), 1) + text(status.get(), 2) + text(pause.get(), 3) +
                              text(stop.get(), 4) + text(del.get(), 5);
  const struct {
    const char* name;
    std::string header, stream;
  } seeds[] = {
      {"keepalive", std::string(1, '\0'), text(keepAlive.get(), 7)},
      {"register", std::string(1, '\0'), text(reg.get(), 1)},
      {"record_pushed", std::string(1, '\0'), text(pushed.get(), 1)},
      {"record_pulled", std::string(1, '\0'), text(pulled.get(), 1)},
      // Cut into receives of 1, 17 and 200 bytes in turn.
      {"record_session_cut", std::string("\x03\x00\x10\xCB", 4), session},
      {"junk_then_keepalive", std::string("\x01\x05", 2), "GARBAGE\r\n" + text(keepAlive.get(), 2)},
      {"config_set_then_record", std::string(1, '\0'), text(set.get(), 1) + text(pushed.get(), 2)},
      // A header that never ends, repeated 32 times: the held bytes fill the stream buffer.
      {"endless_header_repeated", std::string(1, '\xF0'),
       "POST /KeepAlive HTTP/1.1\r\nX-Pad: " + std::string(3300, 'p')},
  };
  fs::create_directories(folder);
  for (const auto& seed : seeds) {
    std::ofstream(fs::path(folder) / seed.name, std::ios::binary) << seed.header << seed.stream;
  }
  std::exit(0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* folder = std::getenv("KVR_WRITE_SEEDS")) WriteSeeds(folder);
  // The service's diagnostics are debug lines; as its host this program drops
  // them, so that each does not try to reach a system log.
  setlogmask(LOG_UPTO(LOG_INFO));
  char scratch[] = "/tmp/kvr-stream-fuzz-XXXXXX";
  Check(::mkdtemp(scratch) != nullptr, "a scratch folder");
  g = new Harness();
  g->root = scratch;
  g->volume = SandboxVolume("base");
  fs::create_directories(g->volume);
  std::atexit(RemoveScratch);

  g->cmd = new CKVRCmdDealMdl(true);
  Check(g->cmd->Init(CSecureString(KVR_SOURCE_DIR "/config/Server_Config.xml")) == 0,
        "the routing file loads");
  g->data = new CKVRData();
  g->data->SetCmdDealModule(g->cmd);
  g->data->AddUser("op", "pw");
  g->fun = new CKVRStoreFunMdl(g->data);
  g->fun->SetSink(&FunSink, nullptr);
  Configure(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 1 || size > (1u << 17)) return 0;
  const size_t cutCount = bytes[0] & 0x0F;
  const int high = bytes[0] >> 4;
  const int repeats = high < 12 ? 1 : 1 << (high - 10);
  if (size < 1 + cutCount) return 0;
  const uint8_t* cuts = bytes + 1;
  const std::string piece(reinterpret_cast<const char*>(bytes + 1 + cutCount), size - 1 - cutCount);
  // Every stop of a running record waits 10 ms for the writer: a bounded
  // stream keeps the slowest input far from the time-out.
  std::string stream;
  for (int i = 0; i < repeats && stream.size() < kMaxStream; ++i) stream += piece;

  auto server = std::make_unique<CapturingServer>();
  auto* client =
      new CKVRTcpCommMdl(std::make_shared<CTcpSendLink>(server.get()), 1, 1, "127.0.0.1", 40000);
  client->SetSink(&ClientSink, nullptr);
  g->client = client;

  size_t at = 0;
  size_t written = 0;  // replies reported written so far
  for (size_t n = 0; at < stream.size(); ++n) {
    size_t length = stream.size() - at;
    if (cutCount > 0) {
      const uint8_t c = cuts[n % cutCount];
      length = std::min(length, c < 128 ? size_t{c} + 1u : size_t{c - 127u} * 64u);
    }
    client->OnData(stream.data() + at, static_cast<int>(length));
    at += length;
    Check(client->HeldBytes() >= 0 && client->HeldBytes() <= CKVRTcpCommMdl::kStreamBufferSize,
          "the connection holds at most its buffer");
    // The server writes one reply at a time and reports each.
    while (written < server->sent.size()) client->OnSent(static_cast<int>(++written));
  }
  for (const std::string& reply : server->sent) {
    int status = 1;
    auto message =
        QWTools::HTTPCommon::Parse(reply.data(), static_cast<int>(reply.size()), &status);
    Check(message != nullptr && !message->IsJunkPacket() &&
              message->GetTotalLength() == static_cast<int>(reply.size()) &&
              message->GetMessageKind() == QWTools::kKindResponse,
          "every reply is one whole HTTP response");
  }

  g->client = nullptr;
  client->Destroy();
  StopEveryRecord();
  STORE_CONFIG_INFO config;
  g->data->CopyConfig(&config);
  for (const STORE_VOLUME_INFO& v : config.volumes) {
    Check(v.useCount == 0, "a volume without records has no use");
  }
  CheckNothingOutsideVolumes();
  if (g->configChanged) {
    Configure(&config);
    g->configChanged = false;
  }
  ResetSandbox();
  return 0;
}
