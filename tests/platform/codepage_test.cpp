#include "archive/platform/codepage.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "scratch.h"

namespace qmx {
namespace {

class CodePageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_->Unset("QMX_OEM_CODEPAGE");
    env_->Unset("LC_ALL");
    env_->Unset("LC_CTYPE");
    env_->Set("LANG", "C.UTF-8");
    ResetCodePages();
  }
  void TearDown() override {
    env_.reset();  // put the environment back before re-reading it
    ResetCodePages();
  }
  void Use(const std::string& var, const std::string& value) {
    env_->Set(var, value);
    ResetCodePages();
  }

  std::optional<test::TEnvGuard> env_{std::in_place};
};

TEST_F(CodePageTest, OemCodePageFollowsLocaleAndOverride) {
  EXPECT_EQ(OemCodePage(), "CP437");
  EXPECT_EQ(SystemCodePage(), "UTF-8");

  Use("LANG", "zh_CN.UTF-8");
  EXPECT_EQ(OemCodePage(), "CP936");
  Use("LC_CTYPE", "ja_JP.UTF-8");  // LC_CTYPE before LANG
  EXPECT_EQ(OemCodePage(), "CP932");
  Use("LC_ALL", "ko_KR.UTF-8");  // LC_ALL before both
  EXPECT_EQ(OemCodePage(), "CP949");

  Use("QMX_OEM_CODEPAGE", "850");
  EXPECT_EQ(OemCodePage(), "CP850");
}

TEST_F(CodePageTest, Cp437HighBytesRoundTripThroughUtf8) {
  // Box drawing and accented letters land on their Unicode characters.
  bool ok = false;
  EXPECT_EQ(OemToSystem("\xC4\xCD\xB3", &ok), "\u2500\u2550\u2502");
  EXPECT_TRUE(ok);
  EXPECT_EQ(OemToSystem("M\x81nchen.txt"), "M\u00FCnchen.txt");
  EXPECT_EQ(SystemToOem("\u2500\u2550\u2502", &ok), "\xC4\xCD\xB3");
  EXPECT_TRUE(ok);

  for (int b = 0x80; b <= 0xFF; ++b) {
    const std::string oem(1, static_cast<char>(b));
    const std::string sys = OemToSystem(oem, &ok);
    ASSERT_TRUE(ok) << b;
    EXPECT_NE(sys, oem) << b;
    EXPECT_EQ(SystemToOem(sys, &ok), oem) << b;
    EXPECT_TRUE(ok) << b;
    EXPECT_TRUE(RepresentableInOem(sys)) << b;
  }
}

TEST_F(CodePageTest, UnconvertibleTextKeepsItsBytes) {
  const std::string euro = "price \xE2\x82\xAC.txt";  // no euro sign in CP437
  bool ok = true;
  EXPECT_EQ(SystemToOem(euro, &ok), euro);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(RepresentableInOem(euro));

  const std::string broken = "bad\xFF";  // not UTF-8
  EXPECT_EQ(SystemToOem(broken, &ok), broken);
  EXPECT_FALSE(ok);

  // ASCII is never touched, whatever the code page.
  ok = false;
  EXPECT_EQ(SystemToOem("dir/File-1.TXT", &ok), "dir/File-1.TXT");
  EXPECT_TRUE(ok);
  EXPECT_TRUE(RepresentableInOem("plain"));
  EXPECT_EQ(OemToSystem(""), "");
}

TEST_F(CodePageTest, DoubleByteOemCodePage) {
  Use("QMX_OEM_CODEPAGE", "936");
  const std::string utf8 = "\xE4\xB8\xAD\xE6\x96\x87.txt";  // "中文.txt"
  const std::string gbk = "\xD6\xD0\xCE\xC4.txt";
  bool ok = false;
  EXPECT_EQ(SystemToOem(utf8, &ok), gbk);
  EXPECT_TRUE(ok);
  EXPECT_EQ(OemToSystem(gbk, &ok), utf8);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(RepresentableInOem(utf8));

  // A lone lead byte is incomplete: kept, not cut or replaced.
  EXPECT_EQ(OemToSystem("a\xD6", &ok), "a\xD6");
  EXPECT_FALSE(ok);
  // Hangul is not in GBK.
  EXPECT_FALSE(RepresentableInOem("\xED\x95\x9C"));
}

TEST_F(CodePageTest, ConvertBetweenNamedCodePages) {
  std::string out;
  ASSERT_TRUE(ConvertCodePage("UTF-8", "UTF-16LE", "A\u00E9", out));
  EXPECT_EQ(out, std::string("A\0\xE9\0", 4));
  ASSERT_TRUE(ConvertCodePage("UTF-16LE", "UTF-8", out, out));
  EXPECT_EQ(out, "A\u00E9");

  // Three output bytes per input byte: the output buffer must grow.
  const std::string box(5000, '\xDB');
  ASSERT_TRUE(ConvertCodePage("CP437", "UTF-8", box, out));
  EXPECT_EQ(out.size(), 15000u);
  std::string back;
  ASSERT_TRUE(ConvertCodePage("UTF-8", "CP437", out, back));
  EXPECT_EQ(back, box);

  EXPECT_FALSE(ConvertCodePage("NO-SUCH-CODEPAGE", "UTF-8", "x", out));
  EXPECT_TRUE(ConvertCodePage("UTF-8", "CP437", "", out));
  EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace qmx
