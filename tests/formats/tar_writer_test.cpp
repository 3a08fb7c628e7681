// The tar writer: header fields, the documented sizes of small archives,
// long names, updates of an existing tar, the gzip step, and what GNU tar,
// bsdtar, 7-Zip and Python make of our archives.
#include "archive/formats/tar/tar_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/platform/files.h"
#include "support/temp_dir.h"

namespace {

using qmx::TTar;
using qmx::TTarHeader;
using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

std::string Field(const std::string& tar, std::size_t at, std::size_t width) {
  std::string f = tar.substr(at, width);
  return f.substr(0, f.find('\0'));
}

class TarWriter : public ::testing::Test {
 protected:
  // Tars everything under src/ into name; returns Compress's count.
  int MakeTar(const std::string& name, const std::function<void(TTar&)>& setup = {}) {
    TTar t;
    t.SetArchiveFile(dir_ / name);
    t.SetFileSpec({dir_ / "src/*.*"});
    t.RecurseDirs = true;
    t.DeleteOptions = qmx::doFinal;
    t.OnError = [this](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                       int code) { errors_.push_back(code); };
    if (setup) setup(t);
    return t.Compress();
  }
  int Sh(const std::string& cmd) { return qmx::test::Run("cd " + dir_.path() + " && " + cmd); }
  std::string Out(const std::string& cmd) {
    Sh(cmd + " > sh-out.txt 2>&1");
    return ReadFile(dir_ / "sh-out.txt");
  }
  void SetUp() override { ASSERT_EQ(Sh("mkdir src"), 0); }

  TempDir dir_;
  std::vector<int> errors_;
};

// ---------------------------------------------------------------- fields

TEST(TarFields, NumbersUseOctalAndBase256FromEightGiB) {
  std::uint8_t f[12];
  ASSERT_TRUE(qmx::PutTarNumber(f, 12, 1));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(f), 12), std::string("00000000001\0", 12));
  const std::uint64_t lastOctal = (std::uint64_t{1} << 33) - 1;
  ASSERT_TRUE(qmx::PutTarNumber(f, 12, lastOctal));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(f), 11), "77777777777");
  EXPECT_EQ(qmx::TarNumber(f, 12), static_cast<std::int64_t>(lastOctal));

  const std::uint64_t eightGiB = std::uint64_t{1} << 33;
  ASSERT_TRUE(qmx::PutTarNumber(f, 12, eightGiB));
  const std::uint8_t want[12] = {0x80, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(f, want, 12), 0);
  EXPECT_EQ(qmx::TarNumber(f, 12), static_cast<std::int64_t>(eightGiB));
  const std::uint64_t big = 0x0123456789ABCDEFull;
  ASSERT_TRUE(qmx::PutTarNumber(f, 12, big));
  EXPECT_EQ(qmx::TarNumber(f, 12), static_cast<std::int64_t>(big));

  // An 8-byte field holds 56 bits in base-256.
  std::uint8_t small[8];
  EXPECT_TRUE(qmx::PutTarNumber(small, 8, (std::uint64_t{1} << 56) - 1));
  EXPECT_FALSE(qmx::PutTarNumber(small, 8, std::uint64_t{1} << 56));
  // What other writers put there: blanks and terminators around the digits.
  const std::uint8_t gnu[12] = {' ', ' ', '1', '7', ' ', 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(qmx::TarNumber(gnu, 12), 017);
  // Anything but octal digits is skipped, up to the first NUL.
  const std::uint8_t junk[12] = {'1', 'x', '2', 0, '7'};
  EXPECT_EQ(qmx::TarNumber(junk, 12), 012);
}

TEST(TarFields, HeaderLayoutAndChecksum) {
  TTar t;
  t.UnixUName = std::string(40, 'u');
  TTarHeader h{};
  t.FillHeader(h, "a/b.txt", false, 5, 1000000000);
  const std::string s(reinterpret_cast<const char*>(h.data()), h.size());
  EXPECT_EQ(Field(s, 0, 100), "a/b.txt");
  EXPECT_EQ(s.substr(100, 8), std::string("0100444\0", 8));
  EXPECT_EQ(s.substr(108, 8), std::string("0000002\0", 8));
  EXPECT_EQ(s.substr(116, 8), std::string("0000002\0", 8));
  EXPECT_EQ(s.substr(124, 12), std::string("00000000005\0", 12));
  EXPECT_EQ(s.substr(136, 12), std::string("07346545000\0", 12));
  EXPECT_EQ(s[156], '0');
  EXPECT_EQ(s.substr(257, 8), std::string("ustar  \0", 8));
  EXPECT_EQ(s.substr(265, 32), std::string(32, 'u'));  // cut, no terminator
  EXPECT_EQ(Field(s, 297, 32), "root");
  EXPECT_TRUE(qmx::TarChecksumMatches(h.data()));
  EXPECT_EQ(qmx::TarNumber(h.data() + 148, 8), qmx::TarChecksum(h.data()));
  EXPECT_EQ(s[155], '\0');

  t.FillHeader(h, "d/", true, 0, 0);
  EXPECT_EQ(h[156], '5');
  EXPECT_EQ(std::memcmp(&h[100], "0040555", 8), 0);
}

