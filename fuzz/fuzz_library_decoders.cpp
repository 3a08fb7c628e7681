// The adapters over libbz2, liblzma and libzstd on arbitrary bytes. The
// first byte picks the method and the declared size; the rest is the
// packed data, handed over in small pieces.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "archive/codec/library_decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qmx;
  if (size == 0) return 0;
  static const int kMethods[] = {kZipMethodBZip2, kZipMethodLzma, kZipMethodZstd, kZipMethodXz};
  const int method = kMethods[data[0] & 3];
  const std::uint64_t declared = static_cast<std::uint64_t>(data[0] >> 2) << 12;
  std::size_t at = 1;
  std::uint64_t written = 0;
  // The reader stops what a lying entry gives past 4 MiB.
  constexpr std::uint64_t kCap = 4u << 20;
  const TLibraryResult r = DecodeLibraryMethod(
      method, declared,
      [&](void* buf, std::int64_t n) {
        const std::size_t take = std::min<std::size_t>({static_cast<std::size_t>(n), size - at,
                                                        static_cast<std::size_t>(1 + at % 777)});
        std::memcpy(buf, data + at, take);
        at += take;
        return static_cast<std::int64_t>(take);
      },
      [&](const void*, std::int64_t n) {
        if (n <= 0) std::abort();
        written += static_cast<std::uint64_t>(n);
        return written <= kCap;
      },
      nullptr);
  if (r > lrStopped) std::abort();
  if (r != lrStopped && written > kCap) std::abort();
  return 0;
}
