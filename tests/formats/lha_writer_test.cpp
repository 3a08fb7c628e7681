// The LHA writer: the documented header of a small stored file, empty files
// and directories, stored types, long names, updates of archives of every
// header level, and what lhasa, 7-Zip and bsdtar make of our archives.
#include "archive/formats/lha/lha_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/codec/crc.h"
#include "archive/codec/lha_coder.h"
#include "archive/formats/lha/lha_reader.h"
#include "archive/platform/files.h"
#include "support/corpus.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qmx::TLha;
using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

std::uint32_t Le(const std::string& s, std::size_t at, int n) {
  std::uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

// Whether the LHA coder is in this build (it compresses text).
bool CoderCompresses() {
  const std::string text(20000, 'a');
  std::size_t at = 0, written = 0;
  auto read = [&](void* b, std::int64_t n) -> std::int64_t {
    const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(n), text.size() - at);
    std::memcpy(b, text.data() + at, k);
    at += k;
    return static_cast<std::int64_t>(k);
  };
  auto write = [&](const void*, std::int64_t n) -> std::int64_t {
    written += static_cast<std::size_t>(n);
    return n;
  };
  return qmx::LhaCompress(read, write, static_cast<std::int64_t>(text.size()), qmx::kLh6Params) ==
             qmx::lcOk &&
         written < text.size();
}

class LhaWriter : public ::testing::Test {
 protected:
  // Archives everything under src/ into name; returns Compress's count.
  int MakeLha(const std::string& name, const std::function<void(TLha&)>& setup = {}) {
    TLha z;
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
  std::string Out(const std::string& cmd) {
    Sh(cmd + " > sh-out.txt 2>&1");
    return ReadFile(dir_ / "sh-out.txt");
  }
  // Every regular file and directory below rel, with its bytes.
  std::map<std::string, std::string> Tree(const std::string& rel) {
    std::map<std::string, std::string> out;
    const std::string root = dir_.path() + rel;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      const std::string key = fs::relative(e.path(), root).string();
      if (e.is_directory()) out[key + "/"] = "";
      if (e.is_regular_file()) out[key] = ReadFile(e.path().string());
    }
    return out;
  }
  // Our reader over an archive of the test's directory.
  void SetUpReader(qmx::TUnLha& r, const std::string& archive) {
    r.SetArchiveFile(dir_ / archive);
    r.SetFileSpec({"*.*"});
    r.RecurseDirs = true;
    r.UseStoredDirs = r.CreateStoredDirs = true;
    r.OverwriteMode = qmx::omOverwrite;
  }
  // Every header of an archive by its name as stored.
  std::map<std::string, qmx::TLhaHeader> Headers(const std::string& archive) {
    std::map<std::string, qmx::TLhaHeader> out;
    qmx::TFileStream32 f(dir_ / archive, qmx::fmOpenRead);
    std::int64_t pos = 0;
    qmx::TLhaHeader h;
    std::string why;
    while (qmx::ReadLhaHeader(f, pos, f.Size(), h, why) == qmx::lsEntry) {
      out[h.Name] = h;
      pos = h.Next;
    }
    EXPECT_EQ(why, "");
    return out;
  }
  void SetUp() override { ASSERT_EQ(Sh("mkdir src"), 0); }

  TempDir dir_;
  std::vector<int> errors_;
  std::map<std::string, bool> ends_;
};

// ---------------------------------------------------------------- headers

TEST_F(LhaWriter, SmallFileIsStoredWithTheDocumentedLevelZeroHeader) {
  WriteFile(dir_ / "src/a.txt", "hello");
  ASSERT_EQ(MakeLha("a.lzh"), 1);
  const std::string a = ReadFile(dir_ / "a.lzh");
  ASSERT_EQ(a.size(), 29u + 5 + 1);
  EXPECT_EQ(static_cast<unsigned char>(a[0]), 27);
  EXPECT_EQ(a.substr(2, 5), "-lh0-");
  EXPECT_EQ(Le(a, 7, 4), 5u);
  EXPECT_EQ(Le(a, 11, 4), 5u);
  EXPECT_EQ(static_cast<unsigned char>(a[20]), 0);
  EXPECT_EQ(static_cast<unsigned char>(a[21]), 5);
  EXPECT_EQ(a.substr(22, 5), "a.txt");
  EXPECT_EQ(Le(a, 27, 2), qmx::Crc16("hello", 5));
  unsigned sum = 0;
  for (std::size_t i = 2; i < 29; ++i) sum += static_cast<unsigned char>(a[i]);
  EXPECT_EQ(static_cast<unsigned char>(a[1]), sum & 0xFF);
  EXPECT_EQ(a.substr(29, 5), "hello");
  EXPECT_EQ(a.back(), '\0');  // the end mark
  EXPECT_EQ(ends_, (std::map<std::string, bool>{{"a.txt", true}}));
  EXPECT_TRUE(errors_.empty());
}

