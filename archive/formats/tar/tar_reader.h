// TUnTar reads uncompressed tar archives: v7, ustar, GNU and pax headers.
// Long names come from GNU "L" records, the ustar prefix and pax "path"
// records; links, devices and FIFOs are reported and never created.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/base/extract_framework.h"
#include "archive/formats/tar/tar_header.h"

namespace qmx {

// One listed entry, with everything its extended headers said.
struct TTarEntryItem {
  std::int64_t Header = 0;  // position of the entry's own header block
  std::int64_t Data = 0;    // position of its data
  std::int64_t Size = 0;
  std::string Name;  // after NameToWindows
  char Type = '0';
  std::int64_t MTime = 0;
  std::uint32_t Mode = 0;
  std::string LinkName;
  // The archive ends inside the entry's data.
  bool Truncated = false;
  // A file without a name: it cannot be extracted, and saying nothing
  // would lose its data silently.
  bool Unnamed = false;
  bool IsDirectory() const { return Type == '5'; }
  // Links, devices, FIFOs and GNU sparse or multi-volume pieces.
  bool IsSpecial() const;
};

class TUnTar : public TUnBase {
 public:
  const std::vector<TTarEntryItem>& Entries() const { return FEntries; }

 protected:
  void ReadArchive(std::unique_ptr<TFileStream32>& archive) override;

  // Builds the entry list; returns the number of selected entries.
  int ListTar(TStream& archive);
  void ExtractTarEntries(TStream& archive);
  void ExtractEntry(TStream& archive, const TTarEntryItem& item);
  void DescribeEntry(const TTarEntryItem& item);
  // Fails the current entry with code, decoding nothing.
  void RefuseEntry(const TTarEntryItem& item, int code, const std::string& reason);

  std::vector<TTarEntryItem> FEntries;
  // Directories created in this run, with the time each is to get.
  std::vector<std::pair<std::string, std::uint32_t>> FMadeDirs;
};

}  // namespace qmx
