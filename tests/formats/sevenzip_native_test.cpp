// What the native 7z path adds: listings with packed sizes and methods as
// 7-Zip gives them, the hand-over to libarchive for folders it leaves
// alone, hostile and truncated headers failing cleanly, and a solid
// archive whose damaged folder does not take the other folders with it.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "archive/codec/crc.h"
#include "archive/formats/sevenzip/sevenzip_format.h"
#include "formats/libarchive_test_support.h"
#include "support/corpus.h"

namespace {

namespace fs = std::filesystem;
using qmx::test::TArcLog;
using qmx::test::TempDir;

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

struct TListed {
  std::uint64_t Packed = 0;
  std::string Method;
};

// Entries with data: name -> packed size and method, from our listing run.
std::map<std::string, TListed> OurListing(const std::string& file, bool* native = nullptr) {
  std::map<std::string, TListed> out;
  qmx::TUn7z r;
  r.SetArchiveFile(file);
  TArcLog log;
  qmx::test::AttachLog(r, log);
  r.OnEnd = [&out](qmx::TZipCommon& z, const std::string&, bool) {
    const qmx::TEntryInfo& e = static_cast<qmx::TCustomDClass&>(z).EntryInfo();
    if (!e.IsDirectory && e.UnpackedSize > 0) out[e.Name] = {e.PackedSize, e.MethodName};
  };
  r.Test();
  if (native) *native = r.ReadNatively();
  return out;
}

// The same from `7zz l -slt` output: the records after the "----------" line.
std::map<std::string, TListed> PeerListing(const std::string& text) {
  std::map<std::string, TListed> out;
  std::istringstream in(text.substr(std::min(text.size(), text.find("\n----------\n"))));
  std::string line, path;
  TListed cur;
  bool dir = false;
  std::uint64_t size = 0;
  auto flush = [&] {
    if (!path.empty() && !dir && size > 0) out[path] = cur;
    path.clear();
    cur = TListed{};
    dir = false;
    size = 0;
  };
  while (std::getline(in, line)) {
    if (line.empty()) flush();
    auto value = [&](const char* key) -> const char* {
      const std::string k = std::string(key) + " = ";
      return line.rfind(k, 0) == 0 ? line.c_str() + k.size() : nullptr;
    };
    if (const char* v = value("Path")) path = v;
    if (const char* v = value("Size")) size = std::strtoull(v, nullptr, 10);
    if (const char* v = value("Packed Size")) cur.Packed = std::strtoull(v, nullptr, 10);
    if (const char* v = value("Method")) cur.Method = v;
    if (const char* v = value("Folder")) dir = std::string(v) == "+";
  }
  flush();
  return out;
}

std::string Describe(const std::map<std::string, TListed>& m) {
  std::string s;
  for (const auto& [name, l] : m) s += name + "=" + std::to_string(l.Packed) + "/" + l.Method + " ";
  return s;
}

TEST(SevenZipNative, CorpusListingsMatch7zzAndOnlyHardFoldersGoToLibarchive) {
  const std::string dir = qmx::test::CorpusFile("7z/libarchive");
  const std::string listings = qmx::test::CorpusFile("listings/7z/libarchive");
  int compared = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    SCOPED_TRACE(name);
    bool native = false;
    const auto ours = OurListing(e.path().string(), &native);
    // BCJ2, PPMd and encryption are libarchive's.
    const bool hard = name.find("bcj2") != std::string::npos ||
                      name.find("ppmd") != std::string::npos ||
                      name.find("encryption") != std::string::npos;
    if (hard) {
      EXPECT_FALSE(native);
    }
    if (!native) continue;
    std::string text = qmx::test::ReadFile(listings + "/" + name + ".txt");
    text = text.substr(std::min(text.size(), text.find("$ 7zz l -slt")));
    // 7-Zip names the paths with the directory it was given.
    std::string peerText;
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      const std::string prefix = "Path = 7z/libarchive/";
      if (line.rfind(prefix, 0) == 0) line = "Path = " + line.substr(prefix.size());
      peerText += line + "\n";
      at = end + 1;
    }
    auto peer = PeerListing(peerText);
    peer.erase(name);
    // Debian's 7zz knows no Zstandard: it lists the method id.
    for (auto& [n, l] : peer)
      if (l.Method.find("04F71101") != std::string::npos && ours.count(n))
        l.Method = ours.at(n).Method;
    if (peer.empty()) continue;
    EXPECT_EQ(Describe(ours), Describe(peer));
    ++compared;
  }
  EXPECT_GT(compared, 20);
}

