// The BH reader on archives built byte by byte: every method we decode
// without the LHA coder, a self-extractor stub, the end marker, damaged and
// lying entries, names that try to leave the target, and the password rules.
#include "archive/formats/bh/bh_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/codec/crc.h"
#include "archive/codec/legacy_io.h"
#include "archive/codec/lha_decoder.h"
#include "archive/codec/streams.h"
#include "archive/codec/window_decoder.h"
#include "archive/formats/bh/bh_writer.h"
#include "archive/platform/files.h"
#include "support/temp_dir.h"

namespace {

using qmx::TBhHeader;
using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

std::string RawDeflate(const std::string& plain) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, plain.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  z.avail_in = static_cast<uInt>(plain.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// One entry: header, name, data. Sizes and CRC from plain unless given.
std::string Entry(const std::string& name, std::uint8_t method, const std::string& data,
                  const std::string& plain, std::uint32_t unpacked = 0xFFFFFFFFu) {
  TBhHeader h;
  h.HeaderLength = static_cast<std::uint16_t>(37 + name.size());
  h.Method = method;
  h.DosTime = 0x5A214C20;
  h.PackedSize = static_cast<std::uint32_t>(data.size());
  h.UnpackedSize = unpacked != 0xFFFFFFFFu ? unpacked : static_cast<std::uint32_t>(plain.size());
  h.Crc32 = plain.empty() ? 0 : qmx::Crc32(plain.data(), plain.size());
  h.Attributes = 0x20;
  h.NameLength = static_cast<std::uint16_t>(name.size());
  std::string head(37, '\0');
  h.Put(reinterpret_cast<std::uint8_t*>(head.data()));
  return head + name + data;
}

std::string Text(int n) {
  std::string t;
  for (int i = 0; i < n; ++i) t += "reader line " + std::to_string(i % 31) + "\n";
  return t;
}

class BhReader : public ::testing::Test {
 protected:
  // Extracts archive into out/ (or tests it); verdict per stored name.
  std::map<std::string, bool> Run(const std::string& blob, bool test = false,
                                  const std::function<void(qmx::TUnBh&)>& setup = {}) {
    WriteFile(dir_ / "a.bh", blob);
    std::map<std::string, bool> verdicts;
    qmx::TUnBh r;
    r.SetArchiveFile(dir_ / "a.bh");
    r.SetExtractDir(dir_ / "out");
    r.SetFileSpec({"*.*"});
    r.RecurseDirs = true;
    r.CreateStoredDirs = true;
    r.OnError = [this](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                       int code) { errors_.push_back(code); };
    r.OnEnd = [&](qmx::TZipCommon& s, const std::string&, bool ok) {
      verdicts[static_cast<qmx::TUnBh&>(s).StoredName()] = ok;
    };
    if (setup) setup(r);
    arcType_ = r.ArcType();
    position_ = r.ArchivePosition();
    if (test)
      r.Test();
    else
      r.Extract();
    return verdicts;
  }
  bool Reported(int code) const {
    return std::find(errors_.begin(), errors_.end(), code) != errors_.end();
  }

  TempDir dir_;
  std::vector<int> errors_;
  qmx::TArcType arcType_ = qmx::atNA;
  std::int64_t position_ = -1;
};

TEST_F(BhReader, StoredAndBothDeflateMethodsBehindAStub) {
  const std::string text = Text(2000);
  std::string blob = Entry("plain.txt", 0, "stored bytes", "stored bytes") +
                     Entry("dir/eight.txt", 8, RawDeflate(text), text) +
                     Entry("two.txt", 2, RawDeflate("method two"), "method two") +
                     Entry("empty", 0, "", "");
  // An executable image of 1024 bytes (page count 2, 512 bytes in the last).
  std::string stub(1024, '\x90');
  stub[0] = 'M', stub[1] = 'Z', stub[2] = 0, stub[3] = 2, stub[4] = 2, stub[5] = 0;
  auto verdicts = Run(stub + blob);
  EXPECT_EQ(arcType_, qmx::atBhExe);
  EXPECT_EQ(position_, 1024);
  ASSERT_EQ(verdicts.size(), 4u);
  for (const auto& [name, ok] : verdicts) EXPECT_TRUE(ok) << name;
  EXPECT_EQ(ReadFile(dir_ / "out/plain.txt"), "stored bytes");
  EXPECT_EQ(ReadFile(dir_ / "out/dir/eight.txt"), text);
  EXPECT_EQ(ReadFile(dir_ / "out/two.txt"), "method two");
  EXPECT_TRUE(qmx::FileExists(dir_ / "out/empty"));
  EXPECT_TRUE(errors_.empty());

  // A plain archive, tested.
  verdicts = Run(blob, true);
  EXPECT_EQ(arcType_, qmx::atBh);
  EXPECT_EQ(verdicts.size(), 4u);
}

TEST_F(BhReader, AZeroHeaderLengthEndsTheArchive) {
  std::string end(37, '\0');
  TBhHeader h;
  h.HeaderLength = 0;
  h.Put(reinterpret_cast<std::uint8_t*>(end.data()));
  const auto verdicts = Run(Entry("a.txt", 0, "aaa", "aaa") + end + "trailing rubbish");
  EXPECT_EQ(verdicts.size(), 1u);
  EXPECT_TRUE(errors_.empty());
  // Rubbish where a header should be is reported.
  Run(Entry("a.txt", 0, "aaa", "aaa") + std::string(40, 'x'));
  EXPECT_TRUE(Reported(qmx::E_HEADER_NOT_FOUND));
}

TEST_F(BhReader, DamagedEntriesFailWithoutLeavingFiles) {
  const std::string text = Text(500);
  std::string badCrc = Entry("crc.txt", 0, "abcdef", "abcdeX");
  std::string badData = Entry("data.txt", 8, std::string(40, '\xff'), text);
  std::string method = Entry("method.txt", 5, "xx", "xx");
  std::string cut = Entry("cut.txt", 8, RawDeflate(text), text);
  cut.resize(cut.size() - 10);
  const auto verdicts = Run(badCrc + badData + method + cut);
  ASSERT_EQ(verdicts.size(), 4u);
  for (const auto& [name, ok] : verdicts) EXPECT_FALSE(ok) << name;
  EXPECT_TRUE(Reported(qmx::E_UNSUPPORTED_METHOD));
  EXPECT_TRUE(Reported(qmx::E_READ_FILE));
  for (const char* f : {"crc.txt", "data.txt", "method.txt", "cut.txt"})
    EXPECT_FALSE(qmx::FileExists(dir_ / "out/" + f)) << f;
}

TEST_F(BhReader, SizesThatLieAreBounded) {
  // A stored entry that claims 4 GiB, a Deflate stream that makes more than
  // its header says, and one that makes less.
  const std::string text = Text(3000);
  std::string huge = Entry("huge", 0, "tiny", "tiny", 0xFFFFFFF0u);
  std::string more = Entry("more.txt", 8, RawDeflate(text), text, 100);
  std::string less =
      Entry("less.txt", 8, RawDeflate(text), text, static_cast<std::uint32_t>(text.size() + 50));
  const auto verdicts = Run(huge + more + less);
  ASSERT_EQ(verdicts.size(), 3u);
  for (const auto& [name, ok] : verdicts) EXPECT_FALSE(ok) << name;
  EXPECT_TRUE(Reported(qmx::E_SIZE_DIFFERENT));
  EXPECT_FALSE(qmx::FileExists(dir_ / "out/more.txt"));
  EXPECT_FALSE(qmx::FileExists(dir_ / "out/huge"));
}

TEST_F(BhReader, NamesStayInsideTheTarget) {
  const auto verdicts = Run(Entry("../evil.txt", 0, "e", "e") + Entry("/abs/x.txt", 0, "x", "x") +
                            Entry("a\\..\\..\\b.txt", 0, "b", "b"));
  EXPECT_EQ(verdicts.size(), 3u);
  EXPECT_TRUE(Reported(qmx::E_INVALID_NAME));
  EXPECT_FALSE(qmx::FileExists(dir_ / "evil.txt"));
  EXPECT_FALSE(qmx::FileExists(dir_ / "b.txt"));
  EXPECT_EQ(ReadFile(dir_ / "out/evil.txt"), "e");
  EXPECT_EQ(ReadFile(dir_ / "out/abs/x.txt"), "x");
}

TEST_F(BhReader, PasswordsAreFoundAsForZip) {
  WriteFile(dir_ / "src.txt", Text(300));
  {
    qmx::TBlakHole w;
    w.SetArchiveFile(dir_ / "enc.bh");
    w.SetFileSpec({dir_ / "src.txt"});
    w.Password = "right";
    ASSERT_EQ(w.Compress(), 1);
  }
  const std::string blob = ReadFile(dir_ / "enc.bh");
  // From the list, after a wrong current password.
  auto verdicts = Run(blob, false, [&](qmx::TUnBh& r) {
    r.Password = "wrong";
    r.SetPasswords({"nope", "right"});
  });
  EXPECT_TRUE(verdicts["src.txt"]);
  EXPECT_EQ(ReadFile(dir_ / "out/src.txt"), Text(300));

  // Asked for: a matching answer goes to the front of the list.
  int asked = 0;
  qmx::TStrings after;
  verdicts = Run(blob, true, [&](qmx::TUnBh& r) {
    r.SetPasswords({"nope"});
    r.OnGetPassword = [&](qmx::TZipCommon&, const std::string&, std::string& pw, bool& again) {
      pw = ++asked == 1 ? "guess" : "right";
      again = true;
    };
    r.OnDeactivate = [&](qmx::TZipCommon& s) { after = s.Passwords(); };
  });
  EXPECT_TRUE(verdicts["src.txt"]);
  EXPECT_EQ(asked, 2);
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.front(), "right");

  // No password at all: skipped, failed, nothing written.
  EXPECT_EQ(qmx::test::Run("rm -rf " + dir_ / "out"), 0);
  verdicts = Run(blob);
  EXPECT_FALSE(verdicts["src.txt"]);
  EXPECT_FALSE(qmx::FileExists(dir_ / "out/src.txt"));
}

// The packed data of the single entry of an LHA file of header level 0 or
// 1 without extended headers (the corpus files below).
std::string LhaPackedData(const std::string& lzh) {
  const std::size_t start = static_cast<std::uint8_t>(lzh[0]) + 2u;
  const std::uint32_t packed = qmx::GetLE32(reinterpret_cast<const std::uint8_t*>(lzh.data() + 7));
  return lzh.substr(start, packed);
}

bool LhaDecoderPresent(const std::string& lh5) {
  qmx::TMemoryStream32 source;
  source.Write(lh5.data(), static_cast<std::int64_t>(lh5.size()));
  source.Seek(0, qmx::soFromBeginning);
  qmx::TLegacyInput in(source, static_cast<std::int64_t>(lh5.size()));
  return qmx::LhaDecode(
             in, [](const void*, std::int64_t n) { return n; }, qmx::lmLh5, 18092) == qmx::wrOk;
}

TEST_F(BhReader, FusedMethodsOneAndThreeAreLhaBlocks) {
  // The same text packed by two LHA programs as "-lh5-" and "-lh6-" data;
  // lhasa gives the text itself.
  const std::string corpus = std::string(QMX_CORPUS_DIR) + "/lha/";
  const std::string lh5 = LhaPackedData(ReadFile(corpus + "lha213/lh5.lzh"));
  const std::string lh6 = LhaPackedData(ReadFile(corpus + "lha_unix114i/h0_lh6.lzh"));
  ASSERT_EQ(
      qmx::test::Run("cd " + dir_.path() + " && lha pq " + corpus + "lha213/lh5.lzh > gpl.txt"), 0);
  const std::string text = ReadFile(dir_ / "gpl.txt");
  ASSERT_EQ(text.size(), 18092u);
  if (!LhaDecoderPresent(lh5)) GTEST_SKIP() << "the LHA decoder is not in this build yet";
  const auto verdicts = Run(Entry("one.txt", 1, lh5, text) + Entry("three.txt", 3, lh6, text) +
                            Entry("cut.txt", 3, lh6.substr(0, 3000), text));
  EXPECT_TRUE(verdicts.at("one.txt"));
  EXPECT_TRUE(verdicts.at("three.txt"));
  EXPECT_FALSE(verdicts.at("cut.txt"));
  EXPECT_EQ(ReadFile(dir_ / "out/one.txt"), text);
  EXPECT_EQ(ReadFile(dir_ / "out/three.txt"), text);
  EXPECT_FALSE(qmx::FileExists(dir_ / "out/cut.txt"));
}

}  // namespace
