// TGZip compresses every file the scanner finds into a gzip file of its own
// (one RFC 1952 member: header with the file's name and time, Deflate data,
// CRC-32 and size). There is no archive to update, so it runs its own loop
// instead of the framework's.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>

#include "archive/base/compress_framework.h"

namespace qmx {

// How an output name is formed from its source's name.
enum TGZipExt : std::uint8_t { exNone, exAppendGZ, exUnderScore };

// The 10-byte member header: magic, Deflate, FNAME, mtime, XFL 0, OS 0.
std::array<std::uint8_t, 10> GZipMemberHeader(std::uint32_t mtime);

// What OnRead reports about the member just written.
struct TGZipListedEntry {
  std::string FileName;
  std::uint32_t DosDate = 0;
  std::int64_t PackedSize = 0;
  std::int64_t UnpackedSize = 0;
  std::uint32_t Crc = 0;
  std::string MethodName;
  int Ratio = 0;
};

class TGZip : public TCompBase {
 public:
  TGZip();
  ~TGZip() override;

  TGZipExt Extension = exAppendGZ;

  // Slashes become the delimiter, a name without extension gets DefaultExt;
  // no type detection.
  void SetArchiveFile(const std::string& name) override;
  // The tar writer's gzip step: outputs are named source name + DefaultExt.
  void SetNameAfterArchive(bool on) { FNameAfterArchive = on; }
  bool NameAfterArchive() const { return FNameAfterArchive; }

  // Output name for source s in directory dir (with its delimiter).
  std::string OutputNameFor(const std::string& dir, const std::string& s) const;

  int Compress() override;

  const TGZipListedEntry& ListedEntry() const { return FListed; }

 protected:
  int GetHeadSize() override { return 0; }
  std::uint8_t* GetHeadPtr() override { return nullptr; }
  bool WriteEntry(TStream32& newArchive, std::size_t index, TWorkList& list) override;

 private:
  struct TSource {
    std::string Path;
    std::string Root;
    TSearchRec Rec;
  };
  // Compresses source into output; false when it was not written.
  bool CompressOne(const TSource& source, const std::string& output, std::uint32_t& crc);

  bool FNameAfterArchive = false;
  TGZipListedEntry FListed;
};

}  // namespace qmx
