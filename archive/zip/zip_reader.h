// TUnZip reads ZIP archives, TUnJar the same archives under the JAR name.
// The entry list comes from the central directory or, for an archive whose
// end is damaged, from a forward walk over the local headers. Each entry is
// then located, verified, deciphered and decoded through the extraction
// framework's per-entry order.
//
// Split archives (.z01, .z02, ..., .zip) switch volumes through
// OpenNextVolume; archives spanned over removable disks ask for their disks
// through a TDiskSpannObj.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/base/extract_framework.h"
#include "archive/zip/zip_locate.h"
#include "archive/zip/zip_records.h"

namespace qmx {

class TDiskSpannObj;
class TZipCrypt;
class TqmxAES;

// One selected entry of the archive being read.
struct TZipEntryItem {
  std::uint16_t Volume = 0;   // disk the local header is on
  std::int64_t Position = 0;  // of the local header on that disk
  std::uint32_t Attributes = 0;
  // The central name after NameToWindows (the output name comes from the
  // local header).
  std::string Name;
  // The entry's central header (the local header's values in the local-scan
  // mode) with the Zip64 values already substituted into the 32-bit fields.
  TZipCentralHeader Central;
  TZipExtraInfo Extra;
  TEncryptionMethod Encryption = emNone;
  // Local-scan mode: sizes follow the data and where the data ends could
  // not be found.
  bool SizeUnknown = false;
  // Its local header and data share bytes with another entry's or with the
  // central directory.
  bool Overlaps = false;
  // Where the next entry (or the central directory) on its disk begins:
  // the data as the local header places it must end there.
  std::int64_t DataLimit = INT64_MAX;

  // Type and permission bits where the entry's host is Unix, else 0.
  std::uint32_t UnixMode() const { return UnixModeOf(Central.VersionMadeBy, Attributes); }
  bool IsSymLink() const { return (UnixMode() & kUnixTypeMask) == kUnixTypeLink; }
};

class TUnZip : public TUnBase {
 public:
  TUnZip();
  ~TUnZip() override;

  // ZipCmntBufSize, OnCorruptZipHeader, OnGetZipFirstDisk, OnGetZipNextDisk
  // and OnGetZipLastDisk are inherited from TZipCommon.

  // Entries selected by the running extraction, in archive order (for
  // event handlers; the list is freed when the run ends).
  const std::vector<TZipEntryItem>& Entries() const { return FEntries; }
  // The directory test of extraction: a JAR entry by its trailing delimiter
  // alone; a ZIP entry by its attribute, its Unix type, or an empty entry
  // whose name ends in a delimiter (every other reader takes that for one).
  bool IsDirectoryEntry(const TZipEntryItem& item, const std::string& storedName) const;

 protected:
  void ReadArchive(std::unique_ptr<TFileStream32>& archive) override;
  bool VerifyPassword(const std::uint8_t header[12]) override;
  bool VerifyAesPassword(TStream& archive) override;

  // AES entries: the engine is made before the password is looked for; the
  // verdict is the authentication code after the data.
  void PrepareAes(TEncryptionMethod encryption, TStream* archive);
  void FinishAesEntry(std::unique_ptr<TFileStream32>& archive, std::unique_ptr<TFileStream32>& out);

  // Builds the entry list; true when at least one entry was selected.
  bool ReadCentralDirectory(std::unique_ptr<TFileStream32>& archive);
  bool ScanLocalHeaders(TFileStream32& archive);
  // Local-scan mode, sizes in a data descriptor: finds where the data at
  // dataPos ends, fills in CRC and sizes, and returns the position after
  // the descriptor (-1 when unknown).
  std::int64_t ResolveDescriptor(TFileStream32& archive, std::int64_t dataPos, TZipEntryItem& item);
  std::string StoredNameOf(const std::string& raw, std::uint16_t flags) const;
  static bool IsLocalHeaderAt(TStream& archive, std::int64_t pos);
  // Searches the 32 KiB after pos for a local header; returns the shift
  // minus one (as the recovery shift counts it) or -1.
  static std::int64_t RecoverLocalHeader(TStream& archive, std::int64_t pos);

