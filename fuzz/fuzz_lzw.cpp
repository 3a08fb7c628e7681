// The compress decoder on arbitrary code streams: the first byte is the
// flags byte, the rest the codes.
#include <cstddef>
#include <cstdint>

#include "archive/codec/lzw.h"
#include "archive/codec/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  qmx::TMemoryStream32 src;
  src.Write(data + 1, static_cast<std::int64_t>(size - 1));
  src.Seek(0, qmx::soFromBeginning);
  qmx::TLegacyInput in(src, src.Size());
  std::int64_t total = 0;
  qmx::UnLzwDecode(
      in,
      [&](const void*, std::int64_t n) {
        total += n;
        return n;
      },
      data[0]);
  return 0;
}