TEST_F(LhaWriter, EmptyFilesAndEmptyDirectories) {
  ASSERT_EQ(Sh("mkdir -p src/d/e"), 0);
  WriteFile(dir_ / "src/empty", "");
  WriteFile(dir_ / "src/d/f.txt", "f");
  ASSERT_EQ(MakeLha("e.lzh", [](TLha& z) { z.StoreEmptySubDirs = true; }), 3);
  const std::map<std::string, qmx::TLhaHeader> h = Headers("e.lzh");
  ASSERT_EQ(h.size(), 3u);
  // Level 0 keeps "\" separators; a directory ends in one.
  ASSERT_TRUE(h.count("d\\e\\"));
  const qmx::TLhaHeader& d = h.at("d\\e\\");
  EXPECT_EQ(std::string(d.Method), "-lhd-");
  EXPECT_EQ(d.Attr, 0x10);
  EXPECT_EQ(d.PackedSize + d.OriginalSize + d.Crc, 0);
  ASSERT_TRUE(h.count("empty"));
  const qmx::TLhaHeader& e = h.at("empty");
  EXPECT_EQ(std::string(e.Method), "-lh0-");
  EXPECT_EQ(e.PackedSize + e.OriginalSize + e.Crc, 0);
  EXPECT_EQ(e.Level, 0);
  EXPECT_TRUE(h.count("d\\f.txt"));
  for (const auto& [name, pass] : ends_) EXPECT_TRUE(pass) << name;
}

TEST_F(LhaWriter, StoredTypesAndMethods) {
  if (!CoderCompresses()) GTEST_SKIP() << "the LHA coder is not in this build";
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i % 17) + "\n";
  WriteFile(dir_ / "src/t.txt", text);
  WriteFile(dir_ / "src/t.ZIP", text);
  ASSERT_EQ(MakeLha("m6.lzh"), 2);
  const std::string a = ReadFile(dir_ / "m6.lzh");
  // t.ZIP is listed in StoreFilesOfType whatever its case.
  EXPECT_NE(a.find("-lh0-"), std::string::npos);
  EXPECT_NE(a.find("-lh6-"), std::string::npos);
  ASSERT_EQ(MakeLha("m5.lzh", [](TLha& z) { z.SetCompressMethod(qmx::cmFrozen5); }), 2);
  EXPECT_NE(ReadFile(dir_ / "m5.lzh").find("-lh5-"), std::string::npos);
  ASSERT_EQ(MakeLha("m0.lzh", [](TLha& z) { z.SetCompressMethod(qmx::cmStore); }), 2);
  EXPECT_EQ(ReadFile(dir_ / "m0.lzh").find("-lh6-"), std::string::npos);
  for (const auto& [name, pass] : ends_) EXPECT_TRUE(pass) << name;
}

TEST_F(LhaWriter, NamesPastTheLevelZeroLimitGetALevelOneHeader) {
  const std::string dir = std::string(150, 'd');
  const std::string file = std::string(120, 'f') + ".txt";
  ASSERT_EQ(Sh("mkdir src/" + dir), 0);
  WriteFile(dir_ / ("src/" + dir + "/" + file), "long\n");
  WriteFile(dir_ / ("src/" + std::string(233, 'x')), "fits\n");
  ASSERT_EQ(MakeLha("long.lzh"), 2);
  const std::string a = ReadFile(dir_ / "long.lzh");
  EXPECT_NE(a.find(dir + "\xFF"), std::string::npos);
  const auto h = Headers("long.lzh");
  ASSERT_EQ(h.size(), 2u);
  // 233 bytes still fit the largest level-0 header.
  EXPECT_EQ(h.at(std::string(233, 'x')).Level, 0);
  EXPECT_EQ(h.at(std::string(233, 'x')).Raw[0], 22 + 233);
  ASSERT_EQ(h.count(dir + "/" + file), 1u);
  EXPECT_EQ(h.at(dir + "/" + file).Level, 1);

  if (Sh("command -v lha >/dev/null") == 0) {
    EXPECT_EQ(Sh("lha t long.lzh >/dev/null 2>&1"), 0) << Out("lha t long.lzh");
    ASSERT_EQ(Sh("mkdir x && cd x && lha xq ../long.lzh"), 0);
    EXPECT_EQ(ReadFile(dir_ / ("x/" + dir + "/" + file)), "long\n");
  }
  if (Sh("command -v 7zz >/dev/null") == 0) {
    EXPECT_EQ(Sh("7zz t long.lzh >/dev/null"), 0) << Out("7zz t long.lzh");
    ASSERT_EQ(Sh("7zz x -oy long.lzh >/dev/null"), 0);
    EXPECT_EQ(ReadFile(dir_ / ("y/" + dir + "/" + file)), "long\n");
  }
}

// ---------------------------------------------------------------- updates

