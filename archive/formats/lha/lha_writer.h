// TLha writes LHA archives on the compression framework: a level-0 header
// per entry ("\" separators in the name), the data stored ("-lh0-") or
// coded ("-lh5-", "-lh6-"), each protected by a CRC-16; empty directories
// are "-lhd-" entries. A name too long for a level-0 header gets a level-1
// header with the name in extended headers. Existing archives of any
// header level are updated; their entries are copied as they are.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/base/compress_framework.h"
#include "archive/formats/lha/lha_header.h"

namespace qmx {

// What OnRead reports about an entry.
struct TLhaListedEntry {
  std::string FileName;  // platform form
  std::uint32_t DosDate = 0;
  std::int64_t PackedSize = 0;
  std::int64_t UnpackedSize = 0;
  std::uint16_t Crc = 0;
  std::string MethodName;
  int Method = 0;  // the method id's digit ('5'), 'd' for a directory
  std::uint32_t Attributes = 0;
  int Ratio = 0;
  std::int64_t Position = 0;
};

class TLha : public TCompBase {
 public:
  // The fixed part of a level-0 header with its CRC-16, and the record the
  // framework keeps per new entry.
  static constexpr int kFixedHeadSize = 24;
  static constexpr int kHeadSize = 37;

  TLha();
  ~TLha() override;

  // The writer's own type is kept whatever is assigned.
  void SetArcType(TArcType value) override;

  const TLhaListedEntry& ListedEntry() const { return FListed; }
  // The stored name of the entry written last, as it went into its header.
  const std::string& EntryArchiveName() const { return FEntryStoredName; }

 protected:
  int GetHeadSize() override { return kHeadSize; }
  std::uint8_t* GetHeadPtr() override { return FHead.data(); }
  void InitLocalHeader(TByteBlock& header, const TSearchRec& info) override;
  void MakeCentralHeader(std::size_t index, std::uint32_t attributes, TWorkList& list) override;
  void ReadDirectory(TStream32& oldArchive, TWorkList& list) override;
  void LoadEntryHeader(TByteBlock& block, std::size_t index, TEntryHeaderInfo& info) override;
  std::int64_t GetEntryLength(std::size_t index) override;
  void CopyEntryNewName(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                        std::size_t index) override;
  bool WriteEntry(TStream32& newArchive, std::size_t index, TWorkList& list) override;
  void AfterEntry(std::size_t index, bool success, TWorkList& list) override;
  bool WriteCentralDirectory(TStream32& newArchive, TWorkList& list) override;
  void AfterUpdate(TWorkList& list) override;
  bool ReadEntryHeader(TStream32& archive, std::size_t index, bool first) override;

 private:
  // Writes the header at pos; raises 25136 on a short write.
  void PutHeader(TStream32& out, std::int64_t pos, const std::vector<std::uint8_t>& header);
  // Codes the source into out after the header; the result of the coder.
  int CodeEntry(TStream32& source, TStream32& out, const char* method);
  void FillListed(const TLhaHeader& h, const std::string& name);

  std::array<std::uint8_t, kHeadSize> FHead{};
  TLhaNewHeader FNew;
  std::vector<std::uint8_t> FHeader;  // the header of the entry written last
  std::uint16_t FWrittenCrc = 0;
  std::int64_t FNextHeader = 0;
  TLhaListedEntry FListed;
};

}  // namespace qmx
