// A recording rig for the media tests: the real command dealing module with
// the service's routing file and the real proactor, a stand-in for the
// storage function module ("qw.kvr.func") that passes media, requests and
// events on to their reply-to modules as that module does and logs what it
// saw, and a stand-in for the storage data's task and source tables.
#ifndef KVR_TESTS_MEDIA_MEDIA_RIG_H_
#define KVR_TESTS_MEDIA_MEDIA_RIG_H_

#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "io/proactor.h"
#include "media/kvr_dvcon_comm_mdl.h"
#include "media/kvr_io_comm_mdl.h"
#include "media/kvr_rtsp_comm_mdl.h"
#include "media/record_directory.h"
#include "protocol/message/store_pdus.h"
#include "svrframe/kvr_cmd_deal_mdl.h"
#include "svrframe/svr_fun_mdl.h"
#include "tests/test_util.h"

namespace kvr_test {

using Writer = CKVRIOCommMdl;
using Events = std::vector<int>;  // a record's event codes, in order

// Media payloads are whole 188-byte MPEG-TS packets.
constexpr size_t kPacket = 188;

// `size` bytes from a generator seeded with `seed`.
inline std::string Bytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  for (auto& c : out) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
  return out;
}

struct Seen {
  std::string command, url;  // url: "recordFileUrl"
  int value = 0;             // "recordEvent" or a reply's result code
  std::vector<std::string> replyTo;
};

class StoreStandIn : public SvrFrame::CSvrFunMdl {
 public:
  StoreStandIn() : CSvrFunMdl(false) { GetRuntimeInfo()->SetName("qw.kvr.func"); }
  int Destroy() override { return delete this, 0; }
  int Loop() override { return 0; }

  int OnMessage(const SvrFrame::MessageRef& message) override {
    SvrFrame::CInnerProtocolStack* unit = message.get();
    if (unit->GetMessageKind() == SvrFrame::kMediaDataMessage) {
      Send(message, 0, SvrFrame::kDataClass);
      return ++mediaPassed, 0;
    }
    Seen seen;
    seen.command = unit->GetCommandName();
    auto note = [&](const char* url, int value) { seen.url = url, seen.value = value; };
    if (auto* e = dynamic_cast<CRecordEvent*>(unit)) note(e->recordFileUrl, e->recordEvent);
    if (auto* r = dynamic_cast<CRecordMediaControlAck*>(unit)) {
      note(r->recordFileUrl, r->GetResultCode());
    }
    if (auto* a = dynamic_cast<CRecordMediaAck*>(unit)) note(a->recordFileUrl, a->GetResultCode());
    for (const auto& name : unit->ReplyToList()) seen.replyTo.push_back(name.c_str());
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

  // What came of `command`, for one record URL or all.
  std::vector<Seen> Log(const std::string& command, const std::string* url = nullptr) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Seen> out;
    for (const auto& s : seen_) {
      if (s.command == command && (url == nullptr || s.url == *url)) out.push_back(s);
    }
    return out;
  }

  std::atomic<uint64_t> mediaPassed{0};

 private:
  std::mutex mu_;
  std::vector<Seen> seen_;
};

class MediaRig : public kvr::media::IRecordDirectory {
 public:
  MediaRig() : proactor_(4) {
    proactor_.Start();
    ok_ = cmd_->Init(KVR_SOURCE_DIR "/config/Server_Config.xml") == 0 &&
          cmd_->RegisterFunModule(store) && cmd_->RegisterCommModule(fence_, 0);
    kvr::media::SetRecordDirectory(this);
  }
  ~MediaRig() override {
    WaitFor([&] { return proactor_.GetJobsInFlight() == 0; });
    cmd_->Destroy();  // closes the writers' files and the sources' streams
    kvr::media::SetRecordDirectory(nullptr);
    proactor_.Stop();
  }

  bool ok() const { return ok_; }
  CProactor& proactor() { return proactor_; }
  ScratchDir dir;
  StoreStandIn* const store = new StoreStandIn;  // owned by the framework

  struct Record {
    std::string url;
    CKVRIOCommMdl* writer = nullptr;
    CKVRDvConCommMdl* pushed = nullptr;  // one of the two, also as `source`
    CKVRRTSPCommMdl* pulled = nullptr;
    SvrFrame::CCommMdl* source = nullptr;
  };
  struct Request {
    std::string writeUrl, readUrl = "DvCon://device";
    int limitSize = 0, limitTime = 0;
    uint64_t reservedBytes = 0;
    std::string volume{};           // the volume root; empty: the rig's folder
    uint32_t (*ticks)() = nullptr;  // the writer's tick; null: the platform's
  };