class SevenZipNativeMade : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qmx::test::HaveTool("7zz")) GTEST_SKIP() << "7zz missing";
    const std::string src = tmp_ / "src";
    fs::create_directories(src + "/sub");
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "row " + std::to_string(i * 31 % 977) + "\n";
    for (int i = 0; i < 6; ++i)
      qmx::test::WriteFile(src + (i % 2 ? "/sub/f" : "/f") + std::to_string(i) + ".txt",
                           std::to_string(i) + text.substr(static_cast<std::size_t>(i) * 1000));
  }
  std::string Make(const std::string& name, const std::string& options) {
    const std::string archive = tmp_ / name;
    EXPECT_EQ(qmx::test::Run("cd " + Quote(tmp_ / "src") + " && 7zz a " + options + " " +
                             Quote(archive) + " . >/dev/null 2>&1"),
              0);
    return archive;
  }
  TempDir tmp_;
};

TEST_F(SevenZipNativeMade, ListingsOfSolidBlocksAndFilterChainsMatch7zz) {
  const std::pair<const char*, const char*> kinds[] = {{"blocks", "-m0=LZMA2 -ms=2f"},
                                                       {"delta", "-m0=Delta:4 -m1=LZMA:d20"},
                                                       {"arm64", "-m0=ARM64 -m1=LZMA2 -ms=off"},
                                                       {"bzip2", "-m0=BZip2 -ms=3f"}};
  for (const auto& [tag, options] : kinds) {
    SCOPED_TRACE(tag);
    const std::string archive = Make(std::string(tag) + ".7z", options);
    ASSERT_EQ(qmx::test::Run("7zz l -slt " + Quote(archive) + " > " + Quote(tmp_ / "l.txt")), 0);
    bool native = false;
    const auto ours = OurListing(archive, &native);
    EXPECT_TRUE(native);
    EXPECT_EQ(Describe(ours), Describe(PeerListing(qmx::test::ReadFile(tmp_ / "l.txt"))));
    EXPECT_EQ(ours.size(), 6u);
  }
}

TEST_F(SevenZipNativeMade, PpmdAndBcj2GoToLibarchiveAndExtractAs7zz) {
  for (const char* options : {"-m0=PPMd", "-mf=BCJ2"}) {
    SCOPED_TRACE(options);
    const std::string archive = Make(std::string(options + 4) + ".7z", options);
    TArcLog log;
    qmx::TUn7z r;
    r.SetArchiveFile(archive);
    const std::string out = tmp_ / (std::string("ours-") + (options + 4));
    qmx::test::AttachLog(r, log, out);
    EXPECT_EQ(r.Extract(), 6);
    EXPECT_FALSE(r.ReadNatively());
    EXPECT_TRUE(log.Errors.empty());
    EXPECT_EQ(qmx::test::FileTree(out), qmx::test::FileTree(tmp_ / "src"));
  }
}

TEST_F(SevenZipNativeMade, SolidArchiveWithADamagedFolderExtractsTheOthers) {
  // Three folders of two files each; the first one's data is broken.
  std::string bytes = qmx::test::ReadFile(Make("solid.7z", "-m0=LZMA2 -ms=2f"));
  bytes[32 + 40] = static_cast<char>(bytes[32 + 40] ^ 0x5A);
  qmx::test::WriteFile(tmp_ / "bad.7z", bytes);
  TArcLog log;
  qmx::TUn7z r;
  r.SetArchiveFile(tmp_ / "bad.7z");
  qmx::test::AttachLog(r, log, tmp_ / "out");
  r.Extract();
  EXPECT_TRUE(r.ReadNatively());
  // Each entry of the broken folder is reported; the others come out whole.
  EXPECT_EQ(log.Failed.size(), 2u);
  const auto out = qmx::test::FileTree(tmp_ / "out");
  const auto src = qmx::test::FileTree(tmp_ / "src");
  EXPECT_EQ(out.size(), 4u);
  for (const auto& [name, sum] : out) EXPECT_EQ(sum, src.at(name)) << name;
  for (const std::string& failed : log.Failed) EXPECT_FALSE(fs::exists(failed));
}

TEST_F(SevenZipNativeMade, TruncatedArchivesFailCleanly) {
  const std::string bytes = qmx::test::ReadFile(Make("t.7z", "-m0=LZMA2 -ms=off"));
  for (const std::size_t keep : {std::size_t{0}, std::size_t{20}, std::size_t{32}, std::size_t{100},
                                 bytes.size() / 2, bytes.size() - 40, bytes.size() - 1}) {
    SCOPED_TRACE(keep);
    qmx::test::WriteFile(tmp_ / "cut.7z", bytes.substr(0, keep));
    TArcLog log;
    qmx::TUn7z r;
    r.SetArchiveFile(tmp_ / "cut.7z");
    qmx::test::AttachLog(r, log, tmp_ / "cut");
    r.Extract();
    EXPECT_FALSE(log.Errors.empty());
    EXPECT_TRUE(log.Passed.empty());
  }
}

// --- archives made by hand around a header

