#include "svrframe/cmd_deal_mdl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/time.h"
#include "svrframe/kvr_cmd_deal_mdl.h"
#include "svrframe/refusal_tally.h"
#include "tests/svrframe/test_message.h"
#include "tests/svrframe/test_modules.h"
#include "tests/test_util.h"

namespace {

using kvr_test::CommModule;
using kvr_test::FunModule;
using kvr_test::TestMessage;
using kvr_test::WaitFor;
using SvrFrame::MessageRef;
using namespace std::chrono_literals;

const char kRoutes[] = R"(<routes>
  <protocol type="QW">
    <command id="Request">
      <module entrance="1" funcName="fun.a"/>
      <module entrance="1" funcName="fun.b"/>
    </command>
    <command id="Single"><module entrance="1" funcName="fun.a"/></command>
    <command id="Ghost"><module entrance="1" funcName="not.registered"/></command>
    <command id="Ack">
      <module funcName="fun.a"><next condition="0" funcName="fun.b"/></module>
    </command>
  </protocol>
</routes>)";

// The command dealing module with what the tests watch: its clock (the real
// one until a test sets it), its idle sweeps and, as it is deleted, how many
// event threads had ended.
class TestCmdDeal : public CKVRCmdDealMdl {
 public:
  using CKVRCmdDealMdl::CKVRCmdDealMdl;
  ~TestCmdDeal() override {
    endedAtDelete = 0;
    for (int n = 1; n <= 7; ++n) endedAtDelete += ThreadEnded(n);
  }
  uint32_t Now() override { return fake ? clock.load() : CKVRCmdDealMdl::Now(); }
  bool OnIdle(int thread) override {
    sweeps += thread == 7;
    ++idlePasses;
    return CKVRCmdDealMdl::OnIdle(thread);
  }
  // Stops the clock at `ticks`; with `sweep`, returns once a whole idle sweep
  // of thread 7 has run with it.
  void SetClock(uint32_t ticks, bool sweep = true) {
    const int seen = sweeps;
    clock = ticks;
    fake = true;
    // Thread 7 sleeps until the deadline it saw on the real clock.
    EXPECT_TRUE(!sweep || WaitFor([&] {
      WakeRemovalThread();
      return sweeps.load() >= seen + 2;
    }));
  }

  std::atomic<bool> fake{false};
  std::atomic<uint32_t> clock{0};
  std::atomic<int> sweeps{0};
  std::atomic<int> idlePasses{0};
  static inline int endedAtDelete = -1;
};

// Holds a module's OnMessage until opened, counting the threads inside.
struct Gate {
  std::function<void(const MessageRef&)> Hold() {
    return [this](const MessageRef&) {
      inside++;
      while (!open) std::this_thread::sleep_for(1ms);
      inside--;
    };
  }
  std::atomic<bool> open{false};
  std::atomic<int> inside{0};
};

class CmdDealTest : public ::testing::Test {
 protected:
  void SetUp() override { std::ofstream(dir_.File("routes.xml")) << kRoutes; }

  // A command dealing module with its configuration loaded; AddFun and
  // AddComm register new modules with the last one made.
  template <typename T = TestCmdDeal>
  T* Make(bool threads) {
    auto* cmd = new T(threads);
    EXPECT_EQ(cmd->Init(dir_.File("routes.xml").c_str()), 0);
    cmd_ = cmd;
    return cmd;
  }
  FunModule* AddFun(const char* name, std::atomic<int>* gone = nullptr) {
    auto* module = new FunModule(name, gone);
    EXPECT_TRUE(cmd_->RegisterFunModule(module)) << name;
    return module;
  }
  CommModule* AddComm(const char* name, int key, std::atomic<int>* gone = nullptr) {
    auto* module = new CommModule(name, gone);
    EXPECT_TRUE(cmd_->RegisterCommModule(module, key)) << name;
    return module;
  }

  MessageRef Msg(const char* command, int result = 0, int sequence = 0,
                 std::initializer_list<CSecureString> replyTo = {}) {
    auto* m = new TestMessage("QW", command, result, &destroyed_);
    m->sequence = sequence;
    for (const CSecureString& name : replyTo) m->AddReplyTo(name);
    created_++;
    return MessageRef(m);
  }

