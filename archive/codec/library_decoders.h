// Decoders that mature libraries provide, for the ZIP methods BZip2 (12),
// LZMA (14), Zstandard (93) and XZ (95), and for 7z's LZMA and LZMA2:
// libbz2, liblzma and libzstd do the work; these adapters feed them the packed bytes and hand on what they
// produce. A decoder stops at the end of its stream, at the end of the
// packed data, when write refuses more, or on bad data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace qmx {

inline constexpr int kZipMethodBZip2 = 12;
inline constexpr int kZipMethodLzma = 14;
inline constexpr int kZipMethodZstd = 93;
inline constexpr int kZipMethodXz = 95;

// Whether one of the decoders below reads the ZIP method.
bool IsLibraryMethod(int method);

enum TLibraryResult : std::uint8_t {
  lrDone,     // the stream ended (or, for LZMA without an end marker, the size was reached)
  lrBadData,  // the library refused the data
  lrShort,    // the packed data ended first
  lrStopped   // write refused more, or cancelled
};

// read returns the bytes placed in the buffer (0 at the end of the packed
// data); write returns false to stop.
using TLibraryRead = std::function<std::int64_t(void* buf, std::int64_t count)>;
using TLibraryWrite = std::function<bool(const void* buf, std::int64_t count)>;

// unpackedSize ends LZMA data that carries no end marker; cancel may be null.
TLibraryResult DecodeLibraryMethod(int method, std::uint64_t unpackedSize, const TLibraryRead& read,
                                   const TLibraryWrite& write, const bool* cancel);

// Raw LZMA (lzma2 false: 5 properties bytes) or LZMA2 (1 byte) data with
// the properties kept apart, as 7z folders hold them. unpackedSize ends LZMA
// data that carries no end marker, and no more than it is reserved for the
// dictionary.
TLibraryResult DecodeRawLzma(bool lzma2, const std::uint8_t* props, std::size_t propsSize,
                             std::uint64_t unpackedSize, const TLibraryRead& read,
                             const TLibraryWrite& write, const bool* cancel);

}  // namespace qmx
