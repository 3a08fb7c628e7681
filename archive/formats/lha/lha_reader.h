// TUnLha reads LHA and LZH archives, plain or behind a self-extractor
// stub: header levels 0 to 3, directory and file names from extended
// headers, every method the LHA decoders know, CRC-16 verdicts. Symbolic
// links (Unix "name|target" entries) are reported and never created.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/base/extract_framework.h"
#include "archive/formats/lha/lha_header.h"

namespace qmx {

// One listed entry.
struct TLhaEntryItem {
  TLhaHeader Head;
  std::string Name;        // platform form, "/" separators; a directory ends in "/"
  bool Truncated = false;  // the archive ends inside its data
};

class TUnLha : public TUnBase {
 public:
  const std::vector<TLhaEntryItem>& Entries() const { return FEntries; }

 protected:
  void ReadArchive(std::unique_ptr<TFileStream32>& archive) override;

  // Where the first header is: the detected position, or the first valid
  // header after it (a stub may hold "-lh" text of its own).
  std::int64_t FindFirstHeader(TStream& archive, std::int64_t from);
  // Builds the entry list; returns the number of selected entries.
  int ListLha(TStream& archive);
  void ExtractEntry(TStream& archive, const TLhaEntryItem& item);
  void DescribeEntry(const TLhaEntryItem& item);
  void RefuseEntry(const TLhaEntryItem& item, int code, const std::string& reason);

  std::vector<TLhaEntryItem> FEntries;
  std::vector<std::pair<std::string, std::uint32_t>> FMadeDirs;
};

}  // namespace qmx
