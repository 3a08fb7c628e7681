// End records and directory sizes that lie. The reader either finds the
// entries (from the directory or, when that cannot be trusted, from the
// local headers, saying so) or reports that there is nothing to read; it
// never ends with zero entries and no word.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/zip/zip_reader.h"
#include "records_fixture.h"

namespace qmx {
namespace {

namespace fs = std::filesystem;
using namespace ziptest;

struct TReadResult {
  std::set<std::string> Names;
  std::vector<int> Errors;
  bool AllPassed = true;
  bool Has(int code) const { return std::count(Errors.begin(), Errors.end(), code) > 0; }
};

std::string Normal(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  while (!name.empty() && name.back() == '/') name.pop_back();
  return name;
}

// A test run of the reader: every entry it offers, and what it reported.
TReadResult ReadAll(const std::string& path) {
  TUnZip z;
  TReadResult r;
  z.SetArchiveFile(path);
  z.SetFileSpec({"*.*"});
  z.TranslateOemChar = false;
  z.OnEnd = [&](TZipCommon&, const std::string& name, bool pass) {
    r.Names.insert(Normal(name));
    r.AllPassed = r.AllPassed && pass;
  };
  z.OnError = [&](TZipCommon&, const std::string&, const std::string&, const std::string&,
                  int code) { r.Errors.push_back(code); };
  z.Test();
  return r;
}

TReadResult ReadBytes(const test::TempDir& d, const std::string& name, const TBytes& b) {
  test::WriteFile(d / name, std::string(b.begin(), b.end()));
  return ReadAll(d / name);
}

// The entry names of "7zz l -slt" in a stored listing; empty when 7-Zip
// could not open the file.
std::set<std::string> SevenZipNames(const std::string& listing) {
  std::ifstream in(listing);
  std::set<std::string> names;
  bool inList = false, entries = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("$ ", 0) == 0) {
      if (inList) break;
      inList = line.find("7zz l -slt") != std::string::npos;
      continue;
    }
    if (!inList) continue;
    if (line == "----------") entries = true;
    if (entries && line.rfind("Path = ", 0) == 0) names.insert(Normal(line.substr(7)));
  }
  return names;
}

// The entry names "unzip -Z1" lists (it exits 1 after a warning).
std::set<std::string> UnzipNames(const std::string& path) {
  test::TempDir d;
  std::set<std::string> names;
  if (test::Run("unzip -Z1 '" + path + "' > " + d / "names 2>/dev/null") > 1) return names;
  std::ifstream in(d / "names");
  for (std::string line; std::getline(in, line);) names.insert(Normal(line));
  return names;
}

const std::string kFirst = "first.txt", kSecond = "dir/second.bin", kThird = "third.txt";
const std::set<std::string> kAll = {kFirst, kSecond, kThird};

std::size_t EndAt(const TBytes& b) {
  for (std::size_t i = b.size() - 22;; --i)
    if (GetLE32(b.data() + i) == kZipEndSig) return i;
}

// The Python archive with its end record turned into Zip64 form: a Zip64
// end record and locator in front, the plain fields all ones.
TBytes WithZip64(const TBytes& zip, std::uint64_t dirSize) {
  const std::size_t end = EndAt(zip);
  const std::uint32_t size = GetLE32(zip.data() + end + 12),
                      offset = GetLE32(zip.data() + end + 16);
  TBytes b(zip.begin(), zip.begin() + static_cast<std::ptrdiff_t>(end));
  const std::size_t rec = b.size();
  TBytes z64(56 + 20, 0);
  PutLE32(z64.data(), kZip64EndSig);
  PutLE64(z64.data() + 4, 44);
  PutLE16(z64.data() + 12, 45);
  PutLE16(z64.data() + 14, 45);
  PutLE64(z64.data() + 24, 3);
  PutLE64(z64.data() + 32, 3);
  PutLE64(z64.data() + 40, dirSize ? dirSize : size);
  PutLE64(z64.data() + 48, offset);
  PutLE32(z64.data() + 56, kZip64LocatorSig);
  PutLE64(z64.data() + 64, rec);
  PutLE32(z64.data() + 72, 1);
  b.insert(b.end(), z64.begin(), z64.end());
  TBytes e(zip.begin() + static_cast<std::ptrdiff_t>(end), zip.end());
  PutLE16(e.data() + 8, 0xFFFF);
  PutLE16(e.data() + 10, 0xFFFF);
  PutLE32(e.data() + 12, 0xFFFFFFFF);
  PutLE32(e.data() + 16, 0xFFFFFFFF);
  b.insert(b.end(), e.begin(), e.end());
  return b;
}

