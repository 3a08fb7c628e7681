// The ARJ decoders on data arj itself packed: every method decodes to the
// original, the output stops at the size asked for, short data is reported
// as short, and garbage never reads or writes out of bounds.
#include "archive/codec/arj_decoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "archive/codec/byte_order.h"
#include "archive/codec/streams.h"
#include "support/temp_dir.h"

namespace {

using qmx::test::ReadFile;
using qmx::test::WriteFile;

struct TPacked {
  std::string Data;
  std::uint32_t Size = 0;
};

// The data of the first entry of an archive without extended headers.
TPacked FirstEntry(const std::string& a) {
  auto at = [&](std::size_t p) { return reinterpret_cast<const std::uint8_t*>(a.data() + p); };
  const std::size_t local = 4 + qmx::GetLE16(at(2)) + 4 + 2;
  const std::size_t data = local + 4 + qmx::GetLE16(at(local + 2)) + 4 + 2;
  TPacked p;
  p.Data = a.substr(data, qmx::GetLE32(at(local + 4 + 12)));
  p.Size = qmx::GetLE32(at(local + 4 + 16));
  return p;
}

int Decode(const std::string& packed, int method, std::int64_t size, std::string& out) {
  qmx::TMemoryStream32 in;
  in.Write(packed.data(), static_cast<std::int64_t>(packed.size()));
  in.Seek(0, qmx::soFromBeginning);
  qmx::TLegacyInput input(in, in.Size());
  out.clear();
  auto write = [&out](const void* b, std::int64_t n) {
    out.append(static_cast<const char*>(b), static_cast<std::size_t>(n));
    return n;
  };
  return qmx::ArjDecode(input, write, method, size);
}

class ArjDecoder : public ::testing::Test {
 protected:
  void SetUp() override {
    if (qmx::test::Run("command -v arj >/dev/null") != 0) GTEST_SKIP() << "arj is needed";
    std::mt19937 rng(3);
    for (int i = 0; i < 120000; ++i)
      original_ +=
          (i % 5000 < 2500) ? static_cast<char>('a' + rng() % 6) : static_cast<char>(rng() >> 24);
    WriteFile(dir_ / "f", original_);
  }
  TPacked Pack(int method) {
    const std::string a = dir_ / ("m" + std::to_string(method) + ".arj");
    EXPECT_EQ(qmx::test::Run("cd " + dir_.path() + " && arj a -y -m" + std::to_string(method) +
                             " " + a + " f >/dev/null"),
              0);
    return FirstEntry(ReadFile(a));
  }
  qmx::test::TempDir dir_;
  std::string original_;
};

TEST_F(ArjDecoder, EveryMethodDecodesAndStopsWhereAsked) {
  for (int m = 0; m <= 4; ++m) {
    SCOPED_TRACE(m);
    const TPacked p = Pack(m);
    ASSERT_EQ(p.Size, original_.size());
    std::string out;
    EXPECT_EQ(Decode(p.Data, m, p.Size, out), qmx::wrOk);
    EXPECT_TRUE(out == original_);
    // Fewer bytes asked for: exactly those.
    EXPECT_EQ(Decode(p.Data, m, 1000, out), qmx::wrOk);
    EXPECT_TRUE(out == original_.substr(0, 1000));
    // The data cut short.
    EXPECT_EQ(Decode(p.Data.substr(0, p.Data.size() / 2), m, p.Size, out), qmx::wrInputShort);
    EXPECT_LT(out.size(), original_.size());
  }
}

TEST_F(ArjDecoder, GarbageStaysInBounds) {
  std::mt19937 rng(5);
  for (int round = 0; round < 200; ++round) {
    std::string junk(static_cast<std::size_t>(rng() % 4000), '\0');
    for (char& c : junk) c = static_cast<char>(rng());
    for (int m = 1; m <= 4; ++m) {
      std::string out;
      const int r = Decode(junk, m, 50000, out);
      EXPECT_LE(out.size(), 50000u);
      EXPECT_TRUE(r == qmx::wrOk || r == qmx::wrInputShort || r == qmx::wrBadData) << r;
    }
  }
  std::string out;
  EXPECT_EQ(Decode("abc", 5, 10, out), qmx::wrBadData);  // no such method
  EXPECT_FALSE(qmx::ArjMethodKnown(5));
}

}  // namespace
