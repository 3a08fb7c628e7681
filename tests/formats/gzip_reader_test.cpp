// The gzip reader: members from gzip and pigz, names, headers with extra
// field and comment, concatenated members and what trails them, damage,
// compress files, and tars inside gzip files.
#include "archive/formats/gzip/gzip_reader.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/platform/files.h"
#include "formats/tar_test_support.h"
#include "support/corpus.h"
#include "support/temp_dir.h"

namespace qmx {
namespace {

using namespace qmx::test;

int Sh(const std::string& cmd) {
  return test::Run(cmd);
}

std::string Sample(int lines) {
  std::string s;
  for (int i = 0; i < lines; ++i) s += "line " + std::to_string(i * 7919 % 10007) + "\n";
  return s;
}

int CountFiles(const std::string& dir) {
  int n = 0;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++n;
    ::closedir(d);
  }
  return n;
}

struct TGzRun {
  TReaderLog Log;
  int Count = 0;
  TArcType Type = atNA;
  std::vector<std::string> NestedAsked;
};

enum TNested { nsUnassigned, nsNo, nsYes };

TGzRun RunGz(TempDir& dir, const std::string& file, TNested nested = nsYes, bool test = false) {
  Sh("mkdir -p " + dir / "out " + dir / "tmp");
  TGzRun run;
  TUnGZip gz;
  Attach(gz, run.Log);
  gz.SetArchiveFile(dir / file);
  gz.SetExtractDir(dir / "out");
  gz.SetTempDir(dir / "tmp");
  gz.SetFileSpec({"*.*"});
  if (nested != nsUnassigned)
    gz.OnNestedTarFile = [&run, nested](TZipCommon&, const std::string& name, bool& doUnTar) {
      run.NestedAsked.push_back(name);
      doUnTar = nested == nsYes;
    };
  run.Count = test ? gz.Test() : gz.Extract();
  run.Type = gz.ArcType();
  return run;
}

TEST(GZipReader, EveryLevelOfGzipAndPigz) {
  TempDir dir;
  const std::string data = Sample(60000);
  WriteFile(dir / "data.txt", data);
  std::vector<std::string> commands;
  for (int level = 1; level <= 9; ++level)
    commands.push_back("gzip -" + std::to_string(level) + " -c data.txt");
  commands.push_back("pigz -c data.txt");
  commands.push_back("pigz -11 -c data.txt");
  commands.push_back("pigz -b 128 -p 2 -c data.txt");
  for (std::size_t i = 0; i < commands.size(); ++i) {
    SCOPED_TRACE(commands[i]);
    const std::string name = "g" + std::to_string(i) + ".gz";
    ASSERT_EQ(Sh("cd " + dir.path() + " && " + commands[i] + " > " + name), 0);
    Sh("rm -rf " + dir / "out");
    const TGzRun run = RunGz(dir, name);
    EXPECT_EQ(run.Log.Passed.size(), 1u) << run.Log.ErrorText();
    // The stored name wins over the archive's.
    EXPECT_TRUE(ReadFile(dir / "out/data.txt") == data);
  }
}

TEST(GZipReader, NamesFollowTheStoredNameOrTheArchive) {
  TempDir dir;
  WriteFile(dir / "notes.txt", "notes\n");
  ASSERT_EQ(Sh("cd " + dir.path() + " && gzip -n -c notes.txt > notes.txt.gz"), 0);
  RunGz(dir, "notes.txt.gz");
  EXPECT_EQ(ReadFile(dir / "out/notes.txt"), "notes\n");

  // A stored name ending in .tgz extracts as .tar.
  TempDir dir2;
  WriteFile(dir2 / "backup.tgz", std::string(600, 'b'));
  ASSERT_EQ(Sh("cd " + dir2.path() + " && gzip -c backup.tgz > b.gz && mv b.gz backup.tgz"), 0);
  RunGz(dir2, "backup.tgz", nsNo);
  EXPECT_EQ(ReadFile(dir2 / "out/backup.tar"), std::string(600, 'b'));

  // A stored path never places the file elsewhere.
  TempDir dir3;
  WriteFile(dir3 / "x", "x\n");
  ASSERT_EQ(Sh("cd " + dir3.path() +
               " && python3 -c \"import gzip; f = gzip.GzipFile('../../evil.txt', 'wb', "
               "fileobj=open('e.gz', 'wb')); f.write(b'x'); f.close()\""),
            0);
  RunGz(dir3, "e.gz");
  EXPECT_TRUE(FileExists(dir3 / "out/evil.txt"));
}

// The member of file as gzip writes it, rebuilt with an extra field and a
// comment (and the stored name) before its data.
std::string WithExtraAndComment(const std::string& gz) {
  std::size_t p = 10;
  if (gz[3] & 0x08) p = gz.find('\0', 10) + 1;
  std::string h = gz.substr(0, 10);
  h[3] = static_cast<char>(0x04 | 0x08 | 0x10);
  const std::string extra =
      "AB\x04\x00"
      "data";
  h += std::string(1, static_cast<char>(extra.size())) + std::string(1, '\0') + extra;
  h += std::string("named.txt") + '\0';
  h += std::string("a comment about the file") + '\0';
  return h + gz.substr(p);
}

TEST(GZipReader, ExtraFieldAndCommentAreSteppedOver) {
  TempDir dir;
  const std::string data = Sample(3000);
  WriteFile(dir / "in.txt", data);
  ASSERT_EQ(Sh("cd " + dir.path() + " && gzip -c in.txt > in.gz"), 0);
  WriteFile(dir / "x.gz", WithExtraAndComment(ReadFile(dir / "in.gz")));
  ASSERT_EQ(Sh("gzip -t " + dir / "x.gz"), 0);  // the peer agrees it is sound
  const TGzRun run = RunGz(dir, "x.gz");
  EXPECT_EQ(run.Log.Passed.size(), 1u) << run.Log.ErrorText();
  EXPECT_TRUE(ReadFile(dir / "out/named.txt") == data);

  // The corpus file made by gzip with a comment.
  TempDir dir2;
  Sh("cp " + CorpusFile("generated/gzip/first.txt.comment.gz") + " " + dir2 / "c.gz");
  const TGzRun run2 = RunGz(dir2, "c.gz");
  EXPECT_EQ(run2.Log.Passed.size(), 1u) << run2.Log.ErrorText();
}

TEST(GZipReader, ConcatenatedMembersAndWhatTrailsThem) {
  TempDir dir;
  WriteFile(dir / "a", Sample(5000));
  WriteFile(dir / "b", "second member\n");
  ASSERT_EQ(Sh("cd " + dir.path() + " && (gzip -c a; gzip -c b; pigz -c a) > cat.gz"), 0);
  const std::string whole = Sample(5000) + "second member\n" + Sample(5000);
  for (const std::string& tail : {std::string(), std::string(1024, '\0'), std::string("junk!!")}) {
    SCOPED_TRACE(tail.size());
    TempDir d;
    WriteFile(d / "cat.gz", ReadFile(dir / "cat.gz") + tail);
    const TGzRun run = RunGz(d, "cat.gz");
    EXPECT_EQ(run.Log.Passed.size(), 1u) << run.Log.ErrorText();
    EXPECT_TRUE(ReadFile(d / "out/a") == whole);
  }
}

TEST(GZipReader, DamageFailsTheMember) {
  TempDir dir;
  WriteFile(dir / "f", Sample(4000));
  ASSERT_EQ(Sh("cd " + dir.path() + " && gzip -c f > f.gz"), 0);
  const std::string good = ReadFile(dir / "f.gz");
  struct TCase {
    std::string name, image;
    int code;  // 0: a failed verdict is enough
  };
  std::string badCrc = good;
  badCrc[badCrc.size() - 6] ^= 0x55;
  std::string multi = good;
  multi[3] |= 0x02;
  std::string crypt = good;
  crypt[3] |= 0x20;
  std::string pack = good;
  pack[1] = '\x1E';
  const std::vector<TCase> cases = {
      {"crc", badCrc, 0},
      {"cut", good.substr(0, good.size() / 2), E_READ_FILE},
      {"multipart", multi, E_MULTIPART_GZIP},
      {"encrypted", crypt, E_PASSWORD_PROTECTED},
      {"packed", pack, E_UNSUPPORTED_METHOD},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    WriteFile(d / "f.gz", c.image);
    const TGzRun run = RunGz(d, "f.gz");
    EXPECT_TRUE(run.Log.Passed.empty());
    if (c.code) {
      EXPECT_TRUE(run.Log.HasError(c.code)) << run.Log.ErrorText();
    }
    // Nothing broken is left behind.
    EXPECT_FALSE(FileExists(d / "out/f"));
  }
}

class NestedTar : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Sh("mkdir -p " + dir_ / "src/t/sub"), 0);
    WriteFile(dir_ / "src/t/one.txt", Sample(2000));
    WriteFile(dir_ / "src/t/sub/two.txt", "two\n");
    ASSERT_EQ(Sh("cd " + dir_ / "src" + " && tar -czf ../backup.tgz t"), 0);
  }
  TempDir dir_;
};

