// arcmorph on files whose end record cannot be trusted: nothing to read is
// an unusable archive, and a damaged directory is said while the entries
// are still found.
#include <gtest/gtest.h>

#include <string>

#include "cli/cli_run.h"
#include "support/temp_dir.h"

namespace {

using qmx::test::ReadFile;
using qmx::test::WriteFile;

class ArcmorphLocate : public qmx::test::TArcmorphTest {
 protected:
  // a.txt and sub/b.txt, written by Python's zipfile.
  std::string MakeZip() {
    WriteFile(dir_ / "make.py",
              "import zipfile\n"
              "with zipfile.ZipFile('ok.zip', 'w', zipfile.ZIP_DEFLATED) as z:\n"
              "    z.writestr('a.txt', 'alpha ' * 40)\n"
              "    z.writestr('sub/b.txt', 'bravo ' * 60)\n");
    EXPECT_EQ(qmx::test::Run("cd " + dir_.path() + " && python3 make.py"), 0);
    return ReadFile(dir_ / "ok.zip");
  }
};

TEST_F(ArcmorphLocate, TooShortFileIsNotAnArchive) {
  const std::string zip = MakeZip();
  // The end record without its last byte.
  WriteFile(dir_ / "short.zip", zip.substr(zip.size() - 22, 21));
  for (const char* command : {"list", "test"}) {
    const qmx::test::TCliResult r = Cli(std::string(command) + " short.zip");
    EXPECT_EQ(r.code, 2) << command << "\n" << r.err;
    EXPECT_NE(r.err.find("short.zip: Error#: 25259 Header not found"), std::string::npos)
        << command << "\n"
        << r.err;
  }
}

TEST_F(ArcmorphLocate, DirectorySizeZeroStillFindsTheEntries) {
  std::string zip = MakeZip();
  const std::size_t end = zip.rfind(std::string("PK\x05\x06", 4));
  ASSERT_NE(end, std::string::npos);
  zip.replace(end + 12, 4, std::string(4, '\0'));
  WriteFile(dir_ / "size0.zip", zip);

  const qmx::test::TCliResult t = Cli("test size0.zip");
  EXPECT_NE(t.out.find("OK      a.txt\n"), std::string::npos) << t.out;
  EXPECT_NE(t.out.find("OK      sub/b.txt\n"), std::string::npos) << t.out;
  EXPECT_NE(t.out.find("2 entries tested, 0 failed"), std::string::npos) << t.out;
  EXPECT_NE(t.err.find("Central directory is damaged"), std::string::npos) << t.err;
  // The archive is damaged, not unusable.
  EXPECT_EQ(t.code, 1) << t.err;

  const qmx::test::TCliResult x = Cli("extract -d out size0.zip");
  std::string bravo;
  for (int i = 0; i < 60; ++i) bravo += "bravo ";
  EXPECT_EQ(ReadFile(dir_ / "out/sub/b.txt"), bravo);
  EXPECT_EQ(x.code, 1) << x.err;
}

}  // namespace
