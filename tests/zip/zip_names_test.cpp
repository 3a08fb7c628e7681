// How stored names become output names: unflagged UTF-8 (what macOS and
// many Unix tools write), OEM names, a chosen code page, and colons.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/platform/codepage.h"
#include "archive/zip/zip_reader.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

namespace qmx {
namespace {

using test::TempDir;

// An archive of Python's whose placeholder names are swapped for raw bytes
// of the same length, with flag bit 11 clear.
std::string ZipWithRawNames(const TempDir& d, const std::string& placeholders,
                            const std::string& python) {
  const std::string path = d / "names.zip";
  test::WriteFile(d / "make.py",
                  "import zipfile\n"
                  "with zipfile.ZipFile('" +
                      path +
                      "', 'w') as z:\n"
                      "  for n in " +
                      placeholders +
                      ": z.writestr(n, b'data')\n"
                      "data = open('" +
                      path + "', 'rb').read()\n" + python + "open('" + path +
                      "', 'wb').write(data)\n");
  EXPECT_EQ(test::Run("python3 " + d / "make.py"), 0);
  return path;
}

struct TReported {
  int Code;
  std::string Reason;
};

std::set<std::string> ExtractedNames(const std::string& archive, const std::string& dir,
                                     std::vector<TReported>* reported = nullptr) {
  TUnZip z;
  z.SetArchiveFile(archive);
  z.SetExtractDir(dir);
  z.SetFileSpec({"*.*"});
  std::set<std::string> names;
  z.OnEnd = [&](TZipCommon&, const std::string& name, bool pass) {
    if (pass) names.insert(name.substr(dir.size()));
  };
  z.OnError = [&](TZipCommon&, const std::string&, const std::string& reason, const std::string&,
                  int code) {
    if (reported) reported->push_back({code, reason});
  };
  z.Extract();
  return names;
}

TEST(ZipNames, UnflaggedUtf8IsReadAsUtf8UnlessACodePageIsChosen) {
  TempDir d;
  // "世界.txt" in UTF-8 and "café.txt" in CP437, both without the flag.
  const std::string archive = ZipWithRawNames(d, "['ABCDEF.txt', 'cafX.txt']",
                                              "data = data.replace(b'ABCDEF', '世界'.encode())"
                                              ".replace(b'cafX', b'caf\\x82')\n");
  test::TEnvGuard env;
  env.Unset("QMX_OEM_CODEPAGE");
  ResetCodePages();
  EXPECT_EQ(ExtractedNames(archive, d / "guess/"), (std::set<std::string>{"世界.txt", "café.txt"}));

  // A chosen code page is taken at its word, as unzip -O and 7z -mcp do.
  SetOemCodePage("437");
  const auto chosen = ExtractedNames(archive, d / "cp437/");
  SetOemCodePage("");
  EXPECT_EQ(chosen.count("世界.txt"), 0u);
  EXPECT_EQ(chosen.count("café.txt"), 1u);
  EXPECT_EQ(chosen.size(), 2u);
}

TEST(ZipNames, OnlyALeadingLetterAndColonIsADrive) {
  TempDir d;
  const std::string archive =
      ZipWithRawNames(d, "['ab:cd.txt', 'x/C:/y.txt', 'C:/z.txt', '123456789:;<=>?@']", "");
  EXPECT_EQ(ExtractedNames(archive, d / "out/"),
            (std::set<std::string>{"ab:cd.txt", "x/C:/y.txt", "z.txt", "123456789:;<=>?@"}));
}

// Names that cannot become files are refused with the reason, never cut;
// the other entries are extracted.
TEST(ZipNames, NulTooLongComponentAndPathAreRefusedNotCut) {
  TempDir d;
  const std::string longPart(300, 'p');
  std::string deep;
  for (int i = 0; i < 2500; ++i) deep += "a/";
  const std::string archive =
      ZipWithRawNames(d, "['nulXname.txt', '" + longPart + ".txt', '" + deep + "x.txt', 'ok.txt']",
                      "data = data.replace(b'nulXname', b'nul\\x00name')\n");
  std::vector<TReported> reported;
  EXPECT_EQ(ExtractedNames(archive, d / "out/", &reported), (std::set<std::string>{"ok.txt"}));
  std::vector<std::string> reasons;
  for (const auto& r : reported)
    if (r.Code == E_INVALID_NAME) reasons.push_back(r.Reason);
  EXPECT_EQ(reasons, (std::vector<std::string>{"the name contains a NUL byte",
                                               "a part of the name is longer than 255 bytes",
                                               "the path is longer than 4095 bytes"}));
  EXPECT_EQ(test::Run("test -e " + d / "out/nul"), 1) << "no file under a cut name";
}

// The local name is used; a central directory that says otherwise is
// reported, as unzip does.
TEST(ZipNames, LocalAndCentralNamesThatDifferAreReported) {
  TempDir d;
  // Only the first occurrence (the local header) changes.
  const std::string archive =
      ZipWithRawNames(d, "['shown.txt']", "data = data.replace(b'shown', b'local', 1)\n");
  std::vector<TReported> reported;
  EXPECT_EQ(ExtractedNames(archive, d / "out/", &reported), (std::set<std::string>{"local.txt"}));
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].Code, E_NAME_MISMATCH);
  EXPECT_EQ(reported[0].Reason, "the central directory names it shown.txt");
}

}  // namespace
}  // namespace qmx