TEST_F(NestedTar, DoUnTarExtractsTheTarsEntries) {
  const TGzRun run = RunGz(dir_, "backup.tgz", nsYes);
  ASSERT_EQ(run.NestedAsked.size(), 1u);
  EXPECT_EQ(run.Type, atTar);
  EXPECT_TRUE(ReadFile(dir_ / "out/t/one.txt") == Sample(2000));
  EXPECT_EQ(ReadFile(dir_ / "out/t/sub/two.txt"), "two\n");
  EXPECT_FALSE(FileExists(dir_ / "out/backup.tar"));
  EXPECT_EQ(run.Count, 2);
  // The intermediate tar is gone.
  EXPECT_EQ(CountFiles(dir_ / "tmp"), 0);
  // The member is offered before its data shows a tar; then the tar's files.
  ASSERT_EQ(run.Log.Begun.size(), 3u);
  EXPECT_NE(run.Log.Begun[0].find("backup.tar"), std::string::npos);
  EXPECT_NE(run.Log.Begun[1].find("t/one.txt"), std::string::npos);
}

TEST_F(NestedTar, DeclinedOrUnansweredTheTarItselfIsExtracted) {
  const TGzRun no = RunGz(dir_, "backup.tgz", nsNo);
  EXPECT_EQ(no.Type, atGZip);
  EXPECT_TRUE(FileExists(dir_ / "out/backup.tar"));
  EXPECT_FALSE(FileExists(dir_ / "out/t/one.txt"));
  ASSERT_EQ(Sh("rm -rf " + dir_ / "out"), 0);

  const TGzRun unanswered = RunGz(dir_, "backup.tgz", nsUnassigned);
  EXPECT_TRUE(unanswered.Log.HasError(E_EVENT_NOT_ASSIGNED));
  EXPECT_TRUE(FileExists(dir_ / "out/backup.tar"));
  EXPECT_EQ(unanswered.Log.Passed.size(), 1u);
}

