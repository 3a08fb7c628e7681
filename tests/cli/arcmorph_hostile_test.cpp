// arcmorph on archives that lie: what list shows of absurd sizes, what
// extract leaves behind of entries that fail, and an overlapping-entry bomb.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cli/cli_run.h"
#include "support/temp_dir.h"
#include "support/zip_craft.h"

namespace {

namespace fs = std::filesystem;
using qmx::test::WriteFile;
using TResult = qmx::test::TCliResult;

class ArcmorphHostileTest : public qmx::test::TArcmorphTest {
 protected:
  // Runs the Python body, which leaves the archive's bytes in z.
  void Build(const std::string& name, const std::string& body) {
    WriteFile(dir_ / "make.py", qmx::test::ZipCraftPrelude() + body + "\nopen('" + dir_ / name +
                                    "', 'wb').write(z)\n");
    ASSERT_EQ(qmx::test::Run("python3 " + dir_ / "make.py"), 0);
  }
};

TEST_F(ArcmorphHostileTest, ListShowsZip64SizesInFull) {
  Build("big.zip", R"(
data = b'twelve bytes'
z, central = b'', b''
for name, size in ((b'a', 2**50 + 7), (b'b', 2**63 - 1)):
    extra = struct.pack('<HHQQ', 1, 16, size, len(data))
    central += cdh(name, 0, zlib.crc32(data), 0xFFFFFFFF, 0xFFFFFFFF, len(z), extra)
    z += lfh(name, 0, zlib.crc32(data), 0xFFFFFFFF, 0xFFFFFFFF, extra) + data
z = finish(z, central, 2)
)");
  const TResult r = Cli("list big.zip");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find(" 1125899906842631 "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" 9223372036854775807 "), std::string::npos) << r.out;
  const TResult t = Cli("test big.zip");
  EXPECT_EQ(t.code, 1);
  EXPECT_NE(t.err.find("File size different"), std::string::npos) << t.err;
}

TEST_F(ArcmorphHostileTest, ExtractRemovesFailedFilesUnlessKeepBroken) {
  // Declared as 100 bytes, inflates to 10 MiB.
  Build("lie.zip", R"(
data = bytes(range(256)) * (40 * 1024)
packed = deflate(data)
z = lfh(b'big.bin', 8, zlib.crc32(data), len(packed), 100) + packed
z = finish(z, cdh(b'big.bin', 8, zlib.crc32(data), len(packed), 100, 0), 1)
)");
  TResult r = Cli("extract lie.zip -d out");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("FAILED"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("File size different"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "out/big.bin"));

  r = Cli("extract lie.zip -d kept --keep-broken");
  EXPECT_EQ(r.code, 1);
  ASSERT_TRUE(fs::exists(dir_ / "kept/big.bin"));
  EXPECT_EQ(fs::file_size(dir_ / "kept/big.bin"), 100u);

  EXPECT_EQ(Cli("test lie.zip --keep-broken").code, 2);
}

TEST_F(ArcmorphHostileTest, OverlappingEntriesAreRefused) {
  // Thirty names for one local header holding 1 MiB.
  Build("bomb.zip", R"(
data = b'\0' * (1 << 20)
packed = deflate(data)
z = lfh(b'k', 8, zlib.crc32(data), len(packed), len(data)) + packed
central = b''.join(cdh(b'n%02d' % i, 8, zlib.crc32(data), len(packed), len(data), 0)
                   for i in range(30))
z = finish(z, central, 30)
)");
  const TResult r = Cli("extract bomb.zip -d out");
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("Entry overlaps another entry's data"), std::string::npos) << r.err;
  std::uintmax_t written = 0;
  if (fs::exists(dir_ / "out"))
    for (auto& e : fs::recursive_directory_iterator(dir_ / "out"))
      if (e.is_regular_file()) written += e.file_size();
  EXPECT_EQ(written, 0u);
}

}  // namespace
