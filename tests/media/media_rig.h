// A recording rig for the media tests: the real command dealing module with
// the service's routing file, the real proactor, and a stand-in for the
// storage function module ("qw.kvr.func") that does what that module does
// with media traffic: passes media, forwarded requests and record events on
// to the modules named in their reply-to list, and keeps a log of what it saw.
// It also stands in for the storage data's task and source tables.
#ifndef KVR_TESTS_MEDIA_MEDIA_RIG_H_
#define KVR_TESTS_MEDIA_MEDIA_RIG_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "io/proactor.h"
#include "media/kvr_dvcon_comm_mdl.h"
#include "media/kvr_io_comm_mdl.h"
#include "media/kvr_rtsp_comm_mdl.h"
#include "media/record_directory.h"
#include "protocol/store_pdus.h"
#include "svrframe/kvr_cmd_deal_mdl.h"
#include "svrframe/svr_fun_mdl.h"
#include "tests/test_util.h"

namespace kvr_test {

// What reached the storage function module's stand-in.
struct Seen {
  std::string command;  // command name of the unit
  int kind = 0;         // message kind
  std::string url;      // "recordFileUrl" of events, control requests and replies
  int value = 0;        // "recordEvent", "ctrlInfo" or the reply's result code
  std::vector<std::string> replyTo;
  std::chrono::steady_clock::time_point at;
};

class StoreStandIn : public SvrFrame::CSvrFunMdl {
 public:
  StoreStandIn() : CSvrFunMdl(false) { GetRuntimeInfo()->SetName("qw.kvr.func"); }
  int Destroy() override {
    delete this;
    return 0;
  }
  int Loop() override { return 0; }

  int OnMessage(const SvrFrame::MessageRef& message) override {
    SvrFrame::CInnerProtocolStack* unit = message.get();
    const int kind = unit->GetMessageKind();
    if (kind == SvrFrame::kMediaDataMessage) {
      Send(message, 0, SvrFrame::kDataClass);
      mediaPassed.fetch_add(1);
      return 0;
    }
    Seen seen;
    seen.command = unit->GetCommandName();
    seen.kind = kind;
    for (const auto& name : unit->ReplyToList()) seen.replyTo.push_back(name.c_str());
    seen.at = std::chrono::steady_clock::now();
    if (auto* event = dynamic_cast<CRecordEvent*>(unit)) {
      seen.url = event->recordFileUrl;
      seen.value = event->recordEvent;
    } else if (auto* control = dynamic_cast<CRecordMediaControl*>(unit)) {
      seen.url = control->recordFileUrl;
      seen.value = control->ctrlInfo;
    } else if (auto* reply = dynamic_cast<CRecordMediaControlAck*>(unit)) {
      seen.url = reply->recordFileUrl;
      seen.value = reply->GetResultCode();
    } else if (auto* ack = dynamic_cast<CRecordMediaAck*>(unit)) {
      seen.url = ack->recordFileUrl;
      seen.value = ack->GetResultCode();
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      seen_.push_back(seen);
    }
    // Requests (events, a source's "fail the record") go on to their reply-to
    // modules, events as control data like the real module sends them.
    if (kind == SvrFrame::kRequestMessage) {
      Send(message, 0,
           seen.command == "RecordEvent" ? SvrFrame::kControlDataClass : SvrFrame::kDataClass);
    }
    return 0;
  }

  // Everything seen with this command name, in arrival order.
  std::vector<Seen> Log(const std::string& command) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Seen> out;
    for (const auto& s : seen_) {
      if (s.command == command) out.push_back(s);
    }
    return out;
  }
  // The "recordEvent" values of the events seen for `url`.
  std::vector<int> Events(const std::string& url) {
    std::vector<int> out;
    for (const auto& s : Log("RecordEvent")) {
      if (s.url == url) out.push_back(s.value);
    }
    return out;
  }

  // Media units passed on to writers so far.
  std::atomic<uint64_t> mediaPassed{0};

 private:
  std::mutex mu_;
  std::vector<Seen> seen_;
};

// A module that only sends: the fence of MediaRig.
class Sender : public SvrFrame::CCommMdl {
 public:
  Sender() : CCommMdl(false) { GetRuntimeInfo()->SetName("Sender"); }
  int Destroy() override {
    delete this;
    return 0;
  }
  int Loop() override { return 0; }
};

