// TUnBh reads BH archives, also behind a self-extractor stub: stored
// entries, fused ones (LHA blocks with an 8 KiB or 16 KiB window, methods 1
// and 3), deflated ones (methods 2 and 8), and entries enciphered with the
// traditional ZIP cipher, whose passwords are found as the ZIP reader finds
// them. A header length of 0 ends the archive.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/base/extract_framework.h"
#include "archive/codec/zip_crypt.h"
#include "archive/formats/bh/bh_header.h"

namespace qmx {

struct TBhEntryItem {
  TBhHeader Head;
  std::int64_t Header = 0;  // position of the 37-byte record
  std::int64_t Data = 0;    // position of the data (encryption header included)
  std::string RawName;      // as stored
  std::string Name;         // platform form
  // The archive ends inside the entry's data.
  bool Truncated = false;
  bool IsDirectory() const;
};

class TUnBh : public TUnBase {
 public:
  TUnBh();
  ~TUnBh() override;

  const std::vector<TBhEntryItem>& Entries() const { return FEntries; }

 protected:
  void ReadArchive(std::unique_ptr<TFileStream32>& archive) override;
  bool VerifyPassword(const std::uint8_t header[12]) override;

  // Builds the entry list from the archive's data start; returns the number
  // of selected entries.
  int ListBh(TStream& archive);
  void ExtractEntry(TStream& archive, const TBhEntryItem& item);
  void DescribeEntry(const TBhEntryItem& item);
  void RefuseEntry(const TBhEntryItem& item, int code, const std::string& reason);
  // Decodes the entry's data into out; false when the data is damaged.
  bool DecodeEntry(TStream& archive, TFileStream32* out, const TBhEntryItem& item);
  // Through the CRC and the size cap; false when the output failed or
  // the entry produced more than its header says.
  bool WriteDecoded(TFileStream32* out, const void* buf, std::int64_t count);

  std::vector<TBhEntryItem> FEntries;
  std::unique_ptr<TZipCrypt> FCrypt;
  const TBhEntryItem* FItem = nullptr;
  std::int64_t FDecoded = 0;
  bool FOutputFailed = false;
  bool FSizeExceeded = false;
};

}  // namespace qmx
