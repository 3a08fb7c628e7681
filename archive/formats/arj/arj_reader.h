// TUnARJ reads ARJ archives, plain or behind a self-extractor stub, and
// multi-volume sets (.arj, .a01, .a02 ...): methods 0 to 4, directories,
// archive and file comments, CRC-32 verdicts. Entries garbled with ARJ's
// old cipher are deciphered with a password that reproduces their CRC;
// those of the GOST ciphers are refused as unsupported.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/base/extract_framework.h"
#include "archive/formats/arj/arj_header.h"

namespace qmx {

// One listed entry (or part of an entry split over volumes).
struct TArjEntryItem {
  TArjHeader Head;
  std::string Name;  // platform form, "/" separators
  std::string Comment;
  bool Truncated = false;  // the volume ends inside its data
};

class TUnARJ : public TUnBase {
 public:
  // The archive comment of the last run (empty when none).
  const std::string& ArchiveComment() const { return FArchiveComment; }
  // The entries of the last volume read, with their file comments.
  const std::vector<TArjEntryItem>& Entries() const { return FEntries; }

 protected:
  void ReadArchive(std::unique_ptr<TFileStream32>& archive) override;
  // ARJ's garble has no check value: a password is right when the entry
  // deciphers to its CRC.
  bool VerifyPassword(const std::uint8_t header[12]) override;

 private:
  // The part of a split entry still being written.
  struct TOpenSplit {
    std::unique_ptr<TFileStream32> Out;
    std::string Name;
    std::int64_t Written = 0;
    std::uint32_t DosDate = 0;
    std::uint32_t Attributes = 0;
    bool Pass = true;
  };

  // Reads the main header of a volume into FMain; false when there is none.
  bool ReadMainHeader(TStream& archive, std::int64_t from, bool searchAll);
  // Lists the entries of the open volume; returns false on damage.
  bool ListVolume(TStream& archive);
  bool OpenVolume(std::unique_ptr<TFileStream32>& archive, int index);
  void ExtractEntry(TStream& archive, const TArjEntryItem& item);
  void ContinueSplit(TStream& archive, const TArjEntryItem& item);
  void FinishSplit(bool pass, int failCode);
  // Decodes one part into out; fills pass with its CRC verdict.
  int DecodePart(TStream& archive, const TArjEntryItem& item, TFileStream32* out,
                 const std::string& password, bool trial, bool& crcPass, std::int64_t& written);
  void DescribeEntry(const TArjEntryItem& item);
  void RefuseEntry(const TArjEntryItem& item, int code, const std::string& reason);

  TArjHeader FMain;
  std::string FArchiveComment;
  std::vector<TArjEntryItem> FEntries;
  std::vector<std::pair<std::string, std::uint32_t>> FMadeDirs;
  TOpenSplit FSplit;
  bool FSplitOpen = false;
  // The entry VerifyPassword tries passwords on.
  TStream* FTrialArchive = nullptr;
  const TArjEntryItem* FTrialItem = nullptr;
};

}  // namespace qmx
