// Work buffers of a few fixed sizes (codec I/O buffers, decoder windows,
// zlib's state) are wanted again by every entry. Freed ones are kept in a
// small per-thread cache: otherwise the allocator hands the memory back to
// the kernel after each entry and the next one faults it in again, which
// costs more than the data of a small entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qmx {

// Uninitialised memory of size bytes, or nullptr when there is none.
void* PoolAlloc(std::size_t size) noexcept;
// Takes back a block PoolAlloc gave out for the same size.
void PoolFree(void* p, std::size_t size) noexcept;
// Blocks the calling thread keeps for reuse (for tests).
std::size_t PoolCachedBlocks() noexcept;

struct TPoolDeleter {
  std::size_t Size = 0;
  void operator()(std::uint8_t* p) const noexcept { PoolFree(p, Size); }
};
using TPoolBuffer = std::unique_ptr<std::uint8_t[], TPoolDeleter>;

// A buffer of size bytes; throws std::bad_alloc when there is no memory.
TPoolBuffer MakePoolBuffer(std::size_t size);

}  // namespace qmx
