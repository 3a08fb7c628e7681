// 7z coder chains on arbitrary bytes. The first bytes pick the main
// decoder, up to two filters above it and the declared size; the rest is
// the packed data, handed over in uneven pieces. The output must never
// pass the declared size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "archive/codec/sevenzip_coders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qmx;
  if (size < 4) return 0;
  // Small dictionaries keep each run fast; the sizes are still hostile.
  static const T7zCoder kMain[] = {
      {0x00, {}},
      {0x030101, {0x5D, 0x00, 0x00, 0x01, 0x00}},
      {0x030101, {0x00, 0x00, 0x10, 0x00, 0x00}},
      {0x21, {0x08}},
      {0x040108, {}},
      {0x040109, {}},
      {0x040202, {}},
      {0x04F71101, {}},
  };
  static const T7zCoder kFilters[] = {
      {0x03030103, {}},
      {0x03030205, {}},
      {0x03030401, {}},
      {0x03030501, {}},
      {0x03030701, {}},
      {0x03030805, {}},
      {0x0A, {}},
      {0x0B, {}},
      {0x03, {0x03}},
      {0x0A, {0x10, 0x00, 0x01, 0x00}},
      {0x0B, {0x02, 0x00, 0x00, 0x00}},
      {0x03030103, {0xFF, 0xFF, 0xFF, 0xFF}},
  };
  constexpr std::size_t kFilterCount = sizeof kFilters / sizeof kFilters[0];
  const std::uint8_t sel = data[0];
  std::vector<T7zCoder> chain;
  for (int k = 0; k < (sel >> 6); ++k) chain.push_back(kFilters[data[1 + k] % kFilterCount]);
  chain.push_back(kMain[sel & 7]);
  const std::uint64_t declared = (static_cast<std::uint64_t>(data[3]) << 10) | ((sel >> 3) & 7);
  const std::vector<std::uint64_t> sizes(chain.size(), declared);
  std::size_t at = 4;
  std::uint64_t written = 0;
  const TLibraryResult r = Decode7zChain(
      chain, sizes,
      [&](void* buf, std::int64_t n) {
        const std::size_t take = std::min<std::size_t>(
            {static_cast<std::size_t>(n), size - at, static_cast<std::size_t>(1 + at % 501)});
        std::memcpy(buf, data + at, take);
        at += take;
        return static_cast<std::int64_t>(take);
      },
      [&](const void*, std::int64_t n) {
        if (n <= 0) std::abort();
        written += static_cast<std::uint64_t>(n);
        return true;
      },
      nullptr);
  if (r > lrStopped) std::abort();
  if (written > declared) std::abort();
  if (r == lrDone && written != declared) std::abort();
  return 0;
}
