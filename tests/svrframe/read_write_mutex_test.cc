#include "svrframe/read_write_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/test_util.h"

namespace {

using QWTools::CReadWriteMutex;
using QWTools::CReadWriteMutexLock;
using namespace std::chrono_literals;

// Runs `body` on a thread and reports whether it finished within `wait`.
bool FinishesWithin(std::thread& t, std::atomic<bool>& done, std::chrono::milliseconds wait) {
  bool finished = kvr_test::WaitFor([&] { return done.load(); }, wait);
  (void)t;
  return finished;
}

TEST(ReadWriteMutexTest, WriterExcludesWritersAndReaders) {
  CReadWriteMutex m;
  std::atomic<bool> writer_done{false}, reader_done{false};
  CReadWriteMutexLock guard(&m);
  std::thread writer([&] {
    CReadWriteMutexLock g(&m);
    writer_done = true;
  });
  std::thread reader([&] {
    CReadWriteMutexLock g(&m, false, true, true);
    reader_done = true;
  });
  EXPECT_FALSE(FinishesWithin(writer, writer_done, 50ms));
  EXPECT_FALSE(FinishesWithin(reader, reader_done, 10ms));
  guard.Unlock();
  writer.join();
  reader.join();
  EXPECT_TRUE(writer_done && reader_done);
}

TEST(ReadWriteMutexTest, ReadersShareAndHoldOffAWriter) {
  CReadWriteMutex m;
  m.AcquireRead(true);
  std::atomic<bool> second_reader{false}, writer{false};
  std::thread r([&] {
    m.AcquireRead(true);
    second_reader = true;
    m.ReleaseRead();
  });
  r.join();  // would hang if readers excluded each other
  EXPECT_TRUE(second_reader);
  std::thread w([&] {
    m.AcquireWrite(0);
    writer = true;
    m.ReleaseWrite();
  });
  EXPECT_FALSE(FinishesWithin(w, writer, 50ms));
  m.ReleaseRead();
  w.join();
  EXPECT_TRUE(writer);
  EXPECT_EQ(m.Readers(), 0u);
}

TEST(ReadWriteMutexTest, LastReaderOnAnotherThreadReleasesWithoutKeepOwner) {
  CReadWriteMutex m;
  m.AcquireRead(false);  // first reader, owner record cleared
  std::thread second([&] {
    m.AcquireRead(false);
    m.ReleaseRead();  // not the last one
  });
  second.join();
  // The first reader leaves its share to a different thread, which is last.
  std::thread last([&] { m.ReleaseRead(); });
  last.join();
  EXPECT_EQ(m.Readers(), 0u);
  std::atomic<bool> writer{false};
  std::thread w([&] {
    CReadWriteMutexLock g(&m);
    writer = true;
  });
  w.join();
  EXPECT_TRUE(writer) << "the writer lock must be free after the foreign last reader";
}

TEST(ReadWriteMutexTest, EarlyUnlockReleasesOnceAndRelockWorks) {
  CReadWriteMutex m;
  m.AcquireWrite(0);  // an outer hold on this thread
  {
    CReadWriteMutexLock g(&m);
    g.Unlock();
    g.Unlock();  // a second Unlock must not release the outer hold
    EXPECT_FALSE(g.IsHeld());
    g.Relock();
    EXPECT_TRUE(g.IsHeld());
  }  // destructor releases the relocked level only
  std::atomic<bool> other{false};
  std::thread t([&] {
    CReadWriteMutexLock g(&m);
    other = true;
  });
  EXPECT_FALSE(FinishesWithin(t, other, 50ms)) << "the outer hold must still be in force";
  m.ReleaseWrite();
  t.join();
  EXPECT_TRUE(other);
}

TEST(ReadWriteMutexTest, OwnerMayNestGuardsAndReadUnderWrite) {
  CReadWriteMutex m;
  CReadWriteMutexLock outer(&m);
  {
    CReadWriteMutexLock inner(&m);
    CReadWriteMutexLock reading(&m, false, true, true);
    EXPECT_EQ(m.Readers(), 1u);
  }
  outer.Unlock();
  std::atomic<bool> other{false};
  std::thread t([&] {
    CReadWriteMutexLock g(&m);
    other = true;
  });
  t.join();
  EXPECT_TRUE(other);
}

TEST(ReadWriteMutexTest, WritersSerialiseACounter) {
  CReadWriteMutex m;
  long counter = 0;  // deliberately not atomic: the lock is what protects it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        CReadWriteMutexLock g(&m);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

}  // namespace
