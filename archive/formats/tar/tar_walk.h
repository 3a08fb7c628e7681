// The walk over a tar's headers that the reader and the writer's updates
// share: GNU long names ("L", "K"), pax records ("x", "X"; global "g" ones
// stepped over), the ustar prefix, old GNU sparse extension blocks, and
// where the next entry starts.
#pragma once

#include <cstdint>
#include <string>

#include "archive/codec/streams.h"
#include "archive/formats/tar/tar_header.h"

namespace qmx {

// One entry with the extended records before it applied.
struct TTarEntryHead {
  TTarHeader Header{};       // its own header block
  std::int64_t Start = 0;    // its first block: a long name or pax record, else the header
  std::int64_t HeaderAt = 0;
  std::int64_t Data = 0;     // its data, after any sparse extension blocks
  std::int64_t Size = 0;     // the size field, or the pax "size"
  // Bytes its data occupies before padding: none for links, devices,
  // FIFOs and directories, whatever the size field says.
  std::int64_t Span = 0;
  std::int64_t Next = 0;     // the block after its padded data
  char Type = '0';           // a NUL type reads as '0'
  std::int64_t MTime = 0;
  std::uint32_t Mode = 0;    // permission bits
  std::string Name;          // as stored: pax path, GNU long name, or prefix "/" name
  std::string LinkName;
  bool PaxSparse = false;    // a GNU sparse file in pax form
  bool UstarMagic = false;   // POSIX "ustar\0" magic
};

enum TTarStep {
  tsEntry,    // out holds the entry
  tsEnd,      // a zero block, or no whole block left
  tsDamaged,  // why says what and where
};

// Reads the entry whose first block is at pos.
TTarStep ReadTarEntry(TStream& archive, std::int64_t pos, TTarEntryHead& out, std::string& why);

// Bytes to the next multiple of 512.
inline std::int64_t TarPadding(std::int64_t n) {
  return (kTarBlock - n % kTarBlock) % kTarBlock;
}

}  // namespace qmx