TEST_F(NestedTar, TestingChecksTheTarsEntries) {
  const TGzRun run = RunGz(dir_, "backup.tgz", nsYes, true);
  // t/, t/one.txt, t/sub/, t/sub/two.txt
  EXPECT_EQ(run.Log.Passed.size(), 4u) << run.Log.ErrorText();
  EXPECT_TRUE(run.Log.Failed.empty());
  EXPECT_EQ(CountFiles(dir_ / "out"), 0);
  EXPECT_EQ(CountFiles(dir_ / "tmp"), 0);
}

TEST_F(NestedTar, TheChangeToTarIsAnnounced) {
  Sh("mkdir -p " + dir_ / "out");
  TReaderLog log;
  TUnGZip gz;
  Attach(gz, log);
  gz.SetArchiveFile(dir_ / "backup.tgz");
  gz.SetExtractDir(dir_ / "out");
  gz.SetFileSpec({"*.*"});
  gz.OnNestedTarFile = [](TZipCommon&, const std::string&, bool& doUnTar) { doUnTar = true; };
  std::vector<TArcType> changes;
  gz.OnChangeArchive = [&](TZipCommon&, const std::string&, TArcType t) { changes.push_back(t); };
  EXPECT_EQ(gz.Extract(), 2);
  EXPECT_EQ(changes, std::vector<TArcType>{atTar});
}

