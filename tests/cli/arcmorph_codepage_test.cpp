// --codepage: names stored without the UTF-8 flag are read in the OEM code
// page the user names, as unzip -O and 7-Zip's -mcp offer.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app/cli/cli_common.h"
#include "archive/platform/codepage.h"
#include "cli/cli_run.h"
#include "support/env_guard.h"
#include "support/raw_zip.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace qmx::cli {
namespace {

using test::TCliResult;

void Put16(std::string& s, unsigned v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}

void Put32(std::string& s, std::uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}

// One stored entry whose name is rawName as is: flag bit 11 clear, made by
// MS-DOS (host 0), as Windows writes names in its OEM code page.
std::string OemZip(const std::string& rawName, const std::string& data) {
  const auto crc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
  const std::uint32_t dosTime =
      (44u << 25 | 1u << 21 | 1u << 16) | (12u << 11);  // 2024-01-01 12:00
  auto common = [&](std::string& s) {
    Put16(s, 0);  // flags: no UTF-8 name
    Put16(s, 0);  // stored
    Put32(s, dosTime);
    Put32(s, crc);
    Put32(s, static_cast<std::uint32_t>(data.size()));
    Put32(s, static_cast<std::uint32_t>(data.size()));
    Put16(s, static_cast<unsigned>(rawName.size()));
    Put16(s, 0);  // extra
  };
  std::string zip;
  Put32(zip, 0x04034b50);
  Put16(zip, 20);
  common(zip);
  zip += rawName + data;
  const auto centralAt = static_cast<std::uint32_t>(zip.size());
  Put32(zip, 0x02014b50);
  Put16(zip, 20);  // made by MS-DOS, version 2.0
  Put16(zip, 20);
  common(zip);
  Put16(zip, 0);  // comment
  Put16(zip, 0);  // disk
  Put16(zip, 0);  // internal attributes
  Put32(zip, 0x20);
  Put32(zip, 0);  // local header offset
  zip += rawName;
  const auto centralSize = static_cast<std::uint32_t>(zip.size()) - centralAt;
  Put32(zip, 0x06054b50);
  Put32(zip, 0);
  Put16(zip, 1);
  Put16(zip, 1);
  Put32(zip, centralSize);
  Put32(zip, centralAt);
  Put16(zip, 0);
  return zip;
}

struct TNameCase {
  std::string CodePage, Raw, Utf8;
};

// Names in three OEM code pages, each invalid as UTF-8.
const std::vector<TNameCase>& NameCases() {
  static const std::vector<TNameCase> cases = {
      {"936", "\xd6\xd0\xce\xc4\xc3\xfb.txt", "中文名.txt"},
      {"866", "\xe2\xa5\xe1\xe2.txt", "тест.txt"},
      {"932", "\x93\xfa\x96\x7b\x8c\xea.txt", "日本語.txt"},
  };
  return cases;
}

class ArcmorphCodePage : public ::testing::Test {
 protected:
  TCliResult Cli(const std::string& args, const std::string& env = "") {
    return test::RunCli(dir_.path(), test::ArcmorphBinary(), args, env);
  }
  int Sh(const std::string& cmd) { return test::Run("cd '" + dir_.path() + "' && " + cmd); }
  test::TempDir dir_;
};

TEST_F(ArcmorphCodePage, ListTestAndExtractReadNamesInTheChosenCodePage) {
  for (const TNameCase& c : NameCases()) {
    SCOPED_TRACE(c.CodePage);
    const std::string zip = "cp" + c.CodePage + ".zip";
    test::WriteFile(dir_ / zip, OemZip(c.Raw, "contents " + c.CodePage));
    const std::string option = " --codepage " + c.CodePage;

    // Python's zipfile, told the same code page, reads the same name.
    ASSERT_EQ(Sh("python3 -c \"import zipfile; print(zipfile.ZipFile('" + zip +
                 "', metadata_encoding='cp" + c.CodePage + "').namelist()[0])\" > peer.txt"),
              0);
    EXPECT_EQ(test::ReadFile(dir_ / "peer.txt"), c.Utf8 + "\n");

    TCliResult l = Cli("list " + zip + option);
    EXPECT_EQ(l.code, 0) << l.err;
    EXPECT_NE(l.out.find("  " + c.Utf8 + "\n"), std::string::npos) << l.out;
    TCliResult t = Cli("test " + zip + option);
    EXPECT_EQ(t.code, 0) << t.err;
    EXPECT_NE(t.out.find("OK      " + c.Utf8 + "\n"), std::string::npos) << t.out;
    TCliResult x = Cli("extract -q " + zip + " -d out" + c.CodePage + option);
    EXPECT_EQ(x.code, 0) << x.err;
    EXPECT_EQ(test::ReadFile(dir_ / ("out" + c.CodePage + "/" + c.Utf8)), "contents " + c.CodePage);
  }
}

TEST_F(ArcmorphCodePage, TheOptionOutranksTheEnvironmentWhichStaysTheDefault) {
  const TNameCase& c = NameCases()[0];
  test::WriteFile(dir_ / "a.zip", OemZip(c.Raw, "x"));
  TCliResult fromEnv = Cli("list a.zip", "QMX_OEM_CODEPAGE=936");
  EXPECT_NE(fromEnv.out.find("  " + c.Utf8 + "\n"), std::string::npos) << fromEnv.out;
  TCliResult overruled = Cli("list a.zip --codepage CP936", "QMX_OEM_CODEPAGE=866");
  EXPECT_NE(overruled.out.find("  " + c.Utf8 + "\n"), std::string::npos) << overruled.out;
  TCliResult byName = Cli("list a.zip --codepage=GBK", "QMX_OEM_CODEPAGE=437");
  EXPECT_NE(byName.out.find("  " + c.Utf8 + "\n"), std::string::npos) << byName.out;
  TCliResult other = Cli("list a.zip --codepage 866");
  EXPECT_EQ(other.out.find(c.Utf8), std::string::npos) << "866 reads other characters";
}

// Updating and converting an archive from Chinese Windows: its names must be
// understood in its code page to be matched and carried over.
TEST_F(ArcmorphCodePage, AddAndConvertReadExistingNamesInTheChosenCodePage) {
  const TNameCase& c = NameCases()[0];
  fs::create_directories(dir_ / "src");
  test::WriteFile(dir_ / ("src/" + c.Utf8), "newer");
  for (const std::string cp : {"936", "437"}) {
    SCOPED_TRACE(cp);
    const std::string zip = "update" + cp + ".zip";
    test::WriteFile(dir_ / zip, OemZip(c.Raw, "older"));
    TCliResult add = Cli("add -q " + zip + " src/" + c.Utf8 + " --codepage " + cp);
    ASSERT_EQ(add.code, 0) << add.err;
    // Read as 936 the file replaces its entry; as 437 the names differ.
    EXPECT_EQ(test::ListZip(test::Load(dir_ / zip)).size(), cp == "936" ? 1u : 2u);
  }
  TCliResult x = Cli("extract -q update936.zip -d updated --codepage 936");
  EXPECT_EQ(x.code, 0) << x.err;
  EXPECT_EQ(test::ReadFile(dir_ / ("updated/" + c.Utf8)), "newer");

  test::WriteFile(dir_ / "old.zip", OemZip(c.Raw, "converted"));
  TCliResult conv = Cli("convert -q old.zip copy.zip --codepage 936");
  ASSERT_EQ(conv.code, 0) << conv.err;
  TCliResult back = Cli("extract -q copy.zip -d copy --codepage 936");
  EXPECT_EQ(back.code, 0) << back.err;
  EXPECT_EQ(test::ReadFile(dir_ / ("copy/" + c.Utf8)), "converted");
}

TEST_F(ArcmorphCodePage, AnUnknownCodePageIsAUsageErrorThatNamesIt) {
  test::WriteFile(dir_ / "a.zip", OemZip(NameCases()[0].Raw, "x"));
  test::WriteFile(dir_ / "file.txt", "x");
  for (const std::string& run : std::vector<std::string>{
           "list a.zip", "test a.zip", "extract a.zip -d out", "add b.zip file.txt",
           "convert a.zip c.zip", "list a.zip --codepage NOT-A-CHARSET"}) {
    SCOPED_TRACE(run);
    const bool ownValue = run.find("--codepage") != std::string::npos;
    TCliResult r = Cli(run + (ownValue ? "" : " --codepage 99999"));
    EXPECT_EQ(r.code, 2);
    const std::string named = ownValue ? run.substr(run.find("--codepage") + 11) : "99999";
    EXPECT_NE(r.err.find("unknown code page " + named + "\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(fs::exists(dir_ / "out"));
  EXPECT_FALSE(fs::exists(dir_ / "b.zip"));
  EXPECT_FALSE(fs::exists(dir_ / "c.zip"));
  EXPECT_EQ(Cli("detect a.zip --codepage 936").code, 2) << "detect reads no names";

  const std::string jarname = test::JarnameBinary();
  if (jarname.empty()) GTEST_SKIP() << "jarname not built";
  TCliResult j = test::RunCli(dir_.path(), jarname, "show a.zip --codepage 99999");
  EXPECT_EQ(j.code, 2);
  EXPECT_NE(j.err.find("unknown code page 99999"), std::string::npos) << j.err;
}

// In-process: the choice reaches the library's conversions and stays
// until it is withdrawn.
class ChosenCodePage : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.Set("QMX_OEM_CODEPAGE", "866");
    ResetCodePages();
  }
  void TearDown() override {
    SetOemCodePage("");
    ResetCodePages();
  }
  test::TEnvGuard env_;
};

TEST_F(ChosenCodePage, TheChoiceOutranksTheEnvironmentUntilWithdrawn) {
  const TNameCase& c = NameCases()[0];
  ASSERT_EQ(OemCodePage(), "CP866");
  std::string error;
  ASSERT_TRUE(ChooseOemCodePage("936", error)) << error;
  EXPECT_EQ(OemCodePage(), "CP936");
  EXPECT_EQ(OemToSystem(c.Raw), c.Utf8);
  EXPECT_EQ(SystemToOem(c.Utf8), c.Raw);
  ResetCodePages();
  EXPECT_EQ(OemCodePage(), "CP936") << "re-reading the environment keeps the choice";

  EXPECT_FALSE(ChooseOemCodePage("99999", error));
  EXPECT_EQ(error, "unknown code page 99999");
  EXPECT_EQ(OemCodePage(), "CP936") << "a refused name changes nothing";

  SetOemCodePage("");
  EXPECT_EQ(OemCodePage(), "CP866");
}

}  // namespace
}  // namespace qmx::cli
