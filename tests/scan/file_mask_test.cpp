#include "archive/scan/file_mask.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace qmx {
namespace {

bool M(const std::string& mask, const std::string& name) {
  return TInternalMask(mask).Matches(name);
}

TEST(InternalMask, ExtensionRules) {
  // Raw "*.*" needs a dot; the scanner turns FileSpec "*.*" into "*" itself.
  EXPECT_FALSE(M("*.*", "README"));
  EXPECT_TRUE(M("*.*", "a.b"));
  EXPECT_TRUE(M("*", "README"));
  EXPECT_TRUE(M("*.", "README"));
  EXPECT_FALSE(M("*.", "a.txt"));
  EXPECT_TRUE(M("READ*.", "readme"));
}

TEST(InternalMask, StarQuestionMarkActsAsStar) {
  EXPECT_TRUE(M("a*?c", "abc"));
  EXPECT_TRUE(M("a*?c", "ac"));
  EXPECT_FALSE(M("a*?c", "ab"));
  EXPECT_FALSE(M("a?c", "ac"));
}

TEST(InternalMask, CaseAndLiterals) {
  EXPECT_TRUE(M("*.TXT", "x.txt"));
  EXPECT_TRUE(M("*.txt", "X.TXT"));
  EXPECT_TRUE(M("[a].txt", "[A].TXT"));
  EXPECT_FALSE(M("[a].txt", "a.txt"));
  EXPECT_TRUE(M("[*", "[abc"));
  // Only ASCII folds; other bytes compare exactly.
  EXPECT_TRUE(M("\xc3\xa4*", "\xc3\xa4.txt"));
  EXPECT_FALSE(M("\xc3\xa4*", "\xc3\x84.txt"));
}

TEST(InternalMask, LongAndPathologicalMasks) {
  const std::string q(200, '?');
  EXPECT_TRUE(M(q, std::string(200, 'x')));
  EXPECT_FALSE(M(q, std::string(199, 'x')));
  std::string stars;
  for (int i = 0; i < 40; ++i) stars += "*a";
  EXPECT_FALSE(M(stars + "*b", std::string(20000, 'a')));
  EXPECT_TRUE(M(stars + "*b", std::string(20000, 'a') + "b"));
}

// Straightforward reference: "*?" folds to "*", a trailing-dot mask adds a
// dot to dot-less names, then whole-name glob matching by table.
bool Reference(std::string mask, std::string name) {
  if (!mask.empty() && mask.back() == '.' && name.find('.') == std::string::npos) name += '.';
  std::string m;
  for (char c : mask) {
    if (c == '?' && !m.empty() && m.back() == '*') continue;
    m += c;
  }
  auto up = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; };
  std::vector<std::vector<bool>> t(m.size() + 1, std::vector<bool>(name.size() + 1));
  t[m.size()][name.size()] = true;
  for (std::size_t i = m.size(); i-- > 0;)
    for (std::size_t j = name.size() + 1; j-- > 0;) {
      if (m[i] == '*')
        t[i][j] = t[i + 1][j] || (j < name.size() && t[i][j + 1]);
      else if (j < name.size() && (m[i] == '?' || up(m[i]) == up(name[j])))
        t[i][j] = t[i + 1][j + 1];
    }
  return t[0][0];
}

TEST(InternalMask, AgreesWithReferenceOnRandomInput) {
  std::mt19937 rng(12345);
  const std::string maskChars = "ab.*?A";
  const std::string nameChars = "abB.";
  for (int n = 0; n < 20000; ++n) {
    std::string mask, name;
    for (int i = rng() % 8; i > 0; --i) mask += maskChars[rng() % maskChars.size()];
    for (int i = rng() % 10; i > 0; --i) name += nameChars[rng() % nameChars.size()];
    ASSERT_EQ(M(mask, name), Reference(mask, name))
        << "mask '" << mask << "' name '" << name << "'";
  }
}

TEST(MaskString, SplitsAndTrims) {
  EXPECT_EQ(SplitMaskString("  *.txt , a b ,*.doc  "), (TStrings{"*.txt", "a b", "*.doc"}));
  EXPECT_EQ(SplitMaskString(" , ,"), TStrings{});
  TMaskCollection c;
  c.AddMaskString("*.txt, README");
  ASSERT_EQ(c.Count(), 2u);
  EXPECT_EQ(c.Items(1).Text(), "README");
  EXPECT_TRUE(c.Matches("readme"));
  EXPECT_TRUE(c.Matches("x.TXT"));
  EXPECT_FALSE(c.Matches("x.doc"));
  EXPECT_FALSE(TMaskCollection().Matches("x"));
}

}  // namespace
}  // namespace qmx