TEST(TarFields, EntryNamesAreRelativeWithSlashes) {
  EXPECT_EQ(qmx::TarEntryName("/abs/x.txt", false, false), "abs/x.txt");
  EXPECT_EQ(qmx::TarEntryName("sub/dir", true, false), "sub/dir/");
  EXPECT_EQ(qmx::TarEntryName("sub/dir/", true, false), "sub/dir/");
  EXPECT_EQ(qmx::TarEntryName("中文/名.txt", false, true), "中文/名.txt");
}

// ---------------------------------------------------------------- archives

TEST_F(TarWriter, SmallArchivesHaveTheDocumentedSizes) {
  WriteFile(dir_ / "src/one", "x");
  ASSERT_EQ(MakeTar("one.tar"), 1);
  std::string tar = ReadFile(dir_ / "one.tar");
  ASSERT_EQ(tar.size(), 10240u);
  EXPECT_EQ(Field(tar, 0, 100), "one");
  EXPECT_EQ(tar[512], 'x');
  EXPECT_EQ(tar.substr(513), std::string(10240 - 513, '\0'));

  ASSERT_EQ(Sh("rm src/one && : > src/empty"), 0);
  ASSERT_EQ(MakeTar("empty.tar"), 1);
  tar = ReadFile(dir_ / "empty.tar");
  ASSERT_EQ(tar.size(), 10240u);
  EXPECT_EQ(Field(tar, 124, 12), "00000000000");

  // Header and data end at 10240 exactly, or one block short of it: the
  // two zero blocks that end a tar still follow, then a whole record.
  WriteFile(dir_ / "src/empty", std::string(10240 - 512, 'q'));
  ASSERT_EQ(MakeTar("full.tar"), 1);
  tar = ReadFile(dir_ / "full.tar");
  ASSERT_EQ(tar.size(), 20480u);
  EXPECT_EQ(tar.substr(10240), std::string(10240, '\0'));
  WriteFile(dir_ / "src/empty", std::string(10240 - 1024, 'q'));
  ASSERT_EQ(MakeTar("lone.tar"), 1);
  EXPECT_EQ(ReadFile(dir_ / "lone.tar").size(), 20480u);
  EXPECT_EQ(Sh("7zz t full.tar >/dev/null && 7zz t lone.tar >/dev/null"), 0);
  EXPECT_EQ(Sh("tar -tf lone.tar 2>tar-err.txt >/dev/null"), 0);
  EXPECT_EQ(ReadFile(dir_ / "tar-err.txt"), "");

  // A 512-byte file needs no data padding: the next header follows it.
  WriteFile(dir_ / "src/b512", std::string(512, 'b'));
  ASSERT_EQ(MakeTar("two.tar"), 2);
  tar = ReadFile(dir_ / "two.tar");
  EXPECT_EQ(Field(tar, 0, 100), "b512");
  EXPECT_EQ(Field(tar, 1024, 100), "empty");
}