TEST(CompressFiles, EveryCodeWidthMatchesUncompress) {
  TempDir dir;
  WriteFile(dir / "data", Sample(80000));
  for (int bits = 10; bits <= 16; ++bits) {
    SCOPED_TRACE(bits);
    const std::string z = "d" + std::to_string(bits) + ".Z";
    ASSERT_EQ(Sh("cd " + dir.path() + " && compress -c -b" + std::to_string(bits) + " data > " + z +
                 " && uncompress -c " + z + " > peer" + std::to_string(bits)),
              0);
    const TGzRun run = RunGz(dir, z);
    EXPECT_EQ(run.Log.Passed.size(), 1u) << run.Log.ErrorText();
    // The name is the archive's without ".Z".
    EXPECT_TRUE(ReadFile(dir / ("out/d" + std::to_string(bits))) ==
                ReadFile(dir / ("peer" + std::to_string(bits))));
  }
}

TEST(CompressFiles, TinyFilesAreRead) {
  // compress writes files of 3 to 19 bytes for inputs of up to a dozen
  // bytes; they are .Z files all the same.
  TempDir dir;
  for (int n : {0, 1, 7, 12}) {
    SCOPED_TRACE(n);
    const std::string name = "t" + std::to_string(n);
    WriteFile(dir / name, std::string("abcdefghijkl").substr(0, static_cast<std::size_t>(n)));
    ASSERT_EQ(Sh("cd " + dir.path() + " && compress -c -f " + name + " > " + name + ".Z"), 0);
    ASSERT_LT(ReadFile(dir / (name + ".Z")).size(), 20u);
    const TGzRun run = RunGz(dir, name + ".Z");
    EXPECT_EQ(run.Log.Passed.size(), 1u) << run.Log.ErrorText();
    EXPECT_EQ(ReadFile(dir / ("out/" + name)), ReadFile(dir / name));
  }
}

TEST(CompressFiles, BadFlagsAreReported) {
  TempDir dir;
  WriteFile(dir / "data", Sample(3000));
  ASSERT_EQ(Sh("cd " + dir.path() + " && compress -c data > good.Z"), 0);
  std::string wide = ReadFile(dir / "good.Z");
  wide[2] = static_cast<char>(0x91);
  WriteFile(dir / "wide.Z", wide);
  const TGzRun w = RunGz(dir, "wide.Z");
  EXPECT_TRUE(w.Log.HasError(E_CORRUPT_INPUT)) << w.Log.ErrorText();
  EXPECT_TRUE(w.Log.Passed.empty());
  std::string reserved = wide;
  reserved[2] = static_cast<char>(0xF0);
  WriteFile(dir / "reserved.Z", reserved);
  const TGzRun r = RunGz(dir, "reserved.Z");
  EXPECT_TRUE(r.Log.HasError(E_INCOMPLETE_CODE_SET)) << r.Log.ErrorText();
}

}  // namespace
}  // namespace qmx

namespace qmx {
namespace {

TEST(GZipReader, AnEmptyMemberMakesAnEmptyFile) {
  TempDir dir;
  WriteFile(dir / "nothing", "");
  ASSERT_EQ(Sh("cd " + dir.path() + " && gzip -c nothing > nothing.gz"), 0);
  const TGzRun run = RunGz(dir, "nothing.gz");
  EXPECT_EQ(run.Log.Passed.size(), 1u) << run.Log.ErrorText();
  EXPECT_TRUE(FileExists(dir / "out/nothing"));
  EXPECT_EQ(ReadFile(dir / "out/nothing"), "");
}

}  // namespace
}  // namespace qmx
