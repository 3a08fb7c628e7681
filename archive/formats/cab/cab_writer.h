// TMakeCab writes Microsoft Cabinet files through libgcab, MSZIP or stored.
// libgcab builds a cabinet in one go, so the run only collects its entries
// (files from disk, and the kept entries of an existing cabinet decoded to
// temporary files) and the cabinet is written where the directory would
// be. Names are stored with "\" (UTF-8 and flagged so when not ASCII);
// dates and attributes are kept. libgcab writes one folder per cabinet, and
// a folder holds at most 65535 blocks of 32 KiB: a file that would take
// the cabinet past that (any file over 2 GiB) is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/base/compress_framework.h"

struct mscabd_file;

namespace qmx {

class TCabLibrary;

class TMakeCab : public TCompBase {
 public:
  TMakeCab();
  ~TMakeCab() override;

  // The writer's own type is kept whatever is assigned.
  void SetArcType(TArcType value) override;
  int Compress() override;

  // What one cabinet folder can take (65535 blocks of 32 KiB).
  static constexpr std::int64_t kMaxFolderSize = std::int64_t(65535) * 32768;

 protected:
  int GetHeadSize() override;
  std::uint8_t* GetHeadPtr() override;
  void InitLocalHeader(TByteBlock& header, const TSearchRec& info) override;
  void ReadDirectory(TStream32& oldArchive, TWorkList& list) override;
  void LoadEntryHeader(TByteBlock& block, std::size_t index, TEntryHeaderInfo& info) override;
  std::int64_t GetEntryLength(std::size_t index) override;
  void CopyEntry(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                 std::size_t index) override;
  void CopyEntryNewName(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                        std::size_t index) override;
  bool WriteEntry(TStream32& newArchive, std::size_t index, TWorkList& list) override;
  void AfterEntry(std::size_t index, bool success, TWorkList& list) override;
  bool WriteCentralDirectory(TStream32& newArchive, TWorkList& list) override;
  void AfterUpdate(TWorkList& list) override;

 public:
  // The record each list entry carries.
  struct TCabRecord {
    std::uint32_t DosDate = 0;
    std::uint32_t Attributes = 0;
    std::int64_t Size = 0;
    std::int64_t OldIndex = -1;  // position in the old cabinet's file list
  };

  // An entry of the cabinet to write.
  struct TPending {
    std::string Source;  // file on disk (or decoded kept entry)
    std::string Name;    // as stored, "\" separated
    std::uint32_t DosDate = 0;
    std::uint32_t Attributes = 0;
    std::int64_t Size = 0;
  };

 private:
  // A kept entry of the old cabinet decoded into a temporary file, which
  // then joins the new cabinet under name.
  void KeepOldEntry(TWorkList& list, std::size_t index, const std::string& name);
  // Writes the collected entries as one cabinet into out.
  void WriteCabinet(TStream32& out);
  void RemoveTemporaries();
  // Forgets the collected entries and the old cabinet.
  void Reset();

  TCabRecord FHead;
  std::vector<TPending> FPending;
  std::int64_t FPendingSize = 0;
  std::unique_ptr<TCabLibrary> FOld;
  std::vector<mscabd_file*> FOldFiles;
  std::string FTempDir;  // our own, for decoded kept entries and the cabinet
  std::vector<std::string> FTemporaries;
  bool FEntryOk = false;
};

// Name of an entry as a cabinet stores it: "\" separators, no leading one.
std::string CabStoredName(const std::string& platformName);

}  // namespace qmx
