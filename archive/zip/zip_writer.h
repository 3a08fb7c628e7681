// TZipBase writes ZIP archives on the compression framework; TZip and TJar
// are the published writer components, which differ only in their defaults.
//
// A new entry is written as local header, name, large-file field (when
// needed), encryption header (traditional cipher), data; the header is
// rewritten once sizes and CRC are known, so no data descriptor is ever
// written. Entries of an existing archive are listed from its central
// directory (or, when that is damaged, from its local headers) and copied
// byte for byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/base/compress_framework.h"
#include "archive/zip/zip_aes.h"
#include "archive/codec/zip_crypt.h"
#include "archive/zip/zip_locate.h"
#include "archive/zip/zip_records.h"

namespace qmx {

// What OnRead reports about an entry (listing after an update, or swRead).
struct TZipListedEntry {
  std::string FileName;  // stored name, platform form
  std::uint16_t VersionMadeBy = 0;
  std::uint16_t VersionNeeded = 0;
  bool Encrypted = false;
  TEncryptionMethod Encryption = emNone;
  std::int64_t PackedSize = 0;  // less the 12-byte header of a traditionally encrypted entry
  std::int64_t UnpackedSize = 0;
  std::uint32_t Crc = 0;
  std::string MethodName;
  std::uint32_t Attributes = 0;
  int Ratio = 0;
  std::uint32_t DosDate = 0;
  std::int64_t Position = 0;  // of the local header
};

// Files smaller than this are deflated in memory first: their deflated
// form may be larger than the file, and then they are stored.
inline constexpr std::int64_t kSmallFile = 257;

class TZipBase : public TCompBase {
 public:
  // The header record of an entry: its directory record (plain), then the
  // uncompressed and compressed size bits 32-47.
  static constexpr std::size_t kHeadSize = kZipCentralSize + 4;

  TZipBase();
  ~TZipBase() override;

  // The writer's own type is kept whatever is assigned.
  void SetArcType(TArcType value) override;

  int LeaveSpaceOnFirstDisk = 0;

  int Compress() override;

  // --- comments
  // ReadComments loads the archive comment and the entries' names and
  // comments of ArchiveFile; SetFileComment's index counts central
  // directory records. UpdateComments rewrites the directory alone when a
  // comment changed and returns the number of entries listed (0: nothing
  // done). A Compress run writes pending comments too.
  const std::string& ArchiveComment() const { return FArchiveComment; }
  void SetArchiveComment(const std::string& comment) override;
  void SetFileComment(std::size_t index, const std::string& comment) override;
  void ReadComments() override;
  void WriteComments() override;
  int UpdateComments() override;
  std::size_t CommentEntryCount() const { return FCommentNames.size(); }
  const std::string& CommentEntryName(std::size_t index) const { return FCommentNames.at(index); }
  std::string FileComment(std::size_t index) const;

  // The entry OnRead is raised for.
  const TZipListedEntry& ListedEntry() const { return FListed; }

 protected:
  int GetHeadSize() override { return static_cast<int>(kHeadSize); }
  std::uint8_t* GetHeadPtr() override { return FHeadRecord.data(); }
  void InitLocalHeader(TByteBlock& header, const TSearchRec& info) override;
  void ResetLocalHeader(std::size_t index) override;
  void FinishLocalHeader(std::int64_t packedSize, std::int64_t unpackedSize) override;
  void MakeCentralHeader(std::size_t index, std::uint32_t attributes, TWorkList& list) override;
  void ReadDirectory(TStream32& oldArchive, TWorkList& list) override;
  void LoadEntryHeader(TByteBlock& block, std::size_t index, TEntryHeaderInfo& info) override;
  std::int64_t GetEntryLength(std::size_t index) override;
  void CopyEntryNewName(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                        std::size_t index) override;
  void CompressEntries(TWorkList& list) override;
  bool WriteEntry(TStream32& newArchive, std::size_t index, TWorkList& list) override;
  void AfterEntry(std::size_t index, bool success, TWorkList& list) override;
  void WriteEmptyArchive(TStream32& newArchive) override;
  bool WriteCentralDirectory(TStream32& newArchive, TWorkList& list) override;
  void AfterUpdate(TWorkList& list) override;
  void ArrangeEntries(TWorkList& list) override;
  std::int64_t SelfExtractorStubLength() override;
  bool FirstListedEntry(std::string& name, TStream32& archive, TWorkList& list) override;
  bool NextListedEntry(std::string& name, TStream32& archive) override;