TEST_F(TarWriter, DirectoriesAndLongNames) {
  const std::string n101(97, 'n');  // "src/" is cut off: names of 101 bytes below
  ASSERT_EQ(Sh("mkdir -p src/emptydir src/" + std::string(60, 'd')), 0);
  const std::string longName = std::string(60, 'd') + "/" + std::string(189, 'f');  // 250 bytes
  WriteFile(dir_ / ("src/" + longName), "long");
  WriteFile(dir_ / ("src/" + std::string(101, 'a')), "101");
  ASSERT_EQ(MakeTar("names.tar", [](TTar& t) { t.StoreEmptySubDirs = true; }), 3);
  const std::string tar = ReadFile(dir_ / "names.tar");

  // Entries in scan order; long names each behind a "L" entry.
  std::size_t at = 0;
  std::vector<std::string> names;
  while (at + 512 <= tar.size() && tar[at] != '\0') {
    const std::string name = Field(tar, at, 100);
    const std::int64_t size =
        qmx::TarNumber(reinterpret_cast<const std::uint8_t*>(&tar[at + 124]), 12);
    if (tar[at + 156] == 'L') {
      EXPECT_EQ(name, "././@LongLink");
      const std::string full = tar.substr(at + 512, static_cast<std::size_t>(size));
      ASSERT_EQ(full.back(), '\0');
      names.push_back(full.substr(0, full.size() - 1));
      // The header that follows has its fields intact after a cut name.
      const std::size_t next = at + 512 + ((static_cast<std::size_t>(size) + 511) / 512) * 512;
      EXPECT_EQ(tar.substr(next + 100, 7), "0100444");
      EXPECT_EQ(tar.substr(next, 100), names.back().substr(0, 100));
      at = next + 512 +
           ((qmx::TarNumber(reinterpret_cast<const std::uint8_t*>(&tar[next + 124]), 12) + 511) /
            512) *
               512;
      continue;
    }
    names.push_back(name);
    at += 512 + ((static_cast<std::size_t>(size) + 511) / 512) * 512;
  }
  const std::vector<std::string> want{std::string(101, 'a'), longName, "emptydir/"};
  EXPECT_EQ(names, want);
}

TEST_F(TarWriter, UpdatesKeepRenameAndDeleteEntries) {
  WriteFile(dir_ / ("src/" + std::string(120, 'k')), "kept with a long name");
  WriteFile(dir_ / "src/a.txt", "first");
  ASSERT_EQ(MakeTar("u.tar"), 2);
  ASSERT_EQ(Sh("rm src/*"), 0);
  WriteFile(dir_ / "src/b.txt", "second");
  ASSERT_EQ(MakeTar("u.tar"), 1);
  EXPECT_EQ(Out("tar -tf u.tar"), "a.txt\n" + std::string(120, 'k') + "\nb.txt\n");

  // Same name, other content: the old entry stays under a new name.
  WriteFile(dir_ / "src/b.txt", "changed!");
  ASSERT_EQ(MakeTar("u.tar",
                    [](TTar& t) {
                      t.OnReplaceFile = [](qmx::TZipCommon&, const std::string&, const std::string&,
                                           qmx::TDateTime, qmx::TDateTime, std::int64_t,
                                           std::int64_t, int, int,
                                           bool& replace) { replace = false; };
                      t.OnRenameDupeFile = [](qmx::TZipCommon&, const std::string&,
                                              std::string& newName, bool& rename) {
                        newName = std::string(110, 'r') + ".txt";
                        rename = true;
                      };
                    }),
            1);
  EXPECT_EQ(Out("tar -tf u.tar"),
            "a.txt\n" + std::string(120, 'k') + "\n" + std::string(110, 'r') + ".txt\nb.txt\n");
  ASSERT_EQ(Sh("mkdir x && tar -xf u.tar -C x"), 0);
  EXPECT_EQ(ReadFile(dir_ / ("x/" + std::string(110, 'r') + ".txt")), "second");
  EXPECT_EQ(ReadFile(dir_ / "x/b.txt"), "changed!");

  ASSERT_EQ(MakeTar("u.tar",
                    [](TTar& t) {
                      t.Switch = qmx::swDelete;
                      t.SetFileSpec({"a.txt"});
                    }),
            1);
  EXPECT_EQ(Out("tar -tf u.tar"),
            std::string(120, 'k') + "\n" + std::string(110, 'r') + ".txt\nb.txt\n");
  EXPECT_EQ(ReadFile(dir_ / "u.tar").size() % 10240, 0u);
}

