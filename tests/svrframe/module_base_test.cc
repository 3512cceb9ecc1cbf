#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "svrframe/comm_mdl.h"
#include "svrframe/svr_fun_mdl.h"
#include "tests/test_util.h"

namespace {

using SvrFrame::MessageRef;

// A module that counts its loop's passes; its loop may end by
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
    for (; !stop; passes++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (gone != nullptr) Destroy();
    return 0;
  }

  std::atomic<bool> stop{false};
  std::atomic<int> passes{0};
  std::atomic<bool>* gone = nullptr;  // set: the loop ends by destroying the module
};

using CommProbe = Probe<SvrFrame::CCommMdl>;
using FunProbe = Probe<SvrFrame::CSvrFunMdl>;

TEST(ModuleBaseTest, WorkerThreadRunsTheLoopAndMayDestroyItsModule) {
  CommProbe none(false);
  EXPECT_EQ(none.Init(""), 0);
  EXPECT_FALSE(none.WorkerRunning());

  auto* fun = new FunProbe(true);
  EXPECT_EQ(fun->Init("ignored") + fun->Init("ignored"), 0) << "a second Init starts no thread";
  ASSERT_TRUE(kvr_test::WaitFor([&] { return fun->passes.load() > 2; }));
  EXPECT_TRUE(fun->WorkerRunning());
  fun->stop = true;
  ASSERT_TRUE(kvr_test::WaitFor([&] { return !fun->WorkerRunning(); }));
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
