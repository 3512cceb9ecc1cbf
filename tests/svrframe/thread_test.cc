#include "svrframe/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/test_util.h"

namespace {

using kvr_test::WaitFor;

// Loops until told to stop, counting how often Run began; OnExit can be held open.
class Worker : public QWTools::CThread {
 public:
  explicit Worker(bool autoDelete = false) : CThread(autoDelete) {}
  ~Worker() override {
    stop = true;
    hold_exit = false;
    Join();
    if (deleted != nullptr) *deleted = true;
  }

  std::atomic<bool> stop{false}, hold_exit{false}, in_exit{false};
  std::atomic<int> runs{0}, exits{0};
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

TEST(ThreadTest, StartsOnlyWhenNeitherThreadNorHandleIsLeftAndAutoDeleteDeletesAfterOnExit) {
  Worker w;
  w.hold_exit = true;
  ASSERT_TRUE(w.Start(1));
  ASSERT_TRUE(WaitFor([&] { return w.IsRunning(); }));
  EXPECT_TRUE(w.Start(1) && w.Start(0)) << "a running thread is success";
  w.stop = true;
  ASSERT_TRUE(WaitFor([&] { return w.in_exit.load(); }));
  EXPECT_EQ(w.runs, 1) << "Start on a running thread made a second one";
  EXPECT_FALSE(w.IsRunning());
  EXPECT_FALSE(w.Start(1)) << "Run has ended but the handle is still open";
  w.hold_exit = false;
  w.stop = false;
  // Once the thread function has closed its handle the object may start again.
  ASSERT_TRUE(WaitFor([&] { return w.Start(1) && w.runs.load() == 2; }));
  w.stop = true;
  ASSERT_TRUE(WaitFor([&] { return w.exits.load() == 2; }));

  std::atomic<bool> deleted{false};
  auto* self = new Worker(true);
  self->deleted = &deleted;
  ASSERT_TRUE(self->Start(1));
  ASSERT_TRUE(WaitFor([&] { return self->IsRunning(); }));
  self->stop = true;
  EXPECT_TRUE(WaitFor([&] { return deleted.load(); })) << "auto-delete after OnExit";
}

}  // namespace
