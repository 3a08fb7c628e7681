// The LHA coder: LZ77 with lazy matching and static Huffman codes per
// block, in the block format of the "-lh5-" family. The LHA writer uses it
// for "-lh5-" and "-lh6-" entries, the BH writer for fused entries.
#pragma once

#include <cstdint>
#include <functional>

#include "archive/codec/legacy_io.h"

namespace qmx {

struct TLhaCoderParams {
  int DictBits;  // dictionary of 1 << DictBits bytes
  int NP;        // number of position codes
  int PBit;      // width of the position-code count field
};

inline constexpr TLhaCoderParams kLh5Params{13, 14, 4};
// Our "-lh6-" keeps a 16 KiB window; any "-lh6-" decoder reads it.
inline constexpr TLhaCoderParams kLh6Params{14, 15, 5};
inline constexpr TLhaCoderParams kBhFuseParams{14, 15, 5};

enum TLhaCoderResult : int {
  lcOk = 0,           // the whole source was coded and written
  lcStoreForced = 1,  // the output grew larger than the source: store it
  lcCanceled = 2,
  lcWriteError = 3,   // the write function took less than offered
  lcReadError = 4,    // the source gave less than SourceSize
};

// Reads up to Count bytes of the source (the writer's block reader, which
// keeps the entry's CRC and progress); returns the bytes read, 0 at the end.
using TLhaReadFunc = std::function<std::int64_t(void* Buffer, std::int64_t Count)>;

// Codes SourceSize bytes read through Read and writes the packed data
// through Write in blocks of at most 32768 bytes.
TLhaCoderResult LhaCompress(const TLhaReadFunc& Read, const TLegacyWriteFunc& Write,
                            std::int64_t SourceSize, const TLhaCoderParams& Params,
                            const bool* Cancel = nullptr);

}  // namespace qmx
