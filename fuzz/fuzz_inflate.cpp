// Raw Deflate decoding through TDecompressStream: any input must end in a
// result (stream end or a negative code), never a crash, hang or overrun.
#include <cstddef>
#include <cstdint>

#include "archive/codec/codec_streams.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte picks the read size, so that refills fall everywhere.
  const std::int64_t chunk = 1 + static_cast<std::int64_t>(data[0]) * 97;
  qmx::TMemoryStream32 src;
  src.WriteBuffer(data + 1, static_cast<std::int64_t>(size - 1));
  src.SetPosition(0);
  qmx::TDecompressStream ds(src, -15);
  static std::uint8_t out[256 * 97 + 1];
  std::int64_t total = 0;
  for (int pass = 0; pass < 2; ++pass) {
    // Decoded output is bounded by the Deflate expansion limit.
    while (!ds.EndOfData() && total < (std::int64_t{1} << 26)) {
      const std::int64_t n = ds.Read(out, chunk);
      if (n <= 0) break;
      total += n;
    }
    ds.Seek(0, qmx::soFromBeginning);  // the restart must decode the same way
    total = 0;
  }
  return 0;
}
