// Deflate and Deflate64 decoding of arbitrary bytes. The first byte picks
// the mode and the output cap; the rest is the packed data.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/codec/inflate64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qmx;
  if (size == 0) return 0;
  const std::uint8_t sel = data[0];
  const bool deflate64 = sel & 1;
  // Capped runs use a small limit; uncapped ones show that the packed data
  // alone bounds the work.
  const std::int64_t limit = (sel & 0x80) ? -1 : ((sel >> 1) & 0x3F) * 4096;
  TMemoryStream32 src;
  src.Write(data + 1, static_cast<std::int64_t>(size - 1));
  src.SetPosition(0);
  // A packed size beyond the stream exercises the short-source path.
  TLegacyInput in(src, static_cast<std::int64_t>(size - 1) + ((sel >> 1) & 1));
  std::int64_t written = 0;
  std::vector<std::uint8_t> out;
  const int r = InflateEntry(
      in,
      [&](const void* p, std::int64_t n) {
        if (n <= 0 || n > 65536) std::abort();
        written += n;
        if (out.size() < (1u << 22)) {
          const auto* b = static_cast<const std::uint8_t*>(p);
          out.insert(out.end(), b, b + n);
        }
        return n;
      },
      deflate64, limit);
  if (limit >= 0 && written > limit) std::abort();
  if (r < wrCanceled || r > wrBadCounts) std::abort();
  if (src.Position() > static_cast<std::int64_t>(size - 1)) std::abort();
  // Plain mode must agree with zlib on every stream zlib decodes in full.
  if (!deflate64 && limit < 0 && out.size() < (1u << 22)) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) std::abort();
    std::vector<std::uint8_t> ref(1u << 22);
    z.next_in = const_cast<Bytef*>(data + 1);
    z.avail_in = static_cast<uInt>(size - 1);
    z.next_out = ref.data();
    z.avail_out = static_cast<uInt>(ref.size());
    const int zr = inflate(&z, Z_FINISH);
    if (zr == Z_STREAM_END &&
        (r != wrOk || z.total_out != out.size() ||
         (!out.empty() && std::memcmp(ref.data(), out.data(), out.size()) != 0)))
      std::abort();
    inflateEnd(&z);
  }
  return 0;
}
