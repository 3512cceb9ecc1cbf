#include "svrframe/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/test_util.h"

namespace {

// A worker that loops until told to stop, counting how often Run began;
// OnExit can be held open.
class Worker : public QWTools::CThread {
 public:
  explicit Worker(bool autoDelete = false) : CThread(autoDelete) {}
  ~Worker() override {
    stop = true;
    hold_exit = false;
    Join();
  }

  std::atomic<bool> stop{false};
  std::atomic<int> runs{0};
  std::atomic<int> exits{0};
  std::atomic<bool> hold_exit{false};
  std::atomic<bool> in_exit{false};
  std::atomic<bool>* deleted = nullptr;

 protected:
  int Run() override {
    runs++;
    while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 3;
  }
  void OnExit() override {
    exits++;
    in_exit = true;
    while (hold_exit) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    in_exit = false;
  }
};

class SelfDeleting : public Worker {
 public:
  SelfDeleting() : Worker(true) {}
  ~SelfDeleting() override {
    if (deleted != nullptr) *deleted = true;
  }
};

TEST(ThreadTest, StartOnARunningThreadMakesNoSecondThread) {
  Worker w;
  ASSERT_TRUE(w.Start(1));
  ASSERT_TRUE(kvr_test::WaitFor([&] { return w.IsRunning(); }));
  EXPECT_TRUE(w.Start(1));
  EXPECT_TRUE(w.Start(0));
  w.stop = true;
  ASSERT_TRUE(kvr_test::WaitFor([&] { return w.exits.load() == 1; }));
  EXPECT_EQ(w.runs, 1);
}

TEST(ThreadTest, EndedThreadWithOpenHandleRefusesThenRestartsOnceClosed) {
  Worker w;
  w.hold_exit = true;
  ASSERT_TRUE(w.Start(1));
  ASSERT_TRUE(kvr_test::WaitFor([&] { return w.IsRunning(); }));
  w.stop = true;
  ASSERT_TRUE(kvr_test::WaitFor([&] { return w.in_exit.load(); }));
  EXPECT_FALSE(w.IsRunning());
  EXPECT_FALSE(w.Start(1)) << "Run has ended but the handle is still open";
  w.hold_exit = false;

  // Once the thread function has closed its handle the object may start again.
  w.stop = false;
  ASSERT_TRUE(kvr_test::WaitFor([&] { return w.Start(1) && w.runs.load() == 2; }));
  w.stop = true;
  ASSERT_TRUE(kvr_test::WaitFor([&] { return w.exits.load() == 2; }));
}

TEST(ThreadTest, AutoDeleteObjectDeletesItselfAfterOnExit) {
  std::atomic<bool> deleted{false};
  auto* w = new SelfDeleting;
  w->deleted = &deleted;
  ASSERT_TRUE(w->Start(1));
  ASSERT_TRUE(kvr_test::WaitFor([&] { return w->IsRunning(); }));
  w->stop = true;
  EXPECT_TRUE(kvr_test::WaitFor([&] { return deleted.load(); }));
}

}  // namespace
