// TBlakHole writes BH archives on the compression framework. Entries have
// no directory and no end record: each is its 37-byte header, the name and
// the data, stored, deflated (raw Deflate) or fused (the LHA coder with a
// 16 KiB window). With a Password the data is enciphered with the
// traditional ZIP cipher behind its 12-byte header. Entries of an existing
// archive are walked header by header and copied unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "archive/base/compress_framework.h"
#include "archive/codec/zip_crypt.h"
#include "archive/formats/bh/bh_header.h"

namespace qmx {

// What OnRead reports about an entry.
struct TBhListedEntry {
  std::string FileName;  // platform form
  std::uint8_t Version = 0;
  std::uint8_t Version2 = 0;
  std::int64_t PackedSize = 0;  // less the encryption header
  std::int64_t UnpackedSize = 0;
  std::uint32_t Crc = 0;
  bool Encrypted = false;
  std::string MethodName;
  int Method = 0;
  std::uint32_t Attributes = 0;
  int Ratio = 0;
  std::uint32_t DosDate = 0;
  std::int64_t Position = 0;  // of the entry's header
};

// Flag bits 1-2 of a deflated entry for a Deflate level.
std::uint8_t BhDeflateFlags(TDeflateType type);

class TBlakHole : public TCompBase {
 public:
  TBlakHole();
  ~TBlakHole() override;

  // The writer's own type is kept whatever is assigned.
  void SetArcType(TArcType value) override;

  const TBhListedEntry& ListedEntry() const { return FListed; }
  // The header of the entry written last.
  const TBhHeader& CurrentHeader() const { return FHead; }

 protected:
  int GetHeadSize() override { return static_cast<int>(kBhHeadSize); }
  std::uint8_t* GetHeadPtr() override;
  void InitLocalHeader(TByteBlock& header, const TSearchRec& info) override;
  void ResetLocalHeader(std::size_t index) override;
  void FinishLocalHeader(std::int64_t packedSize, std::int64_t unpackedSize) override;
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
  std::int64_t SelfExtractorStubLength() override;
  bool FirstListedEntry(std::string& name, TStream32& archive, TWorkList& list) override;
  bool ReadEntryHeader(TStream32& archive, std::size_t index, bool first) override;

 private:
  // How the data of the entry being written went out.
  enum TBhData { bdStored, bdDeflated, bdFused, bdFailed };

  // Where the entries of archive begin: 0, or behind a self-extractor stub.
  std::int64_t DataStartOf(TStream32& archive);
  void WriteAll(TStream32& out, const void* buf, std::int64_t n);
  void WriteHeaderAndName(TStream32& out);
  // The data of a file entry, from the data start on; the CRC and the
  // cipher stand where the data starts.
  TBhData WriteDeflated(TStream32& source, TStream32& out);
  TBhData WriteFused(TStream32& source, TStream32& out);
  bool WriteStored(TStream32& source, TStream32& out);
  // Back to the data start for storing instead.
  void Rewind(TStream32& source, TStream32& out);
  void FillListed(const TBhHeader& h, const std::string& name, std::int64_t position);

  std::array<std::uint8_t, kBhHeadSize> FHeadBytes{};
  TBhHeader FHead;
  std::uint8_t FEntryMethod = kBhMethodDeflate;
  std::uint32_t FEntryCrcValue = 0;
  std::int64_t FEntryRead = 0;  // bytes of the source coded
  std::unique_ptr<TZipCrypt> FCrypt;
  TZipKeys FDataKeys;  // the cipher state where the data starts
  std::int64_t FBytesToDoAtData = 0;
  bool FEntryOk = false;
  int FDeleteCount = 0;
  std::int64_t FNextHeader = 0;
  TBhListedEntry FListed;
};

}  // namespace qmx
