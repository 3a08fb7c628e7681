#include "archive/base/work_lists.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

namespace qmx {
namespace {

TEST(WorkListsTest, HeaderObjCopiesFixedSizeRecords) {
  THeaderObj list(5);
  std::array<std::uint8_t, 8> src{1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(list.Add(src.data()), 0u);
  const std::uint8_t* first = list.Get(0);
  src.fill(0xEE);  // the list holds its own copy
  EXPECT_EQ(list.Add(src.data()), 1u);
  EXPECT_EQ(list.Add(nullptr), 2u);

  // Many more records: earlier pointers must survive the growth.
  for (int i = 0; i < 1000; ++i) list.Add(src.data());
  EXPECT_EQ(list.Get(0), first);
  EXPECT_EQ(std::vector<std::uint8_t>(first, first + 5),
            (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(list.Get(1)[4], 0xEE);
  EXPECT_EQ(std::vector<std::uint8_t>(list.Get(2), list.Get(2) + 5),
            std::vector<std::uint8_t>(5, 0));

  // A record added from the list itself is copied before the list grows.
  list.Add(list.Get(0));
  EXPECT_EQ(list.Get(list.Count() - 1)[2], 3);

  EXPECT_EQ(list.Count(), 1004u);
  EXPECT_THROW(list.Get(1004), std::out_of_range);
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_THROW(list.Get(0), std::out_of_range);
  EXPECT_EQ(list.RecordSize(), 5u);
}

TEST(WorkListsTest, UnBaseHeaderKeepsOffsetsAndExtras) {
  TUnBaseHeaderObj list;
  TUnBaseHeader rec;
  rec.SetOffset(0x123456789ALL);  // beyond 4 GiB: both halves matter
  rec.VolumeNum = 3;
  rec.Value = 0xCAFEBABE;
  std::vector<std::uint8_t> extra{0x01, 0x00, 0x04, 0x00, 9, 8, 7, 6};
  list.Add(rec, extra.data(), static_cast<std::uint16_t>(extra.size()));
  rec.SetOffset(7);
  extra[4] = 0;
  list.Add(rec);                   // no extra block
  list.Add(rec, extra.data(), 0);  // zero length means none
  list.Add(rec, nullptr, 12);      // no data, nothing to copy

  ASSERT_EQ(list.Count(), 4u);
  EXPECT_EQ(list.Get(0).OffsetLo, 0x3456789Au);
  EXPECT_EQ(list.Get(0).OffsetHi, 0x12u);
  EXPECT_EQ(list.Get(0).Offset(), 0x123456789ALL);
  EXPECT_EQ(list.Get(0).VolumeNum, 3u);
  EXPECT_EQ(list.Get(0).Value, 0xCAFEBABEu);
  EXPECT_EQ(list.ExtraLen(0), 8);
  EXPECT_EQ(list.Extra(0), (std::vector<std::uint8_t>{0x01, 0x00, 0x04, 0x00, 9, 8, 7, 6}));
  EXPECT_EQ(list.Get(1).Offset(), 7);
  for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(list.ExtraLen(i), 0) << i;

  // The largest extra a 16-bit length allows is kept whole.
  std::vector<std::uint8_t> big(0xFFFF, 0x5A);
  list.Add(list.Get(0), big.data(), 0xFFFF);
  EXPECT_EQ(list.ExtraLen(4), 0xFFFF);
  EXPECT_EQ(list.Get(4).Offset(), 0x123456789ALL);

  EXPECT_THROW(list.Get(5), std::out_of_range);
  EXPECT_THROW(list.Extra(5), std::out_of_range);
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_THROW(list.Extra(0), std::out_of_range);
}

TEST(WorkListsTest, CompHeaderObjCopiesEveryPart) {
  TCompHeaderObj list;
  TCompHeader rec;
  rec.State = ceKeep;
  rec.Position = 0x1'0000'0010LL;
  rec.UnpackedSizeHi = SizeBits32To47(0x2'1234'5678ULL);
  rec.PackedSizeHi = 1;
  rec.EncryptHeaders = true;
  rec.EncryptionMethod = emZIP_v2;
  rec.Comment = "first comment";
  rec.Extra = {0x01, 0x99, 0x07, 0x00, 0x02, 0x00, 'A', 'E', 0x03, 0x08, 0x00};
  std::vector<std::uint8_t> block(46, 0x11);
  list.Add(rec, "dir/One.txt", 17, block.data(), block.size());

  // Reusing every source must not reach the list.
  rec.State = ceCompress;
  rec.Comment = "second";
  rec.Extra.clear();
  block.assign(46, 0x22);
  list.Add(rec, "/home/u/src/two.bin", 12);

  ASSERT_EQ(list.Count(), 2u);
  const TCompHeader& first = list.Get(0);
  EXPECT_EQ(first.State, ceKeep);
  EXPECT_EQ(first.Position, 0x1'0000'0010LL);
  EXPECT_EQ(JoinSize(0x12345678u, first.UnpackedSizeHi), 0x2'1234'5678ULL);
  EXPECT_EQ(first.PackedSizeHi, 1);
  EXPECT_TRUE(first.EncryptHeaders);
  EXPECT_EQ(first.EncryptionMethod, emZIP_v2);
  EXPECT_EQ(first.Comment, "first comment");
  EXPECT_EQ(first.ExtraLen(), 11);
  EXPECT_EQ(list.Name(0), "dir/One.txt");
  EXPECT_EQ(list.Tag(0), 17u);
  EXPECT_EQ(list.Block(0), std::vector<std::uint8_t>(46, 0x11));
  EXPECT_EQ(list.Get(1).Comment, "second");
  EXPECT_EQ(list.Get(1).ExtraLen(), 0);
  EXPECT_TRUE(list.Block(1).empty());
  EXPECT_EQ(list.Names(), (TStrings{"dir/One.txt", "/home/u/src/two.bin"}));

  // The framework rewrites names, tags, blocks and states as entries move on.
  list.SetName(1, "src/two.bin");
  list.SetTag(1, 0);
  list.SetBlock(1, block.data(), 30);
  list.Get(1).State = ceDelete;
  EXPECT_EQ(list.Name(1), "src/two.bin");
  EXPECT_EQ(list.Tag(1), 0u);
  EXPECT_EQ(list.Block(1), std::vector<std::uint8_t>(30, 0x22));
  EXPECT_EQ(list.Get(1).State, ceDelete);

  EXPECT_THROW(list.Get(2), std::out_of_range);
  EXPECT_THROW(list.SetName(2, "x"), std::out_of_range);
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_TRUE(list.Names().empty());
  EXPECT_EQ(list.IndexOfName("src/two.bin"), -1);
}

TEST(WorkListsTest, CompHeaderObjNameLookup) {
  TCompHeaderObj list;
  for (const char* n : {"a/readme.txt", "a/README.TXT", "b/x", "a/readme.txt"})
    list.Add(TCompHeader{}, n, 0);
  EXPECT_EQ(list.IndexOfName("A/ReadMe.TXT"), 0);
  EXPECT_EQ(list.IndexOfName("a/README.TXT", false), 1);
  EXPECT_EQ(list.IndexOfName("A/ReadMe.TXT", false), -1);
  EXPECT_EQ(list.IndexOfName("b/x"), 2);
  EXPECT_EQ(list.IndexOfName("b/x2"), -1);
  EXPECT_EQ(list.IndexOfName("b/"), -1);
  // Bytes outside ASCII are compared as they are.
  list.Add(TCompHeader{}, "\xC3\x84.txt", 0);
  EXPECT_EQ(list.IndexOfName("\xC3\x84.TXT"), 4);
  EXPECT_EQ(list.IndexOfName("\xC3\xA4.txt"), -1);
}

// Every part of an entry moves together, both ways.
TEST(WorkListsTest, CompHeaderObjMovesEntriesWithAllTheirParts) {
  TCompHeaderObj list;
  for (std::uint32_t i = 0; i < 5; ++i) {
    TCompHeader h;
    h.Position = i * 100;
    const std::uint8_t block[1] = {static_cast<std::uint8_t>(i)};
    list.Add(h, "n" + std::to_string(i), i, block, 1);
  }
  auto order = [&] {
    std::string s;
    for (std::size_t k = 0; k < list.Count(); ++k) {
      EXPECT_EQ(list.Get(k).Position, list.Tag(k) * 100);
      EXPECT_EQ(list.Block(k)[0], list.Tag(k));
      EXPECT_EQ(list.Name(k), "n" + std::to_string(list.Tag(k)));
      s += std::to_string(list.Tag(k));
    }
    return s;
  };
  list.Move(3, 0);
  EXPECT_EQ(order(), "30124");
  list.Move(0, 4);
  EXPECT_EQ(order(), "01243");
  list.Move(2, 2);
  list.Move(9, 0);
  EXPECT_EQ(order(), "01243");
}

TEST(WorkListsTest, CompHeaderObjRejectsOverlongExtraAndSelfCopies) {
  TCompHeaderObj list;
  TCompHeader rec;
  rec.Extra.assign(0x10000, 0);
  EXPECT_THROW(list.Add(rec, "n", 0), std::length_error);
  EXPECT_EQ(list.Count(), 0u);  // nothing half-added
  EXPECT_TRUE(list.Names().empty());

  rec.Extra.assign(0xFFFF, 1);
  rec.Comment = std::string(300, 'c');
  std::vector<std::uint8_t> block(512, 7);
  list.Add(rec, "dir/entry-with-a-long-name.txt", 9, block.data(), block.size());
  // Adding an entry copied from the list itself, while the list grows.
  for (int i = 0; i < 40; ++i) {
    std::size_t last = list.Count() - 1;
    list.Add(list.Get(last), list.Name(last), list.Tag(last) + 1, list.Block(last).data(),
             list.Block(last).size());
  }
  ASSERT_EQ(list.Count(), 41u);
  const std::size_t last = list.Count() - 1;
  EXPECT_EQ(list.Get(last).ExtraLen(), 0xFFFF);
  EXPECT_EQ(list.Get(last).Comment, std::string(300, 'c'));
  EXPECT_EQ(list.Name(last), "dir/entry-with-a-long-name.txt");
  EXPECT_EQ(list.Tag(last), 49u);
  EXPECT_EQ(list.Block(last), block);
}

}  // namespace
}  // namespace qmx
