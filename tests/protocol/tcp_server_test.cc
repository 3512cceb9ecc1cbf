#include "protocol/tp_tcp_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/protocol/tcp_test_support.h"

namespace {

using kvr_test::LoopbackClient;
using kvr_test::PollUntil;
using kvr_test::RecordingListener;

struct Served {
  RecordingListener listener;
  TPTCPServer server{7, &listener};
  Served() { EXPECT_GE(server.Listen("127.0.0.1", 0), 0); }
  unsigned port() const { return server.GetListenPort(); }
  // Connects a client and polls until the server has accepted it.
  int32_t Accept(LoopbackClient& client) {
    const size_t before = listener.Count("connect");
    EXPECT_TRUE(client.connected());
    EXPECT_TRUE(PollUntil(server, [&] { return listener.Count("connect") > before; }));
    return listener.ConnectedId(before);
  }
};

TEST(TcpServerTest, RefusedClientsAreClosedAndForgotten) {
  struct Case {
    const char* name;
    bool withListener;
    int verdict;
  };
  for (const Case& c : {Case{"no listener", false, 0}, Case{"listener says no", true, 1}}) {
    SCOPED_TRACE(c.name);
    RecordingListener listener;
    listener.verdict = c.verdict;
    TPTCPServer server(7, c.withListener ? &listener : nullptr);
    ASSERT_GE(server.Listen("127.0.0.1", 0), 0);
    LoopbackClient client(server.GetListenPort());
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(PollUntil(server, [&] { return client.PeerClosed(); }));
    EXPECT_EQ(server.ConnectionCount(), 0u);
    EXPECT_EQ(listener.Count("connect"), c.withListener ? 1u : 0u);
  }
}

TEST(TcpServerTest, ClientLifeReachesTheListenerInOrderAndEndsItsId) {
  Served s;
  // Room for three bytes and the NUL: the text arrives in pieces.
  ASSERT_EQ(s.server.SetReadBufferSize(4), 0);
  LoopbackClient client(s.port());
  const int32_t id = s.Accept(client);
  ASSERT_GT(id, 0);
  ASSERT_TRUE(client.SendAll("hello world"));
  std::string received;
  EXPECT_TRUE(PollUntil(s.server, [&] {
    received.clear();
    for (const std::string& e : s.listener.EventsOf(id)) {
      if (e.rfind("data ", 0) == 0) {
        EXPECT_LE(e.size() - 5, 3u) << e;
        received += e.substr(5);
      }
    }
    return received.size() >= 11;
  }));
  EXPECT_EQ(received, "hello world");
  EXPECT_EQ(s.server.Send(id, "now", 3), 3);
  EXPECT_EQ(client.Read(3), "now");
  const unsigned clientPort = client.LocalPort();
  client.Close();
  EXPECT_TRUE(PollUntil(s.server, [&] { return s.listener.Count("close") == 1; }));

  std::vector<std::string> events = s.listener.EventsOf(id);
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front(), "connect 127.0.0.1 " + std::to_string(clientPort));
  EXPECT_EQ(events.back(), "close");
  EXPECT_EQ(s.server.ConnectionCount(), 0u);
  EXPECT_EQ(s.server.QueueSend(id, "x", 1), kTPNoConnection);
  EXPECT_EQ(s.server.CloseConnection(id), -1);
  EXPECT_EQ(s.server.Send(id, "x", 1), -1);
}

TEST(TcpServerTest, SequenceWrapsAfter65534AndAClosedConnectionsItemsGoUnreported) {
  Served s;
  LoopbackClient closing(s.port());
  LoopbackClient staying(s.port());
  const int32_t gone = s.Accept(closing);
  const int32_t kept = s.Accept(staying);
  std::vector<int> sequences;
  for (int i = 0; i < 65536; ++i) sequences.push_back(s.server.QueueSend(gone, "", 0));
  EXPECT_EQ(sequences[0], 1);
  EXPECT_EQ(sequences[65533], 65534);
  EXPECT_EQ(sequences[65534], 0);
  EXPECT_EQ(sequences[65535], 1);
  EXPECT_EQ(s.server.QueuedCount(gone), 65536u);

  EXPECT_EQ(s.server.CloseConnection(gone), 0);
  EXPECT_EQ(s.server.QueuedCount(gone), 0u);
  const int last = s.server.QueueSend(kept, "x", 1);
  EXPECT_TRUE(PollUntil(s.server, [&] { return s.listener.EventsOf(kept).size() == 2; }));
  EXPECT_EQ(s.listener.EventsOf(kept).back(), "sent " + std::to_string(last));
  EXPECT_EQ(s.listener.EventsOf(gone), std::vector<std::string>{s.listener.EventsOf(gone)[0]});
  EXPECT_TRUE(PollUntil(s.server, [&] { return closing.PeerClosed(); }));
}

TEST(TcpServerTest, APeerThatDoesNotReadHoldsUpNobody) {
  Served s;
  LoopbackClient stalled(s.port());
  LoopbackClient reader(s.port());
  const int32_t stalledId = s.Accept(stalled);
  const int32_t readerId = s.Accept(reader);
  // Far more than the socket buffers of both ends hold.
  const std::string big(1 << 20, 'b');
  for (int i = 0; i < 8; ++i)
    s.server.QueueSend(stalledId, big.data(), static_cast<int>(big.size()));
  // Let the stalled peer's buffers fill before the other send is queued.
  for (int i = 0; i < 50; ++i) s.server.PollFor(1);
  const int sequence = s.server.QueueSend(readerId, "ping", 4);
  EXPECT_TRUE(PollUntil(s.server,
                        [&] { return s.listener.Count("sent " + std::to_string(sequence)) == 1; }));
  EXPECT_EQ(reader.Read(4), "ping");
  EXPECT_GT(s.server.QueuedCount(stalledId), 0u);
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
  EXPECT_TRUE(PollUntil(s.server, [&] { return s.listener.Count("sent") == 1; }));
  EXPECT_EQ(client.Read(5), "woken");
}

TEST(TcpServerTest, ListenAndSetterLimits) {
  Served s;
  TPTCPServer second(8, nullptr);
  EXPECT_EQ(second.Listen("127.0.0.1", s.port()), -1);  // held by a live listener
  EXPECT_FALSE(second.IsListening());
  EXPECT_EQ(second.Poll(), -1);
  EXPECT_EQ(second.Listen("127.0.0.300", 0), -1);

  EXPECT_EQ(second.SetBufferSize(1, 65536), -2);  // above what the setter takes
  EXPECT_EQ(second.SetReadBufferSize(1), -1);     // no room for a byte and the NUL
}

}  // namespace
