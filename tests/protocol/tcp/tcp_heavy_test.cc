// Many clients at once against the service on loopback. Skipped in the
// ordinary run; the "heavy" ctest label runs it with KVR_HEAVY_TESTS set.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/protocol/tcp/tcp_test_support.h"

namespace {

using kvr_test::KeepAliveRequest;
using kvr_test::kKeepAliveReply7;
using kvr_test::LoopbackClient;

constexpr int kClients = 2000;

TEST(TcpHeavyTest, TwoThousandClientsEachGetTheirReplyWhileBadPeersMisbehave) {
  if (std::getenv("KVR_HEAVY_TESTS") == nullptr) GTEST_SKIP() << "run with the heavy label";
  ASSERT_TRUE(kvr_test::RaiseFileLimit(2 * kClients + 100)) << "too few file descriptors";

  kvr_test::ServiceRig rig;
  ASSERT_TRUE(rig.ready);
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

  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<LoopbackClient>(rig.port()));
    EXPECT_TRUE(clients.back()->connected()) << i;
  }
  // All connected before any asks: more sockets than one pass polls, so the
  // later ones are served only if the passes take turns. Answered clients stay
  // connected until the last one is answered.
  EXPECT_TRUE(kvr_test::WaitFor(
      [&] { return rig.service.ConnectionCount() == static_cast<size_t>(kClients) + 3; }));
  const auto start = std::chrono::steady_clock::now();
  for (auto& c : clients) EXPECT_TRUE(c->SendAll(request));
  int answered = 0;
  for (auto& c : clients) answered += c->Read(reply.size()) == reply;
  std::printf("%d clients answered in %.2f s\n", answered,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  EXPECT_EQ(answered, kClients);
  flooder.Close();
  garbler.Close();
  badPeers.join();
}

}  // namespace
