#include "svrframe/read_write_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/test_util.h"

namespace {

using QWTools::CReadWriteMutex;
using QWTools::CReadWriteMutexLock;
using namespace std::chrono_literals;

// Takes the lock on a thread of its own, for writing or reading, and lets it
// go at once. "Blocked" only ever errs towards passing on a slow machine.
class Contender {
 public:
  Contender(CReadWriteMutex* m, bool write)
      : thread_([this, m, write] {
          CReadWriteMutexLock g(m, write);
          done_ = true;
        }) {}
  ~Contender() { thread_.join(); }
  bool Blocked() {
    return !kvr_test::WaitFor([&] { return done_.load(); }, 50ms);
  }
  bool Got() {
    return kvr_test::WaitFor([&] { return done_.load(); });
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(ReadWriteMutexTest, AWriterExcludesEveryoneAndReadersExcludeOnlyWriters) {
  CReadWriteMutex m;
  {
    CReadWriteMutexLock guard(&m);
    Contender writer(&m, true), reader(&m, false);
    EXPECT_TRUE(writer.Blocked());
    EXPECT_TRUE(reader.Blocked());
    guard.Unlock();
    EXPECT_TRUE(writer.Got() && reader.Got());
  }
  m.AcquireRead(true);
  EXPECT_TRUE(Contender(&m, false).Got()) << "readers must not exclude each other";
  Contender writer(&m, true);
  EXPECT_TRUE(writer.Blocked());
  m.ReleaseRead();
  EXPECT_TRUE(writer.Got());
}

TEST(ReadWriteMutexTest, LastReaderOnAnotherThreadReleasesWithoutKeepOwner) {
  CReadWriteMutex m;
  m.AcquireRead(false);  // first reader, owner record cleared
  std::thread([&] {
    m.AcquireRead(false);
    m.ReleaseRead();  // not the last one
  }).join();
  // The first reader leaves its share to a different thread, which is last.
  std::thread([&] { m.ReleaseRead(); }).join();
  EXPECT_EQ(m.Readers(), 0u);
  Contender writer(&m, true);
  const bool free = writer.Got();
  if (!free) m.ReleaseWrite();  // this thread still owns it: let the writer through to end
  EXPECT_TRUE(free) << "the lock must be free after the foreign last reader";
}

TEST(ReadWriteMutexTest, OwnerNestsGuardsReadsUnderWriteAndUnlocksOnce) {
  CReadWriteMutex m;
  m.AcquireWrite(0);  // an outer hold on this thread
  {
    CReadWriteMutexLock g(&m);
    {
      CReadWriteMutexLock inner(&m), reading(&m, false);
      EXPECT_EQ(m.Readers(), 1u);
    }
    g.Unlock();
    g.Unlock();  // a second Unlock must not release the outer hold
    EXPECT_FALSE(g.IsHeld());
    g.Relock();
    EXPECT_TRUE(g.IsHeld());
  }  // the destructor releases the relocked level only
  Contender other(&m, true);
  EXPECT_TRUE(other.Blocked()) << "the outer hold must still be in force";
  m.ReleaseWrite();
  EXPECT_TRUE(other.Got());
}

}  // namespace
