// The central-directory search alone, over arbitrary bytes in memory: many
// end records, lying sizes and offsets, Zip64 records. What it answers must
// point inside the file and agree with itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "archive/codec/streams.h"
#include "archive/zip/zip_locate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qmx::TMemoryStream32 s;
  if (size) s.Write(data, static_cast<std::int64_t>(size));
  s.Seek(3, qmx::soFromBeginning);
  qmx::TZipLocation loc;
  const std::int64_t pos = qmx::LocateCentralDirectory(s, loc);
  const auto n = static_cast<std::int64_t>(size);
  if (pos != loc.Position || pos < -1 || (n > 0 && pos >= n)) std::abort();
  if (s.Position() != (n >= 3 ? 3 : s.Position())) std::abort();
  // A directory found is one that was trusted; an untrusted one leaves
  // only the local headers.
  if (loc.CentralDamaged && loc.HeaderFlags.Has(qmx::htCentral)) std::abort();
  if (loc.HeaderFlags.Has(qmx::htEnding) &&
      (loc.EndPosition < 0 || loc.EndPosition >= n || loc.CommentPosition > n))
    std::abort();
  return 0;
}