TEST_F(LhaWriter, UpdatesKeepOldEntriesOfEveryHeaderLevel) {
  for (const char* level : {"h0_lh0.lzh", "h1_lh0.lzh", "h2_lh0.lzh"}) {
    SCOPED_TRACE(level);
    const std::string old =
        ReadFile(qmx::test::CorpusFile(std::string("lha/lha_unix114i/") + level));
    WriteFile(dir_ / "u.lzh", old);
    ASSERT_EQ(Sh("rm -rf src && mkdir src"), 0);
    WriteFile(dir_ / "src/new.txt", "new entry\n");
    ASSERT_EQ(MakeLha("u.lzh"), 1);
    qmx::TUnLha r;
    SetUpReader(r, "u.lzh");
    r.SetExtractDir(dir_ / std::string("out_") + level);
    std::vector<std::string> passed;
    r.OnEnd = [&](qmx::TZipCommon&, const std::string& f, bool pass) {
      if (pass) passed.push_back(fs::path(f).filename().string());
    };
    EXPECT_EQ(r.Extract(), 2);
    EXPECT_EQ(passed, (std::vector<std::string>{"gpl-2.gz", "new.txt"}));
    if (Sh("command -v lha >/dev/null") == 0) {
      EXPECT_EQ(Sh("lha t u.lzh >/dev/null 2>&1"), 0);
    }
  }

  // Deleting one entry keeps the other byte for byte.
  const std::string before = ReadFile(dir_ / "u.lzh");
  TLha d;
  d.SetArchiveFile(dir_ / "u.lzh");
  d.Switch = qmx::swDelete;
  d.SetFileSpec({"new.txt"});
  d.DeleteOptions = qmx::doFinal;
  EXPECT_EQ(d.Compress(), 1);
  const std::string after = ReadFile(dir_ / "u.lzh");
  EXPECT_EQ(after.size(), before.size() - (24 + 7 + 10));
  EXPECT_EQ(after.substr(0, after.size() - 1), before.substr(0, after.size() - 1));
}

TEST_F(LhaWriter, SomethingElseIsNeverReplacedByAnArchive) {
  WriteFile(dir_ / "not.lzh", "this is a text file, not an archive\n");
  WriteFile(dir_ / "src/a.txt", "a");
  EXPECT_EQ(MakeLha("not.lzh"), 0);
  EXPECT_EQ(ReadFile(dir_ / "not.lzh"), "this is a text file, not an archive\n");
  EXPECT_NE(std::find(errors_.begin(), errors_.end(), qmx::E_HEADER_NOT_FOUND), errors_.end());
}

// ---------------------------------------------------------------- peers

TEST_F(LhaWriter, PeersTestAndExtractOurArchives) {
  ASSERT_EQ(Sh("mkdir -p src/sub/deeper src/empty_dir src/中文"), 0);
  std::string text, noise;
  for (int i = 0; i < 30000; ++i) text += "row " + std::to_string(i * 7919 % 1000) + "\n";
  for (int i = 0; i < 200000; ++i) noise += static_cast<char>((i * 2654435761u) >> 24);
  WriteFile(dir_ / "src/text.txt", text);
  WriteFile(dir_ / "src/sub/noise.bin", noise);
  WriteFile(dir_ / "src/sub/deeper/small.txt", "small\n");
  WriteFile(dir_ / "src/sub/empty", "");
  WriteFile(dir_ / "src/中文/文件.txt", "中文内容\n");
  const auto source = Tree("src");

  for (const char* method : {"store", "lh5", "lh6"}) {
    SCOPED_TRACE(method);
    const std::string name = std::string(method) + ".lzh";
    ASSERT_EQ(MakeLha(name,
                      [method](TLha& z) {
                        z.StoreEmptySubDirs = true;
                        z.SetCompressMethod(method[0] == 's'   ? qmx::cmStore
                                            : method[2] == '5' ? qmx::cmFrozen5
                                                               : qmx::cmFrozen6);
                      }),
              6);
    for (const auto& [file, pass] : ends_) EXPECT_TRUE(pass) << file;
    if (Sh("command -v lha >/dev/null") == 0) {
      EXPECT_EQ(Sh("lha t " + name + " >/dev/null 2>&1"), 0) << Out("lha t " + name);
      const std::string x = std::string("lha_") + method;
      ASSERT_EQ(Sh("mkdir " + x + " && cd " + x + " && lha xq ../" + name), 0);
      EXPECT_EQ(Tree(x), source);
    }
    if (Sh("command -v 7zz >/dev/null") == 0) {
      EXPECT_EQ(Sh("7zz t " + name + " >/dev/null"), 0) << Out("7zz t " + name);
      const std::string x = std::string("7z_") + method;
      ASSERT_EQ(Sh("7zz x -o" + x + " " + name + " >/dev/null"), 0);
      EXPECT_EQ(Tree(x), source);
    }
    if (Sh("command -v bsdtar >/dev/null") == 0) {
      EXPECT_EQ(Sh("bsdtar -tf " + name + " >/dev/null"), 0) << Out("bsdtar -tf " + name);
    }
  }
}

}  // namespace
