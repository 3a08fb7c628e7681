// Decoders for the two oldest ZIP methods: Shrink (method 1, LZW with
// partial clearing) and Reduce (methods 2-5, follower sets plus a
// probabilistic expander). They only see a byte source and a byte sink, so
// the ZIP reader can route reads through its decrypting ReadBlock and writes
// through its CRC-updating WriteBlock.
//
// Error path: the decoders never throw on bad data. They return a
// TLegacyResult which the caller maps to an error code with LegacyErrorCode
// and hands to ReportError/RaiseError:
//   lrOk            data decoded (possibly short: the CRC verdict decides)
//   lrBadBlock      25116 "Bad block"; output not flushed
//   lrStackOverflow 25305 "Stack overflow"; output flushed first
//   lrWriteError    25136 "Error writing to file"
//   lrCanceled      25443 "User canceled"; output not flushed
// Exceptions thrown by the caller's read or write functions pass through.
#pragma once

#include <cstdint>

#include "archive/codec/legacy_io.h"

namespace qmx {

enum TLegacyResult : std::uint8_t { lrOk, lrBadBlock, lrStackOverflow, lrWriteError, lrCanceled };

// 0 for lrOk, else the library error code of the result.
int LegacyErrorCode(TLegacyResult r);

// Method 1. Runs until the packed data ends or Out reaches its limit.
TLegacyResult UnShrink(TLegacyInput& In, TLegacyOutput& Out);

// Methods 2-5 with Factor = method - 1 (1..4; anything else is lrBadBlock).
// Runs until the packed data ends or Out reaches its limit; give Out the
// entry's uncompressed size as limit, since the last byte's padding bits
// would otherwise decode as extra bytes.
TLegacyResult UnReduce(TLegacyInput& In, TLegacyOutput& Out, int Factor);

}  // namespace qmx
