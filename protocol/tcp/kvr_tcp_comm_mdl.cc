#include "protocol/tcp/kvr_tcp_comm_mdl.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "protocol/message/ds_parser.h"
#include "protocol/message/pdu.h"

int CTcpSendLink::QueueSend(int32_t connId, const char* data, int length) {
  platform::ReaderLock lock(mu_);
  return server_ != nullptr ? server_->QueueSend(connId, data, length) : kTPNoConnection;
}

void CTcpSendLink::Detach() {
  platform::WriterLock lock(mu_);
  server_ = nullptr;
}

CKVRTcpCommMdl::CKVRTcpCommMdl(std::shared_ptr<CTcpSendLink> link, uint32_t context, int32_t connId,
                               const char* peerIp, uint16_t peerPort)
    : CCommMdl(false),
      peerAddress_(peerIp != nullptr ? peerIp : ""),
      peerPort_(peerPort),
      context_(context),
      connId_(connId),
      link_(std::move(link)) {
  GetRuntimeInfo()->SetName(kName);
}

CKVRTcpCommMdl::~CKVRTcpCommMdl() = default;

int CKVRTcpCommMdl::Destroy() {
  delete this;
  return 0;
}

void CKVRTcpCommMdl::OnData(const char* data, int length) {
  if (data == nullptr) return;
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
    Send(SvrFrame::MessageRef(unit.get()), 0, SvrFrame::kDataClass);
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
  CReferPtr<CAutoBuffer> buffer = unit->ToBuffer(kPduModeHttp);
  if (!buffer) return -1;
  CAutoBuffer* toSend = nullptr;
  {
    QWTools::CReadWriteMutexLock guard(&sendLock_);
    sendQueue_.push_back(std::move(buffer));
    if (!current_) {
      current_ = std::move(sendQueue_.front());
      sendQueue_.pop_front();
      toSend = current_.get();
    }
  }
  // current_ keeps the bytes alive until the server reports them written.
  if (toSend != nullptr) link_->QueueSend(connId_, toSend->Data(), toSend->Size());
  return 0;
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
