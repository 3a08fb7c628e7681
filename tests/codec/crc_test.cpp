#include "archive/codec/crc.h"

#include <gtest/gtest.h>

#include "codec_test_util.h"

namespace qmx {
namespace {

TEST(Crc, KnownAnswersAndEmptyInput) {
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc16("123456789", 9), 0xBB3Du);
  EXPECT_EQ(Crc32("", 0), 0u);
  EXPECT_EQ(Crc16("", 0), 0u);
  std::uint32_t c32 = 0x12345678u;
  UpdateCrc32("abc", -5, c32);  // non-positive lengths change nothing
  EXPECT_EQ(c32, 0x12345678u);
}

// The per-byte table step is the definition; the fast path must agree
// with it for every split and alignment.
std::uint32_t TableCrc32(const std::uint8_t* p, std::size_t n, std::uint32_t acc = 0xFFFFFFFFu) {
  while (n--) acc = CRC32TABLE[(acc ^ *p++) & 0xFF] ^ (acc >> 8);
  return acc;
}

TEST(Crc, FastPathAndSplitUpdatesMatchTheTableStep) {
  EXPECT_EQ(CRC32TABLE[1], 0x77073096u);
  EXPECT_EQ(CRC16TABLE[1], 0xC0C1u);
  const std::string data = codectest::BinaryMix(70001, 9);
  const auto* p = reinterpret_cast<const std::uint8_t*>(data.data());
  const std::uint32_t whole = TableCrc32(p, data.size());
  EXPECT_EQ(Crc32(p, data.size()), whole ^ 0xFFFFFFFFu);
  for (std::int64_t split : {1, 7, 8, 13, 4096, 70000}) {
    std::uint32_t acc = 0xFFFFFFFFu;
    std::uint16_t a16 = 0;
    UpdateCrc32(p, split, acc);
    UpdateCrc32(p + split, 70001 - split, acc);
    UpdateCrc16(p, split, a16);
    UpdateCrc16(p + split, 70001 - split, a16);
    EXPECT_EQ(acc, whole) << split;
    EXPECT_EQ(a16, Crc16(p, data.size())) << split;
    acc = 0x1234u;  // any running value, not only the initial one
    UpdateCrc32(p + split % 8, 100, acc);
    EXPECT_EQ(acc, TableCrc32(p + split % 8, 100, 0x1234u)) << split;
  }
}

}  // namespace
}  // namespace qmx
