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

class ReferableTest : public ::testing::Test {
 protected:
  void SetUp() override { g_deleted = 0; }
};

TEST_F(ReferableTest, CountStartsAtZeroAndLastHolderDeletes) {
  Unit* u = new Unit(7);
  EXPECT_EQ(u->ReferenceCount(), 0);
  {
    CReferPtr<Unit> a(u);
    EXPECT_EQ(u->ReferenceCount(), 1);
    CReferPtr<Unit> b = a;
    CReferPtr<QWTools::IReferable> base = b;  // a holder of the base type shares the count
    EXPECT_EQ(u->ReferenceCount(), 3);
    a.Reset();
    b = nullptr;
    EXPECT_EQ(g_deleted, 0);
    EXPECT_EQ(u->ReferenceCount(), 1);
  }
  EXPECT_EQ(g_deleted, 1);
}

TEST_F(ReferableTest, AssignmentCountsOnlyWhenTheObjectChanges) {
  CReferPtr<Unit> a(new Unit);
  CReferPtr<Unit>& alias = a;
  a = alias;
  EXPECT_EQ(a->ReferenceCount(), 1);
  CReferPtr<Unit> b(a.get());
  a = b;  // both already hold the same object
  EXPECT_EQ(a->ReferenceCount(), 2);
  a = a.get();
  EXPECT_EQ(a->ReferenceCount(), 2);
  EXPECT_EQ(g_deleted, 0);
  b = new Unit(2);
  a = new Unit(3);
  EXPECT_EQ(g_deleted, 1) << "the old object lost its last holder";
  CReferPtr<Unit> moved = std::move(a);
  EXPECT_EQ(moved->value, 3);
  EXPECT_FALSE(a);
  EXPECT_EQ(moved->ReferenceCount(), 1);
}

TEST_F(ReferableTest, HoldersOnManyThreadsDeleteExactlyOnce) {
  for (int round = 0; round < 20; ++round) {
    CReferPtr<Unit> shared(new Unit);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([copy = shared]() mutable {
        for (int i = 0; i < 2000; ++i) {
          CReferPtr<Unit> local = copy;
          CReferPtr<Unit> other;
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

class Counted : public IAddRefAble {
 public:
  ~Counted() override { g_deleted++; }
};

TEST_F(ReferableTest, AddRefAbleStartsAtOneAndDeletesAtZero) {
  Counted* c = new Counted;
  EXPECT_EQ(c->AddRef(), 2);
  EXPECT_EQ(c->Release(), 1);
  EXPECT_EQ(g_deleted, 0);
  EXPECT_EQ(c->Release(), 0);
  EXPECT_EQ(g_deleted, 1);
}

TEST_F(ReferableTest, ThreadMutexIsARecursiveCountedLock) {
  CNewMutex* m = new CThreadMutex;
  for (int i = 0; i < 2; ++i) EXPECT_EQ(m->Lock(), 0);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(m->Unlock(), 0);
  bool other_got_it = false;
  std::thread([&] {
    m->Lock();
    other_got_it = true;
    m->Unlock();
  }).join();
  EXPECT_TRUE(other_got_it);
  EXPECT_EQ(m->Release(), 0);
}

}  // namespace