  kvr_test::ScratchDir dir_;
  SvrFrame::CCmdDealMdl* cmd_ = nullptr;
  std::atomic<int> destroyed_{0};
  int created_ = 0;
};

TEST_F(CmdDealTest, InitFailsOnAMissingOrMalformedFileButKeepsRunning) {
  auto* cmd = new TestCmdDeal(true);
  EXPECT_EQ(cmd->Init(dir_.File("missing.xml").c_str()), -1);
  std::ofstream(dir_.File("bad.xml")) << "<routes><protocol type='QW'>";
  EXPECT_EQ(cmd->Init(dir_.File("bad.xml").c_str()), -1);
  cmd_ = cmd;
  // The threads run but route nothing: the message is dropped unseen.
  auto* fun = AddFun("fun.a");
  EXPECT_EQ(cmd->OnMessage(Msg("Single", 0, 1)), 0);
  ASSERT_TRUE(WaitFor([&] { return destroyed_.load() == 1; }));
  EXPECT_EQ(fun->calls, 0);
  EXPECT_EQ(cmd->Init(dir_.File("routes.xml").c_str()), 0) << "a later load takes effect";
  cmd->OnMessage(Msg("Single", 0, 2));
  EXPECT_TRUE(WaitFor([&] { return fun->calls.load() == 1; }));
  cmd->Destroy();
  EXPECT_EQ(destroyed_, created_);
}

TEST_F(CmdDealTest, RegistrationRulesAndUniqueNames) {
  auto* cmd = Make(false);
  std::atomic<int> gone{0};
  auto* unnamed = new FunModule("", &gone);
  EXPECT_FALSE(cmd->RegisterFunModule(unnamed) || cmd->RegisterFunModule(nullptr) ||
               cmd->RegisterCommModule(nullptr, 1) || cmd->RemoveFunModule(nullptr, true) ||
               cmd->RemoveCommModule(nullptr, true));
  EXPECT_EQ(unnamed->Send(Msg("Request"), 0, 0), 0) << "not registered: no sink";

  auto* first = AddFun("fun.a", &gone);
  auto* second = AddFun("fun.a", &gone);
  EXPECT_EQ(cmd->FindFunModule("fun.a"), second);
  // Removing the replaced module leaves the one now registered under the name.
  EXPECT_TRUE(cmd->RemoveFunModule(first, false));
  EXPECT_EQ(cmd->FindFunModule("fun.a"), second);

  auto* comm = AddComm("TcpCommMdl", 12345678);
  const std::string name = comm->Name().c_str();
  EXPECT_EQ(cmd->FindCommModule(name.c_str()), comm);
  MessageRef m = Msg("Request");
  comm->Send(m, 0, 0);
  EXPECT_EQ(m->GetCommOrigin(), name.c_str()) << "the registered name, not the class name";
  m = MessageRef();

  // The same for a communication module replaced under its unique name: its
  // owner may take it back from the grace-period queue.
  cmd->SetClock(5, false);
  auto* old = AddComm("Dup", 9, &gone);
  auto* now = AddComm("Dup", 9, &gone);
  EXPECT_EQ(cmd->FindCommModule(now->Name()), now);
  EXPECT_EQ(cmd->RemovedModuleCount(), 1u);
  EXPECT_TRUE(cmd->RemoveCommModule(old, false));
  EXPECT_EQ(cmd->RemovedModuleCount(), 0u);
  EXPECT_EQ(cmd->FindCommModule(now->Name()), now);
  delete old;
  cmd->Destroy();
  EXPECT_EQ(gone, 3) << "only the registered modules are destroyed by the shut-down";
  delete first;
  delete unnamed;
  EXPECT_EQ(destroyed_, created_);
}

