#include "protocol/tcp/kvr_control_client.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <utility>

#include "platform/file.h"
#include "platform/host_connect.h"
#include "protocol/http/http_message.h"
#include "protocol/message/ds_parser.h"

namespace kvr::tcp {

namespace {

using kvr::pdu::kPduModeHttp;
using kvr::pdu::kResultSuccess;
using kvr::pdu::RecordStatusEntry;

using Clock = std::chrono::steady_clock;

// A reply still unfinished at this size is no reply of this protocol: the
// largest one, a status page of five records, is a few kilobytes.
constexpr size_t kMaxReplyBytes = 1 << 20;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WaitReadable(platform::SocketFd fd, int ms) {
  platform::PollSet set;
  set.Add(fd, true, false);
  return set.Wait(ms) > 0 && set.Readable(0);
}

}  // namespace

const char* ControlStatusName(ControlStatus status) {
  switch (status) {
    case ControlStatus::kOk:
      return "ok";
    case ControlStatus::kBadAddress:
      return "bad address";
    case ControlStatus::kRefused:
      return "refused";
    case ControlStatus::kTimedOut:
      return "timed out";
    case ControlStatus::kClosed:
      return "closed";
    case ControlStatus::kMalformed:
      return "malformed";
    case ControlStatus::kNotConnected:
      return "not connected";
  }
  return "unknown";
}

CControlReplyReader::Result CControlReplyReader::Next(CReferPtr<IZETAPDU>* unit) {
  if (buffer_.empty()) return kIncomplete;
  const int size = static_cast<int>(buffer_.size());
  CReferPtr<IZETAPDU> parsed(CDsParser::Instance()->CreatePDU(buffer_.data(), size));
  if (!parsed) {
    // The parser cannot tell a message cut short from bytes that are none;
    // the framing can.
    int status = 0;
    const bool incomplete = QWTools::HTTPCommon::Parse(buffer_.data(), size, &status) == nullptr &&
                            status == QWTools::kHttpIncomplete;
    if (incomplete && buffer_.size() < kMaxReplyBytes) return kIncomplete;
    buffer_.clear();
    return kBad;
  }
  const QWTools::HTTPCommon* carrier =
      parsed->GetDoc() != nullptr ? parsed->GetDoc()->GetCarrier() : nullptr;
  const int used = carrier != nullptr ? carrier->GetTotalLength() : 0;
  if (used < 1 || used > size || carrier->IsJunkPacket()) {
    buffer_.clear();
    return kBad;
  }
  buffer_.erase(0, static_cast<size_t>(used));
  *unit = std::move(parsed);
  return kUnit;
}

CKVRControlClient::CKVRControlClient(std::string session) : session_(std::move(session)) {}

CKVRControlClient::~CKVRControlClient() { Close(); }

void CKVRControlClient::Fail(ControlStatus status, std::string text) {
  status_ = status;
  error_ = std::move(text);
}

std::string CKVRControlClient::WrongReplyText(IZETAPDU* reply) {
  return std::string("unexpected reply \"") + reply->GetCommandName() + "\"";
}

ControlStatus CKVRControlClient::Connect(const std::string& host, uint16_t port, int timeoutMs) {
  Close();
  peer_ = platform::EndpointText(host, port);
  platform::SocketAddress address;
  std::string reason;
  if (!platform::ResolveAddress(host.c_str(), port, &address, &reason)) {
    Fail(ControlStatus::kBadAddress, "cannot resolve " + host + ": " + reason);
    return status_;
  }
  fd_ = platform::OpenTcpSocketFor(address);
  if (fd_ == platform::kInvalidSocket) {
    Fail(ControlStatus::kRefused, "no socket: " + platform::ErrorText(platform::LastSocketError()));
    return status_;
  }
  const int error = platform::ConnectWithin(fd_, address, timeoutMs);
  if (error != 0) {
    Close();
    Fail(error == ETIMEDOUT ? ControlStatus::kTimedOut : ControlStatus::kRefused,
         "cannot connect to " + peer_ + ": " + platform::ErrorText(error));
    return status_;
  }
  // One request at a time: waiting to fill a segment would only add latency.
  platform::SetNoDelay(fd_);
  reader_.Clear();
  Fail(ControlStatus::kOk, "");
  return status_;
}

void CKVRControlClient::Close() {
  if (fd_ != platform::kInvalidSocket) platform::CloseSocket(fd_);
  fd_ = platform::kInvalidSocket;
  reader_.Clear();
}

ControlStatus CKVRControlClient::SendBytes(std::string_view bytes) {
  if (!IsConnected()) {
    Fail(ControlStatus::kNotConnected, "not connected");
    return status_;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
  for (size_t done = 0; done < bytes.size();) {
    const long n = platform::SendSome(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == platform::kSocketError) {
      const int error = platform::LastSocketError();
      Close();
      Fail(ControlStatus::kClosed, "send to " + peer_ + " failed: " + platform::ErrorText(error));
      return status_;
    } else if (!platform::WaitWritable(fd_, RemainingMs(deadline))) {
      Fail(ControlStatus::kTimedOut, peer_ + " takes no more bytes");
      return status_;
    }
  }
  Fail(ControlStatus::kOk, "");
  return status_;
}

int CKVRControlClient::Send(IZETAPDU* request) {
  CReferPtr<IZETAPDU> hold(request);
  if (request == nullptr) {
    Fail(ControlStatus::kMalformed, "no request");
    return -1;
  }
  const int sequence = nextSequence_;
  // The service counts 1 ... 65534 and then starts again at 0; so does this.
  nextSequence_ = nextSequence_ >= 65534 ? 0 : nextSequence_ + 1;
  request->SetSession(session_.c_str());
  request->SetSequence(std::to_string(sequence).c_str());
  CReferPtr<CAutoBuffer> text = request->ToBuffer(kPduModeHttp);
  if (!text) {
    Fail(ControlStatus::kMalformed, std::string("cannot print the ") + request->GetCommandName() +
                                        " request (status " + std::to_string(request->GetStatus()) +
                                        ")");
    return -1;
  }
  if (SendBytes(std::string_view(text->Data(), static_cast<size_t>(text->Size()))) !=
      ControlStatus::kOk) {
    return -1;
  }
  return sequence;
}

CReferPtr<IZETAPDU> CKVRControlClient::Receive(int sequence) {
  if (!IsConnected()) {
    Fail(ControlStatus::kNotConnected, "not connected");
    return {};
  }
  const std::string wanted = std::to_string(sequence);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
  char buffer[16384];
  for (;;) {
    CReferPtr<IZETAPDU> unit;
    const CControlReplyReader::Result result = reader_.Next(&unit);
    if (result == CControlReplyReader::kBad) {
      Close();
      Fail(ControlStatus::kMalformed, peer_ + " sent bytes that are no control message");
      return {};
    }
    if (result == CControlReplyReader::kUnit) {
      const std::string session = unit->GetSession();
      if (unit->GetMessageKind() == SvrFrame::kReplyMessage && unit->GetSequence() == wanted &&
          (session.empty() || session == session_)) {
        Fail(ControlStatus::kOk, "");
        return unit;
      }
      continue;  // an older call's reply, or a request of the service's own
    }
    const int left = RemainingMs(deadline);
    if (left == 0 || !WaitReadable(fd_, left)) {
      Fail(ControlStatus::kTimedOut,
           "no reply from " + peer_ + " within " + std::to_string(timeoutMs_) + " ms");
      return {};
    }
    const long n = platform::Receive(fd_, buffer, sizeof(buffer));
    if (n > 0) {
      reader_.Append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || n == platform::kSocketError) {
      const int error = n == 0 ? 0 : platform::LastSocketError();
      Close();
      Fail(ControlStatus::kClosed, peer_ + " closed the connection" +
                                       (error != 0 ? ": " + platform::ErrorText(error) : ""));
      return {};
    }
  }
}

CReferPtr<IZETAPDU> CKVRControlClient::Call(IZETAPDU* request) {
  CReferPtr<IZETAPDU> hold(request);
  const int sequence = Send(request);
  if (sequence < 0) return {};
  return Receive(sequence);
}

int CKVRControlClient::QueryStatus(const char* recordFileUrl,
                                   std::vector<RecordStatusEntry>* entries) {
  CReferPtr<CQueryRecordStatus> request(CQueryRecordStatus::Create());
  std::snprintf(request->recordFileUrl, sizeof(request->recordFileUrl), "%s",
                recordFileUrl != nullptr ? recordFileUrl : "");
  const int sequence = Send(request.get());
  if (sequence < 0) return -1;
  for (;;) {
    CReferPtr<IZETAPDU> reply = Receive(sequence);
    if (!reply) return -1;
    auto* page = dynamic_cast<CQueryRecordStatusAck*>(reply.get());
    if (page == nullptr) {
      Fail(ControlStatus::kMalformed, WrongReplyText(reply.get()));
      return -1;
    }
    if (page->GetResultCode() != kResultSuccess) return page->GetResultCode();
    RecordStatusEntry entry;
    for (bool first = true; page->NextStatus(&entry, first) == kResultSuccess; first = false) {
      entries->push_back(entry);
      entry = RecordStatusEntry();
    }
    if (page->morePacket == 0) return kResultSuccess;
  }
}

}  // namespace kvr::tcp