  // The per-entry sequence; false when extraction has to stop.
  bool ExtractEntry(std::unique_ptr<TFileStream32>& archive, std::size_t index);
  // Whether a decoder exists for the method (after the AES field's real
  // method) and the encryption kind.
  virtual bool CanDecode(int method, TEncryptionMethod encryption) const;
  // Decodes the current entry's data from the archive's position into out
  // (nullptr for a test run). Throws E_RAISE on a decoder failure, after it
  // was reported.
  virtual void DecodeEntry(std::unique_ptr<TFileStream32>& archive, TFileStream32* out);

  // --- decoders; each consumes FPackedLeft bytes of entry data
  void DecodeStored(std::unique_ptr<TFileStream32>& archive, TFileStream32* out);
  void DecodeDeflated(std::unique_ptr<TFileStream32>& archive, TFileStream32* out);
  void DecodeLegacy(std::unique_ptr<TFileStream32>& archive, TFileStream32* out, int method);
  // Reads up to count bytes of the entry's remaining packed data, deciphered,
  // continuing on the next volume of a split or spanned archive.
  std::int64_t ReadEntryData(std::unique_ptr<TFileStream32>& archive, void* buf,
                             std::int64_t count);
  // Writes decoded bytes with CRC and progress; throws E_RAISE when the
  // write fails or the output would grow past the declared size (only the
  // bytes up to that size are written then).
  void WriteDecoded(TFileStream32* out, const void* buf, std::int64_t count, std::int64_t& done);
  // Marks the entries whose ranges overlap, from the central values.
  void MarkOverlaps(int directoryDisk, std::int64_t directoryStart, std::int64_t directoryEnd);
  // Fails the current entry with code, decoding nothing.
  void RefuseEntry(int code, const std::string& reason = "");
  // Fills EntryInfo from the central record of FItem.
  void DescribeEntry();
  // Reports a decoded entry whose output is not its declared size; true
  // when it did (and gave the verdict). A short entry whose CRC or
  // authentication failed is left to that verdict.
  bool SizeMismatch(bool verdictPassed);

  // Opens the volume with file index fileIndex (split: 1 for .z01, the last
  // index for .zip; spanned: the disk number); position is checked on a
  // spanned disk.
  bool OpenVolume(std::unique_ptr<TFileStream32>& archive, int fileIndex, std::int64_t position);
  bool ContinueOnNextVolume(std::unique_ptr<TFileStream32>& archive);
  bool IsSpanned() const { return FArcType == atZipDS || FArcType == atZipMV; }
  bool IsJar() const { return FArcType == atJar || FArcType == atJarExe; }

  std::vector<TZipEntryItem> FEntries;
  // The current entry.
  TZipLocalHeader FLocal;
  TZipEntryItem FItem;
  std::uint16_t FFlags = 0;
  std::uint16_t FMethod = 0;
  std::uint32_t FDosTime = 0;
  std::uint32_t FExpectedCrc = 0;
  std::int64_t FPackedSize = 0;
  std::int64_t FUnpackedSize = 0;
  std::int64_t FPackedLeft = 0;
  // The declared size in full (FUnpackedSize keeps 48 bits for progress),
  // the bytes decoded so far and whether the data ran past the size.
  std::int64_t FDeclaredSize = 0;
  std::int64_t FDecoded = 0;
  bool FSizeExceeded = false;
  // Disk number of the open volume (split and spanned archives).
  int FOpenVolume = -1;
  int FLastVolume = 0;
  bool FLocalScan = false;
  // The located end of the archive for the running extraction: taken from
  // the detection facts, completed here, and kept as facts for the next run.
  TZipLocation FZipLocation;

  std::unique_ptr<TZipCrypt> FCrypt;
  std::unique_ptr<TqmxAES> FAes;
  std::int64_t FAesHeaderBytes = 0;
  bool FDecodeFailed = false;
  std::unique_ptr<TDiskSpannObj> FDiskSpann;
};

// A ZIP reader for JAR archives; the archive type decides what differs.
class TUnJar : public TUnZip {};

}  // namespace qmx