  bool IsJarWriter() const { return FOwnType == atJar; }
  TArcType FOwnType = atZip;

 private:
  // One record of an existing archive's directory, as loaded.
  struct TOldEntry {
    TZipCentralHeader Central;  // plain, 32-bit fields as stored
    std::string RawName;        // bytes as stored (deciphered)
    TByteBlock Extra;
    std::string Comment;
    TZipExtraInfo Info;
    bool Enciphered = false;
    std::int64_t Position = 0;  // local header, absolute in the file
    std::int64_t Length = 0;    // whole entry: header to the end of its data (descriptor too)
  };
  // Reads every directory record of archive into entries; false when none
  // could be found. Bounded by the file size.
  bool LoadDirectory(TStream& archive, std::vector<TOldEntry>& entries, TZipLocation& loc);
  bool LoadCentral(TStream& archive, const TZipLocation& loc, std::vector<TOldEntry>& entries);
  void LoadLocals(TStream& archive, std::int64_t start, std::vector<TOldEntry>& entries);
  // Length of the entry whose local header is at e.Position; 0 when the
  // header is missing or the entry runs past the end of the file.
  std::int64_t MeasureEntry(TStream& archive, TOldEntry& e, std::int64_t fileSize);

  std::string PlatformName(const std::string& raw, std::uint16_t flags) const;
  // Archive form of a stored name and whether it is written as UTF-8.
  std::string ArchiveName(const std::string& stored, bool& utf8) const;
  bool WriteAll(TStream32& s, const void* buf, std::int64_t n);
  // The large-file field after the name: written with the header (rewrite
  // false) and again with the final sizes; returns the bytes written.
  int WriteLargeFileField(TStream32& archive, std::size_t index, bool rewrite);
  void WriteLocalRecord(TStream32& s, const TZipLocalHeader& h, const std::string& name,
                        bool encipher);
  bool WriteDirectoryRecords(TStream32& out, TWorkList& list);
  void FillListed(const TZipCentralHeader& c, const TCompHeader& rec, const std::string& name);
  // Moves the entry at index to the front of the files added by this run.
  void PlaceManifestFirst(std::size_t index, TWorkList& list);

  std::array<std::uint8_t, kHeadSize> FHeadRecord{};

  // The entry being written.
  TZipLocalHeader FLocal;
  TZipCentralHeader FCentral;
  std::size_t FEntryIndex = 0;
  std::int64_t FEntryPacked = 0;
  bool FEntryEncipher = false;
  bool FEntryUtf8 = false;
  bool FEntryLargeReserved = false;
  std::uint32_t FEntryCrcValue = 0;
  std::unique_ptr<TZipCrypt> FCrypt;
  // AES entries: the kind (emNone otherwise) and the engine from the salt
  // to the authentication code.
  TEncryptionMethod FEntryAes = emNone;
  std::unique_ptr<TqmxAES> FAes;
  bool WriteAesExtra(TStream32& out);

  // Per run: stored bytes of every entry's name and lengths of old entries,
  // by work-list index.
  std::vector<std::string> FRawNames;
  std::vector<std::int64_t> FOldLength;
  bool FLargeArchive = false;
  bool FEmptyWritten = false;
  bool FManifestPlaced = false;
  TWorkList* FList = nullptr;
  std::size_t FFirstNewIndex = 0;
  int FDeletedCount = 0;
  int FNewNameCount = 0;

  // Comments.
  std::string FArchiveComment;
  bool FCommentChanged = false;
  std::map<std::size_t, std::string> FPendingFileComments;
  TStrings FCommentNames;
  TStrings FCommentTexts;

  // Listing.
  TZipListedEntry FListed;
  std::vector<TOldEntry> FListing;
  std::size_t FListingNext = 0;
};

class TZip : public TZipBase {
 public:
  TZip();
};

// A JAR: ".JAR" and atJar by default, and META-INF/MANIFEST.MF is written
// before every other file added.
class TJar : public TZipBase {
 public:
  TJar();
};

}  // namespace qmx
