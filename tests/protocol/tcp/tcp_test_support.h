// Helpers of the TCP tests: the pinned KeepAlive reply, a listener that
// records what the server reports, and the framework with a function module
// that answers "KeepAlive" the way the storage function module does.
#ifndef KVR_TESTS_PROTOCOL_TCP_TCP_TEST_SUPPORT_H_
#define KVR_TESTS_PROTOCOL_TCP_TCP_TEST_SUPPORT_H_

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "protocol/message/pdu.h"
#include "protocol/message/session_pdus.h"
#include "protocol/tcp/kvr_tcp_service.h"
#include "svrframe/kvr_cmd_deal_mdl.h"
#include "svrframe/svr_fun_mdl.h"
#include "tests/test_util.h"

namespace kvr_test {

// The reply to KeepAliveRequest(7), byte for byte: the pin the generated texts answer to.
inline constexpr char kKeepAliveReply7[] =
    "HTTP/1.1 200 OK\r\nCSeq: 7\r\nContent-Length: 262\r\nContent-Type: text/xml\r\nSession: 12\r\n"
    "User-Agent: Vestramox Middle Ware 2.1\r\nx_Protocol_Version: 1.0\r\n\r\n"
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<pdu>\n    <head>\n"
    "        <operation>KeepAlive</operation>\n        <type>response</type>\n"
    "        <session>12</session>\n        <sequence>7</sequence>\n"
    "        <result code=\"0\">Sucess</result>\n    </head>\n    <body />\n</pdu>\n";
// Polls the server on the calling thread until `condition` holds (false after 10 s).
inline bool PollUntil(TPTCPServer& server, const std::function<bool()>& condition) {
  return WaitFor([&] { return server.PollFor(1), condition(); });
}

// Records the server's callbacks as "<id> connect <ip> <port>", "<id> data
// <bytes>", "<id> close" and "<id> sent <sequence>".
class RecordingListener : public ITPListener {
 public:
  int OnData(uint32_t, int32_t id, const char* data, int length) override {
    // The server promises a NUL after the bytes.
    return Add(id, "data " + std::string(data, length) + (data[length] ? "<no NUL>" : ""));
  }
  int OnClose(uint32_t, int32_t id) override { return Add(id, "close"); }
  int OnConnect(uint32_t, int32_t id, const char* ip, uint16_t port) override {
    Add(id, "connect " + std::string(ip) + " " + std::to_string(port));
    return verdict;
  }
  int OnSent(uint32_t, int32_t id, int sequence) override {
    Add(id, "sent " + std::to_string(sequence));
    if (onSent) onSent(id, sequence);
    return 0;
  }

  // What happened to one connection, without the id.
  std::vector<std::string> EventsOf(int32_t id) {
    std::vector<std::string> out;
    for (const auto& e : Matching(std::to_string(id) + " "))
      out.push_back(e.substr(e.find(' ') + 1));
    return out;
  }
  size_t Count(const std::string& what) { return Matching("", " " + what).size(); }
  // Id of the n-th accepted client (0 while there is none).
  int32_t ConnectedId(size_t n = 0) {
    const auto connects = Matching("", " connect");
    return connects.size() > n ? std::stoi(connects[n]) : 0;
  }

  int verdict = 0;
  std::function<void(int32_t, int)> onSent;

 private:
  int Add(int32_t id, const std::string& what) {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(std::to_string(id) + " " + what);
    return 0;
  }
  // Events that start with `prefix` and hold `inner` right after the id.
  std::vector<std::string> Matching(const std::string& prefix, const std::string& inner = "") {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (const auto& e : events_) {
      if (e.rfind(prefix, 0) == 0 && e.compare(e.find(' '), inner.size(), inner) == 0) {
        out.push_back(e);
      }
    }
    return out;
  }
  std::mutex mu_;
  std::vector<std::string> events_;
};

// A server on a free loopback port with a recording listener, polled by the test.
struct Served {
  RecordingListener listener;
  TPTCPServer server{7, &listener};
  Served() { EXPECT_GE(server.Listen("127.0.0.1", 0), 0); }
  unsigned port() const { return server.GetListenPort(); }
  // Polls until the server has accepted `client`; its id.
  int32_t Accept(LoopbackClient& client) {
    const size_t before = listener.Count("connect");
    EXPECT_TRUE(client.connected());
    EXPECT_TRUE(PollUntil(server, [&] { return listener.Count("connect") > before; }));
    return listener.ConnectedId(before);
  }
};

// Stands in for the storage function module: answers every KeepAlive with
// its reply, session and sequence copied, addressed to the requester.
class KeepAliveAnswerer : public SvrFrame::CSvrFunMdl {
 public:
  KeepAliveAnswerer() : CSvrFunMdl(false) { GetRuntimeInfo()->SetName("qw.kvr.func"); }
  int Destroy() override { return delete this, 0; }
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
struct ServiceRig {
  ServiceRig() {
    ready = cmdDeal->Init(CSecureString(KVR_SOURCE_DIR "/config/Server_Config.xml")) == 0;
    cmdDeal->RegisterFunModule(new KeepAliveAnswerer());
    service.SetCmdDealModule(cmdDeal);
    ready = service.Listen("127.0.0.1", 0) >= 0 && ready;
    poller = std::thread([this] {
      while (!stop) service.PollFor(TPTCPServer::kIdleWaitMs);
    });
  }
  ~ServiceRig() {
    stop = true;
    poller.join();
    service.Stop();
    cmdDeal->Destroy();
  }
  unsigned port() const { return service.GetListenPort(); }

  CKVRCmdDealMdl* cmdDeal = new CKVRCmdDealMdl(true);
  CKVRTcpService service;
  bool ready = false;
  std::atomic<bool> stop{false};
  std::thread poller;
};

}  // namespace kvr_test

#endif  // KVR_TESTS_PROTOCOL_TCP_TCP_TEST_SUPPORT_H_
