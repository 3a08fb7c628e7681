#include "archive/scan/files_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace qmx {
namespace {

std::unique_ptr<TFileObject> Obj(const std::string& name, const std::string& dir = "d/",
                                 std::int64_t size = 0, std::uint32_t time = 0) {
  auto o = std::make_unique<TFileObject>();
  o->FileName = name;
  o->Dir = dir;
  o->SetSize(size);
  o->DosDateTime = time;
  return o;
}

std::vector<std::string> Names(const TFilesList& l) {
  std::vector<std::string> v;
  for (int i = 0; i < l.Count(); ++i) v.push_back(l.Items(i).FileName);
  return v;
}

TEST(FilesList, SortedInsertGoesBeforeEqualEntries) {
  TFilesList l;
  l.SetSortOption(soByName);
  EXPECT_EQ(l.Add(Obj("m")), 0);
  EXPECT_EQ(l.Add(Obj("z")), 1);
  EXPECT_EQ(l.Add(Obj("a")), 0);
  EXPECT_EQ(l.Add(Obj("M", "second/")), 1);  // equal without case: before "m"
  EXPECT_EQ(Names(l), (std::vector<std::string>{"a", "M", "m", "z"}));
  int idx = -1;
  EXPECT_TRUE(l.Find(*Obj("Z"), idx));
  EXPECT_EQ(idx, 3);
  EXPECT_FALSE(l.Find(*Obj("n"), idx));
  EXPECT_EQ(idx, 3);
}

TEST(FilesList, CompareByEachOption) {
  TFilesList l;
  l.Add(Obj("b.TXT", "x/", 1, 5));
  l.Add(Obj("a.zip", "Y/", std::int64_t{5} << 30, 0x80000000u));  // 5 GiB, year 2044
  l.Add(Obj("C.doc", "a/", 0x7fffffff, 7));
  l.SetSortOption(soByName);
  EXPECT_EQ(Names(l), (std::vector<std::string>{"a.zip", "b.TXT", "C.doc"}));
  l.SetSortOption(soByType);
  EXPECT_EQ(Names(l), (std::vector<std::string>{"C.doc", "b.TXT", "a.zip"}));
  l.SetSortOption(soByPath);
  EXPECT_EQ(Names(l), (std::vector<std::string>{"C.doc", "b.TXT", "a.zip"}));
  l.SetSortOption(soBySize);
  EXPECT_EQ(Names(l), (std::vector<std::string>{"b.TXT", "C.doc", "a.zip"}));
  l.SetSortOption(soByTime);
  EXPECT_EQ(Names(l), (std::vector<std::string>{"b.TXT", "C.doc", "a.zip"}));
  l.SetSortOption(soUnsort);  // order of arrival comes back
  EXPECT_EQ(Names(l), (std::vector<std::string>{"b.TXT", "a.zip", "C.doc"}));
  l.SetCaseSensitive(true);
  l.SetSortOption(soByName);
  EXPECT_EQ(Names(l), (std::vector<std::string>{"C.doc", "a.zip", "b.TXT"}));
}

TEST(FilesList, QuickSortOrdersLargeListsAndDeleteClearWork) {
  std::mt19937 rng(7);
  TFilesList l;
  std::vector<std::int64_t> sizes;
  for (int i = 0; i < 5000; ++i) {
    const std::int64_t s = rng() % 50;  // many equal keys
    sizes.push_back(s);
    l.Add(Obj(std::to_string(i), "d/", s));
  }
  l.SetSortOption(soBySize);
  std::sort(sizes.begin(), sizes.end());
  for (int i = 0; i < l.Count(); ++i) ASSERT_EQ(l.Items(i).Size(), sizes[i]);
  // Sorted insertion keeps the order.
  l.Add(Obj("new", "d/", 25));
  for (int i = 1; i < l.Count(); ++i) ASSERT_LE(l.Items(i - 1).Size(), l.Items(i).Size());
  l.Delete(0);
  l.Delete(l.Count());  // out of range: ignored
  EXPECT_EQ(l.Count(), 5000);
  l.Clear();
  EXPECT_EQ(l.Count(), 0);
}

}  // namespace
}  // namespace qmx