// Senders on several threads, each sending a burst and then waiting until
// the burst has arrived, so that the event thread keeps going idle and being
// woken while others are sending. A lost wake-up leaves a burst's last
// message in the queue, and with every sender waiting nothing comes to wake
// the thread: the sender gives up and the test fails.
TEST_F(CmdDealTest, BurstsFromManySendersAllArriveEachInItsSendersOrder) {
  auto* cmd = Make(true);
  auto* fun = AddFun("fun.a");
  fun->keep = false;
  constexpr int kSenders = 4, kBursts = 300, kBurst = 16, kEach = kBursts * kBurst;
  std::atomic<int> lastSeen[kSenders] = {-1, -1, -1, -1};
  std::atomic<int> outOfOrder{0}, stuck{0};
  fun->onMessage = [&](const MessageRef& m) {
    const int sequence = static_cast<TestMessage*>(m.get())->sequence;
    outOfOrder += lastSeen[sequence / kEach].exchange(sequence) >= sequence;
  };
  std::vector<CommModule*> comms;
  for (int s = 0; s < kSenders; ++s) comms.push_back(AddComm("TcpCommMdl", s + 1));
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([&, s] {
      for (int burst = 0; burst < kBursts && stuck == 0; ++burst) {
        int sequence = 0;
        for (int i = 0; i < kBurst; ++i) {
          auto* m = new TestMessage("QW", "Single", 0, &destroyed_);
          m->sequence = sequence = s * kEach + burst * kBurst + i;
          // Control data: that queue has no limit, so nothing is refused.
          comms[s]->Send(MessageRef(m), 0, SvrFrame::kControlDataClass);
        }
        stuck += !WaitFor([&] { return lastSeen[s].load() == sequence; }, 5s);
      }
    });
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(stuck, 0) << "a burst never arrived";
  EXPECT_EQ(fun->calls.load(), kSenders * kEach);
  EXPECT_EQ(outOfOrder, 0);
  cmd->Destroy();
  EXPECT_EQ(destroyed_, kSenders * kEach);
}

// A full data queue refuses a message, and its record's tally counts it:
// every message sent is either delivered or counted, and some were refused.
// Kills: a refusal that is not counted (the sender goes on as if sent), a
// delivered message that is counted too.
TEST_F(CmdDealTest, EveryRefusedDataMessageIsCountedForItsRecord) {
  auto* cmd = Make(true);
  auto* fun = AddFun("fun.a");
  fun->keep = false;
  Gate gate;
  fun->onMessage = gate.Hold();
  auto* comm = AddComm("TcpCommMdl", 1);
  auto tally = std::make_shared<SvrFrame::CRefusalTally>();
  constexpr int kSent = SvrFrame::CCmdDealMdl::kQueueLimit + 500;
  for (int i = 0; i < kSent; ++i) {
    auto* m = new TestMessage("QW", "Single", 0, &destroyed_);
    m->SetRefusalTally(tally);
    comm->Send(MessageRef(m), 0, SvrFrame::kDataClass);
  }
  gate.open = true;
  // The delivery thread may hold one message at the gate and a batch behind it.
  EXPECT_GE(tally->Get(), 500u - SvrFrame::CCmdDealMdl::kDrainBatch - 1);
  EXPECT_TRUE(WaitFor([&] { return fun->calls.load() + static_cast<int>(tally->Get()) == kSent; }))
      << fun->calls.load() << " delivered, " << tally->Get() << " counted";
  cmd->Destroy();
}

