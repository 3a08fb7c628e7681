#include "archive/platform/ascii.h"

#include <gtest/gtest.h>

#include <string>

namespace qmx {
namespace {

TEST(Ascii, FoldsLettersOnly) {
  for (int i = 0; i < 256; ++i) {
    const char c = static_cast<char>(i);
    const bool upper = i >= 'A' && i <= 'Z';
    const bool lower = i >= 'a' && i <= 'z';
    EXPECT_EQ(LowerAscii(c), upper ? static_cast<char>(i + 32) : c) << i;
    EXPECT_EQ(UpperAscii(c), lower ? static_cast<char>(i - 32) : c) << i;
  }
  EXPECT_EQ(LowerAscii(std::string("META-INF/Ab\xC9\xE9.SF")), "meta-inf/ab\xC9\xE9.sf");
  EXPECT_EQ(UpperAscii(std::string("meta-inf/ab\xC9\xE9.sf")), "META-INF/AB\xC9\xE9.SF");
}

TEST(Ascii, ComparesIgnoringCaseOfLettersOnly) {
  EXPECT_TRUE(SameTextAscii("META-INF/manifest.mf", "meta-inf/MANIFEST.MF"));
  EXPECT_TRUE(SameTextAscii("", ""));
  EXPECT_FALSE(SameTextAscii("abc", "abcd"));
  EXPECT_FALSE(SameTextAscii("abcd", "abc"));
  // Neighbours of the letters differ by 32 too, and must stay apart.
  EXPECT_FALSE(SameTextAscii("@[\\]^_", "`{|}~\x7F"));
  // Latin-1 and UTF-8 capitals are not folded.
  EXPECT_FALSE(SameTextAscii("\xC9", "\xE9"));
  EXPECT_FALSE(SameTextAscii("\xC3\x89", "\xC3\xA9"));
  EXPECT_TRUE(SameTextAscii("A\xC9", "a\xC9"));
}

TEST(Ascii, MatchesPrefixesAndSuffixes) {
  EXPECT_TRUE(StartsTextAscii("/Home/User/x", "/home/user/"));
  EXPECT_TRUE(StartsTextAscii("abc", ""));
  EXPECT_FALSE(StartsTextAscii("/home", "/home/"));
  EXPECT_FALSE(StartsTextAscii("\xC9t\xC9", "\xE9t"));

  EXPECT_TRUE(EndsTextAscii("backup.TAR.GZ", ".tar.gz"));
  EXPECT_TRUE(EndsTextAscii(".gz", ".GZ"));
  EXPECT_TRUE(EndsTextAscii("abc", ""));
  EXPECT_FALSE(EndsTextAscii("gz", ".gz"));
  EXPECT_FALSE(EndsTextAscii("archive.tar.gz.bak", ".tar.gz"));
}

}  // namespace
}  // namespace qmx
