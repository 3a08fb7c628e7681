// Implode decoding of arbitrary bytes. The first byte picks the dictionary,
// the literal tree and the uncompressed size; the rest is the packed data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "archive/codec/explode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qmx;
  if (size == 0) return 0;
  const std::uint8_t sel = data[0];
  TImplodeEntry entry;
  entry.Flags = sel & 6;
  entry.PackedSize = static_cast<std::int64_t>(size - 1) + (sel & 1);
  entry.UnpackedSize = (sel >> 3) * 8192 + (sel & 1);
  TMemoryStream32 src;
  src.Write(data + 1, static_cast<std::int64_t>(size - 1));
  src.SetPosition(0);
  TLegacyInput in(src, entry.PackedSize);
  std::int64_t written = 0;
  const int r = ExplodeEntry(
      in,
      [&](const void*, std::int64_t n) {
        if (n <= 0 || n > 32768) std::abort();
        written += n;
        return n;
      },
      entry);
  if (written > entry.UnpackedSize) std::abort();
  if (r == wrOk && written != entry.UnpackedSize) std::abort();
  if (r < wrCanceled || r > wrOk) std::abort();
  return 0;
}