class MediaRig : public IRecordDirectory {
 public:
  MediaRig() : proactor_(4) {
    proactor_.Start();
    cmd_ = new CKVRCmdDealMdl(true);
    ok_ = cmd_->Init(KVR_SOURCE_DIR "/config/Server_Config.xml") == 0;
    store_ = new StoreStandIn;
    ok_ = ok_ && cmd_->RegisterFunModule(store_);
    sender_ = new Sender;
    ok_ = ok_ && cmd_->RegisterCommModule(sender_, 0);
    SetRecordDirectory(this);
  }
  ~MediaRig() override {
    // Destroying the modules closes their files and streams; the proactor
    // then writes what they still held before it stops.
    cmd_->Destroy();
    SetRecordDirectory(nullptr);
    proactor_.Stop();
  }

  bool ok() const { return ok_; }
  StoreStandIn& store() { return *store_; }
  CProactor& proactor() { return proactor_; }
  const ScratchDir& dir() const { return dir_; }

  struct Record {
    std::string url;
    CKVRIOCommMdl* writer = nullptr;
    CKVRDvConCommMdl* pushed = nullptr;  // one of the two sources
    CKVRRTSPCommMdl* pulled = nullptr;
  };

  struct Request {
    std::string writeUrl = "";
    std::string readUrl = "DvCon://device";
    int limitSize = 0;
    int limitTime = 0;
    uint64_t reservedBytes = 0;
    std::string volumeRoot = "";  // empty: the scratch folder
    std::string vsDestIp = "", puIp = "";
    int vsDestPort = 0, puPort = 0, puChannel = 0;
  };

  // Makes, fills and registers a writer and its source the way the storage
  // function module does, and forwards the start request to both.
  Record Start(const Request& r) {
    Record rec;
    rec.url = r.writeUrl.empty() ? CKVRIOCommMdl::kDefaultRecordUrl : r.writeUrl;
    rec.writer = new CKVRIOCommMdl;
    rec.writer->SetVolumeRoot(r.volumeRoot.empty() ? dir_.path().c_str() : r.volumeRoot.c_str());
    rec.writer->SetReservedBytes(r.reservedBytes);
    rec.writer->SetProactor(&proactor_);
    rec.writer->SetRequester("client");
    cmd_->RegisterCommModule(rec.writer, 0);
    rec.writer->SetRecordUrl(rec.url.c_str());
    const std::string writerName = rec.writer->GetRuntimeInfo()->Name().c_str();

    SvrFrame::CCommMdl* source;
    if (r.readUrl.find("DvCon") != std::string::npos) {
      rec.pushed = new CKVRDvConCommMdl;
      rec.pushed->SetWriterName(writerName.c_str());
      rec.pushed->SetRecordUrl(rec.url.c_str());
      source = rec.pushed;
    } else {
      rec.pulled = new CKVRRTSPCommMdl;
      rec.pulled->SetWriterName(writerName.c_str());
      rec.pulled->SetRecordUrl(rec.url.c_str());
      source = rec.pulled;
    }
    cmd_->RegisterCommModule(source, 0);
    {
      std::lock_guard<std::mutex> lock(mu_);
      tasks_.insert(rec.url);
      if (rec.pulled != nullptr) pulled_.push_back(rec.pulled);
    }

    CRecordMedia* request = CRecordMedia::Create();
    SvrFrame::MessageRef ref(request);
    std::snprintf(request->writeFileUrl, sizeof request->writeFileUrl, "%s", r.writeUrl.c_str());
    std::snprintf(request->readFileUrl, sizeof request->readFileUrl, "%s", r.readUrl.c_str());
    std::snprintf(request->vsDestIp, sizeof request->vsDestIp, "%s", r.vsDestIp.c_str());
    std::snprintf(request->puIp, sizeof request->puIp, "%s", r.puIp.c_str());
    request->vsDestPort = r.vsDestPort;
    request->puPort = r.puPort;
    request->puChannel = r.puChannel;
    request->limitSize = r.limitSize;
    request->limitTime = r.limitTime;
    request->SetCommOrigin("client");
    request->AddReplyTo(writerName.c_str());
    request->AddReplyTo(source->GetRuntimeInfo()->Name());
    store_->Send(ref, 0, SvrFrame::kDataClass);
    return rec;
  }

