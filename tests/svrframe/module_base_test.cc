#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "svrframe/comm_mdl.h"
#include "svrframe/inner_protocol_stack.h"
#include "svrframe/svr_fun_mdl.h"
#include "tests/svrframe/test_message.h"
#include "tests/test_util.h"

namespace {

using kvr_test::TestMessage;
using SvrFrame::MessageRef;

// A module that counts its loop's passes and its sends; its loop may end by
// destroying the module.
template <typename Base>
class Probe : public Base {
 public:
  explicit Probe(bool hasThread) : Base(hasThread) {}
  ~Probe() override {
    stop = true;
    this->WaitWorkerEnded();
    if (gone != nullptr) *gone = true;
  }
  int Destroy() override {
    delete this;
    return 0;
  }
  int OnMessage(const MessageRef&) override { return 0; }
  int Loop() override {
    for (; !stop; passes++) {
      this->HonourSuspend();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (gone != nullptr) Destroy();
    return 0;
  }
  void BeforeSend(const MessageRef& m) override {
    beforeSend++;
    seenOriginEmpty = m && m->GetCommOrigin().IsEmpty() && m->GetFunOrigin().IsEmpty();
  }

  std::atomic<bool> stop{false};
  std::atomic<int> passes{0}, beforeSend{0};
  bool seenOriginEmpty = false;
  std::atomic<bool>* gone = nullptr;  // set: the loop ends by destroying the module
};

using CommProbe = Probe<SvrFrame::CCommMdl>;
using FunProbe = Probe<SvrFrame::CSvrFunMdl>;

struct SinkCall {
  const MessageRef* message = nullptr;
  int weight = -1, messageClass = -1;
  MessageRef kept;
};

int RecordingSink(const MessageRef* message, void* user, int weight, int messageClass) {
  *static_cast<SinkCall*>(user) = {message, weight, messageClass, *message};
  return -7;
}

TEST(ModuleBaseTest, SendStampsTheSenderAndPassesEverythingToTheSink) {
  std::atomic<int> destroyed{0};
  SinkCall call;
  CommProbe comm(false);
  {
    MessageRef m(new TestMessage("QW", "Register", 0, &destroyed));
    EXPECT_EQ(comm.Send(m, 0, 0), 0) << "no sink yet";
    EXPECT_EQ(m->ReferenceCount(), 1) << "nobody kept a reference";
    EXPECT_EQ(comm.beforeSend, 1);
  }
  EXPECT_EQ(destroyed, 1);
  comm.GetRuntimeInfo()->SetName("TcpCommMdl-0000000001_00000002");
  EXPECT_EQ(comm.SetSink(&RecordingSink, &call), &RecordingSink);
  MessageRef m(new TestMessage("QW", "Register"));
  EXPECT_EQ(comm.Send(m, 3, 2), -7) << "the sink's result comes back";
  EXPECT_TRUE(comm.seenOriginEmpty) << "BeforeSend runs before the name is written";
  EXPECT_EQ(call.message, &m);
  EXPECT_EQ(call.weight * 10 + call.messageClass, 32);
  EXPECT_EQ(m->GetCommOrigin(), "TcpCommMdl-0000000001_00000002");
  EXPECT_TRUE(m->GetFunOrigin().IsEmpty());
  EXPECT_EQ(m->ReferenceCount(), 2);
  // A message keeps the name it was sent under when the module is renamed.
  comm.GetRuntimeInfo()->SetName("Renamed");
  MessageRef later(new TestMessage("QW", "Register"));
  comm.Send(later, 0, 0);
  EXPECT_EQ(m->GetCommOrigin(), "TcpCommMdl-0000000001_00000002");
  EXPECT_EQ(later->GetCommOrigin(), "Renamed");

  FunProbe fun(false);
  fun.GetRuntimeInfo()->SetName("qw.kvr.func");
  fun.SetSink(&RecordingSink, &call);
  MessageRef r(new TestMessage("QW", "RegisterAck"));
  fun.Send(r, 0, 1);
  EXPECT_EQ(r->GetFunOrigin(), "qw.kvr.func");
  EXPECT_TRUE(r->GetCommOrigin().IsEmpty());
  EXPECT_EQ(call.messageClass, 1);
}

TEST(ModuleBaseTest, WorkerThreadRunsTheLoopAndHonoursSuspend) {
  CommProbe none(false);
  EXPECT_EQ(none.Init(""), 0);
  EXPECT_FALSE(none.WorkerRunning());
  EXPECT_EQ(none.SuspendWorker(), -1);
  EXPECT_EQ(none.ResumeWorker(), -2);

  auto* fun = new FunProbe(true);
  EXPECT_EQ(fun->Init("ignored") + fun->Init("ignored"), 0) << "a second Init starts no thread";
  ASSERT_TRUE(kvr_test::WaitFor([&] { return fun->passes.load() > 2; }));
  EXPECT_TRUE(fun->WorkerRunning());
  EXPECT_EQ(fun->SuspendWorker(), 0);
  EXPECT_EQ(fun->SuspendWorker(), 1);
  ASSERT_TRUE(kvr_test::WaitFor([&] { return fun->WorkerParked(); }));
  const int held = fun->passes.load();
  EXPECT_EQ(fun->ResumeWorker(), 2);
  EXPECT_EQ(fun->ResumeWorker(), 1);
  EXPECT_EQ(fun->ResumeWorker(), 0) << "the count does not go below zero";
  EXPECT_TRUE(kvr_test::WaitFor([&] { return fun->passes.load() > held + 2; }));
  fun->stop = true;
  ASSERT_TRUE(kvr_test::WaitFor([&] { return !fun->WorkerRunning(); }));
  EXPECT_EQ(fun->SuspendWorker(), -1) << "an ended thread counts as none";
  EXPECT_EQ(fun->Destroy(), 0);

  // A module may destroy itself from its own loop.
  std::atomic<bool> gone{false};
  auto* module = new CommProbe(true);
  module->gone = &gone;
  module->Init("");
  ASSERT_TRUE(kvr_test::WaitFor([&] { return module->WorkerRunning(); }));
  module->stop = true;
  EXPECT_TRUE(kvr_test::WaitFor([&] { return gone.load(); }));
}

}  // namespace