  // Makes, fills and registers a writer and its source the way the storage
  // function module does, and forwards the start request, filled further by
  // `fill`, to both.
  Record Start(const Request& r, const std::function<void(CRecordMedia&)>& fill = nullptr) {
    Record rec{r.writeUrl, new CKVRIOCommMdl};
    rec.writer->SetVolumeRoot((r.volume.empty() ? dir.path() : r.volume).c_str());
    rec.writer->SetReservedBytes(r.reservedBytes);
    rec.writer->SetTickSource(r.ticks);
    rec.writer->SetProactor(&proactor_);
    rec.writer->SetRequester("client");
    cmd_->RegisterCommModule(rec.writer, 0);
    rec.writer->SetRecordUrl(rec.url.c_str());
    const std::string writer = rec.writer->GetRuntimeInfo()->Name().c_str();
    if (r.readUrl.find("DvCon") != std::string::npos) {
      rec.source = rec.pushed = new CKVRDvConCommMdl;
      rec.pushed->SetWriterName(writer.c_str());
    } else {
      rec.source = rec.pulled = new CKVRRTSPCommMdl;
      rec.pulled->SetWriterName(writer.c_str());
      std::lock_guard<std::mutex> lock(mu_);
      pulled_.push_back(rec.pulled);
    }
    cmd_->RegisterCommModule(rec.source, 0);
    CRecordMedia* request = CRecordMedia::Create();
    SvrFrame::MessageRef ref(request);
    Copy(request->writeFileUrl, r.writeUrl);
    Copy(request->readFileUrl, r.readUrl);
    request->limitSize = r.limitSize;
    request->limitTime = r.limitTime;
    if (fill) fill(*request);
    Forward(rec, request);
    return rec;
  }
  // Starts a record and waits until it records.
  Record Recording(const Request& r) {
    Record rec = Start(r);
    EXPECT_TRUE(WaitState(rec, CKVRIOCommMdl::kStateRecording));
    return rec;
  }

  void Control(const Record& rec, int ctrlInfo) {
    CRecordMediaControl* request = CRecordMediaControl::Create();
    Copy(request->recordFileUrl, rec.url);
    request->ctrlInfo = ctrlInfo;
    Forward(rec, request);
  }

  // Pushes through the export's entry and waits until the chunk is queued
  // for the writer behind everything sent to it before (so a later control
  // request reaches the writer after it) and, while recording, counted.
  void PushAndWait(const Record& rec, const std::string& bytes) {
    const uint64_t passed = store->mediaPassed, before = rec.writer->GetBytesReceived();
    const int state = rec.writer->GetState();
    CKVRDvConCommMdl::PushMedia(bytes.data(), static_cast<int>(bytes.size()),
                                rec.pushed->GetHandle());
    WaitFor([&] { return store->mediaPassed > passed; });
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
    Copy(fence->recordFileUrl, url);
    fence_->Send(ref, 0, SvrFrame::kControlDataClass);
    EXPECT_TRUE(WaitFor([&] { return !store->Log("RecordEvent", &url).empty(); }));
    std::vector<int> events;
    for (const auto& s : store->Log("RecordEvent", &rec.url)) events.push_back(s.value);
    return events;
  }

  bool WaitState(const Record& rec, int state) {
    return WaitFor([&] { return rec.writer->GetState() == state; });
  }
  // Waits until every file has been written out and closed.
  bool WaitFilesClosed() {
    return WaitFor(
        [&] { return proactor_.GetJobsInFlight() == 0 && proactor_.GetChannelCount() == 0; });
  }
  std::string FileText(const std::string& relative) {
    std::ifstream in(dir.File(relative), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  CKVRRTSPCommMdl* FindRtspSourceByStream(uint32_t stream) override {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto* source : pulled_) {
      if (source->GetStreamHandle() == stream) return source;
    }
    return nullptr;
  }
  // Every record the rig starts stays a task.
  bool HasTask(const char* recordUrl) override { return recordUrl != nullptr; }

 private:
  // As the storage function module forwards a request: from the client,
  // addressed to the record's writer and source.
  void Forward(const Record& rec, SvrFrame::CInnerProtocolStack* request) {
    SvrFrame::MessageRef ref(request);
    request->SetCommOrigin("client");
    request->AddReplyTo(rec.writer->GetRuntimeInfo()->Name());
    request->AddReplyTo(rec.source->GetRuntimeInfo()->Name());
    store->Send(ref, 0, SvrFrame::kDataClass);
  }

  CProactor proactor_;
  CKVRCmdDealMdl* cmd_ = new CKVRCmdDealMdl(true);
  CKVRDvConCommMdl* fence_ = new CKVRDvConCommMdl;  // only sends
  int fences_ = 0;
  bool ok_ = false;
  std::mutex mu_;
  std::vector<CKVRRTSPCommMdl*> pulled_;
};

}  // namespace kvr_test

#endif  // KVR_TESTS_MEDIA_MEDIA_RIG_H_
