// Decoders for the data of ARJ entries: method 0 (stored), methods 1 to 3
// (LZ77 with static Huffman blocks, the block format of LHA's "-lh7-"
// within a 26 KiB window) and method 4 (LZ77 with unary-prefixed lengths
// and distances). Bounded on hostile input like the LHA decoders: no read
// or write outside their window and never more than OriginalSize bytes.
#pragma once

#include <cstdint>

#include "archive/codec/legacy_io.h"
#include "archive/codec/window_decoder.h"

namespace qmx {

// Whether ArjDecode knows the method.
bool ArjMethodKnown(int Method);

// Decodes one entry's data until OriginalSize bytes are written. Returns a
// TWindowResult (wrOk, wrInputShort, wrBadData, wrWriteError, wrCanceled).
int ArjDecode(TLegacyInput& In, TLegacyWriteFunc Write, int Method, std::int64_t OriginalSize,
              const bool* Cancel = nullptr);

}  // namespace qmx
