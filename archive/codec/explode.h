// Decoder for ZIP method 6 (PKWARE Implode): 4 or 8 KiB dictionary, with or
// without a literal tree, Shannon-Fano trees whose code bits are stored
// complemented. The data has no end marker, so the entry's uncompressed
// size ends decoding.
#pragma once

#include <cstdint>

#include "archive/codec/window_decoder.h"

namespace qmx {

// Flag bits of the entry's general-purpose flags that shape the data.
constexpr std::uint16_t kImplodeFlag8K = 0x0002;
constexpr std::uint16_t kImplodeFlagLiteralTree = 0x0004;

struct TImplodeEntry {
  std::uint16_t Flags = 0;
  std::int64_t PackedSize = 0;
  std::int64_t UnpackedSize = 0;
};

// Decodes one imploded entry into Write (at most UnpackedSize bytes).
// Returns a TWindowResult.
int ExplodeEntry(TLegacyInput& In, TLegacyWriteFunc Write, const TImplodeEntry& Entry,
                 const bool* Cancel = nullptr);

}  // namespace qmx
