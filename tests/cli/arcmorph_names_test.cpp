// Stored names reach the terminal only with their control characters
// escaped: an archive must not be able to drive the user's terminal.
#include <gtest/gtest.h>

#include <string>

#include "app/cli/cli_common.h"
#include "cli/cli_run.h"
#include "support/temp_dir.h"

namespace {

using qmx::cli::Printable;

TEST(Printable, EscapesControlCharactersAndKeepsText) {
  EXPECT_EQ(Printable("a\x1b[31mred\x07.txt"), "a^[[31mred^G.txt");
  EXPECT_EQ(Printable("cr\rlf\ndel\x7f"), "cr^Mlf^Jdel^?");
  EXPECT_EQ(Printable("two\nlines", true), "two\nlines");
  EXPECT_EQ(Printable("c1 \xC2\x9B csi"), "c1 \\u009B csi");
  EXPECT_EQ(Printable("中文名 Кириллица é"), "中文名 Кириллица é");
}

class ArcmorphNames : public qmx::test::TArcmorphTest {};

TEST_F(ArcmorphNames, ListTestAndExtractNeverPrintRawControlCharacters) {
  ASSERT_EQ(qmx::test::Run("cd " + dir_.path() +
                           " && python3 -c \"import zipfile\n"
                           "with zipfile.ZipFile('c.zip', 'w') as z:\n"
                           "  z.writestr('a\\x1b[31mred\\x07.txt', b'x')\n"
                           "  z.writestr('line\\nbreak\\r.txt', b'y')\n\""),
            0);
  for (const char* command : {"list c.zip", "test c.zip", "extract c.zip -d out"}) {
    SCOPED_TRACE(command);
    const auto r = Cli(command);
    EXPECT_EQ(r.code, 0) << r.err;
    const std::string all = r.out + r.err;
    EXPECT_EQ(all.find('\x1b'), std::string::npos) << all;
    EXPECT_EQ(all.find('\x07'), std::string::npos) << all;
    EXPECT_EQ(all.find('\r'), std::string::npos) << all;
    EXPECT_NE(r.out.find("a^[[31mred^G.txt"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("line^Jbreak^M.txt"), std::string::npos) << r.out;
  }
  // The files themselves keep their names.
  EXPECT_EQ(qmx::test::ReadFile(dir_ / "out/a\x1b[31mred\x07.txt"), "x");
}

}  // namespace