class ZipLocateHostile : public ::testing::Test {
 protected:
  void SetUp() override { zip_ = PythonZip(); }
  TBytes Patched(std::size_t field, std::uint32_t value) const {
    TBytes b = zip_;
    PutLE32(b.data() + EndAt(b) + field, value);
    return b;
  }
  test::TempDir d_;
  TBytes zip_;
};

TEST_F(ZipLocateHostile, ImpossibleDirectorySizesFallBackToTheLocalHeaders) {
  const TReadResult plain = ReadBytes(d_, "plain.zip", zip_);
  ASSERT_EQ(plain.Names, kAll);
  ASSERT_TRUE(plain.Errors.empty());

  // Size 0 with entries declared, beyond the file, negative as int32; and
  // a count whose fixed parts alone outgrow the directory.
  TBytes count = zip_;
  PutLE16(count.data() + EndAt(count) + 10, 0xFFFF);
  const std::pair<const char*, TBytes> cases[] = {{"size0.zip", Patched(12, 0)},
                                                  {"huge.zip", Patched(12, 0x7FFF0000)},
                                                  {"negative.zip", Patched(12, 0x80000010)},
                                                  {"count.zip", count}};
  for (const auto& [name, bytes] : cases) {
    const TReadResult r = ReadBytes(d_, name, bytes);
    EXPECT_EQ(r.Names, kAll) << name;
    EXPECT_TRUE(r.AllPassed) << name;
    EXPECT_TRUE(r.Has(E_CENTRAL_DAMAGED)) << name;
  }
}

TEST_F(ZipLocateHostile, OffsetBeyondTheEndRecordIsReported) {
  // The size still places the directory; the offset says it, too.
  const TReadResult r = ReadBytes(d_, "offset.zip", Patched(16, 0x7FFFFFF0));
  EXPECT_EQ(r.Names, kAll);
  EXPECT_TRUE(r.AllPassed);
  EXPECT_TRUE(r.Has(E_CENTRAL_OFFSET));
  EXPECT_FALSE(r.Has(E_CENTRAL_DAMAGED));
}

TEST_F(ZipLocateHostile, Zip64DirectorySizeOutOfRange) {
  // The construction itself reads cleanly.
  const TReadResult good = ReadBytes(d_, "z64.zip", WithZip64(zip_, 0));
  EXPECT_EQ(good.Names, kAll);
  EXPECT_TRUE(good.Errors.empty());

  for (std::uint64_t size : {std::uint64_t{1} << 62, ~std::uint64_t{0}}) {
    const TReadResult r = ReadBytes(d_, "z64-huge.zip", WithZip64(zip_, size));
    EXPECT_EQ(r.Names, kAll) << size;
    EXPECT_TRUE(r.Has(E_CENTRAL_DAMAGED)) << size;
  }
}

