// The pieces of a tar header that the reader and the writer share: block
// and record sizes, numeric fields, checksums and times.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qmx {

inline constexpr std::int64_t kTarBlock = 512;
inline constexpr std::int64_t kTarRecord = 10240;

using TTarHeader = std::array<std::uint8_t, kTarBlock>;

// Value of a numeric header field: octal text (digits up to the first NUL,
// anything else skipped) or, with the high bit of the first byte set, the
// base-256 form. Negative for a base-256 value that does not fit.
std::int64_t TarNumber(const std::uint8_t* field, std::size_t length);
// Writes value into a field of width bytes: octal digits and a NUL when
// they fit, else base-256 (high bit of the first byte set). False when not
// even that holds it.
bool PutTarNumber(std::uint8_t* field, std::size_t width, std::uint64_t value);
// The header checksum: every byte as unsigned, the checksum field counted
// as spaces.
std::uint32_t TarChecksum(const std::uint8_t* block);
// Whether the block is a tar header by its checksum (unsigned or, as some
// old writers summed, signed bytes).
bool TarChecksumMatches(const std::uint8_t* block);
// Packed DOS date-time for Unix seconds; 0 gives 1 January 1980, 00:01:00.
std::uint32_t TarTimeToDosDate(std::int64_t seconds);

}  // namespace qmx
