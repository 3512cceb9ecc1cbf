// Helpers of the TCP tests: a blocking loopback client, a listener that
// records what the server reports, and the framework with a function module
// that answers "KeepAlive" the way the storage function module does.
#ifndef KVR_TESTS_PROTOCOL_TCP_TEST_SUPPORT_H_
#define KVR_TESTS_PROTOCOL_TCP_TEST_SUPPORT_H_

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/socket.h"
#include "protocol/kvr_tcp_service.h"
#include "protocol/pdu.h"
#include "protocol/session_pdus.h"
#include "svrframe/kvr_cmd_deal_mdl.h"
#include "svrframe/svr_fun_mdl.h"
#include "tests/protocol/sample_messages.h"
#include "tests/test_util.h"

namespace kvr_test {

// A KeepAlive request of session 12 as a client sends it, with sequence `seq`.
inline std::string KeepAliveRequest(int seq) {
  const std::string xml = kKeepAliveRequest;
  std::string body = xml;
  const std::string from = "<sequence>7</sequence>";
  body.replace(body.find(from), from.size(), "<sequence>" + std::to_string(seq) + "</sequence>");
  return "POST /KeepAlive HTTP/1.1\r\nCSeq: " + std::to_string(seq) +
         "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nContent-Type: text/xml\r\nSession: 12\r\n"
         "User-Agent: Vestramox Middle Ware 2.1\r\nx_Protocol_Version: 1.0\r\n\r\n" +
         body;
}

// The reply to KeepAliveRequest(7), byte for byte.
inline constexpr char kKeepAliveReply7[] =
    "HTTP/1.1 200 OK\r\n"
    "CSeq: 7\r\n"
    "Content-Length: 262\r\n"
    "Content-Type: text/xml\r\n"
    "Session: 12\r\n"
    "User-Agent: Vestramox Middle Ware 2.1\r\n"
    "x_Protocol_Version: 1.0\r\n"
    "\r\n"
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
    "<pdu>\n"
    "    <head>\n"
    "        <operation>KeepAlive</operation>\n"
    "        <type>response</type>\n"
    "        <session>12</session>\n"
    "        <sequence>7</sequence>\n"
    "        <result code=\"0\">Sucess</result>\n"
    "    </head>\n"
    "    <body />\n"
    "</pdu>\n";

// A blocking client on 127.0.0.1, made of the platform's own socket calls;
// every wait ends after 10 s.
class LoopbackClient {
 public:
  explicit LoopbackClient(unsigned port) : fd_(platform::OpenTcpSocket()) {
    uint32_t loopback = 0;
    platform::ParseIPv4("127.0.0.1", &loopback);
    if (!platform::ConnectIPv4(fd_, loopback, platform::HostToNet16(port))) Close();
  }
  ~LoopbackClient() { Close(); }

  bool connected() const { return fd_ >= 0; }
  bool SendAll(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      const long n = platform::SendSome(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Reads until `count` bytes came, the peer closed or the wait ran out.
  std::string Read(size_t count) {
    std::string out(count, '\0');
    size_t done = 0;
    long n = 1;
    while (done < count && WaitReadable(10000) &&
           (n = platform::Receive(fd_, &out[done], count - done)) > 0) {
      done += static_cast<size_t>(n);
    }
    out.resize(done);
    return out;
  }
  // True once the server has closed the connection (without waiting).
  bool PeerClosed() {
    char byte;
    return WaitReadable(0) && platform::Receive(fd_, &byte, 1) <= 0;
  }
  unsigned LocalPort() const { return platform::NetToHost16(platform::LocalPort(fd_)); }
  void Close() {
    if (fd_ >= 0) platform::CloseSocket(fd_);
    fd_ = -1;
  }

 private:
  bool WaitReadable(int ms) {
    platform::PollSet set;
    set.Add(fd_, true, false);
    return set.Wait(ms) == 1 && set.Readable(0);
  }
  int fd_;
};

// Polls the server on the calling thread until `condition` holds (false after 10 s).
inline bool PollUntil(TPTCPServer& server, const std::function<bool()>& condition) {
  return WaitFor([&] {
    server.PollFor(1);
    return condition();
  });
}

// Records the server's callbacks by connection id as "connect <ip> <port>",
// "data <bytes>", "close" and "sent <sequence>".
class RecordingListener : public ITPListener {
 public:
  int OnData(uint32_t, int32_t connId, const char* data, int length) override {
    // The server promises a NUL after the bytes.
    return Add(connId, "data " + std::string(data, static_cast<size_t>(length)) +
                           (data[length] == '\0' ? "" : "<no NUL>"));
  }
  int OnClose(uint32_t, int32_t connId) override { return Add(connId, "close"); }
  int OnConnect(uint32_t, int32_t connId, const char* peerIp, uint16_t peerPort) override {
    Add(connId, "connect " + std::string(peerIp) + " " + std::to_string(peerPort));
    return verdict;
  }
  int OnSent(uint32_t, int32_t connId, int sequence) override {
    Add(connId, "sent " + std::to_string(sequence));
    if (onSent) onSent(connId, sequence);
    return 0;
  }

  std::vector<std::string> EventsOf(int32_t connId) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (const auto& [id, what] : events_) {
      if (id == connId) out.push_back(what);
    }
    return out;
  }
  size_t Count(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mu_);
    return std::count_if(events_.begin(), events_.end(),
                         [&](const auto& e) { return e.second.rfind(prefix, 0) == 0; });
  }
  // Id of the n-th accepted client (0 while there is none).
  int32_t ConnectedId(size_t n = 0) {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [id, what] : events_) {
      if (what.rfind("connect", 0) == 0 && n-- == 0) return id;
    }
    return 0;
  }

