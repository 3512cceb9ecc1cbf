// Many clients at once against the service on loopback. Skipped in the
// ordinary run; the "heavy" ctest label runs it with KVR_HEAVY_TESTS set.
#include <fcntl.h>
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

int ConnectNonBlocking(unsigned port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int r = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  if (r != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

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
    int fd = -1;
    size_t sent = 0;
    std::string got;
    bool done = false;
  };
  std::vector<Client> clients(kClients);
  for (Client& c : clients) {
    c.fd = ConnectNonBlocking(rig.port());
    ASSERT_GE(c.fd, 0);
  }
  // All connected before any asks: more sockets than one pass polls, so the
  // later ones are served only if the passes take turns.
  ASSERT_TRUE(kvr_test::WaitFor(
      [&] { return rig.service().ConnectionCount() == static_cast<size_t>(kClients) + 3; }));
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(20);
  int done = 0;
  std::vector<pollfd> fds;
  std::vector<size_t> owners;
  char buffer[4096];
  while (done < kClients && std::chrono::steady_clock::now() < deadline) {
    fds.clear();
    owners.clear();
    for (size_t i = 0; i < clients.size(); ++i) {
      if (clients[i].done) continue;
      const short events = clients[i].sent < request.size() ? POLLOUT : POLLIN;
      fds.push_back(pollfd{clients[i].fd, events, 0});
      owners.push_back(i);
    }
    if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
    for (size_t k = 0; k < fds.size(); ++k) {
      Client& c = clients[owners[k]];
      if ((fds[k].revents & POLLOUT) != 0) {
        const ssize_t n =
            ::send(c.fd, request.data() + c.sent, request.size() - c.sent, MSG_NOSIGNAL);
        if (n > 0) c.sent += static_cast<size_t>(n);
      } else if ((fds[k].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const ssize_t n = ::recv(c.fd, buffer, sizeof(buffer), 0);
        if (n > 0) c.got.append(buffer, static_cast<size_t>(n));
        // Answered clients stay connected, so the server keeps more
        // sockets than one pass polls until the last client is answered.
        if (n <= 0 || c.got.size() >= reply.size()) {
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
    ::close(c.fd);
  }
  EXPECT_EQ(answered, kClients);
  flooder.Close();
  garbler.Close();
  badPeers.join();
}

}  // namespace
