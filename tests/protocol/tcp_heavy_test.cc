// Many clients at once against the service on loopback. Skipped in the
// ordinary run; the "heavy" ctest label runs it with KVR_HEAVY_TESTS set.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/protocol/tcp_test_support.h"

namespace {

using kvr_test::KeepAliveRequest;
using kvr_test::kKeepAliveReply7;
using kvr_test::LoopbackClient;

constexpr int kClients = 2000;

TEST(TcpHeavyTest, TwoThousandClientsEachGetTheirReplyWhileBadPeersMisbehave) {
  if (std::getenv("KVR_HEAVY_TESTS") == nullptr) GTEST_SKIP() << "run with the heavy label";
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  files.rlim_cur = files.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
  ASSERT_GE(files.rlim_cur, static_cast<rlim_t>(2 * kClients + 100));

  kvr_test::ServiceRig rig;
  ASSERT_TRUE(rig.ready());
  const std::string request = KeepAliveRequest(7);
  const std::string reply = kKeepAliveReply7;

  // A client that stops in the middle of a request, one that sends bytes that
  // are no message, and one that sends request after request but never reads.
  LoopbackClient staller(rig.port());
  ASSERT_TRUE(staller.SendAll(request.substr(0, request.size() / 2)));
  LoopbackClient garbler(rig.port());
  LoopbackClient flooder(rig.port());
  std::string flood;
  for (int i = 0; i < 3000; ++i) flood += request;
  std::thread badPeers([&] {
    garbler.SendAll(std::string(300000, 'x'));
    flooder.SendAll(flood);
  });

  struct Client {
    platform::SocketFd fd = platform::OpenTcpSocket();
    size_t sent = 0;
    std::string got;
    bool done = false;
  };
  uint32_t loopback = 0;
  platform::ParseIPv4("127.0.0.1", &loopback);
  std::vector<Client> clients(kClients);
  for (Client& c : clients) {
    ASSERT_TRUE(platform::SetNonBlocking(c.fd));
    platform::ConnectIPv4(c.fd, loopback, platform::HostToNet16(rig.port()));  // in progress
  }
  // All connected before any asks: more sockets than one pass polls, so the
  // later ones are served only if the passes take turns.
  ASSERT_TRUE(kvr_test::WaitFor(
      [&] { return rig.service().ConnectionCount() == static_cast<size_t>(kClients) + 3; }));
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(20);
  int done = 0;
  platform::PollSet set;
  std::vector<Client*> owners;
  char buffer[4096];
  while (done < kClients && std::chrono::steady_clock::now() < deadline) {
    set.Clear();
    owners.clear();
    for (Client& c : clients) {
      if (c.done) continue;
      set.Add(c.fd, c.sent == request.size(), c.sent < request.size());
      owners.push_back(&c);
    }
    if (set.Wait(100) <= 0) continue;
    for (size_t k = 0; k < owners.size(); ++k) {
      Client& c = *owners[k];
      if (set.Writable(k)) {
        const long n = platform::SendSome(c.fd, request.data() + c.sent, request.size() - c.sent);
        if (n > 0) c.sent += static_cast<size_t>(n);
      } else if (set.Readable(k)) {
        const long n = platform::Receive(c.fd, buffer, sizeof(buffer));
        if (n > 0) c.got.append(buffer, static_cast<size_t>(n));
        // Answered clients stay connected, so the server keeps more
        // sockets than one pass polls until the last client is answered.
        if (n == 0 || n == platform::kSocketError || c.got.size() >= reply.size()) {
          c.done = true;
          ++done;
        }
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%d clients answered in %.2f s\n", done, seconds);

  int answered = 0;
  for (Client& c : clients) {
    answered += c.got == reply ? 1 : 0;
    platform::CloseSocket(c.fd);
  }
  EXPECT_EQ(answered, kClients);
  flooder.Close();
  garbler.Close();
  badPeers.join();
}

}  // namespace
