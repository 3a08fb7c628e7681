#include "archive/base/errors.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace qmx {
namespace {

TEST(ErrorMessage, KeepsHistoricalSpellingAndPunctuation) {
  // Applications compare these texts, so the odd spellings must survive.
  EXPECT_EQ(ErrorMessage(25101), "64 bit hearder");
  EXPECT_EQ(ErrorMessage(25249), "Inconsistant local header");
  EXPECT_EQ(ErrorMessage(25298), "Size to small");
  EXPECT_EQ(ErrorMessage(25281), "Open paran, but no close paran");
  EXPECT_EQ(ErrorMessage(25103), "Error loading unacev2.dll...");
  EXPECT_EQ(ErrorMessage(25232), "Flat ScrollBar requires COMCTL32.dll version 4.71 or above.");
  EXPECT_EQ(ErrorMessage(25241), "Line found before 'BEGIN'");
  EXPECT_EQ(ErrorMessage(26899), "Directory does not exist... Create?");
}

TEST(ErrorMessage, CodesTheFrameworkUsesByName) {
  EXPECT_EQ(ErrorMessage(E_USER_CANCELED), "User canceled");
  EXPECT_EQ(ErrorMessage(E_DISK_FULL), "Disk full");
  EXPECT_EQ(ErrorMessage(E_UNSUPPORTED_TYPE),
            "Invalid or unsupported archive type for this operation");
  EXPECT_EQ(ErrorMessage(E_PROPERTY_NOT_ASSIGNED), "Required property not assigned");
}

TEST(ErrorMessage, SharedTexts) {
  EXPECT_EQ(ErrorMessage(25172), "EOF not found");
  EXPECT_EQ(ErrorMessage(25179), ErrorMessage(25172));
  EXPECT_EQ(ErrorMessage(E_NOTHING_TO_DO), "Nothing to do");
  EXPECT_EQ(ErrorMessage(E_NOTHING_TO_DO_2), ErrorMessage(E_NOTHING_TO_DO));
}

TEST(ErrorMessage, DialogFilterTexts) {
  EXPECT_EQ(ErrorMessage(26000), "All_files (*.*)|*.*");
  EXPECT_EQ(ErrorMessage(26002), "Executables (*.exe)");
  const std::string all = ErrorMessage(26001);
  EXPECT_EQ(all.rfind("ALL Archives |*.ace;", 0), 0u);
  EXPECT_NE(all.find(";*.jar;"), std::string::npos);
  EXPECT_EQ(all.substr(all.size() - 6), ";*.zoo");
}

TEST(ErrorMessage, CodesWithoutTextAreEmpty) {
  for (int code :
       {0, -1, 25100, 25105, 25109, 25444, 25999, 26003, 26900, 2147483647, -2147483647 - 1})
    EXPECT_EQ(ErrorMessage(code), "") << code;
}

TEST(ErrorMessage, WholeRangeHasPlausibleTexts) {
  // Every message lives inside the library's range and carries no stray
  // whitespace; a misplaced row in the sorted table would hide a neighbour.
  std::set<int> with_text;
  for (int code = 25000; code < 27000; ++code) {
    const std::string m = ErrorMessage(code);
    if (m.empty()) continue;
    with_text.insert(code);
    EXPECT_GE(code, 25101);
    EXPECT_LE(code, 26899);
    EXPECT_NE(m.front(), ' ') << code;
    EXPECT_NE(m.back(), ' ') << code;
  }
  EXPECT_EQ(with_text.size(), 125u);
  EXPECT_TRUE(with_text.count(25101) && with_text.count(26899));
}

}  // namespace
}  // namespace qmx
