// Classifying a file by its content: which archive format it holds, where
// the archive data begins (behind a self-extractor stub, or the ZIP central
// directory), and for ZIP archives what the end of the file says.
//
// Detection only reads: at most 32767 bytes from the start, 32768 from the
// end, a few fixed records, the string table of an executable and, when
// nothing else matched, up to 11 blocks of 32768 bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "archive/base/detect_facts.h"
#include "archive/base/types.h"
#include "archive/codec/streams.h"
#include "archive/zip/zip_locate.h"

namespace qmx {

enum TSignatureMode : std::uint8_t { smFileStart, smBehindStub };

// ArchiveDate is 1 January 1980 00:01 when the date is unreadable; Format
// stays empty, the ZIP facts are at hand in Zip.
struct TDetectResult : TDetectFacts {
  // What the last central-directory search found; Zip.HeaderFlags are the
  // header flags of the detection (HeaderFlags holds a copy).
  TZipLocation Zip;
};

// Every type except atNA, atUnsupported, atFileOpenErr and atUnknown.
bool IsValidArcType(TArcType t);
// atJar, atJarExe, atZip, atZipExe.
bool IsZipLikeArcType(TArcType t);

// Detects the type of the file in stream; archiveFile names it (for the
// drive of a spanned set, the ".jar" extension and the file date) and may
// be empty. The stream's progress hooks are off while it runs.
TArcType DetectArcType(TStream32& stream, const std::string& archiveFile, TDetectResult& result);

// Makes DetectArcType the detector of every component (their
// DetectArcType); the built-in formats install it before main().
void InstallArcTypeDetector();

// The steps of the detection, for callers and tests that need one of them.
class TArcDetector {
 public:
  TArcDetector(TStream32& stream, std::string archiveFile, TDetectResult& result);

  TArcType Detect();
  // word: the first four bytes as a little-endian number.
  TArcType ClassifySignature(TSignatureMode mode, std::uint32_t word);
  // Known self-extractor stubs with their archive at fixed offsets.
  TArcType ProbeSfxStub();
  // Forward search from start for a signature; sets ArchivePosition.
  TArcType ScanForSignature(std::int64_t start);
  TArcType Find7zBehindStub();
  bool IsUUEncoded();
  bool IsTarArchive();
  // atZipDS for a spanned set on a removable disk labelled "PKBACK# ...",
  // atZipMV otherwise, atNA when the drive is unknown.
  TArcType ClassifySpannedZip();
  // LocateCentralDirectory on the stream, kept in the result.
  std::int64_t LocateCentralDirectory();

 private:
  TArcType DetectExecutable();
  TArcType DetectPlain();
  // Behind a stub: the position the central directory search found, or
  // fallback when it found nothing.
  std::int64_t ZipPositionOr(std::int64_t fallback);
  bool AceAt7() const;
  std::int64_t ReadAt(std::int64_t pos, void* buf, std::int64_t n);

  TStream32& stream_;
  std::string archive_file_;
  TDetectResult& r_;
  std::int64_t size_ = 0;
  std::vector<std::uint8_t> head_;  // the first bytes of the file, zero-padded
  std::int64_t head_len_ = 0;
};

// The number the octal digits of field spell, up to its first zero byte;
// every other byte (spaces, padding) is skipped.
std::uint64_t ParseOctal(std::span<const std::uint8_t> field);

// Whether text looks uuencoded: a line "begin 6..." or "begin 7...", or a
// line starting "M" after any line starting "begin".
bool IsUUEncodedText(std::span<const std::uint8_t> text);

}  // namespace qmx