TEST_F(TarWriter, UpdatesOfPeerTarsKeepPrefixAndPaxEntries) {
  // A ustar name split into prefix and name, and a pax "path" record.
  const std::string deep = std::string(60, 'd') + "/" + std::string(60, 'e');
  const std::string paxName = std::string(130, 'p') + ".txt";
  ASSERT_EQ(Sh("mkdir -p src/" + deep + " && printf old > src/" + deep + "/f.txt"), 0);
  ASSERT_EQ(Sh("tar --format=ustar -cf u.tar -C src " + deep + "/f.txt"), 0);
  ASSERT_EQ(Sh("printf pax > src/" + paxName + " && tar --format=pax -cf p.tar -C src " + paxName),
            0);
  ASSERT_EQ(Sh("tar -Af u.tar p.tar && rm -r src/* && printf new > src/b.txt"), 0);
  ASSERT_EQ(MakeTar("u.tar"), 1);
  EXPECT_EQ(Out("tar -tf u.tar"), deep + "/f.txt\n" + paxName + "\nb.txt\n");

  // The renamed old version is exactly its new name, no prefix glued on.
  ASSERT_EQ(Sh("rm src/b.txt && mkdir -p src/" + deep + " && printf newer > src/" + deep + "/f.txt"),
            0);
  ASSERT_EQ(MakeTar("u.tar",
                    [](TTar& t) {
                      t.OnReplaceFile = [](qmx::TZipCommon&, const std::string&, const std::string&,
                                           qmx::TDateTime, qmx::TDateTime, std::int64_t,
                                           std::int64_t, int, int,
                                           bool& replace) { replace = false; };
                      t.OnRenameDupeFile = [](qmx::TZipCommon&, const std::string&,
                                              std::string& newName, bool& rename) {
                        newName = "renamed.txt";
                        rename = true;
                      };
                    }),
            1);
  EXPECT_EQ(Out("tar -tf u.tar"),
            "renamed.txt\n" + paxName + "\nb.txt\n" + deep + "/f.txt\n");
  ASSERT_EQ(Sh("mkdir x && tar -xf u.tar -C x"), 0);
  EXPECT_EQ(ReadFile(dir_ / "x/renamed.txt"), "old");
  EXPECT_EQ(ReadFile(dir_ / "x/b.txt"), "new");
  EXPECT_EQ(ReadFile(dir_ / ("x/" + paxName)), "pax");
  EXPECT_EQ(ReadFile(dir_ / ("x/" + deep + "/f.txt")), "newer");
}

TEST_F(TarWriter, ADamagedHeaderLeavesTheArchiveAlone) {
  // Rewriting past the damage would drop what follows it.
  WriteFile(dir_ / "src/a.txt", "first");
  WriteFile(dir_ / "src/b.txt", "second");
  ASSERT_EQ(MakeTar("d.tar"), 2);
  std::string image = ReadFile(dir_ / "d.tar");
  image[1024 + 3] ^= 0x20;  // the second header's name: its checksum no longer holds
  WriteFile(dir_ / "d.tar", image);
  ASSERT_EQ(Sh("rm src/* && printf c > src/c.txt"), 0);
  EXPECT_LE(MakeTar("d.tar"), 0);
  EXPECT_NE(std::find(errors_.begin(), errors_.end(), qmx::E_HEADER_NOT_FOUND), errors_.end());
  EXPECT_TRUE(ReadFile(dir_ / "d.tar") == image);
}

TEST_F(TarWriter, TarGzipLeavesTheTarAndTheGzBesideIt) {
  WriteFile(dir_ / "src/a.txt", std::string(5000, 'a'));
  TTar t;
  t.SetCompressMethod(qmx::cmTarGzip);
  t.SetArchiveFile(dir_ / "t.tar.gz");
  EXPECT_EQ(t.ArchiveFile(), dir_ / "t.tar");
  t.SetFileSpec({dir_ / "src/*.*"});
  std::vector<std::string> ended;
  t.OnEnd = [&](qmx::TZipCommon&, const std::string& name, bool pass) {
    if (pass) ended.push_back(name);
  };
  ASSERT_EQ(t.Compress(), 1);
  EXPECT_EQ(t.ArchiveFile(), dir_ / "t.tar.gz");
  EXPECT_EQ(ended, (std::vector<std::string>{"a.txt", dir_ / "t.tar.gz"}));
  ASSERT_TRUE(qmx::FileExists(dir_ / "t.tar"));
  EXPECT_EQ(Sh("gzip -t t.tar.gz"), 0);
  EXPECT_EQ(Out("gzip -dc t.tar.gz | cmp - t.tar && echo same"), "same\n");
  // The member is named after the tar alone.
  EXPECT_EQ(Out("gzip -lN t.tar.gz | tail -1 | awk '{print $4}'"), "t.tar\n");
}

