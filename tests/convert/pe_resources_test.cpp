#include "archive/convert/pe_resources.h"

#include <gtest/gtest.h>

#include "pe_builder.h"
#include "zip/records_fixture.h"

namespace qmx {
namespace {

using namespace petest;
using ziptest::MemStream;

TEST(PeResources, StringsOfBlockOneAtMostFiveCharacters) {
  for (bool plus : {false, true}) {
    TPeOptions o;
    o.Pe32Plus = plus;
    o.LanguageId = 0x804;  // whichever language comes first
    o.Strings = {{1, U16("7716")}, {2, U16("1234567")}, {3, u"9\u00e9\u4e2d1"}, {7, U16("x")}};
    auto s = MemStream(BuildPe(o));
    TPeStringTable t;
    ASSERT_TRUE(t.Open(*s)) << plus;
    EXPECT_EQ(t.LoadString(1), "7716");
    EXPECT_EQ(t.LoadString(2), "12345");
    EXPECT_EQ(t.LoadString(2, 7), "1234567");
    EXPECT_EQ(t.LoadString(3), "9??1");
    EXPECT_EQ(t.LoadString(4), "");
    EXPECT_EQ(t.LoadString(7), "x");
    EXPECT_EQ(t.LoadString(16), "");  // block 2 does not exist
  }
}

TEST(PeResources, ImagesWithoutAStringTableAreRefused) {
  TPeStringTable t;
  EXPECT_FALSE(t.Open(*MemStream(TBytes(200, 'a'))));
  TBytes dos(600, 0);  // "MZ" but no PE header where e_lfanew points
  dos[0] = 'M', dos[1] = 'Z';
  PutLE32(dos.data() + 0x3C, 0x100);
  EXPECT_FALSE(t.Open(*MemStream(dos)));
  TBytes pe = BuildPe({});
  PutLE32(pe.data() + 0x40 + 24 + 96 + 16, 0);  // no resource directory
  EXPECT_FALSE(t.Open(*MemStream(pe)));

  // A name level that points back at the root ends the fixed walk, and a
  // cut-off image reads as missing strings.
  pe = BuildPe({.Strings = {{1, U16("42")}}});
  PutLE32(pe.data() + 0x200 + 0x18 + 20, 0x80000000u);
  auto s = MemStream(pe);
  ASSERT_TRUE(t.Open(*s));
  EXPECT_EQ(t.LoadString(1), "");
  pe = BuildPe({.Strings = {{1, U16("42")}}});
  pe.resize(0x200 + 0x60);
  auto cut = MemStream(pe);
  ASSERT_TRUE(t.Open(*cut));
  EXPECT_EQ(t.LoadString(1), "");
}

}  // namespace
}  // namespace qmx