TEST_F(CmdDealTest, RepliesGoToRoutedFunctionModulesOrElseToEveryReplyToModule) {
  auto* cmd = Make(true);
  auto* a = AddFun("fun.a");
  auto* b = AddFun("fun.b");
  auto* c1 = AddComm("TcpCommMdl", 1);
  auto* c2 = AddComm("RecordWriter", 2);
  // Each routed reply is followed through its queue by an unrouted marker.
  for (int messageClass : {0, 1, 2}) {
    EXPECT_EQ(a->Send(Msg("Ack", 0, messageClass, {c1->Name()}), 0, messageClass), 0);
    a->Send(Msg("Ack", 5, 100 + messageClass, {c1->Name()}), 0, messageClass);
  }
  ASSERT_TRUE(WaitFor([&] { return b->calls.load() == 3 && c1->calls.load() == 3; }));
  auto got = c1->Sequences();
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<int>{100, 101, 102})) << "a routed reply also reached replyTo";
  for (const MessageRef& m : b->Received()) {
    EXPECT_EQ(m->GetFunOrigin(), "fun.a");
    ASSERT_EQ(m->GetDestinationCount(), 1);
    EXPECT_EQ(m->GetDestination(0), "fun.b");
  }
  std::string order;  // both replies below travel one queue, so one thread writes it
  c1->onMessage = [&](const MessageRef&) { order += '1'; };
  c2->onMessage = [&](const MessageRef&) { order += '2'; };
  // fun.b has no entry for "Ack"; fun.a has one, but not for result 5.
  for (auto [sender, result] : {std::pair{b, 0}, {a, 5}}) {
    MessageRef m = Msg("Ack", result, 0, {c1->Name(), "Nobody-0000000001_00000000", c2->Name()});
    EXPECT_EQ(sender->Send(m, 0, 2), 0);
  }
  b->Send(Msg("Ack"), 0, 0);  // neither a route nor a replyTo name: goes nowhere
  ASSERT_TRUE(WaitFor([&] { return c1->calls.load() == 5 && c2->calls.load() == 2; }));
  ASSERT_TRUE(WaitFor([&] { return destroyed_.load() == 1; }));
  EXPECT_EQ(a->calls + b->calls, 3);
  EXPECT_EQ(order, "1212") << "replyTo modules in the order of the list";
  EXPECT_EQ(c2->Received()[0]->GetMessageClass(), SvrFrame::kNRDataClass);
  cmd->Destroy();
  EXPECT_EQ(destroyed_, created_);
}

// The clock starts just below the wrap of the tick count, so the grace
// period is measured across it.
TEST_F(CmdDealTest, RemovedCommunicationModulesLiveOutTheGracePeriodAndEveryDeliveryInside) {
  auto* cmd = Make(true);
  const uint32_t t0 = 0xFFFFF000u;
  cmd->SetClock(t0);
  std::atomic<int> gone{0};
  auto* fun = AddFun("fun.b");
  // Registered twice under one unique name: the second replaces the first,
  // which goes to the grace-period queue.
  auto* replaced = AddComm("TcpCommMdl", 1, &gone);
  auto* removed = AddComm("TcpCommMdl", 1, &gone);
  EXPECT_EQ(cmd->FindCommModule(removed->Name()), removed);
  EXPECT_EQ(cmd->RemovedModuleCount(), 1u);
  EXPECT_EQ(replaced->GetRemovedAt(), t0);
  auto* busy = AddComm("TcpCommMdl", 2, &gone);
  auto* forgotten = AddComm("TcpCommMdl", 3);
  auto* witness = AddComm("Witness", 4);
  const CSecureString removedName = removed->Name(), forgottenName = forgotten->Name();
  Gate gate;
  busy->onMessage = gate.Hold();
  MessageRef toBusy = Msg("Ack", 0, 0, {busy->Name()});
  fun->Send(toBusy, 0, SvrFrame::kControlDataClass);
  ASSERT_TRUE(WaitFor([&] { return gate.inside.load() == 1; }));

  EXPECT_TRUE(cmd->RemoveCommModule(removed, true));
  EXPECT_TRUE(cmd->RemoveCommModule(busy, true));
  EXPECT_TRUE(cmd->RemoveCommModule(forgotten, false));
  // Without `destroy` the call returns once the module is out of the map.
  EXPECT_EQ(cmd->FindCommModule(forgottenName), nullptr);
  ASSERT_TRUE(WaitFor([&] { return cmd->RemovedModuleCount() == 3; }));
  EXPECT_EQ(cmd->FindCommModule(removedName), nullptr);

  MessageRef m = Msg("Ack", 0, 0, {removedName, forgottenName, witness->Name()});
  fun->Send(m, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return witness->calls.load() == 1; }));
  EXPECT_EQ(removed->calls + forgotten->calls, 0) << "delivered to a removed module";

  cmd->SetClock(t0 + 5000);
  EXPECT_EQ(gone, 0) << "destroyed before the grace period ended";
  cmd->SetClock(t0 + 5001);
  EXPECT_EQ(gone, 2) << "the replaced and the removed module, once the grace period is over";
  EXPECT_EQ(cmd->RemovedModuleCount(), 1u) << "a module with a delivery inside is kept";
  gate.open = true;
  EXPECT_TRUE(WaitFor([&] { return gone.load() == 3; }));
  cmd->Destroy();
  EXPECT_EQ(gone, 3) << "the forgotten module belongs to its owner";
  delete forgotten;
  m = toBusy = MessageRef();
  EXPECT_EQ(destroyed_, created_);
}

