// The running service (its manager, storage function module and control
// port) against a thousand peers that misbehave, on loopback. Skipped in the
// ordinary run; the "heavy" ctest label runs it with KVR_HEAVY_TESTS set.
//
// The many-clients test proves that every well-behaved client is answered;
// this one proves what misbehaving peers leave behind once they are gone.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "api/kvr_svr_manage.h"
#include "svrframe/kvr_cmd_deal_mdl.h"
#include "tests/protocol/tcp/tcp_test_support.h"

namespace {

using kvr_test::KeepAliveRequest;
using kvr_test::LoopbackClient;
using kvr_test::WaitFor;

constexpr int kPeers = 1000;
// Sanitizers hold freed memory back from reuse (AddressSanitizer's
// quarantine alone keeps up to 256 MB), so resident memory only tells
// growth in a plain build; there the leak checker stands in for it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPlainAllocator = false;
#else
constexpr bool kPlainAllocator = true;
#endif

long ResidentBytes() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

// What peer i sends: bytes that are no message, a header that never ends
// (past the 100 KB a connection holds), a header promising a body larger than
// that, half a request, or nothing at all.
std::string Misbehaviour(int i, std::mt19937& random) {
  const std::string request = KeepAliveRequest(7);
  switch (i % 5) {
    case 0: {
      std::string junk(4096, '\0');
      for (char& c : junk) c = static_cast<char>(random());
      return junk;
    }
    case 1:
      return "POST /KeepAlive HTTP/1.1\r\nX-Pad: " + std::string(110000, 'p');
    case 2:
      return "POST /KeepAlive HTTP/1.1\r\nContent-Length: 2000000000\r\n\r\n<?xml";
    case 3:
      return request.substr(0, request.size() / 2);
    default:
      return "";
  }
}

// The service's own tallies of what connections hold: the server's
// connections, the service's connection modules, and the modules waiting out
// their grace period before they are destroyed.
struct Held {
  size_t connections, modules, retiring;
  bool operator==(const Held&) const = default;
};
Held HeldNow(CKVRSvrManage* manager) {
  return {manager->GetTcpService()->ConnectionCount(), manager->GetTcpService()->ModuleCount(),
          manager->GetCmdDealMdl()->RemovedModuleCount()};
}

class HostileClientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("KVR_HEAVY_TESTS") == nullptr) GTEST_SKIP() << "run with the heavy label";
    ASSERT_TRUE(kvr_test::RaiseFileLimit(2 * kPeers + 200)) << "too few file descriptors";
    // The manager finds its routing file in the working directory.
    std::filesystem::copy_file(KVR_SOURCE_DIR "/config/Server_Config.xml",
                               cwd_.File("Server_Config.xml"));
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(cwd_.path());
    manager_ = CKVRSvrManage::GetInstance();
    manager_->GetData()->SetListenPort(0);
    ASSERT_EQ(manager_->Start(), 0);
  }
  void TearDown() override {
    EXPECT_TRUE(manager_ == nullptr || manager_->Stop() == 0);
    if (!previous_.empty()) std::filesystem::current_path(previous_);
  }

  // A thousand misbehaving peers connect and send; a real client is answered
  // meanwhile; then they all close. True once every trace of them is gone.
  bool Round(std::mt19937& random) {
    const unsigned port = manager_->GetTcpService()->GetListenPort();
    std::vector<std::unique_ptr<LoopbackClient>> peers;
    for (int i = 0; i < kPeers; ++i) {
      peers.push_back(std::make_unique<LoopbackClient>(port));
      EXPECT_TRUE(peers.back()->SendAll(Misbehaviour(i, random))) << i;
    }
    EXPECT_TRUE(WaitFor([&] { return HeldNow(manager_).connections == kPeers; }));
    LoopbackClient client(port);
    EXPECT_TRUE(client.SendAll(KeepAliveRequest(7)));
    EXPECT_EQ(client.Read(sizeof(kvr_test::kKeepAliveReply7) - 1), kvr_test::kKeepAliveReply7);
    client.Close();
    peers.clear();
    // Closed connections' modules are destroyed after the framework's grace period.
    const auto limit = std::chrono::milliseconds(SvrFrame::CCmdDealMdl::kRemovalGraceMs + 10000);
    return WaitFor([&] { return HeldNow(manager_) == Held{0, 0, 0}; }, limit);
  }

  kvr_test::ScratchDir cwd_;
  std::filesystem::path previous_;
  CKVRSvrManage* manager_ = nullptr;
};

// Catches: a peer's close that leaves its connection in the server or its
// module in the service's table or the framework's (a tally stays above 0); a
// module that leaves the table but is never destroyed (the second round's
// memory grows by some 20 MB: the endless headers each fill a 100 KB stream
// buffer); a pass that waits on a silent or half-sent peer (the real client
// is not answered).
TEST_F(HostileClientsTest, ServiceAnswersThroughAThousandBadPeersAndKeepsNothingOfThem) {
  std::mt19937 random(15);
  // The first round settles the allocator's own growth; the second may not add to it.
  ASSERT_TRUE(Round(random));
  const long settled = ResidentBytes();
  ASSERT_TRUE(Round(random));
  const long after = ResidentBytes();
  std::printf("resident after the first round %ld KiB, after the second %ld KiB\n", settled >> 10,
              after >> 10);
  EXPECT_TRUE(!kPlainAllocator || after - settled < (8L << 20)) << after - settled;
}

}  // namespace
