// zlib-driven raw Deflate over the legacy input: streams back to back with
// bytes between them (gzip members and trailers), damage and short input.
#include "archive/codec/raw_inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "tests/codec/window_test_util.h"

namespace qmx {
namespace {

using wintest::Bytes;

Bytes RawDeflate(const Bytes& data, int level) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&zs, data.size()));
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

Bytes Mixed(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = (i / 4096) % 2 ? rng() & 0xFF : "text "[i % 5];
  return b;
}

TEST(RawInflate, StreamsBackToBackLeaveTheBytesBetweenThem) {
  // Streams larger than the input buffer, so each ends inside a refill.
  const Bytes one = Mixed(300000, 1), two = Mixed(70001, 2);
  Bytes packed = RawDeflate(one, 6);
  const Bytes gap = {0xDE, 0xAD, 0xBE, 0xEF};
  packed.insert(packed.end(), gap.begin(), gap.end());
  const Bytes second = RawDeflate(two, 1);
  packed.insert(packed.end(), second.begin(), second.end());
  packed.push_back(0x42);

  const wintest::TRun run = wintest::RunDecoder(
      packed, 0, static_cast<std::int64_t>(packed.size()),
      [&](TLegacyInput& in, TLegacyWriteFunc w) {
        TRawInflater inflater(in, std::move(w));
        if (inflater.Run() != wrOk || inflater.Total() != 300000) return -100;
        for (std::uint8_t want : gap) {
          std::uint8_t b;
          if (!inflater.ReadByte(b) || b != want) return -101;
        }
        if (inflater.Run() != wrOk || inflater.Total() != 70001) return -102;
        std::uint8_t last;
        if (!inflater.ReadByte(last) || last != 0x42) return -103;
        return inflater.ReadByte(last) ? -104 : wrOk;
      });
  EXPECT_EQ(run.Result, wrOk);
  Bytes both = one;
  both.insert(both.end(), two.begin(), two.end());
  EXPECT_TRUE(run.Out == both) << run.Out.size();
}

TEST(RawInflate, DamageAndShortInput) {
  const Bytes data = Mixed(100000, 3);
  const Bytes packed = RawDeflate(data, 9);
  auto run = [](const Bytes& p) {
    return wintest::RunDecoder(p, 0, static_cast<std::int64_t>(p.size()),
                               [](TLegacyInput& in, TLegacyWriteFunc w) {
                                 return TRawInflater(in, std::move(w)).Run();
                               });
  };
  const Bytes cut(packed.begin(), packed.begin() + static_cast<long>(packed.size() / 2));
  EXPECT_EQ(run(cut).Result, wrInputShort);
  EXPECT_EQ(run({}).Result, wrInputShort);
  EXPECT_EQ(run({0x07}).Result, wrBadData);  // block type 3
  // A write function that takes less stops the stream.
  const wintest::TRun refused = wintest::RunDecoder(
      packed, 0, static_cast<std::int64_t>(packed.size()),
      [](TLegacyInput& in, TLegacyWriteFunc) {
        return TRawInflater(in, [](const void*, std::int64_t n) { return n - 1; }).Run();
      });
  EXPECT_EQ(refused.Result, wrWriteError);
  // Cancelled before it starts.
  const bool cancel = true;
  const wintest::TRun cancelled = wintest::RunDecoder(
      packed, 0, static_cast<std::int64_t>(packed.size()),
      [&](TLegacyInput& in, TLegacyWriteFunc w) {
        return TRawInflater(in, std::move(w), &cancel).Run();
      });
  EXPECT_EQ(cancelled.Result, wrCanceled);
}

}  // namespace
}  // namespace qmx
