#include "protocol/tcp/kvr_tcp_comm_mdl.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/debug_log.h"
#include "platform/socket.h"
#include "platform/time.h"
#include "protocol/message/ds_parser.h"
#include "protocol/message/pdu.h"
#include "protocol/message/session_pdus.h"
#include "protocol/message/store_pdus.h"
#include "protocol/message/zeta_codes.h"

namespace {

using kvr::pdu::kPduModeHttp;
using kvr::pdu::kResultCodeFail;
using kvr::pdu::kResultPlmLogin;
using kvr::pdu::kResultSuccess;
using kvr::pdu::StoreVolumeItem;

using kvr::tcp::CTcpSendLink;

bool Is(const char* command, const char* name) {
  return command != nullptr && std::strcmp(command, name) == 0;
}

// A field's text up to its width, with nothing a log reader could take for
// another line.
template <size_t N>
std::string Shown(const char (&field)[N]) {
  std::string text(field, strnlen(field, N));
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return text;
}

}  // namespace

namespace kvr::tcp {

int CTcpSendLink::QueueSend(int32_t connId, const char* data, int length) {
  platform::ReaderLock lock(mu_);
  return server_ != nullptr ? server_->QueueSend(connId, data, length) : kTPNoConnection;
}

void CTcpSendLink::Wake() {
  platform::ReaderLock lock(mu_);
  if (server_ != nullptr) server_->Wake();
}

void CTcpSendLink::Detach() {
  platform::WriterLock lock(mu_);
  server_ = nullptr;
}

}  // namespace kvr::tcp

CKVRTcpCommMdl::CKVRTcpCommMdl(std::shared_ptr<CTcpSendLink> link, uint32_t context, int32_t connId,
                               const char* peerIp, uint16_t peerPort,
                               std::shared_ptr<const SvrFrame::CAccessSettings> access,
                               std::shared_ptr<kvr::tcp::ControlCounters> counters)
    : CCommMdl(false),
      peerAddress_(peerIp != nullptr ? peerIp : ""),
      peerPort_(peerPort),
      context_(context),
      connId_(connId),
      link_(std::move(link)),
      access_(access ? std::move(access) : std::make_shared<const SvrFrame::CAccessSettings>()),
      counters_(counters ? std::move(counters) : std::make_shared<kvr::tcp::ControlCounters>()),
      lastActivityMs_(platform::TickCount()) {
  GetRuntimeInfo()->SetName(kName);
}

CKVRTcpCommMdl::~CKVRTcpCommMdl() = default;

int CKVRTcpCommMdl::Destroy() {
  delete this;
  return 0;
}

void CKVRTcpCommMdl::OnData(const char* data, int length) {
  // A connection on its way out takes no more requests.
  if (data == nullptr || wantsDrop_.load()) return;
  lastActivityMs_.store(platform::TickCount());
  while (length > 0) {
    // Held bytes that filled the buffer without becoming a message never will.
    if (streamCount_ == kStreamBufferSize) streamCount_ = 0;
    const int take = std::min(length, kStreamBufferSize - streamCount_);
    const size_t needed = static_cast<size_t>(streamCount_ + take + 1);
    if (stream_.size() < needed) {
      stream_.resize(std::min(std::max(needed, stream_.size() * 2),
                              static_cast<size_t>(kStreamBufferSize + 1)));
    }
    std::memcpy(stream_.data() + streamCount_, data, static_cast<size_t>(take));
    streamCount_ += take;
    stream_[static_cast<size_t>(streamCount_)] = '\0';
    data += take;
    length -= take;
    CutMessages();
  }
}

