// The BH writer: header fields of the documented small archives, the
// choice between deflating, fusing and storing, encryption, updates of an
// existing archive, and an independent reader (Python's zlib, the ZIP
// application note's cipher, lhasa) agreeing with every entry we write.
#include "archive/formats/bh/bh_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/codec/crc.h"
#include "archive/codec/lha_coder.h"
#include "archive/formats/bh/bh_reader.h"
#include "archive/platform/files.h"
#include "support/temp_dir.h"

namespace {

using qmx::TBhHeader;
using qmx::TBlakHole;
using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

struct TParsedEntry {
  TBhHeader Head;
  std::string Name;
  std::string Data;
};

std::vector<TParsedEntry> ParseBh(const std::string& blob) {
  std::vector<TParsedEntry> out;
  std::size_t pos = 0;
  while (pos + qmx::kBhHeadSize <= blob.size()) {
    TParsedEntry e;
    e.Head = TBhHeader::Parse(reinterpret_cast<const std::uint8_t*>(blob.data() + pos));
    if (e.Head.Signature != qmx::kBhSignature || e.Head.HeaderLength == 0) break;
    e.Name = blob.substr(pos + qmx::kBhHeadSize, e.Head.NameLength);
    const std::size_t data = pos + qmx::kBhHeadSize + e.Head.NameLength + e.Head.ExtraLength;
    e.Data = blob.substr(data, e.Head.PackedSize);
    pos = data + e.Head.PackedSize;
    out.push_back(e);
  }
  return out;
}

std::uint32_t Crc(const std::string& s) {
  return qmx::Crc32(s.data(), s.size());
}

// Text that compresses well and bytes that do not.
std::string Text(int lines) {
  std::string t;
  for (int i = 0; i < lines; ++i) t += "line " + std::to_string(i % 97) + " of the BH test\n";
  return t;
}
std::string Noise(int n) {
  std::string s;
  std::uint32_t x = 12345;
  for (int i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s += static_cast<char>(x >> 24);
  }
  return s;
}

// Whether the LHA coder is really there (it packs zeros to almost nothing).
bool LhaCoderPresent() {
  std::string zeros(65536, '\0');
  std::size_t at = 0;
  std::int64_t written = 0;
  const qmx::TLhaCoderResult r = qmx::LhaCompress(
      [&](void* b, std::int64_t n) {
        const std::int64_t k = std::min<std::int64_t>(n, zeros.size() - at);
        std::memcpy(b, zeros.data() + at, k);
        at += k;
        return k;
      },
      [&](const void*, std::int64_t n) {
        written += n;
        return n;
      },
      static_cast<std::int64_t>(zeros.size()), qmx::kBhFuseParams);
  return r == qmx::lcOk && written < 4096;
}

class BhWriter : public ::testing::Test {
 protected:
  int Make(const std::string& name, const std::function<void(TBlakHole&)>& setup = {}) {
    TBlakHole b;
    b.SetArchiveFile(dir_ / name);
    b.SetFileSpec({dir_ / "src/*.*"});
    b.RecurseDirs = true;
    b.DeleteOptions = qmx::doFinal;
    b.OnError = [this](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                       int code) { errors_.push_back(code); };
    b.OnEnd = [this](qmx::TZipCommon&, const std::string& f, bool ok) { ends_[f] = ok; };
    if (setup) setup(b);
    return b.Compress();
  }
  int Sh(const std::string& cmd) { return qmx::test::Run("cd " + dir_.path() + " && " + cmd); }
  std::string Out(const std::string& cmd) {
    Sh(cmd + " > sh-out.txt 2>&1");
    return ReadFile(dir_ / "sh-out.txt");
  }
  // The independent reader's lines for archive, its files under out/.
  std::string Oracle(const std::string& archive, const std::string& extra = "") {
    const std::string lines =
        Out(std::string("python3 ") + QMX_SOURCE_DIR + "/tests/formats/bh_oracle.py " + archive +
            " out --sources src " + extra);
    EXPECT_EQ(lines.find("Traceback"), std::string::npos) << lines;
    return lines;
  }
  // Our reader: entry name -> verdict; files go to dir.
  std::map<std::string, bool> ReadBack(const std::string& archive, const std::string& dir,
                                       const std::string& password = "") {
    std::map<std::string, bool> verdicts;
    qmx::TUnBh r;
    r.SetArchiveFile(dir_ / archive);
    r.SetExtractDir(dir_ / dir);
    r.SetFileSpec({"*.*"});
    r.RecurseDirs = true;
    r.Password = password;
    r.OnError = [this](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                       int code) { readErrors_.push_back(code); };
    r.OnEnd = [&](qmx::TZipCommon& s, const std::string&, bool ok) {
      verdicts[static_cast<qmx::TUnBh&>(s).StoredName()] = ok;
    };
    r.Extract();
    return verdicts;
  }
  void SetUp() override { ASSERT_EQ(Sh("mkdir src out"), 0); }