std::string Number(std::uint64_t v) {
  // The nine-byte form: simple and always valid.
  std::string s(1, static_cast<char>(0xFF));
  for (int i = 0; i < 8; ++i) s += static_cast<char>(v >> (8 * i));
  return s;
}

std::string Le(std::uint64_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> (8 * i));
  return s;
}

std::string Archive(const std::string& packed, const std::string& header) {
  const std::string tail =
      Le(packed.size(), 8) + Le(header.size(), 8) + Le(qmx::Crc32(header.data(), header.size()), 4);
  return std::string("7z\xBC\xAF\x27\x1C\x00\x04", 8) +
         Le(qmx::Crc32(tail.data(), tail.size()), 4) + tail + packed + header;
}

// Streams of folders that copy packed streams; sizes per folder.
std::string CopyStreams(const std::vector<std::uint64_t>& packSizes,
                        const std::vector<std::uint64_t>& folderSizes) {
  std::string s = "\x06" + Number(0) + Number(packSizes.size()) + "\x09";
  for (auto p : packSizes) s += Number(p);
  s += std::string("\x00\x07\x0B", 3) + Number(folderSizes.size()) + std::string(1, '\0');
  for (std::size_t i = 0; i < folderSizes.size(); ++i) s += std::string("\x01\x01\x00", 3);
  s += "\x0C";
  for (auto u : folderSizes) s += Number(u);
  return s + std::string("\x00\x00", 2);
}

// One file per stream, named a, b, c ...
std::string Files(std::size_t n) {
  std::string names(1, '\0');
  for (std::size_t i = 0; i < n; ++i)
    names += std::string(1, static_cast<char>('a' + i)) + '\0' + '\0' + '\0';
  return "\x05" + Number(n) + "\x11" + Number(names.size()) + names + std::string(1, '\0');
}

TArcLog TestBytes(const std::string& bytes, const TempDir& tmp) {
  qmx::test::WriteFile(tmp / "h.7z", bytes);
  TArcLog log;
  qmx::TUn7z r;
  r.SetArchiveFile(tmp / "h.7z");
  qmx::test::AttachLog(r, log);
  r.Test();
  return log;
}

TEST(SevenZipNative, HostileHeadersFailCleanly) {
  TempDir tmp;
  // The well-formed base: two stored files.
  const std::string good =
      Archive("hello", "\x01\x04" + CopyStreams({2, 3}, {2, 3}) + Files(2) + std::string(1, '\0'));
  TArcLog log = TestBytes(good, tmp);
  EXPECT_EQ(log.Passed.size(), 2u);
  EXPECT_TRUE(log.Errors.empty()) << (log.Messages.empty() ? "" : log.Messages[0]);

  const std::pair<const char*, std::string> cases[] = {
      // Four billion files in a header of a few bytes.
      {"files", Archive("", "\x01\x05" + Number(0xFFFFFFFFull) + std::string(2, '\0'))},
      // As many folders.
      {"folders", Archive("", "\x01\x04\x07\x0B" + Number(1ull << 40) + std::string(3, '\0'))},
      // Two folders over one packed stream.
      {"pack stream",
       Archive("hello", "\x01\x04" + CopyStreams({5}, {2, 3}) + Files(2) + std::string(1, '\0'))},
      // A packed stream past the end of the archive.
      {"pack size", Archive("hello", "\x01\x04" + CopyStreams({5000000000ull}, {5}) + Files(1) +
                                         std::string(1, '\0'))},
      // An encoded header that claims 200 MiB and holds five bytes, and
      // one that claims 4 GiB.
      {"encoded 200M", Archive("hello", "\x17" + CopyStreams({5}, {200ull << 20}))},
      {"encoded 4G", Archive("hello", "\x17" + CopyStreams({5}, {4ull << 30}))},
      // More sub-streams than the header has bytes.
      {"sub-streams",
       Archive("hello",
               "\x01\x04" + CopyStreams({5}, {5}).substr(0, CopyStreams({5}, {5}).size() - 1) +
                   "\x08\x0D" + Number(1ull << 50) + std::string(3, '\0'))},
      // A number that runs off the end of the header.
      {"number", Archive("", std::string("\x01\x05\xFF\x01", 4))},
  };
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    log = TestBytes(bytes, tmp);
    EXPECT_TRUE(log.Passed.empty());
    EXPECT_TRUE(log.Has(qmx::E_CORRUPT_INPUT)) << (log.Messages.empty() ? "" : log.Messages[0]);
  }

  // A changed byte anywhere in the header is caught by its CRC.
  std::string bad = good;
  bad[bad.size() - 3] ^= 1;
  log = TestBytes(bad, tmp);
  EXPECT_TRUE(log.Passed.empty());
  EXPECT_TRUE(log.Has(qmx::E_CORRUPT_INPUT));
}

}  // namespace