// A removal without `destroy` hands the module back to its owner only when no
// delivery is inside it, whichever of the three delivery paths brought it
// there. The module's OnMessage is held open; the removal must not return
// until it is let go.
TEST_F(CmdDealTest, RemovalWithoutDestroyWaitsUntilNoDeliveryOfAnyPathIsInside) {
  enum Path { kEntrance, kRoutedReply, kReplyTo };
  for (Path path : {kEntrance, kRoutedReply, kReplyTo}) {
    SCOPED_TRACE(testing::Message() << "path " << path);
    auto* cmd = Make(true);
    auto* a = AddFun("fun.a");
    auto* comm = AddComm("TcpCommMdl", 1);
    SvrFrame::IModule* target = nullptr;
    Gate gate;
    if (path == kEntrance) {
      a->onMessage = gate.Hold();
      target = a;
      comm->Send(Msg("Single"), 0, 0);
    } else if (path == kRoutedReply) {
      auto* b = AddFun("fun.b");
      b->onMessage = gate.Hold();
      target = b;
      a->Send(Msg("Ack", 0), 0, 0);
    } else {
      comm->onMessage = gate.Hold();
      target = comm;
      a->Send(Msg("Ack", 5, 0, {comm->Name()}), 0, 0);
    }
    ASSERT_TRUE(WaitFor([&] { return gate.inside.load() == 1; }));
    std::atomic<bool> returned{false};
    std::atomic<int> insideAtReturn{-1};
    std::thread remover([&] {
      if (path == kReplyTo) {
        cmd->RemoveCommModule(target, false);
      } else {
        cmd->RemoveFunModule(target, false);
      }
      insideAtReturn = gate.inside.load();
      returned = true;
    });
    // A removal that does not wait returns well within this.
    EXPECT_FALSE(WaitFor([&] { return returned.load(); }, 200ms));
    gate.open = true;
    remover.join();
    EXPECT_EQ(insideAtReturn, 0) << "handed back while a delivery was inside";
    EXPECT_EQ(cmd->FindFunModule("fun.a") == nullptr, target == a);
    delete target;
    cmd->Destroy();
  }
  EXPECT_EQ(destroyed_, created_);
}

// Seven threads that woke every 5 ms made an idle service cost a steady
// share of a core; an idle pass now ends only with work or a deadline.
TEST_F(CmdDealTest, IdleEventThreadsSleepUntilWorkArrives) {
  auto* cmd = Make(true);
  auto* fun = AddFun("fun.b");
  auto* witness = AddComm("Witness", 4);
  std::this_thread::sleep_for(50ms);
  const int before = cmd->idlePasses.load();
  std::this_thread::sleep_for(300ms);
  EXPECT_LE(cmd->idlePasses.load() - before, 2) << "idle threads woke on a timer";
  fun->Send(Msg("Ack", 0, 0, {witness->Name()}), 0, SvrFrame::kControlDataClass);
  EXPECT_TRUE(WaitFor([&] { return witness->calls.load() == 1; })) << "work did not wake a thread";
  cmd->Destroy();
}

TEST_F(CmdDealTest, RemoveFunModuleWithDestroyAndRemovalsFromInsideADelivery) {
  auto* cmd = Make(true);
  std::atomic<int> gone{0};
  auto* a = AddFun("fun.a");
  auto* c = AddFun("fun.c", &gone);
  auto* comm = AddComm("TcpCommMdl", 1, &gone);
  auto* b = new FunModule("fun.b");
  auto* late = new FunModule("fun.late", &gone);
  // fun.b gets the routed reply while the framework holds the function-module
  // lock; registering and removing modules from there must not stall.
  std::atomic<bool> done{false};
  b->onMessage = [&](const MessageRef&) {
    EXPECT_TRUE(cmd->RegisterFunModule(late));
    EXPECT_EQ(cmd->FindFunModule("fun.late"), late);
    EXPECT_TRUE(cmd->RemoveFunModule(c, true));
    EXPECT_TRUE(cmd->RemoveCommModule(comm, false));  // cannot wait here; returns
    done = true;
  };
  ASSERT_TRUE(cmd->RegisterFunModule(b));
  a->Send(Msg("Ack", 0), 0, 0);
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  ASSERT_TRUE(WaitFor([&] { return gone.load() == 1; })) << "fun.c destroyed by thread 7";
  EXPECT_EQ(cmd->FindFunModule("fun.c"), nullptr);
  ASSERT_TRUE(WaitFor([&] { return cmd->FindCommModule(comm->Name()) == nullptr; }));

  EXPECT_TRUE(cmd->RemoveFunModule(late, true));
  ASSERT_TRUE(WaitFor([&] { return gone.load() == 2; }));
  cmd->Destroy();
  EXPECT_EQ(gone, 2);
  delete comm;
  EXPECT_EQ(destroyed_, created_);
}

