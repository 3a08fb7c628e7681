// LHA entry headers: reading levels 0 to 3 with their extended headers
// (the reader and the writer's updates share it), and building the headers
// the writer puts down: level 0, or level 1 for a name that does not fit a
// level-0 header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/codec/streams.h"

namespace qmx {

// The longest name a level-0 header can hold: its size byte counts 22
// bytes besides the name.
inline constexpr std::size_t kLhaLevel0MaxName = 233;
// Bytes of a level-1 extended header besides its text.
inline constexpr std::size_t kLhaExtOverhead = 3;
// Any header longer than this is damage, not a header.
inline constexpr std::size_t kLhaMaxHeader = 1 << 20;

struct TLhaHeader {
  std::int64_t HeaderAt = 0;    // first byte of the header
  std::int64_t DataAt = 0;      // first byte of the data
  std::int64_t Next = 0;        // where the next header would start
  std::int64_t PackedSize = 0;  // bytes of data (extended headers not counted)
  std::int64_t OriginalSize = 0;
  char Method[6] = {};  // "-lh5-"
  int Level = 0;
  std::uint8_t OsId = 0;  // 0: the header names none
  std::uint32_t DosDate = 0;
  std::int64_t UnixTime = -1;  // -1: the header gives none
  std::uint8_t Attr = 0x20;
  std::uint16_t Crc = 0;
  std::uint32_t UnixMode = 0;  // type and permission bits; 0: none given
  // Directory part (0xFF separators made "/", ending in "/") and file name
  // as stored; a level-0 name keeps its "\" separators.
  std::string Name;
  std::string LinkTarget;         // of a Unix symbolic link ("name|target")
  std::vector<std::uint8_t> Raw;  // the whole header as stored

  bool IsDirectory() const;
  bool IsSymLink() const { return !LinkTarget.empty(); }
  // Header, extended headers and data.
  std::int64_t EntryLength() const { return Next - HeaderAt; }
};

enum TLhaStep {
  lsEntry,    // h holds the entry
  lsEnd,      // the end mark (a zero byte), the end of the file, or bytes that
              // are no header at all (junk after an archive)
  lsDamaged,  // a header that is cut short or inconsistent; why says which
};

// Reads the header at pos of an archive of size bytes.
TLhaStep ReadLhaHeader(TStream& archive, std::int64_t pos, std::int64_t size, TLhaHeader& h,
                       std::string& why);

// Parses a whole header held in memory (Raw of ReadLhaHeader); positions
// are taken as if it started at HeaderAt.
bool ParseLhaHeader(const std::vector<std::uint8_t>& raw, TLhaHeader& h, std::string& why);

// The stored name of a header in platform form with "/" separators: Unix
// entries and UTF-8 names as they are, others from the OEM code page when
// translate.
std::string LhaPlatformName(const TLhaHeader& h, bool translate);

// Whether the five bytes look like a method id ("-lh5-", "-lzs-", "-pm0-").
bool IsLhaMethodId(const std::uint8_t* p);

// A header the writer puts down.
struct TLhaNewHeader {
  std::string Name;  // archive bytes, "/" separators; a directory ends in "/"
  char Method[6] = {'-', 'l', 'h', '0', '-', 0};
  std::uint32_t PackedSize = 0;
  std::uint32_t OriginalSize = 0;
  std::uint32_t DosDate = 0;
  std::uint8_t Attr = 0x20;
  std::uint16_t Crc = 0;
};

// Level 0 ("\" separators) when the name fits, else level 1 with the name
// in extended headers (0x01 file name, 0x02 directory with 0xFF
// separators); empty when the name is too long even for that.
std::vector<std::uint8_t> BuildLhaHeader(const TLhaNewHeader& e);

// Sum of the bytes a level-0 or level-1 checksum covers.
std::uint8_t LhaHeaderChecksum(const std::uint8_t* header, std::size_t headerSize);

}  // namespace qmx
