// LHA decoding of arbitrary bytes. The first byte picks the method and the
// original size (capped at 1 MiB); the rest is the packed data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "archive/codec/lha_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qmx;
  if (size == 0) return 0;
  static const TLhaMethod kMethods[] = {lmStored, lmLh1, lmLh4, lmLh5, lmLh6, lmLh7, lmLzs, lmLz5};
  const std::uint8_t sel = data[0];
  const TLhaMethod method = kMethods[sel & 7];
  // Mostly more than the data can give, sometimes less.
  const std::int64_t original = (sel >> 3) == 0 ? 1 : (std::int64_t{sel >> 3} << 15) + (sel & 1);
  TMemoryStream32 src;
  src.Write(data + 1, static_cast<std::int64_t>(size - 1));
  src.SetPosition(0);
  TLegacyInput in(src, static_cast<std::int64_t>(size - 1));
  std::int64_t written = 0;
  const int r = LhaDecode(
      in,
      [&](const void*, std::int64_t n) {
        if (n <= 0 || n > 65536) std::abort();
        written += n;
        return n;
      },
      method, original);
  if (written > original) std::abort();
  if (r == wrOk && written != original) std::abort();
  if (r != wrOk && r != wrBadData && r != wrInputShort) std::abort();
  return 0;
}
