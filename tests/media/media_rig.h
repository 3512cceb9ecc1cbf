// A recording rig for the media tests: the real command dealing module with
// the service's routing file and the real proactor, a stand-in for the
// storage function module ("qw.kvr.func") that passes media, requests and
// events on to their reply-to modules as that module does and logs what it
// saw, and a stand-in for the storage data's task and source tables.
#ifndef KVR_TESTS_MEDIA_MEDIA_RIG_H_
#define KVR_TESTS_MEDIA_MEDIA_RIG_H_

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
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

struct Seen {
  std::string command;
  std::string url;  // "recordFileUrl"
  int value = 0;    // "recordEvent", "ctrlInfo" or a reply's result code
  std::vector<std::string> replyTo;
  std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now();
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
    if (unit->GetMessageKind() == SvrFrame::kMediaDataMessage) {
      Send(message, 0, SvrFrame::kDataClass);
      mediaPassed.fetch_add(1);
      return 0;
    }
    Seen seen;
    seen.command = unit->GetCommandName();
    for (const auto& name : unit->ReplyToList()) seen.replyTo.push_back(name.c_str());
    auto fill = [&](const char* url, int value) {
      seen.url = url;
      seen.value = value;
    };
    if (auto* e = dynamic_cast<CRecordEvent*>(unit)) fill(e->recordFileUrl, e->recordEvent);
    if (auto* c = dynamic_cast<CRecordMediaControl*>(unit)) fill(c->recordFileUrl, c->ctrlInfo);
    if (auto* r = dynamic_cast<CRecordMediaControlAck*>(unit)) {
      fill(r->recordFileUrl, r->GetResultCode());
    }
    if (auto* a = dynamic_cast<CRecordMediaAck*>(unit)) fill(a->recordFileUrl, a->GetResultCode());
    {
      std::lock_guard<std::mutex> lock(mu_);
      seen_.push_back(seen);
    }
    if (unit->GetMessageKind() == SvrFrame::kRequestMessage) {
      Send(message, 0,
           seen.command == "RecordEvent" ? SvrFrame::kControlDataClass : SvrFrame::kDataClass);
    }
    return 0;
  }

  std::vector<Seen> Log(const std::string& command) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Seen> out;
    for (const auto& s : seen_) {
      if (s.command == command) out.push_back(s);
    }
    return out;
  }
  std::vector<int> Events(const std::string& url) {
    std::vector<int> out;
    for (const auto& s : Log("RecordEvent")) {
      if (s.url == url) out.push_back(s.value);
    }
    return out;
  }

  std::atomic<uint64_t> mediaPassed{0};

 private:
  std::mutex mu_;
  std::vector<Seen> seen_;
};

class MediaRig : public IRecordDirectory {
 public:
  MediaRig() : proactor_(4) {
    proactor_.Start();
    ok_ = cmd_->Init(KVR_SOURCE_DIR "/config/Server_Config.xml") == 0 &&
          cmd_->RegisterFunModule(store_) && cmd_->RegisterCommModule(fence_, 0);
    SetRecordDirectory(this);
  }
  ~MediaRig() override {
    cmd_->Destroy();  // closes the writers' files and the sources' streams
    SetRecordDirectory(nullptr);
    proactor_.Stop();
  }

  bool ok() const { return ok_; }
  StoreStandIn& store() { return *store_; }
  const ScratchDir& dir() const { return dir_; }

  struct Record {
    std::string url;
    CKVRIOCommMdl* writer = nullptr;
    CKVRDvConCommMdl* pushed = nullptr;  // one of the two sources
    CKVRRTSPCommMdl* pulled = nullptr;
    SvrFrame::CCommMdl* source() const {
      return pushed != nullptr ? static_cast<SvrFrame::CCommMdl*>(pushed) : pulled;
    }
  };
  struct Request {
    std::string writeUrl = "";
    std::string readUrl = "DvCon://device";
    int limitSize = 0, limitTime = 0;
    uint64_t reservedBytes = 0;
    std::string vsDestIp = "", puIp = "";
    int vsDestPort = 0, puPort = 0, puChannel = 0;
  };

