// Decoders of the SEA ARC methods: stored (1, 2), packed (3: runs behind
// the 0x90 marker), squeezed (4: Huffman over packed), crunched (8: LZW of
// 9 to 12 bits over packed) and squashed (9: LZW of 9 to 13 bits).
#pragma once

#include <cstdint>

#include "archive/codec/legacy_io.h"

namespace qmx {

// True for the methods ArcDecode decodes.
bool ArcMethodKnown(int method);

// Decodes one entry's packed data; returns a TWindowResult code. At most
// OriginalSize bytes are written: what the data holds beyond that is
// dropped (the CRC then decides).
int ArcDecode(TLegacyInput& In, TLegacyWriteFunc Write, int Method, std::int64_t OriginalSize,
              const bool* Cancel = nullptr);

}  // namespace qmx
