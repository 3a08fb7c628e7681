// TMakeCab's cabinets as 7-Zip, cabextract and gcab read them: stored and
// MSZIP, an empty file, nested directories, Chinese names, files larger
// than a data block and than a folder; updates keep the old entries; a
// file a cabinet cannot hold is refused without touching the archive.
#include "archive/formats/cab/cab_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/formats/cab/cab_reader.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qmx::TMakeCab;
using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

class CabWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string src = dir_ / "src";
    fs::create_directories(src + "/深/层/目录");
    fs::create_directories(src + "/a/b/c");
    WriteFile(src + "/empty.txt", "");
    std::string text;
    for (int i = 0; i < 30000; ++i) text += "line " + std::to_string(i * 31) + "\n";
    WriteFile(src + "/a/b/c/text.txt", text);  // well over 32 KiB
    std::string noise;
    std::uint32_t x = 1;
    for (int i = 0; i < 200000; ++i) {
      x = x * 1103515245u + 12345u;
      noise += static_cast<char>(x >> 24);
    }
    WriteFile(src + "/深/层/目录/数据.bin", noise);
    WriteFile(src + "/深/说明.txt", "中文名字\n");
  }

  int MakeCab(const std::string& name, const std::function<void(TMakeCab&)>& setup = {}) {
    TMakeCab z;
    z.SetArchiveFile(dir_ / name);
    z.SetFileSpec({dir_ / "src/*.*"});
    z.RecurseDirs = true;
    z.DeleteOptions = qmx::doFinal;
    z.OnError = [this](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                       int code) { errors_.push_back(code); };
    z.OnEnd = [this](qmx::TZipCommon&, const std::string& f, bool pass) { ends_[f] = pass; };
    if (setup) setup(z);
    return z.Compress();
  }
  int Sh(const std::string& cmd) { return qmx::test::Run("cd " + dir_.path() + " && " + cmd); }
  std::map<std::string, std::string> Tree(const std::string& rel) {
    std::map<std::string, std::string> out;
    const std::string root = dir_ / rel;
    if (!fs::exists(root)) return out;
    for (const auto& e : fs::recursive_directory_iterator(root))
      if (e.is_regular_file())
        out[fs::relative(e.path(), root).generic_string()] = ReadFile(e.path().string());
    return out;
  }
  // The peers' verdicts and extractions of name against src/.
  void ExpectPeersAgree(const std::string& name) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Sh("7zz t " + name + " >/dev/null"), 0);
    EXPECT_EQ(Sh("cabextract -q -t " + name + " >/dev/null"), 0);
    EXPECT_EQ(Sh("gcab -l " + name + " >/dev/null"), 0);
    const std::string x7 = name + "-7z", xc = name + "-cx";
    ASSERT_EQ(Sh("7zz x -y -o" + x7 + " " + name + " >/dev/null"), 0);
    ASSERT_EQ(Sh("cabextract -q -d " + xc + " " + name + " >/dev/null"), 0);
    EXPECT_EQ(Tree(x7), Tree("src"));
    EXPECT_EQ(Tree(xc), Tree("src"));
  }

  TempDir dir_;
  std::vector<int> errors_;
  std::map<std::string, bool> ends_;
};

TEST_F(CabWriter, StoredAndMsZipCabinetsPassEveryPeer) {
  for (qmx::TCompressMethod m : {qmx::cmStore, qmx::cmMsZip}) {
    const std::string name = m == qmx::cmStore ? "s.cab" : "z.cab";
    EXPECT_EQ(MakeCab(name, [m](TMakeCab& z) { z.SetCompressMethod(m); }), 4);
    EXPECT_TRUE(errors_.empty());
    ExpectPeersAgree(name);
  }
  // Names use "\" and are flagged UTF-8 when they are not ASCII.
  const std::string z = ReadFile(dir_ / "z.cab");
  EXPECT_NE(z.find("a\\b\\c\\text.txt"), std::string::npos);
  EXPECT_NE(z.find("深\\层\\目录\\数据.bin"), std::string::npos);
  EXPECT_LT(z.size(), ReadFile(dir_ / "s.cab").size());
  for (const auto& [file, pass] : ends_) EXPECT_TRUE(pass) << file;
}

TEST_F(CabWriter, DatesAndAttributesSurvive) {
  ASSERT_EQ(Sh("touch -d '1999-12-31 23:59:58' src/a/b/c/text.txt && chmod 444 src/深/说明.txt"),
            0);
  EXPECT_EQ(MakeCab("f.cab"), 4);
  ExpectPeersAgree("f.cab");
  std::string listing;
  ASSERT_EQ(Sh("7zz l -slt f.cab > l.txt"), 0);
  listing = ReadFile(dir_ / "l.txt");
  EXPECT_NE(listing.find("Modified = 1999-12-31 23:59:58"), std::string::npos);
  EXPECT_NE(listing.find("Attributes = RA"), std::string::npos);

  // Our own reader gives the date and the read-only state back.
  qmx::TUnCab r;
  r.SetArchiveFile(dir_ / "f.cab");
  r.SetExtractDir(dir_ / "back");
  r.SetFileSpec({"*.*"});
  r.UseStoredDirs = true;
  EXPECT_EQ(r.Extract(), 4);
  EXPECT_EQ(Tree("back"), Tree("src"));
  struct stat a {
  }, b{};
  ASSERT_EQ(stat((dir_ / "back/a/b/c/text.txt").c_str(), &a), 0);
  ASSERT_EQ(stat((dir_ / "src/a/b/c/text.txt").c_str(), &b), 0);
  EXPECT_EQ(a.st_mtime, b.st_mtime);
  ASSERT_EQ(stat((dir_ / "back/深/说明.txt").c_str(), &a), 0);
  EXPECT_EQ(a.st_mode & 0222, 0u);
}

