// Decoders for the data of LHA entries (and of BH's fused entries, which
// use the "-lh5-" block format): stored, "-lh1-", "-lh4-" to "-lh7-",
// "-lzs-" and "-lz5-". Bounded on hostile input: they never read or write
// outside their tables and window, and never write more than OriginalSize.
#pragma once

#include <cstdint>

#include "archive/codec/legacy_io.h"
#include "archive/codec/window_decoder.h"

namespace qmx {

enum TLhaMethod : int {
  lmStored,  // "-lh0-", "-lz4-"
  lmLh1,     // 4 KiB window, adaptive Huffman
  lmLh4,     // static Huffman blocks, 4 KiB window
  lmLh5,     // 8 KiB (BH method 1)
  lmLh6,     // 32 KiB (BH method 3, whose 16 KiB stream is a subset)
  lmLh7,     // 64 KiB
  lmLzs,     // LArc, 2 KiB window
  lmLz5,     // LArc, 4 KiB window
};

// The method of a five-byte method id such as "-lh5-"; false when unknown
// ("-lhd-" is a directory, not a method).
bool LhaMethodOf(const char* Id, TLhaMethod& Method);

// Decodes one entry's data until OriginalSize bytes are written. Returns a
// TWindowResult (wrOk, wrInputShort, wrBadData, wrWriteError, wrCanceled).
int LhaDecode(TLegacyInput& In, TLegacyWriteFunc Write, TLhaMethod Method,
              std::int64_t OriginalSize, const bool* Cancel = nullptr);

}  // namespace qmx
