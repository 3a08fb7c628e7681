// Decoder for the LZW data of Unix "compress" (.Z) files: 9- to 16-bit
// codes, low bit first, with the block-mode CLEAR code and compress's
// habit of padding each run of one code width to a whole group of eight
// codes.
#pragma once

#include <cstdint>

#include "archive/codec/legacy_io.h"

namespace qmx {

enum TLzwResult : int {
  lzwOk = 0,
  lzwBadFlags = 1,    // reserved flag bits set, or more than 16 bits asked for
  lzwBadFirst = 2,    // the first code is not a literal
  lzwBadCode = 3,     // a code beyond the next free one
  lzwWriteError = 4,  // the write function took less than offered
  lzwCanceled = 5,
};

// Decodes the code stream that follows the 3-byte header; flags is the
// header's third byte. The output written before a failure stays written.
TLzwResult UnLzwDecode(TLegacyInput& In, TLegacyWriteFunc Write, std::uint8_t Flags,
                       const bool* Cancel = nullptr);

}  // namespace qmx
