// Finding a ZIP archive's central directory from the end of the file, with
// the facts the reader and the writer need afterwards (end record, comment,
// prefix shift, which records were found).
#pragma once

#include <cstdint>

#include "archive/base/detect_facts.h"
#include "archive/base/types.h"
#include "archive/codec/streams.h"
#include "archive/zip/zip_records.h"

namespace qmx {

// Bytes searched at the end of a file for the end record.
inline constexpr std::int64_t kZipEndWindow = 32768;

// Detection keeps one of these as the ZIP format's facts of a component.
struct TZipLocation : TFormatFacts {
  // Central directory position, the first local header position when only
  // local headers were found, 0 when nothing, -1 when an end record was
  // found but no header at all.
  std::int64_t Position = 0;
  THeaderTypeState HeaderFlags;

  // The end record as found (deciphered when it was enciphered); a plain end
  // record is held widened. Is64: it was our own 64-bit end record.
  bool Is64 = false;
  bool EndEnciphered = false;
  TZipEndRecord64 End;
  std::int64_t EndPosition = -1;

  // The archive comment runs from its position to the end of the file.
  std::int64_t CommentPosition = 0;
  std::int64_t CommentLength = 0;

  // Bytes in front of the archive proper (a self-extractor stub), added to
  // every local header offset.
  std::int64_t PrefixShift = 0;

  // From the Zip64 end record, when it and its locator are present.
  std::int64_t Zip64CentralSize = 0;
  std::int64_t Zip64CentralOffset = 0;

  // The first central header found, deciphered.
  bool CentralEnciphered = false;
  TZipCentralHeader FirstCentral;

  // An end record declares a directory that cannot be, or is not where it
  // says: the entries must come from the local headers (Position is the
  // first one, or -1).
  bool CentralDamaged = false;
  // The directory was found where it ends, but its recorded offset lies
  // beyond that: read, and worth a word.
  bool CentralOffsetWrong = false;
};

// Locates the central directory of the archive in s and fills out. Reads at
// most the last 32 KiB, a few fixed-size records per end record tried, and
// (when the directory is missing) the first 128 KiB. An end record counts
// first when its comment ends exactly at the end of the file; a directory
// whose size, offset or entry count cannot fit the file is not trusted. The
// stream position is restored afterwards.
std::int64_t LocateCentralDirectory(TStream& s, TZipLocation& out);

}  // namespace qmx
