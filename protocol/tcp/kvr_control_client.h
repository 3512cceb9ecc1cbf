// CKVRControlClient: one blocking connection to the service's control port.
//
// The client speaks as a remote client does: every request unit leaves with
// the client's session and the next sequence number, and the call waits for
// the reply that carries both, read back through the service's own parser.
// Replies of other sequences (left over from a call that gave up waiting)
// and requests the service sends on its own (record events) are skipped.
// Failures come back as a status with a text fit for a user: refused, timed
// out, closed, malformed.
//
// CControlReplyReader is the receiving half alone, for drivers that keep many
// connections in one poll loop (benchmarks, load tests).
//
// Owned by its user; one thread at a time. The parser is the process-wide
// one, so a client may run in the same process as the service.
#ifndef KVR_PROTOCOL_TCP_KVR_CONTROL_CLIENT_H_
#define KVR_PROTOCOL_TCP_KVR_CONTROL_CLIENT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"
#include "protocol/message/pdu.h"
#include "protocol/message/store_pdus.h"

namespace kvr::tcp {

enum class ControlStatus {
  kOk,
  kBadAddress,    // the host name did not resolve
  kRefused,       // nothing listens there, or the connection failed
  kTimedOut,      // connect or reply took longer than the time-out
  kClosed,        // the service closed the connection (or a send failed)
  kMalformed,     // bytes that are no reply, or a reply of the wrong kind
  kNotConnected,  // a call without a connection
};

// "refused", "timed out", ... for messages and logs.
const char* ControlStatusName(ControlStatus status);

// Cuts replies out of received bytes: HTTP framing, then the parser.
class CControlReplyReader {
 public:
  enum Result { kUnit, kIncomplete, kBad };

  void Append(const char* data, size_t size) { buffer_.append(data, size); }
  // The next whole message as a unit (kUnit), kIncomplete until its last
  // byte is there, or kBad for bytes that will never be a message (the
  // buffer is then dropped).
  Result Next(CReferPtr<IZETAPDU>* unit);
  size_t Buffered() const { return buffer_.size(); }
  void Clear() { buffer_.clear(); }

 private:
  std::string buffer_;
};

class CKVRControlClient {
 public:
  static constexpr int kDefaultTimeoutMs = 5000;

  // `session` is the text every request carries in its "Session" header
  // and head/session element.
  explicit CKVRControlClient(std::string session = "1");
  ~CKVRControlClient();
  CKVRControlClient(const CKVRControlClient&) = delete;
  CKVRControlClient& operator=(const CKVRControlClient&) = delete;

  // Connects to `host` (an IPv4 or IPv6 address, or a name) within
  // `timeoutMs`. An open connection is closed first.
  ControlStatus Connect(const std::string& host, uint16_t port, int timeoutMs = kDefaultTimeoutMs);
  void Close();
  bool IsConnected() const { return fd_ != platform::kInvalidSocket; }

  // How long a call waits for its reply (from the send on).
  void SetTimeout(int ms) { timeoutMs_ = ms; }

  // Sends `request` and returns its reply, or null with the reason in
  // Status() and ErrorText(). The request's session and sequence are
  // overwritten; the caller keeps its own reference (a unit of count 0 is
  // released here).
  CReferPtr<IZETAPDU> Call(IZETAPDU* request);
  // The same, the reply typed: a reply of another class is kMalformed.
  template <class Ack>
  CReferPtr<Ack> Call(IZETAPDU* request) {
    CReferPtr<IZETAPDU> reply = Call(request);
    auto* typed = dynamic_cast<Ack*>(reply.get());
    if (reply && typed == nullptr) Fail(ControlStatus::kMalformed, WrongReplyText(reply.get()));
    return CReferPtr<Ack>(typed);
  }

  // A status query answered in several replies: every entry of every reply
  // until the one with "morePacket" 0, or the first refusal. Returns the
  // result code of the last reply (0 success), or -1 with Status() set.
  int QueryStatus(const char* recordFileUrl, std::vector<kvr::pdu::RecordStatusEntry>* entries);

  // The halves of Call. Send gives the sequence number used (-1 on failure);
  // Receive waits for the next reply carrying it.
  int Send(IZETAPDU* request);
  CReferPtr<IZETAPDU> Receive(int sequence);

  // Bytes as they are, for clients that misbehave on purpose.
  ControlStatus SendBytes(std::string_view bytes);

  ControlStatus Status() const { return status_; }
  const std::string& ErrorText() const { return error_; }
  const std::string& Session() const { return session_; }
  // The sequence number the next request gets: 1, 2, ... 65534, then 0.
  int NextSequence() const { return nextSequence_; }
  void SetNextSequence(int sequence) { nextSequence_ = sequence; }
  platform::SocketFd Fd() const { return fd_; }

 private:
  void Fail(ControlStatus status, std::string text);
  static std::string WrongReplyText(IZETAPDU* reply);

  std::string session_;
  std::string peer_;  // "host:port" for messages
  platform::SocketFd fd_ = platform::kInvalidSocket;
  int timeoutMs_ = kDefaultTimeoutMs;
  int nextSequence_ = 1;
  CControlReplyReader reader_;
  ControlStatus status_ = ControlStatus::kNotConnected;
  std::string error_;
};

}  // namespace kvr::tcp
#endif  // KVR_PROTOCOL_TCP_KVR_CONTROL_CLIENT_H_
