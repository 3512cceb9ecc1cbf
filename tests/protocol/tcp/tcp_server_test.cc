#include "protocol/tcp/tp_tcp_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/protocol/tcp/tcp_test_support.h"

namespace {

using kvr::tcp::kTPNoConnection;

using kvr_test::LoopbackClient;
using kvr_test::PollUntil;
using kvr_test::RecordingListener;
using kvr_test::Served;

TEST(TcpServerTest, RefusedClientsAreClosedAndForgotten) {
  for (const bool withListener : {false, true}) {  // without one, or one that says no
    SCOPED_TRACE(withListener);
    RecordingListener listener;
    listener.verdict = 1;
    TPTCPServer server(7, withListener ? &listener : nullptr);
    ASSERT_GE(server.Listen("127.0.0.1", 0), 0);
    LoopbackClient client(server.GetListenPort());
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(PollUntil(server, [&] { return client.PeerClosed(); }));
    EXPECT_TRUE(server.ConnectionCount() == 0u &&
                listener.Count("connect") == (withListener ? 1u : 0u));
  }
}

TEST(TcpServerTest, ClientLifeReachesTheListenerInOrderAndEndsItsId) {
  Served s;
  // Room for three bytes and the NUL: the text arrives in pieces.
  ASSERT_EQ(s.server.SetReadBufferSize(4), 0);
  LoopbackClient client(s.port());
  const int32_t id = s.Accept(client);
  ASSERT_TRUE(client.SendAll("hello world"));
  EXPECT_TRUE(s.server.Send(id, "now", 3) == 3 && client.Read(3) == "now");
  const unsigned clientPort = client.LocalPort();
  client.Close();
  EXPECT_TRUE(PollUntil(s.server, [&] { return s.listener.Count("close") == 1; }));
  // The bytes come before the end of the stream, in pieces that fit.
  const std::vector<std::string> events = s.listener.EventsOf(id);
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front(), "connect 127.0.0.1 " + std::to_string(clientPort));
  EXPECT_EQ(events.back(), "close");
  std::string received;
  for (size_t i = 1; i + 1 < events.size(); ++i) {
    EXPECT_LE(events[i].size(), 8u) << events[i];  // "data " and at most three bytes
    received += events[i].substr(5);
  }
  EXPECT_EQ(received, "hello world");
  EXPECT_TRUE(s.server.ConnectionCount() == 0u &&
              s.server.QueueSend(id, "x", 1) == kTPNoConnection &&
              s.server.CloseConnection(id) == -1 && s.server.Send(id, "x", 1) == -1);
}

TEST(TcpServerTest, SequenceWrapsAfter65534AndAClosedConnectionsItemsGoUnreported) {
  Served s;
  LoopbackClient closing(s.port());
  LoopbackClient staying(s.port());
  const int32_t gone = s.Accept(closing);
  const int32_t kept = s.Accept(staying);
  std::vector<int> sequences;
  for (int i = 0; i < 65536; ++i) sequences.push_back(s.server.QueueSend(gone, "", 0));
  EXPECT_EQ(std::vector({sequences[0], sequences[65533], sequences[65534], sequences[65535]}),
            std::vector({1, 65534, 0, 1}));
  EXPECT_EQ(s.server.QueuedCount(gone), 65536u);
  EXPECT_TRUE(s.server.CloseConnection(gone) == 0 && s.server.QueuedCount(gone) == 0u);
  const int last = s.server.QueueSend(kept, "x", 1);
  EXPECT_TRUE(PollUntil(s.server, [&] { return s.listener.EventsOf(kept).size() == 2; }));
  EXPECT_EQ(s.listener.EventsOf(kept).back(), "sent " + std::to_string(last));
  EXPECT_EQ(s.listener.EventsOf(gone), std::vector<std::string>{s.listener.EventsOf(gone)[0]});
  EXPECT_TRUE(PollUntil(s.server, [&] { return closing.PeerClosed(); }));
}

TEST(TcpServerTest, AWaitingPassEndsWhenAClientConnectsOrASendIsQueued) {
  Served s;
  int result = -9;
  std::thread poller([&] { result = s.server.PollFor(5000); });
  LoopbackClient client(s.port());
  poller.join();
  EXPECT_EQ(result, 0);  // a time-out would give 1
  ASSERT_EQ(s.listener.Count("connect"), 1u);
  const int32_t id = s.listener.ConnectedId();
  // Nothing is ready now, so the pass sleeps until the send wakes it.
  ASSERT_EQ(s.server.PollFor(1), 1);
  poller = std::thread([&] { result = s.server.PollFor(5000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  s.server.QueueSend(id, "woken", 5);
  poller.join();
  EXPECT_EQ(result, 0);
  // The pass that the send woke also wrote it: no second poll is needed.
  EXPECT_EQ(s.listener.Count("sent"), 1u);
  EXPECT_EQ(client.Read(5), "woken");
}

// A peer that stops reading for a second still gets the whole reply: the
// send waits for room in its buffers rather than giving up on the first wait.
TEST(TcpServerTest, AReplyWaitsOutAPeerThatPausesReading) {
  Served s;
  LoopbackClient client(s.port());
  const int32_t id = s.Accept(client);
  std::string reply(32 << 20, '\0');  // far more than the loopback buffers hold
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<char>(i * 7 / 5);
  int sent = 0;
  std::thread sender(
      [&] { sent = s.server.Send(id, reply.data(), static_cast<int>(reply.size())); });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const std::string got = client.Read(reply.size());
  sender.join();
  EXPECT_EQ(sent, static_cast<int>(reply.size()));
  EXPECT_EQ(got.size(), reply.size());
  EXPECT_TRUE(got == reply);
}

}  // namespace
