// TUnArc reads SEA ARC archives, plain or behind a self-extractor stub:
// entries of methods 1 to 4, 8 and 9 with their CRC-16 verdicts; the old
// crunching methods 5 to 7 are refused per entry as unsupported.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/base/extract_framework.h"

namespace qmx {

// One entry header: 0x1A, the method, a 13-byte name, then the packed
// size, DOS date and time, CRC-16 and (not for method 1) the original size.
struct TArcHeader {
  int Method = 0;
  std::string Name;  // as stored, up to its NUL
  std::uint32_t PackedSize = 0;
  std::uint32_t OriginalSize = 0;
  std::uint16_t Date = 0;
  std::uint16_t Time = 0;
  std::uint16_t Crc = 0;
  std::int64_t HeaderAt = 0;
  std::int64_t DataAt = 0;

  std::uint32_t DosDate() const { return static_cast<std::uint32_t>(Date) << 16 | Time; }
  std::int64_t Next() const { return DataAt + PackedSize; }
};

class TUnArc : public TUnBase {
 public:
  // The entries of the last run, in archive order.
  const std::vector<TArcHeader>& Entries() const { return FEntries; }

 protected:
  void ReadArchive(std::unique_ptr<TFileStream32>& archive) override;

 private:
  // Lists the entries; false when the walk stopped at damage.
  bool ListEntries(TStream& archive);
  void ExtractEntry(TStream& archive, const TArcHeader& h);
  void RefuseEntry(const TArcHeader& h, int code, const std::string& reason);

  std::vector<TArcHeader> FEntries;
};

}  // namespace qmx