  // Forwards a control request for the record to its writer and source.
  void Control(const Record& rec, int ctrlInfo) {
    CRecordMediaControl* request = CRecordMediaControl::Create();
    SvrFrame::MessageRef ref(request);
    std::snprintf(request->recordFileUrl, sizeof request->recordFileUrl, "%s", rec.url.c_str());
    request->ctrlInfo = ctrlInfo;
    request->SetCommOrigin("client");
    request->AddReplyTo(rec.writer->GetRuntimeInfo()->Name());
    SvrFrame::CCommMdl* source = rec.pushed != nullptr
                                     ? static_cast<SvrFrame::CCommMdl*>(rec.pushed)
                                     : static_cast<SvrFrame::CCommMdl*>(rec.pulled);
    request->AddReplyTo(source->GetRuntimeInfo()->Name());
    store_->Send(ref, 0, SvrFrame::kDataClass);
  }

  // Pushes through the export's entry and waits until the chunk is queued for
  // the writer behind everything sent to it before, and, while the writer
  // records, until it has counted the chunk. A control request sent after
  // this therefore reaches the writer after the chunk.
  void PushAndWait(const Record& rec, const std::string& bytes) {
    const uint64_t passed = store_->mediaPassed.load();
    const uint64_t before = rec.writer->GetBytesReceived();
    const int state = rec.writer->GetState();
    const bool counts =
        state == CKVRIOCommMdl::kStateRecording || state == CKVRIOCommMdl::kStateResumed;
    CKVRDvConCommMdl::PushMedia(bytes.data(), static_cast<int>(bytes.size()),
                                rec.pushed->GetHandle());
    WaitFor([&] { return store_->mediaPassed.load() > passed; });
    if (counts) WaitFor([&] { return rec.writer->GetBytesReceived() >= before + bytes.size(); });
  }

  // Every communication module's events share one queue: once a fence event
  // sent now has reached the store, so has every event a writer sent before.
  // Negative checks ("no event yet") come after a fence.
  bool Fence() {
    const std::string url = "fence-" + std::to_string(++fences_);
    CRecordEvent* fence = CRecordEvent::Create();
    SvrFrame::MessageRef ref(fence);
    std::snprintf(fence->recordFileUrl, sizeof fence->recordFileUrl, "%s", url.c_str());
    sender_->Send(ref, 0, SvrFrame::kControlDataClass);
    return WaitFor([&] { return !store_->Events(url).empty(); });
  }
  // The events for the record once everything sent before has arrived.
  std::vector<int> EventsSoFar(const Record& rec) {
    EXPECT_TRUE(Fence());
    return store_->Events(rec.url);
  }

  bool WaitState(const Record& rec, int state) {
    return WaitFor([&] { return rec.writer->GetState() == state; });
  }
  // Waits until every channel of the proactor has been written and closed.
  bool WaitFilesClosed() {
    return WaitFor([&] { return proactor_.GetChannelCount() == 0; });
  }
  std::string FileText(const std::string& relative) {
    std::ifstream in(dir_.File(relative), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // ---- The storage data's look-ups ----
  CKVRRTSPCommMdl* FindRtspSourceByStream(uint32_t stream) override {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto* source : pulled_) {
      if (source->GetStreamHandle() == stream) return source;
    }
    return nullptr;
  }
  bool HasTask(const char* recordUrl) override {
    std::lock_guard<std::mutex> lock(mu_);
    return recordUrl != nullptr && tasks_.count(recordUrl) != 0;
  }

 private:
  ScratchDir dir_;
  CProactor proactor_;
  CKVRCmdDealMdl* cmd_ = nullptr;
  StoreStandIn* store_ = nullptr;
  Sender* sender_ = nullptr;
  int fences_ = 0;
  bool ok_ = false;
  std::mutex mu_;
  std::set<std::string> tasks_;
  std::vector<CKVRRTSPCommMdl*> pulled_;
};

}  // namespace kvr_test

#endif  // KVR_TESTS_MEDIA_MEDIA_RIG_H_