  TempDir dir_;
  std::vector<int> errors_, readErrors_;
  std::map<std::string, bool> ends_;
};

// ---------------------------------------------------------------- documented archives

TEST_F(BhWriter, HelloDeflatedHasTheDocumentedHeaderForEachLevel) {
  WriteFile(dir_ / "src/a.txt", "hello");
  const struct {
    qmx::TDeflateType Type;
    std::uint8_t Flags;
  } levels[] = {{qmx::dtDeflateN, 0}, {qmx::dtDeflateX, 2}, {qmx::dtDeflateF, 4}};
  for (const auto& l : levels) {
    SCOPED_TRACE(static_cast<int>(l.Type));
    const std::string name = "h" + std::to_string(l.Flags) + ".bh";
    ASSERT_EQ(Make(name, [&](TBlakHole& b) { b.DeflateType = l.Type; }), 1);
    const std::string blob = ReadFile(dir_ / name);
    const auto entries = ParseBh(blob);
    ASSERT_EQ(entries.size(), 1u);
    const TBhHeader& h = entries[0].Head;
    EXPECT_EQ(blob.substr(0, 4), std::string("BH\x05\x07", 4));
    EXPECT_EQ(h.HeaderLength, 42);
    EXPECT_EQ(h.FixedSize, 37);
    EXPECT_EQ(h.Version, 7);
    EXPECT_EQ(h.Version2, 0);
    EXPECT_EQ(h.Flags, l.Flags);
    // Deflated even though five bytes of text grow by it.
    EXPECT_EQ(h.Method, qmx::kBhMethodDeflate);
    EXPECT_EQ(h.NameLength, 5);
    EXPECT_EQ(h.ExtraLength, 0);
    EXPECT_EQ(entries[0].Name, "a.txt");
    EXPECT_EQ(h.UnpackedSize, 5u);
    EXPECT_EQ(h.Crc32, Crc("hello"));
    EXPECT_EQ(h.Reserved, 0u);
    EXPECT_EQ(h.PackedSize, blob.size() - 42u);
    const std::string lines = Oracle(name);
    EXPECT_NE(lines.find("a.txt 8 " + std::to_string(l.Flags) + " " + std::to_string(h.PackedSize) +
                         " 5 ok"),
              std::string::npos)
        << lines;
    EXPECT_EQ(ReadFile(dir_ / "out/a.txt"), "hello");
  }
}

TEST_F(BhWriter, DeflatedEntriesAreRawDeflateForZlib) {
  ASSERT_EQ(Sh("mkdir src/sub"), 0);
  WriteFile(dir_ / "src/a.txt", "hello hello hello hello hello hello hello");
  WriteFile(dir_ / "src/sub/long.txt", Text(5000));
  for (const auto& [type, flags] :
       std::map<qmx::TDeflateType, int>{{qmx::dtDeflateN, 0}, {qmx::dtDeflateX, 2}}) {
    const std::string name = "d" + std::to_string(flags) + ".bh";
    ASSERT_EQ(Make(name, [type = type](TBlakHole& b) { b.DeflateType = type; }), 2);
    for (const auto& e : ParseBh(ReadFile(dir_ / name))) {
      SCOPED_TRACE(e.Name);
      EXPECT_EQ(e.Head.Method, qmx::kBhMethodDeflate);
      EXPECT_EQ(e.Head.Flags, flags);
      EXPECT_EQ(e.Head.HeaderLength, 37 + e.Name.size());
      EXPECT_LT(e.Head.PackedSize, e.Head.UnpackedSize);
    }
    const std::string lines = Oracle(name);
    EXPECT_NE(lines.find("a.txt 8 " + std::to_string(flags)), std::string::npos) << lines;
    EXPECT_EQ(lines.find("bad"), std::string::npos) << lines;
    EXPECT_EQ(ReadFile(dir_ / "out/sub/long.txt"), Text(5000));
    EXPECT_EQ(Sh("rm -rf out && mkdir out"), 0);
  }
  const auto verdicts = ReadBack("d0.bh", "ours");
  EXPECT_EQ(verdicts.size(), 2u);
  for (const auto& [name, ok] : verdicts) EXPECT_TRUE(ok) << name;
  EXPECT_EQ(ReadFile(dir_ / "ours/sub/long.txt"), Text(5000));
}

TEST_F(BhWriter, EmptyAndIncompressibleFilesAreStored) {
  WriteFile(dir_ / "src/empty", "");
  WriteFile(dir_ / "src/noise.bin", Noise(40000));
  WriteFile(dir_ / "src/kept.zip", Text(200));  // its extension says: already packed
  ASSERT_EQ(Make("s.bh"), 3);
  std::map<std::string, TParsedEntry> byName;
  for (const auto& e : ParseBh(ReadFile(dir_ / "s.bh"))) byName[e.Name] = e;
  ASSERT_EQ(byName.size(), 3u);
  EXPECT_EQ(byName["empty"].Head.Method, 0);
  EXPECT_EQ(byName["empty"].Head.Crc32, 0u);
  EXPECT_EQ(byName["empty"].Head.PackedSize, 0u);
  // Deflate's own stored blocks keep incompressible data near its size.
  EXPECT_EQ(byName["noise.bin"].Head.Method, 8);
  EXPECT_LT(byName["noise.bin"].Head.PackedSize, 40000u + 100u);
  EXPECT_EQ(byName["noise.bin"].Head.Crc32, Crc(Noise(40000)));
  EXPECT_EQ(byName["kept.zip"].Head.Method, 0);
  EXPECT_EQ(byName["kept.zip"].Head.Flags, 0);

  // cmStore stores everything, with no deflate bits.
  ASSERT_EQ(Make("store.bh", [](TBlakHole& b) { b.SetCompressMethod(qmx::cmStore); }), 3);
  for (const auto& e : ParseBh(ReadFile(dir_ / "store.bh"))) {
    EXPECT_EQ(e.Head.Method, 0) << e.Name;
    EXPECT_EQ(e.Head.Flags, 0) << e.Name;
  }
  const std::string lines = Oracle("store.bh");
  EXPECT_EQ(lines.find("bad"), std::string::npos) << lines;
  EXPECT_NE(lines.find("noise.bin 0 0 40000 40000 ok"), std::string::npos) << lines;
}

TEST_F(BhWriter, FusedEntriesShrinkOrAreStored) {
  WriteFile(dir_ / "src/noise.bin", Noise(30000));
  WriteFile(dir_ / "src/text.txt", Text(3000));
  ASSERT_EQ(Make("f.bh", [](TBlakHole& b) { b.SetCompressMethod(qmx::cmFuse); }), 2);
  std::map<std::string, TParsedEntry> byName;
  for (const auto& e : ParseBh(ReadFile(dir_ / "f.bh"))) byName[e.Name] = e;
  // Incompressible data is stored whatever the coder does.
  EXPECT_EQ(byName["noise.bin"].Head.Method, 0);
  EXPECT_EQ(byName["noise.bin"].Data, Noise(30000));
  const auto verdicts = ReadBack("f.bh", "ours");
  for (const auto& [name, ok] : verdicts) EXPECT_TRUE(ok) << name;
  EXPECT_EQ(ReadFile(dir_ / "ours/text.txt"), Text(3000));

  if (!LhaCoderPresent()) GTEST_SKIP() << "the LHA coder is not in this build yet";
  EXPECT_EQ(byName["text.txt"].Head.Method, qmx::kBhMethodFused3);
  EXPECT_EQ(byName["text.txt"].Head.Flags, 0);
  EXPECT_LT(byName["text.txt"].Head.PackedSize, 3000u * 20u / 4u);
  // lhasa decodes our fused data as "-lh6-" data.
  const std::string lines = Oracle("f.bh");
  EXPECT_NE(lines.find("text.txt 3 0"), std::string::npos) << lines;
  EXPECT_EQ(lines.find("bad"), std::string::npos) << lines;
  EXPECT_EQ(ReadFile(dir_ / "out/text.txt"), Text(3000));
}

// ---------------------------------------------------------------- encryption

TEST_F(BhWriter, EncryptedEntriesCountTheirHeaderAndNeedThePassword) {
  WriteFile(dir_ / "src/text.txt", Text(800));
  WriteFile(dir_ / "src/noise.bin", Noise(5000));
  WriteFile(dir_ / "src/empty", "");
  for (const qmx::TCompressMethod m : {qmx::cmDeflate, qmx::cmStore, qmx::cmFuse}) {
    SCOPED_TRACE(static_cast<int>(m));
    ASSERT_EQ(Make("e.bh",
                   [m](TBlakHole& b) {
                     b.SetCompressMethod(m);
                     b.DeflateType = qmx::dtDeflateX;
                     b.EncryptionMethod = qmx::emZIP_v2;
                     b.Password = "s3cret";
                   }),
              3);
    std::map<std::string, TParsedEntry> byName;
    for (const auto& e : ParseBh(ReadFile(dir_ / "e.bh"))) byName[e.Name] = e;
    // An empty file has nothing to encipher: it goes in plain.
    EXPECT_EQ(byName["empty"].Head.Flags, 0);
    EXPECT_EQ(byName["empty"].Head.PackedSize, 0u);
    const TBhHeader& noise = byName["noise.bin"].Head;
    EXPECT_EQ(noise.Flags & 1, 1);
    if (m != qmx::cmDeflate) {
      EXPECT_EQ(noise.Method, 0);
      EXPECT_EQ(noise.PackedSize, 5000u + 12u);
    }
    EXPECT_NE(byName["noise.bin"].Data.substr(12, 5000), Noise(5000));
    EXPECT_EQ(byName["text.txt"].Head.Flags & 1, 1);
    // The deflate type marks deflated entries and, with a password, fused ones.
    if (m == qmx::cmFuse && LhaCoderPresent()) {
      EXPECT_EQ(byName["text.txt"].Head.Method, qmx::kBhMethodFused3);
      EXPECT_EQ(byName["text.txt"].Head.Flags, 1 | 2);
    }
    if (m == qmx::cmDeflate) {
      EXPECT_EQ(byName["text.txt"].Head.Flags, 1 | 2);
    }

    const std::string lines = Oracle("e.bh", "--password s3cret");
    EXPECT_EQ(lines.find("bad"), std::string::npos) << lines;
    EXPECT_EQ(ReadFile(dir_ / "out/text.txt"), Text(800));
    EXPECT_EQ(ReadFile(dir_ / "out/noise.bin"), Noise(5000));

    readErrors_.clear();
    auto verdicts = ReadBack("e.bh", "right", "s3cret");
    ASSERT_EQ(verdicts.size(), 3u);
    for (const auto& [name, ok] : verdicts) EXPECT_TRUE(ok) << name;
    EXPECT_EQ(ReadFile(dir_ / "right/text.txt"), Text(800));
    verdicts = ReadBack("e.bh", "wrong", "other");
    EXPECT_FALSE(verdicts["text.txt"]);
    EXPECT_FALSE(verdicts["noise.bin"]);
    EXPECT_TRUE(verdicts["empty"]);
    EXPECT_FALSE(qmx::FileExists(dir_ / "wrong/text.txt"));
    EXPECT_EQ(Sh("rm -rf out right wrong e.bh && mkdir out"), 0);
  }
}

// ---------------------------------------------------------------- updates

TEST_F(BhWriter, UpdatesKeepDeleteAndRenameOldEntries) {
  WriteFile(dir_ / "src/a.txt", Text(100));
  ASSERT_EQ(Make("u.bh"), 1);
  const std::string first = ReadFile(dir_ / "u.bh");

  // Adding keeps the old entry byte for byte.
  WriteFile(dir_ / "src/b.txt", Text(200));
  ASSERT_EQ(Make("u.bh", [this](TBlakHole& b) { b.SetFileSpec({dir_ / "src/b.txt"}); }), 1);
  std::string blob = ReadFile(dir_ / "u.bh");
  EXPECT_EQ(blob.substr(0, first.size()), first);
  ASSERT_EQ(ParseBh(blob).size(), 2u);

  // A changed file under an existing name can be kept as a renamed copy.
  WriteFile(dir_ / "src/a.txt", "changed");
  ASSERT_EQ(Make("u.bh",
                 [this](TBlakHole& b) {
                   b.SetFileSpec({dir_ / "src/a.txt"});
                   b.OnReplaceFile = [](qmx::TZipCommon&, const std::string&, const std::string&,
                                        qmx::TDateTime, qmx::TDateTime, std::int64_t, std::int64_t,
                                        int, int, bool& r) { r = false; };
                   b.OnRenameDupeFile = [](qmx::TZipCommon&, const std::string&, std::string& n,
                                           bool& rename) {
                     n = "old-a.txt";
                     rename = true;
                   };
                 }),
            1);
  auto entries = ParseBh(ReadFile(dir_ / "u.bh"));
  std::map<std::string, TParsedEntry> byName;
  for (const auto& e : entries) byName[e.Name] = e;
  ASSERT_EQ(byName.size(), 3u);
  ASSERT_TRUE(byName.count("old-a.txt"));
  EXPECT_EQ(byName["old-a.txt"].Head.HeaderLength, 37 + 9);
  EXPECT_EQ(byName["old-a.txt"].Data, ParseBh(first)[0].Data);
  auto verdicts = ReadBack("u.bh", "x1");
  EXPECT_EQ(verdicts.size(), 3u);
  for (const auto& [name, ok] : verdicts) EXPECT_TRUE(ok) << name;
  EXPECT_EQ(ReadFile(dir_ / "x1/old-a.txt"), Text(100));
  EXPECT_EQ(ReadFile(dir_ / "x1/a.txt"), "changed");

  // Deleting by mask.
  ASSERT_EQ(Make("u.bh",
                 [](TBlakHole& b) {
                   b.Switch = qmx::swDelete;
                   b.SetFileSpec({"*a.txt"});
                 }),
            2);
  entries = ParseBh(ReadFile(dir_ / "u.bh"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Name, "b.txt");
  EXPECT_TRUE(errors_.empty());
}

TEST_F(BhWriter, ASelfExtractorKeepsItsStubThroughAnUpdate) {
  WriteFile(dir_ / "src/a.txt", Text(100));
  ASSERT_EQ(Make("plain.bh"), 1);
  // An executable image of 1024 bytes (page count 2, 512 bytes in the last).
  std::string stub(1024, '\x90');
  stub[0] = 'M', stub[1] = 'Z', stub[2] = 0, stub[3] = 2, stub[4] = 2, stub[5] = 0;
  WriteFile(dir_ / "sfx.exe", stub + ReadFile(dir_ / "plain.bh"));
  WriteFile(dir_ / "src/b.txt", Text(10));
  ASSERT_EQ(Make("sfx.exe", [this](TBlakHole& b) { b.SetFileSpec({dir_ / "src/b.txt"}); }), 1);
  const std::string blob = ReadFile(dir_ / "sfx.exe");
  EXPECT_EQ(blob.substr(0, 1024), stub);
  const auto entries = ParseBh(blob.substr(1024));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Name, "a.txt");
  EXPECT_EQ(entries[1].Name, "b.txt");
  const auto verdicts = ReadBack("sfx.exe", "x");
  EXPECT_EQ(verdicts.size(), 2u);
  EXPECT_EQ(ReadFile(dir_ / "x/b.txt"), Text(10));
  EXPECT_TRUE(errors_.empty());
}

TEST_F(BhWriter, ListingAfterAnUpdateReportsTheNewEntries) {
  WriteFile(dir_ / "src/text.txt", Text(500));
  WriteFile(dir_ / "src/p.txt", Text(50));
  std::vector<qmx::TBhListedEntry> listed;
  ASSERT_EQ(Make("l.bh",
                 [&](TBlakHole& b) {
                   b.Password = "pw";
                   b.OnRead = [&](qmx::TZipCommon& s, int, int) {
                     listed.push_back(static_cast<TBlakHole&>(s).ListedEntry());
                   };
                 }),
            2);
  ASSERT_EQ(listed.size(), 2u);
  const auto entries = ParseBh(ReadFile(dir_ / "l.bh"));
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(listed[i].FileName, entries[i].Name);
    EXPECT_TRUE(listed[i].Encrypted);
    EXPECT_EQ(listed[i].PackedSize, static_cast<std::int64_t>(entries[i].Head.PackedSize) - 12);
    EXPECT_EQ(listed[i].Crc, entries[i].Head.Crc32);
    EXPECT_EQ(listed[i].MethodName, "DeflateN");
  }
  // swRead walks the archive the same way.
  std::vector<std::string> names;
  TBlakHole r;
  r.SetArchiveFile(dir_ / "l.bh");
  r.Switch = qmx::swRead;
  r.OnRead = [&](qmx::TZipCommon& s, int, int) {
    names.push_back(static_cast<TBlakHole&>(s).ListedEntry().FileName);
  };
  r.Compress();
  EXPECT_EQ(names, (std::vector<std::string>{entries[0].Name, entries[1].Name}));
}

}  // namespace
