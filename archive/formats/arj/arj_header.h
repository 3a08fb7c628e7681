// ARJ headers: the main header at the head of an archive (or volume) and
// the local header before each entry. Both share one layout: the id
// 0x60 0xEA, a basic header guarded by its CRC-32, then extended headers
// (each with its own CRC-32) until one of size 0.
#pragma once

#include <cstdint>
#include <string>

#include "archive/codec/streams.h"

namespace qmx {

// Basic headers longer than this are no ARJ header at all.
inline constexpr std::uint16_t kArjMaxBasicHeader = 2600;
// Bytes every basic header holds before its extra data.
inline constexpr std::uint8_t kArjFixedHeader = 30;

enum : std::uint8_t {
  afGarbled = 0x01,
  afAnsiPage = 0x02,  // names in the ANSI rather than the OEM code page
  afVolume = 0x04,    // main: more volumes follow; local: the entry goes on in the next
  afExtFile = 0x08,   // local: the entry started in an earlier volume
  afPathSym = 0x10,
  afBackup = 0x20,
};

enum TArjFileType : std::uint8_t {
  aftBinary = 0,
  aftText = 1,
  aftComment = 2,  // the main header
  aftDirectory = 3,
  aftVolumeLabel = 4,
  aftChapter = 5,
};

enum TArjHostOs : std::uint8_t {
  ahMsDos = 0,
  ahUnix = 2,
  ahNext = 8,
  ahWin95 = 10,
  ahWin32 = 11,
};

struct TArjHeader {
  std::int64_t HeaderAt = 0;  // the header id
  std::int64_t DataAt = 0;    // after the extended headers
  std::int64_t Next = 0;      // where the next header would start
  std::uint8_t Version = 0;
  std::uint8_t MinVersion = 0;
  std::uint8_t HostOs = 0;
  std::uint8_t Flags = 0;
  std::uint8_t Method = 0;
  std::uint8_t FileType = 0;
  // Added to each password byte by the old garble.
  std::uint8_t PasswordModifier = 0;
  // DOS date-time, or Unix time for Unix and NeXT hosts.
  std::uint32_t Stamp = 0;
  std::uint32_t PackedSize = 0;
  std::uint32_t OriginalSize = 0;
  std::uint32_t Crc = 0;
  std::uint16_t AccessMode = 0;
  // Where a continued part goes in the whole file (afExtFile).
  std::uint32_t ExtFilePos = 0;
  // Main header: 0 or 1 the old garble; 2 and up GOST ciphers.
  std::uint8_t EncryptionVersion = 0;
  std::string Name;  // as stored
  std::string Comment;

  bool IsDirectory() const { return FileType == aftDirectory; }
  bool Garbled() const { return (Flags & afGarbled) != 0; }
  std::uint32_t DosDate() const;
};

enum TArjStep {
  asHeader,   // h holds a header
  asEnd,      // the end mark (basic header size 0)
  asDamaged,  // no valid header here; why says what is wrong
};

// Reads the header at pos of a stream of size bytes: never past size, and a
// basic header whose CRC fails is damage.
TArjStep ReadArjHeader(TStream& s, std::int64_t pos, std::int64_t size, TArjHeader& h,
                       std::string& why);

// The first main header at or after from, searched as ARJ does (the id, a
// plausible size, a matching CRC) over at most limit bytes; -1 if none.
std::int64_t FindArjHeader(TStream& s, std::int64_t from, std::int64_t limit,
                           const bool* cancel = nullptr);

// A stored name in platform form with "/" separators: Unix entries as they
// are, others from the OEM code page when translate.
std::string ArjPlatformName(const TArjHeader& h, bool translate);

}  // namespace qmx