TEST_F(ZipLocateHostile, EndRecordForgedInTheCommentIsPassedOver) {
  // An empty archive's end record as the comment's middle: it does not
  // reach the end of the file, so the real one (further back) counts.
  TZipEndRecord forged;
  const auto rec = forged.Serialize();
  TBytes b = zip_;
  const std::string tail = "-- tail of the comment";
  const std::size_t comment = 4 + rec.size() + tail.size();
  PutLE16(b.data() + EndAt(b) + 20, static_cast<std::uint16_t>(comment));
  b.insert(b.end(), {'j', 'u', 'n', 'k'});
  b.insert(b.end(), rec.begin(), rec.end());
  b.insert(b.end(), tail.begin(), tail.end());
  const TReadResult r = ReadBytes(d_, "forged.zip", b);
  EXPECT_EQ(r.Names, kAll);
  EXPECT_TRUE(r.Errors.empty());

  auto s = MemStream(b);
  TZipLocation loc;
  LocateCentralDirectory(*s, loc);
  EXPECT_EQ(loc.EndPosition, static_cast<std::int64_t>(EndAt(zip_)));
  EXPECT_EQ(loc.CommentLength, static_cast<std::int64_t>(comment));
  EXPECT_FALSE(loc.CentralDamaged);

  // A whole archive as the comment: the outer one lists the entries.
  const TReadResult nested = ReadAll(Corpus("zip/comments/libzip/zip-in-archive-comment.zip"));
  EXPECT_EQ(nested.Names, std::set<std::string>{"test"});
  EXPECT_TRUE(nested.AllPassed);
  EXPECT_TRUE(nested.Errors.empty());
}

TEST_F(ZipLocateHostile, TooShortOrHeaderlessFilesAreReported) {
  // The end record less its last byte.
  const TBytes end(zip_.end() - 22, zip_.end() - 1);
  const TReadResult shortFile = ReadBytes(d_, "short.zip", end);
  EXPECT_TRUE(shortFile.Names.empty());
  EXPECT_TRUE(shortFile.Has(E_HEADER_NOT_FOUND));

  // An end record that declares a directory, and nothing else in the file
  // that is a header (the first bytes only make it look like a ZIP).
  TBytes lone = ToBytes(std::string("PK\x05\x06", 4) + std::string(96, '.'));
  lone.insert(lone.end(), zip_.end() - 22, zip_.end());
  PutLE32(lone.data() + 100 + 12, 60);
  PutLE32(lone.data() + 100 + 16, 40);
  const TReadResult headerless = ReadBytes(d_, "lone.zip", lone);
  EXPECT_TRUE(headerless.Names.empty());
  EXPECT_TRUE(headerless.Has(E_HEADER_NOT_FOUND));

  // A truly empty archive is no error.
  Python("import zipfile\nzipfile.ZipFile('" + d_ / "empty.zip" + "', 'w').close()");
  const TReadResult empty = ReadAll(d_ / "empty.zip");
  EXPECT_TRUE(empty.Names.empty());
  EXPECT_TRUE(empty.Errors.empty());
}

// Every damaged file of the corpus gives the entries 7-Zip finds, or
// reports an error or a failed entry; none gives nothing without a word.
TEST(ZipLocateCorpus, DamagedFilesNeverEndInSilence) {
  const std::string root = Corpus("zip/damaged");
  int files = 0, matched = 0;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file() || e.path().extension() == ".uu") continue;
    const std::string rel = fs::relative(e.path(), test::CorpusDir()).string();
    const std::set<std::string> sevenZip =
        SevenZipNames(test::CorpusDir() + "/listings/" + rel + ".txt");
    const TReadResult r = ReadAll(e.path().string());
    ++files;
    matched += r.Names == sevenZip;
    // A failed entry is a report too: it makes the run fail.
    const bool reported = !r.Errors.empty() || !r.AllPassed;
    EXPECT_FALSE(r.Names.empty() && !reported) << rel;
    if (reported || r.Names == sevenZip) continue;
    // 7-Zip cannot open some archives that Info-ZIP reads whole.
    EXPECT_TRUE(sevenZip.empty()) << rel << ": a different set of entries needs a report";
    EXPECT_EQ(r.Names, UnzipNames(e.path().string())) << rel;
  }
  EXPECT_GT(files, 30);
  EXPECT_GT(matched, files / 2);
}

}  // namespace
}  // namespace qmx