void CKVRTcpCommMdl::CutMessages() {
  CDsParser* parser = CDsParser::Instance();
  int offset = 0;
  while (offset < streamCount_) {
    const int rest = streamCount_ - offset;
    const int get = TakeGet(stream_.data() + offset, rest);
    if (get == 0) break;
    if (get > 0) {
      offset += get;
      continue;
    }
    CReferPtr<IZETAPDU> unit(parser->CreatePDU(stream_.data() + offset, rest));
    if (!unit) break;  // not whole yet, or nothing the parser takes
    const QWTools::HTTPCommon* carrier =
        unit->GetDoc() != nullptr ? unit->GetDoc()->GetCarrier() : nullptr;
    const int used = carrier != nullptr ? carrier->GetTotalLength() : 0;
    if (used < 1 || used > rest) {
      // A message that claims no bytes (or more than there are) cannot be
      // stepped over; what is held is dropped rather than read again forever.
      offset = streamCount_;
      break;
    }
    const std::string audit = AuditText(unit.get());
    const int refusal = Refusal(unit.get());
    if (refusal != 0) {
      counters_->Answered(unit->GetCommandName(), ExpectsReply(unit.get()), refusal);
      CReferPtr<IZETAPDU> reply(unit->CreateAck(refusal));
      if (reply) {
        const std::string sequence = unit->GetSequence(), session = unit->GetSession();
        if (!sequence.empty()) reply->SetSequence(sequence.c_str());
        if (!session.empty()) reply->SetSession(session.c_str());
        Deliver(reply.get());
      }
      platform::AuditPrintf(
          "%s: refused (%s, result %d)", audit.c_str(),
          refusal == kResultPlmLogin ? "not registered" : "remote configuration is off", refusal);
    } else if (ExpectsReply(unit.get()) && inFlight_.fetch_add(1) >= access_->maxQueuedReplies) {
      // Requests pipelined faster than they are answered would pile up in
      // the framework's queues before any reply is left unread: the bound
      // counts them too.
      if (!wantsDrop_.exchange(true)) {
        platform::DebugPrintf("TcpCommMdl: %s has %d requests unanswered: dropped",
                              platform::EndpointText(peerAddress_, peerPort_).c_str(),
                              inFlight_.load());
      }
      offset = streamCount_;
      break;
    } else {
      if (!audit.empty()) {
        platform::MutexLock lock(auditMu_);
        if (pendingAudit_.size() >= static_cast<size_t>(access_->maxQueuedReplies)) {
          pendingAudit_.clear();
        }
        pendingAudit_[unit->GetSequence()] = audit;
      }
      // Requests travel as control data: media fills the data queues, and a
      // burst of it must neither refuse a client's request nor hold it up.
      Send(SvrFrame::MessageRef(unit.get()), 0, SvrFrame::kControlDataClass);
    }
    offset += used;
  }
  if (offset == 0) return;
  std::memmove(stream_.data(), stream_.data() + offset, static_cast<size_t>(streamCount_ - offset));
  streamCount_ -= offset;
  stream_[static_cast<size_t>(streamCount_)] = '\0';
}

int CKVRTcpCommMdl::OnMessage(const SvrFrame::MessageRef& message) {
  if (!message) return 0;
  const char* command = message->GetCommandName();
  const char* protocol = message->GetProtocolName();
  if ((command != nullptr && std::strcmp(command, "MediaData") == 0) || protocol == nullptr ||
      std::strcmp(protocol, "QW") != 0) {
    return 0;
  }
  auto* unit = dynamic_cast<IZETAPDU*>(message.get());
  if (unit == nullptr) return -1;
  // A status query may be answered in parts: the count never goes below 0.
  for (int n = inFlight_.load(); n > 0 && !inFlight_.compare_exchange_weak(n, n - 1);) {
  }
  const int result = unit->GetResultCode();
  if (Is(command, "Register") && result == kResultSuccess) registered_.store(true);
  if (Is(command, "Register") && result != kResultSuccess) counters_->LoginRefused();
  // A status answered in parts is one request.
  auto* status = dynamic_cast<CQueryRecordStatusAck*>(unit);
  if (status == nullptr || status->morePacket == 0) counters_->Answered(command, true, result);
  std::string audit;
  {
    platform::MutexLock lock(auditMu_);
    auto it = pendingAudit_.find(unit->GetSequence());
    if (it != pendingAudit_.end()) {
      audit = std::move(it->second);
      pendingAudit_.erase(it);
    }
  }
  if (!audit.empty()) {
    if (result == kResultSuccess) {
      platform::AuditPrintf("%s: done", audit.c_str());
    } else {
      platform::AuditPrintf("%s: refused (result %d)", audit.c_str(), result);
    }
  }
  return Deliver(unit) ? 0 : -1;
}

bool CKVRTcpCommMdl::ExpectsReply(IZETAPDU* unit) {
  return dynamic_cast<CGetKVRCngParams*>(unit) != nullptr ||
         dynamic_cast<CSetKVRCngParams*>(unit) != nullptr ||
         dynamic_cast<CRecordMedia*>(unit) != nullptr ||
         dynamic_cast<CRecordMediaControl*>(unit) != nullptr ||
         dynamic_cast<CDelRecordMedia*>(unit) != nullptr ||
         dynamic_cast<CQueryRecordStatus*>(unit) != nullptr ||
         dynamic_cast<CRegister*>(unit) != nullptr || dynamic_cast<CKeepAlive*>(unit) != nullptr;
}

int CKVRTcpCommMdl::Refusal(IZETAPDU* unit) const {
  const char* command = unit->GetCommandName();
  if (access_->registeredOnly && !registered_.load() && !Is(command, "Register") &&
      !Is(command, "KeepAlive")) {
    return kResultPlmLogin;
  }
  if (!access_->remoteConfiguration && Is(command, "StoreConfigSet")) return kResultCodeFail;
  return 0;
}

