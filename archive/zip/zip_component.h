// What a component knows and does in ZIP terms on top of the common root:
// the location facts detection kept, and extra fields read through the
// component's block reads (so decryption and CRC apply as to the data).
#pragma once

#include <cstdint>

#include "archive/base/detect_facts.h"
#include "archive/base/zip_common.h"
#include "archive/codec/streams.h"
#include "archive/zip/zip_locate.h"
#include "archive/zip/zip_records.h"

namespace qmx {

// The ZIP facts detection found; an empty location when the facts are of
// another format or there are none.
const TZipLocation& ZipLocationOf(const TDetectFacts& facts);
const TZipLocation& ZipLocationOf(const TZipCommon& component);

// Reads a ZIP header's extra field of length bytes from stream and walks it
// into destination (whose 32-bit fields hold the header's values). False
// when fewer bytes arrived; what did arrive is still walked.
bool ReadExtraField(TZipCommon& component, TStream& stream, std::uint16_t length,
                    TZipExtraInfo& destination, bool central);

}  // namespace qmx
