// The gzip writer: output names, the member's bytes, overwrite questions,
// and gzip, pigz, Python and 7-Zip reading what we write at every level.
#include "archive/formats/gzip/gzip_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/platform/files.h"
#include "support/temp_dir.h"

namespace {

using qmx::TGZip;
using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

std::uint32_t LE32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(s[at + i]);
  return v;
}

class GZipWriter : public ::testing::Test {
 protected:
  int Gzip(const std::string& mask, const std::function<void(TGZip&)>& setup = {}) {
    TGZip g;
    g.SetArchiveFile(dir_ / "out/x.gz");
    g.SetFileSpec({dir_ / mask});
    g.DeleteOptions = qmx::doFinal;
    g.OnError = [this](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                       int code) { errors_.push_back(code); };
    if (setup) setup(g);
    return g.Compress();
  }
  int Sh(const std::string& cmd) { return qmx::test::Run("cd " + dir_.path() + " && " + cmd); }
  std::string Out(const std::string& cmd) {
    Sh(cmd + " > sh-out.txt 2>&1");
    return ReadFile(dir_ / "sh-out.txt");
  }
  void SetUp() override { ASSERT_EQ(Sh("mkdir src out"), 0); }

  TempDir dir_;
  std::vector<int> errors_;
};

TEST_F(GZipWriter, OutputNamesFollowExtension) {
  TGZip g;
  EXPECT_EQ(g.OutputNameFor("/o/", "/s/a.txt"), "/o/a.gz");
  EXPECT_EQ(g.OutputNameFor("/o/", "/s/noext"), "/o/noext.gz");
  g.Extension = qmx::exUnderScore;
  EXPECT_EQ(g.OutputNameFor("/o/", "/s/a.txt"), "/o/a.tx_");
  g.Extension = qmx::exNone;
  EXPECT_EQ(g.OutputNameFor("/o/", "/s/a.txt"), "/o/a.txt");
  EXPECT_EQ(g.OutputNameFor("/s/", "/s/a.txt"), "/s/a.gz");
  g.SetNameAfterArchive(true);
  EXPECT_EQ(g.OutputNameFor("/t/", "/t/a.tar"), "/t/a.tar.gz");

  g.SetArchiveFile("dir/name");
  EXPECT_EQ(g.ArchiveFile(), "dir/name.gz");
}

TEST_F(GZipWriter, MemberCarriesNameTimeCrcAndSize) {
  WriteFile(dir_ / "src/a.txt", "hello hello hello\n");
  ASSERT_EQ(Sh("touch -d @1600000000 src/a.txt"), 0);
  ASSERT_EQ(Gzip("src/a.txt"), 1);
  const std::string gz = ReadFile(dir_ / "out/a.gz");
  ASSERT_GT(gz.size(), 18u + 6u);
  EXPECT_EQ(gz.substr(0, 4), std::string("\x1f\x8b\x08\x08", 4));
  EXPECT_EQ(LE32(gz, 4), 1600000000u);
  EXPECT_EQ(gz.substr(10, 6), std::string("a.txt\0", 6));
  EXPECT_EQ(LE32(gz, gz.size() - 8), 0xDF8A7C3Bu);  // CRC-32 of the text
  EXPECT_EQ(LE32(gz, gz.size() - 4), 18u);
  EXPECT_EQ(Out("gzip -dc out/a.gz"), "hello hello hello\n");
  // The output keeps its source's time.
  EXPECT_EQ(Out("stat -c %Y out/a.gz"), "1600000000\n");
}

TEST_F(GZipWriter, MaxFileDateStampsEveryMemberWithTheNewest) {
  WriteFile(dir_ / "src/a.txt", "a");
  WriteFile(dir_ / "src/b.txt", "b");
  ASSERT_EQ(Sh("touch -d @1500000000 src/a.txt && touch -d @1600000000 src/b.txt"), 0);
  ASSERT_EQ(Gzip("src/*.txt", [](TGZip& g) { g.DateAttribute = qmx::daMaxFileDate; }), 2);
  EXPECT_EQ(LE32(ReadFile(dir_ / "out/a.gz"), 4), 1600000000u);
  EXPECT_EQ(LE32(ReadFile(dir_ / "out/b.gz"), 4), 1600000000u);
}

