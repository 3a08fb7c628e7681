// The system's CRC-32 (reflected, 0xEDB88320, start and final xor
// 0xFFFFFFFF) and CRC-16 (reflected, 0xA001, start 0, no final xor).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qmx {

extern const std::array<std::uint32_t, 256> CRC32TABLE;
extern const std::array<std::uint16_t, 256> CRC16TABLE;

// Running accumulators: no initial or final xor is applied here.
void UpdateCrc32(const void* buf, std::int64_t len, std::uint32_t& acc);
void UpdateCrc16(const void* buf, std::int64_t len, std::uint16_t& acc);

// Whole-buffer values as stored in archives.
std::uint32_t Crc32(const void* buf, std::size_t len);
std::uint16_t Crc16(const void* buf, std::size_t len);

}  // namespace qmx