// Shut-down has begun while thread 7 waits for a delivery to leave a module it
// removes, and that delivery asks for another removal: it must queue it and
// go, not wait for the operations that thread 7 is carrying out.
TEST_F(CmdDealTest, DestroyReturnsWhenADeliveryRemovesAModuleDuringShutDown) {
  auto* cmd = Make(true);
  std::atomic<int> gone{0};
  auto* fun = AddFun("fun.a", &gone);
  auto* comm = AddComm("TcpCommMdl", 1, &gone);
  Gate gate;
  std::atomic<bool> done{false};
  fun->onMessage = [&](const MessageRef& m) {
    gate.Hold()(m);
    cmd->RemoveCommModule(comm, true);
  };
  comm->Send(Msg("Single"), 0, 0);
  ASSERT_TRUE(WaitFor([&] { return gate.inside.load() == 1; }));
  ASSERT_TRUE(cmd->RemoveFunModule(fun, true));
  ASSERT_TRUE(WaitFor([&] { return cmd->FindFunModule("fun.a") == nullptr; }));
  std::thread destroyer([&] {
    cmd->Destroy();
    done = true;
  });
  // An idle event thread ends as soon as the shut-down has begun.
  ASSERT_TRUE(WaitFor([&] { return cmd->ThreadEnded(1); }));
  gate.open = true;
  if (!WaitFor([&] { return done.load(); })) {
    destroyer.detach();
    FAIL() << "Destroy did not return";
  }
  destroyer.join();
  EXPECT_EQ(gone, 2);
  EXPECT_EQ(destroyed_, created_);
}

TEST_F(CmdDealTest, ShutDownEndsEveryThreadAndReleasesModulesAndMessages) {
  for (bool threads : {true, false}) {
    SCOPED_TRACE(threads ? "with event threads" : "without event threads");
    auto* cmd = Make(threads);
    std::atomic<int> gone{0};
    std::string order;
    auto* a = AddFun("fun.a", &gone);
    auto* b = AddFun("fun.b", &gone);
    CommModule* c[3];
    for (auto*& m : c) (m = AddComm("TcpCommMdl", 0, &gone))->destroyLog = &order;
    auto [c1, c2, c3] = c;
    a->destroyLog = b->destroyLog = &order;
    const uint32_t before = platform::TickCount();
    ASSERT_TRUE(cmd->RemoveCommModule(c3, true));
    ASSERT_TRUE(WaitFor([&] { return cmd->RemovedModuleCount() == 1; }));
    EXPECT_LE(c3->GetRemovedAt() - before, platform::TickCount() - before) << "stamped on removal";
    // Messages in every queue; with threads some are delivered, the rest wait.
    for (int i = 0; i < 200; ++i) {
      for (int messageClass : {0, 1, 2}) {
        c1->Send(Msg("Request"), 0, messageClass);
        a->Send(Msg("Ack", 5, 0, {c2->Name()}), 0, messageClass);
      }
    }
    TestCmdDeal::endedAtDelete = -1;
    EXPECT_EQ(cmd->Destroy(), 0);
    EXPECT_EQ(TestCmdDeal::endedAtDelete, threads ? 7 : 0);
    EXPECT_EQ(gone, 5) << "registered and grace-period modules destroyed";
    EXPECT_EQ(order, "TTTff") << "communication modules before function modules";
    EXPECT_EQ(destroyed_, created_) << "every queued message released";
  }
}

}  // namespace