  // Makes, fills and registers a writer and its source the way the storage
  // function module does, and forwards the start request to both.
  Record Start(const Request& r) {
    Record rec{r.writeUrl.empty() ? CKVRIOCommMdl::kDefaultRecordUrl : r.writeUrl,
               new CKVRIOCommMdl};
    rec.writer->SetVolumeRoot(dir_.path().c_str());
    rec.writer->SetReservedBytes(r.reservedBytes);
    rec.writer->SetProactor(&proactor_);
    rec.writer->SetRequester("client");
    cmd_->RegisterCommModule(rec.writer, 0);
    rec.writer->SetRecordUrl(rec.url.c_str());
    const std::string writer = rec.writer->GetRuntimeInfo()->Name().c_str();
    if (r.readUrl.find("DvCon") != std::string::npos) {
      rec.pushed = new CKVRDvConCommMdl;
      rec.pushed->SetWriterName(writer.c_str());
    } else {
      rec.pulled = new CKVRRTSPCommMdl;
      rec.pulled->SetWriterName(writer.c_str());
    }
    cmd_->RegisterCommModule(rec.source(), 0);
    {
      std::lock_guard<std::mutex> lock(mu_);
      tasks_.insert(rec.url);
      if (rec.pulled != nullptr) pulled_.push_back(rec.pulled);
    }
    CRecordMedia* request = CRecordMedia::Create();
    SvrFrame::MessageRef ref(request);
    std::snprintf(request->writeFileUrl, 256, "%s", r.writeUrl.c_str());
    std::snprintf(request->readFileUrl, 256, "%s", r.readUrl.c_str());
    std::snprintf(request->vsDestIp, 16, "%s", r.vsDestIp.c_str());
    std::snprintf(request->puIp, 16, "%s", r.puIp.c_str());
    request->vsDestPort = r.vsDestPort;
    request->puPort = r.puPort;
    request->puChannel = r.puChannel;
    request->limitSize = r.limitSize;
    request->limitTime = r.limitTime;
    Forward(rec, request);
    return rec;
  }

  void Control(const Record& rec, int ctrlInfo) {
    CRecordMediaControl* request = CRecordMediaControl::Create();
    std::snprintf(request->recordFileUrl, 256, "%s", rec.url.c_str());
    request->ctrlInfo = ctrlInfo;
    Forward(rec, request);
  }

  // Pushes through the export's entry and waits until the chunk is queued
  // for the writer behind everything sent to it before (so a later control
  // request reaches the writer after it) and, while recording, counted.
  void PushAndWait(const Record& rec, const std::string& bytes) {
    const uint64_t passed = store_->mediaPassed.load();
    const uint64_t before = rec.writer->GetBytesReceived();
    const int state = rec.writer->GetState();
    CKVRDvConCommMdl::PushMedia(bytes.data(), static_cast<int>(bytes.size()),
                                rec.pushed->GetHandle());
    WaitFor([&] { return store_->mediaPassed.load() > passed; });
    if (state == CKVRIOCommMdl::kStateRecording || state == CKVRIOCommMdl::kStateResumed) {
      WaitFor([&] { return rec.writer->GetBytesReceived() >= before + bytes.size(); });
    }
  }

  // The record's events once every event sent before has arrived: all
  // communication modules' events share one queue, so a fence event sent
  // now arrives after them. Negative checks ("no event yet") use this.
  std::vector<int> EventsSoFar(const Record& rec) {
    const std::string url = "fence-" + std::to_string(++fences_);
    CRecordEvent* fence = CRecordEvent::Create();
    SvrFrame::MessageRef ref(fence);
    std::snprintf(fence->recordFileUrl, 256, "%s", url.c_str());
    fence_->Send(ref, 0, SvrFrame::kControlDataClass);
    EXPECT_TRUE(WaitFor([&] { return !store_->Events(url).empty(); }));
    return store_->Events(rec.url);
  }

  bool WaitState(const Record& rec, int state) {
    return WaitFor([&] { return rec.writer->GetState() == state; });
  }
  // Waits until every file has been written out and closed.
  bool WaitFilesClosed() {
    return WaitFor([&] { return proactor_.GetChannelCount() == 0; });
  }
  std::string FileText(const std::string& relative) {
    std::ifstream in(dir_.File(relative), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  CKVRRTSPCommMdl* FindRtspSourceByStream(uint32_t stream) override {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto* source : pulled_) {
      if (source->GetStreamHandle() == stream) return source;
    }
    return nullptr;
  }
  bool HasTask(const char* recordUrl) override {
    std::lock_guard<std::mutex> lock(mu_);
    return tasks_.count(recordUrl) != 0;
  }

 private:
  // As the storage function module forwards a request: from the client,
  // addressed to the record's writer and source.
  void Forward(const Record& rec, SvrFrame::CInnerProtocolStack* request) {
    SvrFrame::MessageRef ref(request);
    request->SetCommOrigin("client");
    request->AddReplyTo(rec.writer->GetRuntimeInfo()->Name());
    request->AddReplyTo(rec.source()->GetRuntimeInfo()->Name());
    store_->Send(ref, 0, SvrFrame::kDataClass);
  }

  ScratchDir dir_;
  CProactor proactor_;
  CKVRCmdDealMdl* cmd_ = new CKVRCmdDealMdl(true);
  StoreStandIn* store_ = new StoreStandIn;
  CKVRDvConCommMdl* fence_ = new CKVRDvConCommMdl;  // only sends
  int fences_ = 0;
  bool ok_ = false;
  std::mutex mu_;
  std::set<std::string> tasks_;
  std::vector<CKVRRTSPCommMdl*> pulled_;
};

}  // namespace kvr_test

#endif  // KVR_TESTS_MEDIA_MEDIA_RIG_H_