  int verdict = 0;
  std::function<void(int32_t, int)> onSent;

 private:
  int Add(int32_t connId, std::string what) {
    std::lock_guard<std::mutex> lock(mu_);
    events_.emplace_back(connId, std::move(what));
    return 0;
  }
  std::mutex mu_;
  std::vector<std::pair<int32_t, std::string>> events_;
};

// Stands in for the storage function module: answers every KeepAlive with
// its reply, session and sequence copied, addressed to the requester.
class KeepAliveAnswerer : public SvrFrame::CSvrFunMdl {
 public:
  KeepAliveAnswerer() : CSvrFunMdl(false) { GetRuntimeInfo()->SetName("qw.kvr.func"); }
  int Destroy() override {
    delete this;
    return 0;
  }
  int Loop() override { return 0; }
  int OnMessage(const SvrFrame::MessageRef& message) override {
    auto* request = dynamic_cast<CKeepAlive*>(message.get());
    if (request == nullptr) return 0;
    CReferPtr<IZETAPDU> reply(request->CreateAck(0));
    reply->SetSession(request->GetSession().c_str());
    reply->SetSequence(request->GetSequence().c_str());
    reply->AddReplyTo(request->GetCommOrigin());
    Send(SvrFrame::MessageRef(reply.get()), 0, SvrFrame::kControlDataClass);
    return 0;
  }
};

// The framework as the service runs it, with the answerer as its function
// module and the TCP service on a free loopback port, polled by its own thread.
class ServiceRig {
 public:
  ServiceRig() : cmdDeal_(new CKVRCmdDealMdl(true)) {
    loaded_ = cmdDeal_->Init(CSecureString(KVR_SOURCE_DIR "/config/Server_Config.xml")) == 0;
    cmdDeal_->RegisterFunModule(new KeepAliveAnswerer());
    service_.SetCmdDealModule(cmdDeal_);
    listening_ = service_.Listen("127.0.0.1", 0) >= 0;
    poller_ = std::thread([this] {
      while (!stop_.load()) service_.PollFor(TPTCPServer::kIdleWaitMs);
    });
  }
  ~ServiceRig() {
    stop_.store(true);
    poller_.join();
    service_.Stop();
    cmdDeal_->Destroy();
  }
  ServiceRig(const ServiceRig&) = delete;
  ServiceRig& operator=(const ServiceRig&) = delete;

  bool ready() const { return loaded_ && listening_; }
  unsigned port() const { return service_.GetListenPort(); }
  CKVRTcpService& service() { return service_; }
  CKVRCmdDealMdl* cmdDeal() { return cmdDeal_; }

 private:
  CKVRCmdDealMdl* cmdDeal_;
  CKVRTcpService service_;
  bool loaded_ = false;
  bool listening_ = false;
  std::atomic<bool> stop_{false};
  std::thread poller_;
};

}  // namespace kvr_test

#endif  // KVR_TESTS_PROTOCOL_TCP_TEST_SUPPORT_H_
