#include "svrframe/referable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "svrframe/thread_mutex.h"

namespace {

std::atomic<int> g_deleted{0};

class Unit : public QWTools::IReferable {
 public:
  explicit Unit(int v = 0) : value(v) {}
  ~Unit() override { g_deleted++; }
  int value;
};

struct ReferableTest : ::testing::Test {
  void SetUp() override { g_deleted = 0; }
};

TEST_F(ReferableTest, HoldersCountOnlyWhenTheObjectChangesAndTheLastOneDeletes) {
  Unit* u = new Unit(7);
  EXPECT_EQ(u->ReferenceCount(), 0);
  {
    CReferPtr<Unit> a(u);
    CReferPtr<Unit>& alias = a;
    a = alias;
    a = a.get();
    EXPECT_EQ(u->ReferenceCount(), 1);
    CReferPtr<Unit> b = a;
    CReferPtr<QWTools::IReferable> base = b;  // a holder of the base type shares the count
    a = b;
    EXPECT_EQ(u->ReferenceCount(), 3);
    a.Reset();
    b = nullptr;
    EXPECT_EQ(u->ReferenceCount(), 1);
    b = new Unit(2);
    a = new Unit(3);
    b = a;
    EXPECT_EQ(g_deleted, 1) << "the second object lost its last holder";
    CReferPtr<Unit> moved = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(moved->value, 3);
    EXPECT_EQ(moved->ReferenceCount(), 2);
  }
  EXPECT_EQ(g_deleted, 3);
}

TEST_F(ReferableTest, HoldersOnManyThreadsDeleteExactlyOnce) {
  for (int round = 0; round < 20; ++round) {
    CReferPtr<Unit> shared(new Unit);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([copy = shared]() mutable {
        for (int i = 0; i < 2000; ++i) {
          CReferPtr<Unit> local = copy, other;
          other = local;
          local.Reset();
        }
      });
    }
    shared.Reset();  // the threads may now hold the last references
    for (auto& t : threads) t.join();
  }
  EXPECT_EQ(g_deleted, 20);
}

}  // namespace