TEST_F(GZipWriter, EmptyFileGivesAValidMemberWithCrcZero) {
  WriteFile(dir_ / "src/empty", "");
  ASSERT_EQ(Gzip("src/empty", [](TGZip& g) { g.CompressionMethod = qmx::cmInMemory; }), 1);
  const std::string gz = ReadFile(dir_ / "out/empty.gz");
  EXPECT_EQ(LE32(gz, gz.size() - 8), 0u);
  EXPECT_EQ(LE32(gz, gz.size() - 4), 0u);
  EXPECT_EQ(Sh("gzip -t out/empty.gz"), 0);
  EXPECT_EQ(Out("gzip -dc out/empty.gz | wc -c"), "0\n");
}

TEST_F(GZipWriter, OverwriteQuestionsAndRefusals) {
  WriteFile(dir_ / "src/a.txt", "new");
  WriteFile(dir_ / "out/a.gz", "old");
  // Confirmation on and no handler: 25270, nothing replaced.
  EXPECT_EQ(Gzip("src/a.txt"), 0);
  EXPECT_EQ(errors_, std::vector<int>{25270});
  EXPECT_EQ(ReadFile(dir_ / "out/a.gz"), "old");

  int asked = 0;
  EXPECT_EQ(Gzip("src/a.txt",
                 [&](TGZip& g) {
                   g.OnFileExists = [&](qmx::TZipCommon&, const std::string&, qmx::TDateTime,
                                        qmx::TOverwriteMode& m) {
                     ++asked;
                     m = qmx::omSkip;
                   };
                 }),
            0);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(ReadFile(dir_ / "out/a.gz"), "old");

  // Confirmation off: replaced without a question.
  EXPECT_EQ(Gzip("src/a.txt", [](TGZip& g) { g.ConfirmOverwrites = false; }), 1);
  EXPECT_EQ(Out("gzip -dc out/a.gz"), "new");

  errors_.clear();
  EXPECT_EQ(Gzip("src/a.txt", [](TGZip& g) { g.Switch = qmx::swDelete; }), 0);
  EXPECT_EQ(errors_, std::vector<int>{25244});
}

TEST_F(GZipWriter, OneMemberPerFileThatPeersRead) {
  ASSERT_EQ(Sh("head -c 200000 /dev/urandom > src/random.bin && seq 1 40000 > src/seq.txt && "
               ": > src/empty.txt && printf '中文' > src/中文.txt"),
            0);
  const qmx::TDeflateType levels[] = {qmx::dtDeflateS, qmx::dtDeflateF, qmx::dtDeflateN,
                                      qmx::dtDeflateX};
  std::vector<std::size_t> sizes;
  for (qmx::TDeflateType level : levels) {
    SCOPED_TRACE(static_cast<int>(level));
    ASSERT_EQ(Sh("rm -f out/*"), 0);
    ASSERT_EQ(Gzip("src/*.*",
                   [&](TGZip& g) {
                     g.DeflateType = level;
                     g.Extension = qmx::exNone;
                     g.SetNameAfterArchive(true);
                   }),
              4);
    EXPECT_TRUE(errors_.empty());
    EXPECT_EQ(Sh("gzip -t out/*.gz"), 0);
    EXPECT_EQ(Sh("gzip -l out/*.gz > /dev/null"), 0);
    EXPECT_EQ(Sh("7zz t out/random.bin.gz > /dev/null"), 0);
    EXPECT_EQ(Sh("! command -v pigz > /dev/null || pigz -t out/*.gz"), 0);
    for (const char* name : {"random.bin", "seq.txt", "empty.txt", "中文.txt"}) {
      const std::string n = name;
      EXPECT_EQ(Sh("gzip -dc 'out/" + n + ".gz' | cmp - 'src/" + n + "'"), 0) << n;
      EXPECT_EQ(Sh("python3 -c \"import gzip,sys;sys.exit(gzip.open('out/" + n +
                   ".gz').read()!=open('src/" + n + "','rb').read())\""),
                0)
          << n;
    }
    // gzip -N restores the stored name.
    EXPECT_EQ(Sh("mkdir -p n && cp 'out/中文.txt.gz' n/z.gz && cd n && gzip -dN z.gz && "
                 "test -f 中文.txt && rm -f 中文.txt"),
              0);
    sizes.push_back(ReadFile(dir_ / "out/seq.txt.gz").size());
  }
  // Stored blocks are the largest; the maximum level never loses to the default.
  EXPECT_GT(sizes[0], sizes[1]);
  EXPECT_GE(sizes[2], sizes[3]);
}

}  // namespace
