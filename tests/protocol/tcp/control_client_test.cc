// The control client against the framework's real TCP service (answering
// KeepAlive as the storage module does) and against loopback peers that
// misbehave in the ways a client must report.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "protocol/message/session_pdus.h"
#include "protocol/tcp/kvr_control_client.h"
#include "tests/protocol/tcp/tcp_test_support.h"

namespace {

using kvr::tcp::CKVRControlClient;
using kvr::tcp::ControlStatus;

using kvr_test::ServiceRig;

// The sequence a reply carries, "" without one.
std::string SequenceOf(const CReferPtr<IZETAPDU>& reply) {
  return reply ? reply->GetSequence() : "";
}

TEST(ControlClientTest, RepliesAreMatchedToTheirRequestAcrossTheSequenceWrap) {
  ServiceRig rig;
  ASSERT_TRUE(rig.ready);
  CKVRControlClient client("12");
  ASSERT_EQ(client.Connect("localhost", static_cast<uint16_t>(rig.port())), ControlStatus::kOk)
      << client.ErrorText();

  // A request whose reply is never read: the next call must not take it.
  ASSERT_EQ(client.Send(CKeepAlive::Create()), 1);
  CReferPtr<CKeepAliveAck> reply = client.Call<CKeepAliveAck>(CKeepAlive::Create());
  ASSERT_TRUE(reply) << client.ErrorText();
  EXPECT_EQ(reply->GetSession() + "/" + reply->GetSequence(), "12/2");
  client.SetNextSequence(65534);
  for (const char* sequence : {"65534", "0", "1"})
    EXPECT_EQ(SequenceOf(client.Call(CKeepAlive::Create())), sequence);

  // A reply of the wrong class is refused, not handed out as the one asked for.
  EXPECT_FALSE(client.Call<CRegisterAck>(CKeepAlive::Create()));
  EXPECT_EQ(client.Status(), ControlStatus::kMalformed);
}

// A loopback peer that accepts one client, reads its request and then does
// `act` with the connection.
class Peer {
 public:
  using Act = std::function<void(kvr_test::LoopbackSocket&)>;
  explicit Peer(Act act) : listener_(kvr_test::LoopbackSocket::Listen()) {
    thread_ = std::thread([this, act] {
      kvr_test::LoopbackSocket client = listener_.Accept();
      if (!client.ReadMessage().empty()) act(client);
    });
  }
  ~Peer() { thread_.join(); }
  uint16_t port() const { return static_cast<uint16_t>(listener_.port()); }

 private:
  kvr_test::LoopbackSocket listener_;
  std::thread thread_;
};

TEST(ControlClientTest, PeerFailuresAreReportedByKind) {
  const auto say = [](std::string bytes) {
    return [bytes](kvr_test::LoopbackSocket& peer) { peer.SendAll(bytes); };
  };
  const std::string reply = kvr_test::KeepAliveReply(1);
  const struct {
    const char* what;
    Peer::Act act;
    ControlStatus expected;
  } cases[] = {
      {"closes", [](kvr_test::LoopbackSocket&) {}, ControlStatus::kClosed},
      {"junk before a reply", say("SSH-2.0-OpenSSH_9.2\r\n" + reply), ControlStatus::kMalformed},
      {"half a reply, then closes", say(reply.substr(0, reply.size() - 10)),
       ControlStatus::kClosed},
      {"an HTTP reply that is no control message",
       say("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nCSeq: 1\r\n\r\nhi"), ControlStatus::kOk},
  };
  for (const auto& c : cases) {
    Peer peer(c.act);
    CKVRControlClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", peer.port()), ControlStatus::kOk) << c.what;
    CReferPtr<IZETAPDU> got = client.Call(CKeepAlive::Create());
    EXPECT_EQ(client.Status(), c.expected) << c.what << ": " << client.ErrorText();
    // What comes back is an envelope that does not parse.
    EXPECT_EQ(got ? got->GetCmdId() : -1, c.expected == ControlStatus::kOk ? 65535 : -1) << c.what;
  }

  // A peer that reads and never answers: the call gives up at its time-out.
  std::atomic<bool> answered{false};
  Peer silent(
      [&](kvr_test::LoopbackSocket&) { kvr_test::WaitFor([&] { return answered.load(); }); });
  CKVRControlClient client;
  client.SetTimeout(200);
  ASSERT_EQ(client.Connect("127.0.0.1", silent.port()), ControlStatus::kOk);
  EXPECT_TRUE(!client.Call(CKeepAlive::Create()) && client.Status() == ControlStatus::kTimedOut)
      << client.ErrorText();
  answered = true;

  // Nothing listening.
  const uint16_t port = kvr_test::FreeLoopbackPort();
  EXPECT_EQ(client.Connect("127.0.0.1", port), ControlStatus::kRefused);
  EXPECT_NE(client.ErrorText().find("127.0.0.1:" + std::to_string(port)), std::string::npos);
  EXPECT_EQ(client.Connect("no-such-host.invalid", 1), ControlStatus::kBadAddress);
}

}  // namespace
