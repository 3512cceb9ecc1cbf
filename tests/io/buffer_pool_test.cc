#include "io/buffer_pool.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using kvr::io::CIoBlock;

TEST(BufferPoolTest, KeepsEveryBlockPutFromManyThreadsAndFreesThemAll) {
  const int64_t before = CIoBlock::LiveBlocks();
  {
    CBufferPool pool(200, 10);
    pool.Put(nullptr);
    EXPECT_EQ(pool.Count(), 0u) << "a null block is ignored";
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&pool] {
        for (int i = 0; i < 500; ++i) pool.Put(std::make_unique<CIoBlock>());
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(pool.Count(), 2000u) << "the limit does not bound what the pool holds";
    EXPECT_EQ(CIoBlock::LiveBlocks(), before + 2000);
  }
  EXPECT_EQ(CIoBlock::LiveBlocks(), before);
}

}  // namespace