TEST_F(CabWriter, UpdatesKeepOldEntriesAndDeleteRemovesThem) {
  ASSERT_EQ(MakeCab("u.cab"), 4);
  fs::rename(dir_ / "src", dir_ / "first");
  fs::create_directories(dir_ / "src");
  WriteFile(dir_ / "src/new.txt", "added later\n");
  EXPECT_EQ(MakeCab("u.cab"), 1);
  EXPECT_EQ(Sh("cabextract -q -d both u.cab"), 0);
  auto expected = Tree("first");
  expected["new.txt"] = "added later\n";
  EXPECT_EQ(Tree("both"), expected);
  EXPECT_EQ(Sh("7zz t u.cab >/dev/null"), 0);

  TMakeCab d;
  d.SetArchiveFile(dir_ / "u.cab");
  d.Switch = qmx::swDelete;
  d.SetFileSpec({"*.bin"});
  EXPECT_EQ(d.Compress(), 1);
  EXPECT_EQ(Sh("cabextract -q -d less u.cab"), 0);
  expected.erase("深/层/目录/数据.bin");
  EXPECT_EQ(Tree("less"), expected);

  // Every entry deleted: a cabinet without files, still a cabinet.
  TMakeCab all;
  all.SetArchiveFile(dir_ / "u.cab");
  all.Switch = qmx::swDelete;
  all.SetFileSpec({"*"});
  EXPECT_EQ(all.Compress(), 4);
  EXPECT_EQ(Sh("gcab -l u.cab > none.txt"), 0);
  EXPECT_EQ(ReadFile(dir_ / "none.txt"), "");
}

TEST_F(CabWriter, FilesACabinetCannotHoldAreRefused) {
  fs::remove_all(dir_ / "src");
  fs::create_directories(dir_ / "src");
  WriteFile(dir_ / "src/small.txt", "fits\n");
  // Sparse: nothing of it is ever read.
  fs::resize_file(dir_ / "src/small.txt", 5);
  WriteFile(dir_ / "src/huge.bin", "");
  fs::resize_file(dir_ / "src/huge.bin", TMakeCab::kMaxFolderSize + 1);
  EXPECT_EQ(MakeCab("h.cab"), 1);
  EXPECT_EQ(errors_, std::vector<int>{25299});
  EXPECT_FALSE(ends_[dir_ / "src/huge.bin"] && ends_.count("huge.bin"));
  EXPECT_EQ(Sh("cabextract -q -d h h.cab"), 0);
  EXPECT_EQ(Tree("h"), (std::map<std::string, std::string>{{"small.txt", "fits\n"}}));
}

TEST_F(CabWriter, ADamagedOldCabinetIsNeverReplaced) {
  ASSERT_EQ(MakeCab("d.cab"), 4);
  std::string bytes = ReadFile(dir_ / "d.cab");
  bytes[bytes.size() - 300] ^= 0x40;
  WriteFile(dir_ / "d.cab", bytes);
  fs::remove_all(dir_ / "src");
  fs::create_directories(dir_ / "src");
  WriteFile(dir_ / "src/late.txt", "late\n");
  errors_.clear();
  EXPECT_EQ(MakeCab("d.cab"), 0);
  EXPECT_TRUE(std::find(errors_.begin(), errors_.end(), qmx::E_CORRUPT_INPUT) != errors_.end());
  EXPECT_EQ(ReadFile(dir_ / "d.cab"), bytes);
}

}  // namespace

TEST_F(CabWriter, CancelWhileTheCabinetIsWrittenKeepsTheOldOne) {
  ASSERT_EQ(MakeCab("c.cab"), 4);
  const std::string before = ReadFile(dir_ / "c.cab");
  WriteFile(dir_ / "src/later.txt", std::string(100000, 'l'));
  int reports = 0;
  EXPECT_EQ(MakeCab("c.cab",
                    [&](TMakeCab& z) {
                      z.OnProgress = [&](qmx::TZipCommon& s, std::uint8_t, std::uint8_t) {
                        // Every file is collected first: this is libgcab writing.
                        if (++reports == 1) s.SetCancel(true);
                      };
                    }),
            0);
  EXPECT_GE(reports, 1);
  EXPECT_TRUE(ReadFile(dir_ / "c.cab") == before);
  int left = 0;
  for (const auto& e : fs::directory_iterator(dir_.path())) left += e.path().extension() == ".tmp";
  EXPECT_EQ(left, 0);
}
