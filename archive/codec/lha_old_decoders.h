// Decoders of the early LHA-family methods: "-lh1-" (LHarc 1.x, adaptive
// Huffman over a 4 KiB window) and LArc's "-lzs-" and "-lz5-". Results are
// TWindowResult codes; output stops at OriginalSize bytes.
#pragma once

#include <cstdint>

#include "archive/codec/legacy_io.h"

namespace qmx {

int DecodeLh1(TLegacyInput& In, TLegacyWriteFunc Write, std::int64_t OriginalSize,
              const bool* Cancel);
int DecodeLzs(TLegacyInput& In, TLegacyWriteFunc Write, std::int64_t OriginalSize,
              const bool* Cancel);
int DecodeLz5(TLegacyInput& In, TLegacyWriteFunc Write, std::int64_t OriginalSize,
              const bool* Cancel);

}  // namespace qmx
