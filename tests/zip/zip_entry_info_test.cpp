// The format-neutral entry record: what a listing sees of each entry before
// OnBegin (files) or OnEnd (directories, undecodable entries), checked
// against what Python's zipfile wrote.
#include <gtest/gtest.h>
#include <zlib.h>

#include <map>
#include <string>

#include "archive/zip/zip_reader.h"
#include "tests/support/temp_dir.h"

namespace qmx {
namespace {

using test::TempDir;
using test::WriteFile;

std::uint32_t Crc(const std::string& s) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

TEST(ZipEntryInfo, ReaderDescribesEveryEntryBeforeReportingIt) {
  TempDir tmp;
  const std::string text(5000, 'x');
  WriteFile(tmp / "mk.py",
            "import zipfile\n"
            "z = zipfile.ZipFile('" +
                tmp.path() +
                "a.zip', 'w')\n"
                "i = zipfile.ZipInfo('d/a.txt', (2020, 5, 17, 10, 30, 4))\n"
                "z.writestr(i, 'x' * 5000, zipfile.ZIP_DEFLATED)\n"
                "i = zipfile.ZipInfo('s.bin', (1999, 12, 31, 23, 59, 58))\n"
                "z.writestr(i, 'stored', zipfile.ZIP_STORED)\n"
                "z.writestr('d/', '')\n"
                "z.writestr(zipfile.ZipInfo('b.ppmd'), 'y' * 100)\n"
                "z.close()\n"
                "# A method no reader here decodes (98, PPMd), in both headers.\n"
                "d = bytearray(open(z.filename, 'rb').read())\n"
                "at = d.find(b'PK\\x03\\x04', d.rfind(b'PK\\x03\\x04') - 1)\n"
                "d[at + 8] = 98\n"
                "at = d.rfind(b'PK\\x01\\x02')\n"
                "d[at + 10] = 98\n"
                "open(z.filename, 'wb').write(d)\n");
  ASSERT_EQ(test::Run("python3 '" + tmp.path() + "mk.py'"), 0);

  TUnZip z;
  z.SetArchiveFile(tmp / "a.zip");
  z.SetFileSpec({"*.*"});
  std::map<std::string, TEntryInfo> begun, ended;
  z.OnBegin = [&](TZipCommon&, const std::string& name, int, bool& extract) {
    begun[name] = z.EntryInfo();
    extract = false;
  };
  z.OnEnd = [&](TZipCommon&, const std::string& name, bool) { ended[name] = z.EntryInfo(); };
  z.Test();

  ASSERT_EQ(begun.count("d/a.txt"), 1u);
  const TEntryInfo& a = begun["d/a.txt"];
  EXPECT_TRUE(a.Known);
  EXPECT_EQ(a.Name, "d/a.txt");
  EXPECT_EQ(a.UnpackedSize, 5000u);
  EXPECT_LT(a.PackedSize, 100u);
  EXPECT_EQ(a.Crc, Crc(text));
  EXPECT_EQ(a.MethodName, "DeflateN");
  EXPECT_EQ(a.DosDate, (((2020u - 1980) << 9 | 5 << 5 | 17) << 16) | (10u << 11 | 30 << 5 | 2));
  EXPECT_FALSE(a.IsDirectory || a.Encrypted || a.IsSymLink);

  const TEntryInfo& s = begun["s.bin"];
  EXPECT_EQ(s.Name, "s.bin");
  EXPECT_EQ(s.MethodName, "Stored");
  EXPECT_EQ(s.PackedSize, 6u);
  EXPECT_EQ(s.Crc, Crc("stored"));

  // Never offered to OnBegin, yet described when their verdict arrives.
  ASSERT_EQ(ended.count("d/"), 1u);
  EXPECT_TRUE(ended["d/"].IsDirectory);
  EXPECT_EQ(ended["d/"].Name, "d/");
  ASSERT_EQ(ended.count("b.ppmd"), 1u);
  EXPECT_EQ(ended["b.ppmd"].MethodName, "Unsupported");
  EXPECT_EQ(ended["b.ppmd"].UnpackedSize, 100u);
  EXPECT_EQ(begun.count("b.ppmd"), 0u);
}

}  // namespace
}  // namespace qmx
