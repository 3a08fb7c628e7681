#include "archive/codec/buffer_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "archive/codec/codec_streams.h"

namespace qmx {
namespace {

TEST(BufferPool, FreedBlockIsReusedForTheSameSizeOnly) {
  void* a = PoolAlloc(100000);
  ASSERT_NE(a, nullptr);
  const std::size_t cached = PoolCachedBlocks();
  PoolFree(a, 100000);
  EXPECT_EQ(PoolCachedBlocks(), cached + 1);
  void* b = PoolAlloc(99999);
  EXPECT_NE(a, b);
  void* c = PoolAlloc(100000);
  EXPECT_EQ(a, c);
  PoolFree(b, 99999);
  PoolFree(c, 100000);
}

TEST(BufferPool, EachThreadKeepsItsOwnBlocks) {
  void* mine = PoolAlloc(70000);
  PoolFree(mine, 70000);
  void* theirs = nullptr;
  std::thread([&] {
    theirs = PoolAlloc(70000);
    std::memset(theirs, 1, 70000);
    PoolFree(theirs, 70000);
  }).join();
  EXPECT_NE(theirs, mine);
  void* again = PoolAlloc(70000);
  EXPECT_EQ(again, mine);
  PoolFree(again, 70000);
}

TEST(BufferPool, BoundedWhenMoreBlocksComeBackThanItKeeps) {
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < 40; ++i) blocks.push_back(PoolAlloc(4096 + i));
  for (std::size_t i = 0; i < blocks.size(); ++i) PoolFree(blocks[i], 4096 + i);
  EXPECT_LE(PoolCachedBlocks(), 8u);
  // Blocks over the size cap are never kept.
  const std::size_t before = PoolCachedBlocks();
  PoolFree(PoolAlloc(std::size_t{4} << 20), std::size_t{4} << 20);
  EXPECT_EQ(PoolCachedBlocks(), before);
}

// zlib's blocks come back zero-filled even when the memory is reused.
TEST(BufferPool, CodecAllocZeroFillsReusedMemory) {
  auto* p = static_cast<std::uint8_t*>(CodecAlloc(0, 16, 1000));
  std::memset(p, 0xAB, 16000);
  CodecFree(0, p);
  auto* q = static_cast<std::uint8_t*>(CodecAlloc(0, 1000, 16));
  for (std::size_t i = 0; i < 16000; ++i) ASSERT_EQ(q[i], 0) << i;
  CodecFree(0, q);
  CodecFree(0, nullptr);
}

}  // namespace
}  // namespace qmx