std::string CKVRTcpCommMdl::AuditText(IZETAPDU* unit) const {
  const char* command = unit->GetCommandName();
  std::string what;
  if (auto* start = dynamic_cast<CRecordMedia*>(unit)) {
    what = "record " + Shown(start->writeFileUrl) + " from " + Shown(start->readFileUrl);
    if (start->volumn[0] != '\0') what += " on volume " + Shown(start->volumn);
  } else if (auto* control = dynamic_cast<CRecordMediaControl*>(unit)) {
    what =
        "record " + Shown(control->recordFileUrl) + " control " + std::to_string(control->ctrlInfo);
  } else if (auto* erase = dynamic_cast<CDelRecordMedia*>(unit)) {
    what = "record " + Shown(erase->recordFileUrl);
  } else if (auto* set = dynamic_cast<CSetKVRCngParams*>(unit)) {
    what = "max records " + std::to_string(set->maxRecordNumber);
    StoreVolumeItem volume;
    for (bool first = true; set->NextVolume(&volume, first) == 0; first = false) {
      what += volume.volumeType == -1
                  ? ", remove volume " + Shown(volume.volumeName)
                  : ", volume " + Shown(volume.volumeName) + "=" + Shown(volume.volumePath);
      volume = StoreVolumeItem();
    }
  } else if (auto* login = dynamic_cast<CRegister*>(unit)) {
    what = "user " + Shown(login->cuName);  // never the password
  } else if (!Is(command, "KeepAlive") && !Is(command, "QueryRealMediaRecStatus") &&
             !Is(command, "StoreConfigGet")) {
    // Reading commands change nothing; the others are refused or ignored
    // further on, but who tried them is still worth a line.
    what = "unknown request";
  } else {
    return "";
  }
  std::string session = unit->GetSession();
  if (session.size() > 64) session.resize(64);
  for (char& c : session) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return "peer " + platform::EndpointText(peerAddress_, peerPort_) + " session " +
         (session.empty() ? "-" : session) + (registered_.load() ? "" : " (not registered)") +
         " command " + (command != nullptr ? command : "?") + " " + what;
}

bool CKVRTcpCommMdl::Deliver(IZETAPDU* unit) {
  if (wantsDrop_.load()) return true;  // the connection is on its way out
  CReferPtr<CAutoBuffer> buffer = unit->ToBuffer(kPduModeHttp);
  if (!buffer) return false;
  DeliverBytes(std::move(buffer));
  return true;
}

int CKVRTcpCommMdl::TakeGet(const char* data, int length) {
  if (!access_->metrics) return -1;
  const std::string_view held(data, static_cast<size_t>(length));
  if (held.substr(0, 4) != std::string_view("GET ", 4).substr(0, held.size())) return -1;
  const size_t end = held.find("\r\n\r\n");
  if (end == std::string_view::npos) return 0;
  const std::string_view line = held.substr(0, held.find("\r\n"));
  const std::string_view target = line.substr(4, line.find(' ', 4) - 4);
  // The figures name every record: for this host's own eyes only.
  const bool local = peerAddress_.rfind("127.", 0) == 0 || peerAddress_ == "::1" ||
                     peerAddress_.rfind("::ffff:127.", 0) == 0;
  std::string status = "200 OK", body;
  if (!local) {
    status = "403 Forbidden";
    body = "metrics are answered on loopback only\n";
  } else if (target != "/metrics") {
    status = "404 Not Found";
    body = "only /metrics is served here\n";
  } else {
    body = counters_->Text();
  }
  const std::string reply = "HTTP/1.1 " + status +
                            "\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8"
                            "\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + body;
  CReferPtr<CAutoBuffer> buffer(new CAutoBuffer());
  buffer->MakeCopy(static_cast<int>(reply.size()), reply.data());
  DeliverBytes(std::move(buffer));
  return static_cast<int>(end + 4);
}

void CKVRTcpCommMdl::DeliverBytes(CReferPtr<CAutoBuffer> buffer) {
  if (wantsDrop_.load()) return;
  CAutoBuffer* toSend = nullptr;
  {
    QWTools::CReadWriteMutexLock guard(&sendLock_);
    // A client that reads none of its replies would have them pile up here
    // without end: past the bound it is let go instead.
    if (sendQueue_.size() >= static_cast<size_t>(access_->maxQueuedReplies)) {
      if (!wantsDrop_.exchange(true)) {
        platform::DebugPrintf("TcpCommMdl: %s left %zu replies unread: dropped",
                              platform::EndpointText(peerAddress_, peerPort_).c_str(),
                              sendQueue_.size());
        // The polling thread drops it; it may be asleep with nothing to read.
        link_->Wake();
      }
      sendQueue_.clear();
      return;
    }
    sendQueue_.push_back(std::move(buffer));
    if (!current_) {
      current_ = std::move(sendQueue_.front());
      sendQueue_.pop_front();
      toSend = current_.get();
    }
  }
  // current_ keeps the bytes alive until the server reports them written.
  if (toSend != nullptr) link_->QueueSend(connId_, toSend->Data(), toSend->Size());
}

void CKVRTcpCommMdl::OnSent(int sequence) {
  (void)sequence;  // one message is with the server at a time: it is this one
  CReferPtr<CAutoBuffer> written;
  CAutoBuffer* toSend = nullptr;
  {
    QWTools::CReadWriteMutexLock guard(&sendLock_);
    written = std::move(current_);
    if (!sendQueue_.empty()) {
      current_ = std::move(sendQueue_.front());
      sendQueue_.pop_front();
      toSend = current_.get();
    }
  }
  if (toSend != nullptr) link_->QueueSend(connId_, toSend->Data(), toSend->Size());
}
