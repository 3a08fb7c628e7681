#include "archive/codec/buffer_pool.h"

#include <array>
#include <cstdlib>
#include <new>

namespace qmx {
namespace {

// Enough for the buffers one entry holds at a time; larger blocks and any
// beyond the slots go straight back to the allocator.
constexpr std::size_t kSlots = 8;
constexpr std::size_t kMaxCached = std::size_t{1} << 20;

struct TSlot {
  void* Block = nullptr;
  std::size_t Size = 0;
};

struct TCache {
  std::array<TSlot, kSlots> Slots;
  std::size_t Next = 0;  // slot given up when all are taken
  ~TCache() {
    for (auto& s : Slots) std::free(s.Block);
  }
};

thread_local TCache gCache;

}  // namespace

void* PoolAlloc(std::size_t size) noexcept {
  if (size == 0) size = 1;
  for (auto& s : gCache.Slots)
    if (s.Block && s.Size == size) {
      void* p = s.Block;
      s.Block = nullptr;
      return p;
    }
  return std::malloc(size);
}

void PoolFree(void* p, std::size_t size) noexcept {
  if (!p) return;
  if (size == 0) size = 1;
  if (size > kMaxCached) {
    std::free(p);
    return;
  }
  TSlot* slot = nullptr;
  for (auto& s : gCache.Slots)
    if (!s.Block) {
      slot = &s;
      break;
    }
  if (!slot) {
    // Full: the newest block is the likelier one to be asked for again.
    slot = &gCache.Slots[gCache.Next];
    gCache.Next = (gCache.Next + 1) % kSlots;
    std::free(slot->Block);
  }
  slot->Block = p;
  slot->Size = size;
}

std::size_t PoolCachedBlocks() noexcept {
  std::size_t n = 0;
  for (const auto& s : gCache.Slots) n += s.Block != nullptr;
  return n;
}

TPoolBuffer MakePoolBuffer(std::size_t size) {
  void* p = PoolAlloc(size);
  if (!p) throw std::bad_alloc();
  return TPoolBuffer(static_cast<std::uint8_t*>(p), TPoolDeleter{size});
}

}  // namespace qmx
