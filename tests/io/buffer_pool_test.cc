#include "io/buffer_pool.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(BufferPoolTest, DestroyingThePoolFreesEveryBlockItHolds) {
  const int64_t before = CIoBlock::LiveBlocks();
  {
    CBufferPool pool(200, 1000);
    EXPECT_EQ(pool.limit(), 1000);
    for (int i = 0; i < 3; ++i) pool.Put(std::make_unique<CIoBlock>());
    pool.Put(nullptr);
    EXPECT_EQ(pool.Count(), 3u) << "a null block is ignored";
    EXPECT_EQ(CIoBlock::LiveBlocks(), before + 3);
  }
  EXPECT_EQ(CIoBlock::LiveBlocks(), before);
}

TEST(BufferPoolTest, PutsFromManyThreadsAreAllKept) {
  const int64_t before = CIoBlock::LiveBlocks();
  {
    CBufferPool pool(200, 10);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&pool] {
        for (int i = 0; i < 500; ++i) pool.Put(std::make_unique<CIoBlock>());
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(pool.Count(), 2000u) << "the limit does not bound what the pool holds";
  }
  EXPECT_EQ(CIoBlock::LiveBlocks(), before);
}

}  // namespace
