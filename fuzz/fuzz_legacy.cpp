// Shrink and Reduce over arbitrary bytes. The first byte picks the Reduce
// factor and whether the output is capped; the rest is the packed data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "archive/zip/legacy_decoders.h"

namespace {

using namespace qmx;

void Run(const std::uint8_t* data, std::size_t size, int method, std::int64_t limit) {
  TMemoryStream32 src;
  src.Write(data, static_cast<std::int64_t>(size));
  src.SetPosition(0);
  // A packed size beyond the stream exercises the short-source path.
  TLegacyInput in(src, static_cast<std::int64_t>(size) + (method & 1));
  std::int64_t written = 0;
  TLegacyOutput out(
      [&](const void*, std::int64_t n) {
        if (n <= 0 || n > TLegacyOutput::kBufferSize) std::abort();
        written += n;
        return n;
      },
      limit);
  const TLegacyResult r = method == 1 ? UnShrink(in, out) : UnReduce(in, out, method - 1);
  if (limit >= 0 && written > limit) std::abort();
  if (r == lrOk && written != out.Total()) std::abort();
  if (r != lrOk && LegacyErrorCode(r) == 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t sel = data[0];
  // Capped runs use a small limit; uncapped ones show that the packed size
  // alone bounds the work.
  const std::int64_t limit = (sel & 0x80) ? -1 : (sel & 0x7F) * 1024;
  Run(data + 1, size - 1, 1, limit);
  Run(data + 1, size - 1, 2 + (sel >> 2) % 4, limit);
  return 0;
}