TEST_F(TarWriter, OnReadListsTheNewEntries) {
  WriteFile(dir_ / "src/a.txt", "12345");
  std::vector<std::string> listed;
  ASSERT_EQ(MakeTar("l.tar",
                    [&](TTar& t) {
                      t.OnRead = [&](qmx::TZipCommon& s, int, int) {
                        const auto& e = static_cast<TTar&>(s).ListedEntry();
                        listed.push_back(e.FileName + " " + std::to_string(e.UnpackedSize) + " " +
                                         e.MethodName);
                      };
                    }),
            1);
  EXPECT_EQ(listed, (std::vector<std::string>{"a.txt 5 Tarred"}));
  listed.clear();
  TTar r;
  r.SetArchiveFile(dir_ / "l.tar");
  r.Switch = qmx::swRead;
  r.OnRead = [&](qmx::TZipCommon& s, int, int) {
    listed.push_back(static_cast<TTar&>(s).ListedEntry().FileName);
  };
  EXPECT_EQ(r.Compress(), 1);
  EXPECT_EQ(listed, (std::vector<std::string>{"a.txt"}));
}

TEST_F(TarWriter, DateAttributeChoosesTheEntryTimes) {
  WriteFile(dir_ / "src/old.txt", "o");
  WriteFile(dir_ / "src/new.txt", "n");
  ASSERT_EQ(Sh("touch -d @1500000000 src/old.txt && touch -d @1600000000 src/new.txt"), 0);
  ASSERT_EQ(MakeTar("own.tar"), 2);
  EXPECT_EQ(Out("tar --full-time -tvf own.tar | awk '{print $5}' | sort -u | wc -l"), "2\n");
  EXPECT_EQ(Out("python3 -c \"import tarfile;print(sorted(m.mtime for m in "
                "tarfile.open('own.tar')))\""),
            "[1500000000, 1600000000]\n");
  ASSERT_EQ(MakeTar("max.tar", [](TTar& t) { t.DateAttribute = qmx::daMaxFileDate; }), 2);
  EXPECT_EQ(Out("python3 -c \"import tarfile;print(sorted(m.mtime for m in "
                "tarfile.open('max.tar')))\""),
            "[1600000000, 1600000000]\n");
}

// ---------------------------------------------------------------- peers

TEST_F(TarWriter, PeersReadAndExtractWhatWeWrite) {
  ASSERT_EQ(Sh("mkdir -p src/中文目录 src/emptydir src/" + std::string(70, 'p')), 0);
  WriteFile(dir_ / "src/中文目录/文件.txt", "中文内容\n");
  WriteFile(dir_ / "src/empty.txt", "");
  WriteFile(dir_ / ("src/" + std::string(100, 'c')), "100");
  WriteFile(dir_ / ("src/" + std::string(101, 'c')), "101");
  WriteFile(dir_ / ("src/" + std::string(70, 'p') + "/" + std::string(179, 'q')), "250");
  ASSERT_EQ(Sh("head -c 300000 /dev/urandom > src/random.bin && seq 1 50000 > src/seq.txt"), 0);
  ASSERT_EQ(MakeTar("p.tar", [](TTar& t) { t.StoreEmptySubDirs = true; }), 8);
  ASSERT_TRUE(errors_.empty());

  const std::string listing = Out("tar --numeric-owner -tvf p.tar");
  EXPECT_NE(listing.find("-r--r--r-- 2/2"), std::string::npos) << listing;
  EXPECT_NE(listing.find("dr-xr-xr-x 2/2"), std::string::npos) << listing;
  EXPECT_EQ(Sh("tar -tf p.tar | sort > gnu.txt && bsdtar -tf p.tar | sort > bsd.txt && "
               "cmp gnu.txt bsd.txt"),
            0);
  EXPECT_EQ(Sh("7zz t p.tar > /dev/null"), 0);
  const char* extract[] = {"tar -xf ../p.tar", "bsdtar -xf ../p.tar",
                           "7zz x -y ../p.tar > /dev/null",
                           "python3 -c \"import tarfile;tarfile.open('../p.tar').extractall()\""};
  int n = 0;
  for (const char* cmd : extract) {
    const std::string out = "x" + std::to_string(n++);
    ASSERT_EQ(Sh("mkdir " + out + " && cd " + out + " && " + cmd), 0) << cmd;
    EXPECT_EQ(Sh("chmod -R u+w " + out + " && diff -r src " + out), 0) << cmd;
    EXPECT_EQ(Sh("test -d " + out + "/emptydir"), 0) << cmd;
  }
  // Times survive to the second.
  EXPECT_EQ(Out("stat -c %Y src/seq.txt"), Out("stat -c %Y x0/seq.txt"));
}

}  // namespace
