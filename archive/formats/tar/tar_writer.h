// TTar writes tar archives on the compression framework: every file is one
// 512-byte header block and its data padded to 512, a directory is a header
// alone, and the archive is padded with zeros to a multiple of 10240 bytes.
// Headers carry the GNU magic ("ustar" and two spaces), so a name over 100
// bytes goes before its header as a GNU long-name entry ("././@LongLink",
// type "L"), and a size of 8 GiB or more is written in base-256.
//
// With cmTarGzip the finished tar is compressed into a ".gz" beside it by
// TGZip; the tar stays.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "archive/base/compress_framework.h"
#include "archive/formats/tar/tar_header.h"

namespace qmx {

inline constexpr std::size_t kTarNameField = 100;

// Entry name as written: "/" separators, a directory ending in "/".
std::string TarEntryName(const std::string& storedName, bool isDir, bool translate);

// What OnRead reports about an entry.
struct TTarListedEntry {
  std::string FileName;  // platform form
  std::uint32_t DosDate = 0;
  std::int64_t PackedSize = 0;
  std::int64_t UnpackedSize = 0;
  std::uint32_t Crc = 0;  // the header checksum
  std::string MethodName;
  std::int64_t Position = 0;
};

class TTar : public TCompBase {
 public:
  TTar();
  ~TTar() override;

  // The writer's own type is kept whatever is assigned.
  void SetArcType(TArcType value) override;

  std::uint8_t UnixUID = 2;
  std::uint8_t UnixGID = 2;
  std::string UnixUName = "root";
  std::string UnixGName = "root";

  // cmTarGzip: compresses the finished tar into name.
  void PostProcess(const std::string& name) override;

  const TTarListedEntry& ListedEntry() const { return FListed; }

  // Fills h for a new entry (checksum included); name in archive form.
  void FillHeader(TTarHeader& h, const std::string& name, bool isDir, std::int64_t size,
                  std::time_t mtime) const;

 protected:
  int GetHeadSize() override { return static_cast<int>(kTarBlock); }
  std::uint8_t* GetHeadPtr() override { return FHeader.data(); }
  void InitLocalHeader(TByteBlock& header, const TSearchRec& info) override;
  void MakeCentralHeader(std::size_t index, std::uint32_t attributes, TWorkList& list) override;
  void ReadDirectory(TStream32& oldArchive, TWorkList& list) override;
  void LoadEntryHeader(TByteBlock& block, std::size_t index, TEntryHeaderInfo& info) override;
  void CopyEntry(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                 std::size_t index) override;
  void CopyEntryNewName(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                        std::size_t index) override;
  bool WriteEntry(TStream32& newArchive, std::size_t index, TWorkList& list) override;
  void AfterEntry(std::size_t index, bool success, TWorkList& list) override;
  bool WriteCentralDirectory(TStream32& newArchive, TWorkList& list) override;
  void AfterUpdate(TWorkList& list) override;
  bool ReadEntryHeader(TStream32& archive, std::size_t index, bool first) override;

 private:
  // Writes the long-name entry (when needed) and the header; raises 25136
  // on a short write.
  void WriteHeaderWithName(TStream32& out, TTarHeader& h, const std::string& name);
  void WriteZeros(TStream32& out, std::int64_t count);
  void FillListed(const TTarHeader& h, const std::string& name, std::int64_t position);

  TTarHeader FHeader{};
  std::int64_t FNextHeader = 0;
  std::uint32_t FEntryChecksum = 0;
  TTarListedEntry FListed;
};

}  // namespace qmx
