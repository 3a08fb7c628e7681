// ZIP entries packed with BZip2, LZMA, XZ and Zstandard, as Python's
// zipfile, 7-Zip and a hand-made archive hold them: listed by name, tested
// and extracted byte for byte; damaged ones fail alone; PPMd stays
// unsupported.
#include <gtest/gtest.h>

#include <string>

#include "cli/cli_run.h"

namespace qmx::test {
namespace {

// A zip whose entries are the given files packed by an outside tool: the
// method number and the tool's raw output per file (zstd's frames here).
const char kHandMadePy[] = R"(import binascii, struct, subprocess, sys
method, out, files = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
local, central = b"", b""
for name in files:
    data = open(name, "rb").read()
    packed = subprocess.run(["zstd", "-q", "-c", "-19"], input=data, capture_output=True).stdout
    crc = binascii.crc32(data)
    raw = name.encode()
    head = struct.pack("<IHHHHHIIIHH", 0x04034B50, 63, 0x800, method, 0, 0x5921, crc,
                       len(packed), len(data), len(raw), 0)
    central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 63, 63, 0x800, method, 0, 0x5921,
                           crc, len(packed), len(data), len(raw), 0, 0, 0, 0, 0, len(local))
    central += raw
    local += head + raw + packed
end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(files), len(files), len(central),
                  len(local), 0)
open(out, "wb").write(local + central + end)
)";

class ArcmorphZipMethods : public TArcmorphTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(Sh("mkdir -p src/sub && head -c 150000 /dev/urandom > src/random.bin && "
                 "for i in $(seq 1 6000); do echo \"line $i of some text\"; done > src/sub/text.txt "
                 "&& : > src/empty.dat && printf '汉字' > src/名字.txt"),
              0);
  }
  void ExpectExtractsTheSource(const std::string& archive) {
    SCOPED_TRACE(archive);
    const TCliResult t = Cli("test " + archive);
    EXPECT_EQ(t.code, 0) << t.out << t.err;
    Sh("rm -rf out");
    const TCliResult x = Cli("extract " + archive + " -d out");
    ASSERT_EQ(x.code, 0) << x.err;
    EXPECT_EQ(Tree("out"), Tree("src"));
  }
};

TEST_F(ArcmorphZipMethods, PythonBZip2AndLzmaEntries) {
  for (const char* m : {"BZIP2", "LZMA"}) {
    const std::string zip = std::string("py-") + m + ".zip";
    ASSERT_EQ(Sh("cd src && python3 -c \"import zipfile, os\n"
                 "with zipfile.ZipFile('../" + zip + "', 'w', zipfile.ZIP_" + m + ") as z:\n"
                 "  for root, dirs, files in os.walk('.'):\n"
                 "    for f in files: z.write(os.path.join(root, f))\""),
              0);
    ExpectExtractsTheSource(zip);
    const TCliResult l = Cli("list " + zip);
    EXPECT_NE(l.out.find(std::string(m) == "BZIP2" ? "BZip2" : "LZMA"), std::string::npos)
        << l.out;
  }
}

TEST_F(ArcmorphZipMethods, SevenZipBZip2LzmaAndXzEntries) {
  for (const char* m : {"BZip2", "LZMA", "XZ"}) {
    const std::string zip = std::string("7z-") + m + ".zip";
    ASSERT_EQ(Sh(std::string("cd src && 7zz a -tzip -mm=") + m + " ../" + zip + " . >/dev/null"),
              0);
    ExpectExtractsTheSource(zip);
    EXPECT_NE(Cli("list " + zip).out.find(m), std::string::npos);
    // The converter rewrites them as deflated ZIP, tested.
    const std::string copy = std::string("conv-") + m + ".zip";
    const TCliResult c = Cli("convert " + zip + " " + copy);
    EXPECT_EQ(c.code, 0) << c.out << c.err;
    ExpectExtractsTheSource(copy);
  }
}

TEST_F(ArcmorphZipMethods, ZstandardEntriesMadeByHand) {
  if (Sh("command -v zstd >/dev/null") != 0) GTEST_SKIP() << "no zstd";
  WriteFile(dir_ / "make.py", kHandMadePy);
  ASSERT_EQ(Sh("cd src && python3 ../make.py 93 ../zstd.zip random.bin sub/text.txt empty.dat "
               "名字.txt"),
            0);
  ExpectExtractsTheSource("zstd.zip");
  EXPECT_NE(Cli("list zstd.zip").out.find("Zstd"), std::string::npos);
  ASSERT_EQ(Sh("7zz t zstd.zip >/dev/null"), 0) << "the hand-made archive is sound";
}

// A damaged entry fails alone; the others still extract. PPMd (98) is
// reported as unsupported, per entry.
TEST_F(ArcmorphZipMethods, DamagedEntriesFailAloneAndPpmdStaysUnsupported) {
  ASSERT_EQ(Sh("cd src && 7zz a -tzip -mm=LZMA ../lzma.zip sub/text.txt >/dev/null && "
               "7zz a -tzip -mm=BZip2 ../lzma.zip random.bin >/dev/null"),
            0);
  // Flip bytes in the middle of the LZMA entry's data.
  ASSERT_EQ(Sh("python3 -c \"import zipfile\n"
               "i = zipfile.ZipFile('lzma.zip').getinfo('sub/text.txt')\n"
               "d = bytearray(open('lzma.zip','rb').read())\n"
               "at = i.header_offset + 30 + len(i.filename) + len(i.extra) + i.compress_size // 2\n"
               "for k in range(at, at + 40): d[k] ^= 0x55\n"
               "open('lzma.zip','wb').write(d)\""),
            0);
  const TCliResult t = Cli("test lzma.zip");
  EXPECT_NE(t.code, 0);
  EXPECT_NE(t.out.find("OK      random.bin"), std::string::npos) << t.out;
  EXPECT_NE(t.out.find("FAILED  sub/text.txt"), std::string::npos) << t.out;
  const TCliResult x = Cli("extract lzma.zip -d out");
  EXPECT_NE(x.code, 0);
  EXPECT_EQ(Sh("cmp -s src/random.bin out/random.bin"), 0) << "the sound entry came out";
  EXPECT_NE(Sh("test -e out/sub/text.txt"), 0) << "a broken file is not left";

  ASSERT_EQ(Sh("cd src && 7zz a -tzip -mm=PPMd ../ppmd.zip sub/text.txt >/dev/null"), 0);
  EXPECT_NE(Cli("list ppmd.zip").out.find("Unsupported"), std::string::npos);
  EXPECT_NE(Cli("test ppmd.zip").code, 0);
}

}  // namespace
}  // namespace qmx::test
