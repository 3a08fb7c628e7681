// AES entries: the cipher object on memory streams, archives written by
// 7-Zip and other programs read with us, and archives we write checked and
// extracted by 7-Zip.
#include "archive/zip/zip_aes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/codec/streams.h"
#include "archive/zip/zip_reader.h"
#include "archive/zip/zip_records.h"
#include "archive/zip/zip_writer.h"
#include "support/corpus.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using namespace qmx;
using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

namespace {

const TEncryptionMethod kKinds[] = {emAES2_128, emAES2_192, emAES2_256};

int Sh(const std::string& cmd) {
  return qmx::test::Run(cmd);
}
std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

std::vector<std::uint8_t> Bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(gen());
  return v;
}

std::vector<std::uint8_t> Contents(TMemoryStream32& s) {
  const auto* p = static_cast<const std::uint8_t*>(s.Memory());
  return std::vector<std::uint8_t>(p, p + s.Size());
}

// Encrypts data into a fresh entry body (salt, verifier, data, code),
// handing it to the cipher in pieces of the given sizes in turn.
std::vector<std::uint8_t> Seal(const std::vector<std::uint8_t>& data, TEncryptionMethod kind,
                               const std::string& password, std::vector<std::size_t> pieces) {
  TMemoryStream32 out;
  TqmxAES aes(nullptr, &out);
  EXPECT_TRUE(aes.BeginEncrypt(password, kind));
  std::vector<std::uint8_t> work = data;
  std::size_t at = 0;
  for (std::size_t i = 0; at < work.size(); ++i) {
    const std::size_t n = std::min(pieces[i % pieces.size()], work.size() - at);
    aes.EncryptBuffer(work.data() + at, n);
    at += n;
  }
  out.Write(work.data(), static_cast<std::int64_t>(work.size()));
  EXPECT_TRUE(aes.EndEncrypt());
  return Contents(out);
}

struct TOpened {
  bool Verified = false;
  bool Authentic = false;
  std::vector<std::uint8_t> Plain;
};

// Reads an entry body back: verifier, data in pieces, then the code.
TOpened Open(const std::vector<std::uint8_t>& body, TEncryptionMethod kind,
             const std::string& password, std::size_t piece) {
  TOpened r;
  TMemoryStream32 in;
  in.Write(body.data(), static_cast<std::int64_t>(body.size()));
  in.SetPosition(0);
  TqmxAES aes(&in, nullptr);
  std::int64_t header = 0;
  r.Verified = aes.BeginDecrypt(password, header, kind);
  if (!r.Verified) return r;
  EXPECT_EQ(header, static_cast<std::int64_t>(TqmxAES::SaltLength(kind) + 12));
  const std::int64_t dataLength = static_cast<std::int64_t>(body.size()) - header;
  r.Plain.resize(static_cast<std::size_t>(std::max<std::int64_t>(dataLength, 0)));
  in.Read(r.Plain.data(), static_cast<std::int64_t>(r.Plain.size()));
  for (std::size_t at = 0; at < r.Plain.size(); at += piece)
    aes.DecryptBuffer(r.Plain.data() + at, std::min(piece, r.Plain.size() - at));
  r.Authentic = aes.EndDecrypt();
  return r;
}

TEST(TqmxAESTest, RoundTripAtEveryStrengthWithUnevenPieces) {
  const auto data = Bytes(5000, 7);
  for (TEncryptionMethod kind : kKinds) {
    SCOPED_TRACE(static_cast<int>(kind));
    const std::size_t salt = TqmxAES::SaltLength(kind);
    EXPECT_EQ(salt, 4u * kind + 4);
    EXPECT_EQ(TqmxAES::KeyLength(kind), 8u * kind + 8);
    // Pieces that are not multiples of 16 must continue the key stream.
    const auto body = Seal(data, kind, "SECRET", {1, 15, 17, 333, 4096});
    ASSERT_EQ(body.size(), salt + 2 + data.size() + 10);
    // The data really is enciphered.
    EXPECT_FALSE(std::equal(data.begin(), data.begin() + 64, body.begin() + salt + 2));
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{16}, data.size()}) {
      const TOpened r = Open(body, kind, "SECRET", piece);
      EXPECT_TRUE(r.Verified);
      EXPECT_TRUE(r.Authentic);
      EXPECT_EQ(r.Plain, data);
    }
    // An empty entry still carries salt, verifier and a code.
    const auto empty = Seal({}, kind, "SECRET", {1});
    EXPECT_EQ(empty.size(), salt + 2 + 10);
    const TOpened e = Open(empty, kind, "SECRET", 1);
    EXPECT_TRUE(e.Verified && e.Authentic && e.Plain.empty());
  }
}

TEST(TqmxAESTest, AlteredOrShortBodiesFailTheCode) {
  const auto data = Bytes(300, 3);
  const auto body = Seal(data, emAES2_256, "pw", {64});
  const std::size_t dataAt = 16 + 2;
  for (std::size_t at : {dataAt, dataAt + 150, body.size() - 10, body.size() - 1}) {
    auto bad = body;
    bad[at] ^= 0x01;
    const TOpened r = Open(bad, emAES2_256, "pw", 64);
    EXPECT_TRUE(r.Verified) << at;
    EXPECT_FALSE(r.Authentic) << at;
  }
  // A code cut short never passes, even when its bytes so far match.
  TMemoryStream32 in;
  in.Write(body.data(), static_cast<std::int64_t>(body.size() - 3));
  in.SetPosition(0);
  TqmxAES aes(&in, nullptr);
  std::int64_t header = 0;
  ASSERT_TRUE(aes.BeginDecrypt("pw", header, emAES2_256));
  std::vector<std::uint8_t> buf(data.size());
  in.Read(buf.data(), static_cast<std::int64_t>(buf.size()));
  aes.DecryptBuffer(buf.data(), buf.size());
  EXPECT_EQ(buf, data);
  EXPECT_FALSE(aes.EndDecrypt());
}

TEST(TqmxAESTest, WrongPasswordRestoresTheSourceForTheNextTry) {
  const auto data = Bytes(100, 5);
  const auto body = Seal(data, emAES2_128, "right", {100});
  TMemoryStream32 in;
  const std::vector<std::uint8_t> lead = {1, 2, 3};
  in.Write(lead.data(), 3);
  in.Write(body.data(), static_cast<std::int64_t>(body.size()));
  in.SetPosition(3);
  TqmxAES aes(&in, nullptr);
  std::int64_t header = 0;
  // The verifier is 2 bytes; these candidates are known not to collide.
  for (const char* wrong : {"wrong", "Right", "right "}) {
    EXPECT_FALSE(aes.BeginDecrypt(wrong, header, emAES2_128)) << wrong;
    EXPECT_EQ(in.Position(), 3) << wrong;
  }
  EXPECT_FALSE(aes.BeginDecrypt("", header, emAES2_128));
  EXPECT_EQ(header, 0);
  ASSERT_TRUE(aes.BeginDecrypt("right", header, emAES2_128));
  EXPECT_EQ(in.Position(), 3 + 8 + 2);
  std::vector<std::uint8_t> buf(data.size());
  in.Read(buf.data(), static_cast<std::int64_t>(buf.size()));
  aes.DecryptBuffer(buf.data(), buf.size());
  EXPECT_EQ(buf, data);
  EXPECT_TRUE(aes.EndDecrypt());
  // A stream that ends inside the salt is no candidate either.
  TMemoryStream32 tiny;
  tiny.Write(body.data(), 5);
  tiny.SetPosition(0);
  TqmxAES short_(&tiny, nullptr);
  EXPECT_FALSE(short_.BeginDecrypt("right", header, emAES2_128));
  EXPECT_EQ(tiny.Position(), 0);
}

TEST(TqmxAESTest, PasswordLimitsAndKindsAreRefusedBeforeWriting) {
  TMemoryStream32 out;
  TqmxAES aes(nullptr, &out);
  EXPECT_FALSE(aes.BeginEncrypt(std::string(129, 'x'), emAES2_256));
  EXPECT_FALSE(aes.BeginEncrypt("", emAES2_256));
  EXPECT_FALSE(aes.BeginEncrypt("pw", emZIP_v2));
  EXPECT_EQ(out.Size(), 0);
  // 128 bytes is still fine and round-trips.
  const std::string longest(128, 'y');
  const auto body = Seal(Bytes(40, 9), emAES2_192, longest, {40});
  EXPECT_TRUE(Open(body, emAES2_192, longest, 40).Authentic);
  std::int64_t header = 0;
  TMemoryStream32 in;
  in.Write(body.data(), static_cast<std::int64_t>(body.size()));
  in.SetPosition(0);
  TqmxAES reader(&in, nullptr);
  EXPECT_FALSE(reader.BeginDecrypt(longest + "z", header, emAES2_192));
  EXPECT_EQ(in.Position(), 0);
}

TEST(TqmxAESTest, RestartWritesANewSaltInPlace) {
  const auto data = Bytes(50, 11);
  TMemoryStream32 out;
  const std::vector<std::uint8_t> lead(7, 0xEE);
  out.Write(lead.data(), 7);
  TqmxAES aes(nullptr, &out);
  ASSERT_TRUE(aes.BeginEncrypt("pw", emAES2_192));
  const std::vector<std::uint8_t> first(aes.Salt().begin(), aes.Salt().end());
  ASSERT_TRUE(aes.RestartEncrypt());
  const std::vector<std::uint8_t> second(aes.Salt().begin(), aes.Salt().end());
  EXPECT_NE(first, second);
  EXPECT_EQ(out.Position(), 7 + 12 + 2);
  auto work = data;
  aes.EncryptBuffer(work.data(), work.size());
  out.Write(work.data(), static_cast<std::int64_t>(work.size()));
  ASSERT_TRUE(aes.EndEncrypt());
  const auto all = Contents(out);
  ASSERT_EQ(all.size(), 7 + 12 + 2 + data.size() + 10);
  EXPECT_TRUE(std::equal(second.begin(), second.end(), all.begin() + 7));
  const TOpened r =
      Open(std::vector<std::uint8_t>(all.begin() + 7, all.end()), emAES2_192, "pw", 9);
  EXPECT_TRUE(r.Authentic);
  EXPECT_EQ(r.Plain, data);
}

// ------------------------------------------------------------------ archives

struct TRun {
  int Count = 0;
  std::map<std::string, bool> Verdicts;  // relative output name -> verdict
  std::vector<int> Errors;
  bool Passed(const std::string& name) const {
    auto it = Verdicts.find(name);
    return it != Verdicts.end() && it->second;
  }
};

TRun ExtractZip(const std::string& archive, const std::string& dir,
                const std::vector<std::string>& passwords, bool test = false) {
  TUnZip z;
  TRun r;
  z.SetArchiveFile(archive);
  z.SetExtractDir(dir);
  z.SetFileSpec({"*.*"});
  z.RecurseDirs = true;
  z.CreateStoredDirs = true;
  z.SetPasswords(passwords);
  z.OnGetPassword = [](TZipCommon&, const std::string&, std::string&, bool& again) {
    again = false;
  };
  z.OnEnd = [&](TZipCommon&, const std::string& name, bool pass) {
    const std::string rel = name.compare(0, dir.size(), dir) == 0 ? name.substr(dir.size()) : name;
    r.Verdicts[rel] = pass;
  };
  z.OnError = [&](TZipCommon&, const std::string&, const std::string&, const std::string&,
                  int code) { r.Errors.push_back(code); };
  r.Count = test ? z.Test() : z.Extract();
  return r;
}

// Regular files below root, relative name -> bytes.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> m;
  if (!fs::exists(root)) return m;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) m[fs::relative(e.path(), root).string()] = ReadFile(e.path().string());
  return m;
}

void MakeSource(const std::string& root) {
  fs::create_directories(root + "sub");
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i) + "\n";
  WriteFile(root + "text.txt", text);
  const auto bin = Bytes(70000, 1);
  WriteFile(root + "sub/random.bin", std::string(bin.begin(), bin.end()));
  const auto small = Bytes(100, 2);  // deflates larger: stored after all
  WriteFile(root + "sub/small.bin", std::string(small.begin(), small.end()));
  WriteFile(root + "tiny.txt", "tiny but compressible compressible compressible\n");
  WriteFile(root + "empty.txt", "");
}

class ZipAesInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Sh("command -v 7zz >/dev/null 2>&1"), 0);
    src_ = tmp_ / "src/";
    MakeSource(src_);
  }
  std::string SevenZip(const std::string& mem) {
    const std::string a = tmp_ / (mem + ".zip");
    EXPECT_EQ(Sh("cd " + Quote(src_) + " && 7zz a -tzip -mem=" + mem + " -pSECRET " + Quote(a) +
                 " . >/dev/null 2>&1"),
              0);
    return a;
  }
  TempDir tmp_;
  std::string src_;
};

TEST_F(ZipAesInterop, SevenZipEntriesExtractWithTheRightPasswordOnly) {
  for (const std::string mem : {"AES128", "AES192", "AES256"}) {
    SCOPED_TRACE(mem);
    const std::string a = SevenZip(mem);
    const std::string good = tmp_ / (mem + "-good/");
    const TRun ok = ExtractZip(a, good, {"nope", "SECRET"});
    EXPECT_EQ(Tree(good), Tree(src_));
    EXPECT_TRUE(ok.Errors.empty()) << ok.Errors.front();
    for (auto& [name, pass] : ok.Verdicts) EXPECT_TRUE(pass) << name;
    EXPECT_TRUE(ok.Passed("sub/random.bin"));

    const std::string bad = tmp_ / (mem + "-bad/");
    const TRun no = ExtractZip(a, bad, {"secret", "SECRET2"});
    EXPECT_FALSE(no.Passed("text.txt"));
    EXPECT_FALSE(no.Passed("sub/random.bin"));
    EXPECT_FALSE(fs::exists(bad + "text.txt"));
    EXPECT_FALSE(fs::exists(bad + "sub/random.bin"));
  }
}

TEST_F(ZipAesInterop, WrongPasswordSkipsOnlyTheEncryptedEntry) {
  const std::string a = SevenZip("AES256");
  WriteFile(tmp_ / "plain.txt", "not encrypted\n");
  ASSERT_EQ(
      Sh("cd " + Quote(tmp_.path()) + " && 7zz a -tzip " + Quote(a) + " plain.txt >/dev/null 2>&1"),
      0);
  const std::string out = tmp_ / "out/";
  const TRun r = ExtractZip(a, out, {"wrong"});
  EXPECT_TRUE(r.Passed("plain.txt"));
  EXPECT_EQ(ReadFile(out + "plain.txt"), "not encrypted\n");
  EXPECT_FALSE(r.Passed("text.txt"));
  EXPECT_FALSE(fs::exists(out + "text.txt"));
  EXPECT_NE(std::find(r.Errors.begin(), r.Errors.end(), E_INVALID_PASSWORD), r.Errors.end());
}

TEST_F(ZipAesInterop, TamperedByteFailsExactlyThatEntry) {
  const std::string a = SevenZip("AES128");
  std::string data = ReadFile(a);
  // Find text.txt's local header and flip a byte in the middle of its data.
  std::size_t pos = 0;
  bool flipped = false;
  while (!flipped && (pos = data.find("PK\x03\x04", pos)) != std::string::npos) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(data.data() + pos);
    const std::uint16_t nameLength = GetLE16(p + 26);
    const std::uint16_t extraLength = GetLE16(p + 28);
    const std::uint32_t packed = GetLE32(p + 18);
    if (data.compare(pos + 30, nameLength, "text.txt") == 0) {
      data[pos + 30 + nameLength + extraLength + packed / 2] ^= 0x20;
      flipped = true;
    }
    pos += 4;
  }
  ASSERT_TRUE(flipped);
  const std::string bad = tmp_ / "bad.zip";
  WriteFile(bad, data);
  const TRun r = ExtractZip(bad, tmp_ / "out/", {"SECRET"}, true);
  EXPECT_FALSE(r.Passed("text.txt"));
  EXPECT_TRUE(r.Passed("sub/random.bin"));
  EXPECT_TRUE(r.Passed("sub/small.bin"));
  EXPECT_TRUE(r.Passed("tiny.txt"));
}

TEST_F(ZipAesInterop, OurEntriesPassSevenZipAtEveryStrength) {
  for (TEncryptionMethod kind : kKinds) {
    SCOPED_TRACE(static_cast<int>(kind));
    const std::string a = tmp_ / ("ours" + std::to_string(kind) + ".zip");
    {
      TZip z;
      z.EncryptionMethod = kind;
      z.Password = "SECRET";
      z.SetArchiveFile(a);
      z.SetFileSpec({src_ + "*.*"});
      z.RecurseDirs = true;
      std::vector<int> errors;
      z.OnError = [&](TZipCommon&, const std::string&, const std::string&, const std::string&,
                      int code) { errors.push_back(code); };
      EXPECT_EQ(z.Compress(), 5);
      EXPECT_TRUE(errors.empty());
    }
    EXPECT_EQ(Sh("7zz t -pSECRET " + Quote(a) + " >/dev/null 2>&1"), 0);
    EXPECT_NE(Sh("7zz t -pWRONG " + Quote(a) + " >/dev/null 2>&1"), 0);
    const std::string peer = tmp_ / ("peer" + std::to_string(kind) + "/");
    EXPECT_EQ(Sh("7zz x -y -pSECRET -o" + Quote(peer) + " " + Quote(a) + " >/dev/null 2>&1"), 0);
    EXPECT_EQ(Tree(peer), Tree(src_));
    const std::string back = tmp_ / ("back" + std::to_string(kind) + "/");
    const TRun r = ExtractZip(a, back, {"SECRET"});
    EXPECT_EQ(Tree(back), Tree(src_));
    for (auto& [name, pass] : r.Verdicts) EXPECT_TRUE(pass) << name;

    // Header facts: method 99, CRC 0, the AES field last, the real method
    // inside it, and salt + verifier + code counted in the packed size.
    const std::string data = ReadFile(a);
    std::map<std::string, std::uint16_t> realMethod;
    for (std::size_t pos = 0; (pos = data.find("PK\x03\x04", pos)) != std::string::npos; pos += 4) {
      const auto* p = reinterpret_cast<const std::uint8_t*>(data.data() + pos);
      const std::string name = data.substr(pos + 30, GetLE16(p + 26));
      const std::uint16_t extraLength = GetLE16(p + 28);
      if (name == "empty.txt") {
        EXPECT_EQ(GetLE16(p + 8), 0);
        EXPECT_EQ(GetLE16(p + 6) & 1, 0);
        continue;
      }
      EXPECT_EQ(GetLE16(p + 8), 99) << name;
      EXPECT_EQ(GetLE32(p + 14), 0u) << name;
      EXPECT_EQ(GetLE16(p + 6) & 1, 1) << name;
      ASSERT_GE(extraLength, 11) << name;
      const auto* x = p + 30 + GetLE16(p + 26) + extraLength - 11;
      EXPECT_EQ(GetLE16(x), kExtraAes);
      EXPECT_EQ(x[8], kind);
      realMethod[name] = GetLE16(x + 9);
      if (name == "sub/small.bin") {
        EXPECT_EQ(GetLE32(p + 18), 100u + TqmxAES::SaltLength(kind) + 2 + 10);
      }
    }
    EXPECT_EQ(realMethod["sub/small.bin"], 0);
    EXPECT_EQ(realMethod["text.txt"], 8);
    EXPECT_EQ(realMethod["tiny.txt"], 8);
  }
}

TEST_F(ZipAesInterop, OverlongPasswordLeavesTheEntryOut) {
  const std::string a = tmp_ / "long.zip";
  TZip z;
  z.EncryptionMethod = emAES2_256;
  z.Password = std::string(129, 'p');
  z.SetArchiveFile(a);
  z.SetFileSpec({src_ + "text.txt"});
  std::vector<int> errors;
  z.OnError = [&](TZipCommon&, const std::string&, const std::string&, const std::string&,
                  int code) { errors.push_back(code); };
  EXPECT_EQ(z.Compress(), 0);
  EXPECT_NE(std::find(errors.begin(), errors.end(), E_INVALID_PASSWORD), errors.end());
}

// Archives from other AES writers: every entry we pass matches 7-Zip's
// extraction, and damaged codes fail.
TEST(ZipAesCorpus, OtherWritersAgreeWithSevenZip) {
  ASSERT_EQ(Sh("command -v 7zz >/dev/null 2>&1"), 0);
  const std::string base = test::CorpusDir() + "/zip/crypto/";
  struct TCase {
    const char* path;
    const char* password;
    bool intact;
  };
  const TCase cases[] = {
      {"libzip/encrypt-aes128.zip", "foofoofoo", true},
      {"libzip/encrypt-aes192.zip", "foofoofoo", true},
      {"libzip/encrypt-aes256.zip", "foofoofoo", true},
      {"libarchive/test_read_format_zip_winzip_aes128.zip", "password", true},
      {"libarchive/test_read_format_zip_winzip_aes256_stored.zip", "password", true},
      {"libarchive/test_read_format_zip_winzip_aes256_large.zip", "password", true},
      {"libarchive/test_encrypted.zip", "password", true},
      {"sharpcompress/Zip.none.encrypted.zip", "test", true},
      {"sharpcompress/Zip.deflate.WinzipAES.zip", "test", true},
      {"zip2/aes_archive.zip", "helloworld", true},
      {"dotnet-runtime-assets/PasswordProtected_MixedEncryptions.zip", "S3cur3P@ssw0rd", true},
      {"libzip/hmac-error.zip", "1234", false},
      {"zip4j/aes_with_extra_data_record_and_corrupt_mac.zip", "test123!", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string arc = base + c.path;
    ASSERT_TRUE(fs::exists(arc));
    TempDir t;
    const TRun r = ExtractZip(arc, t / "ours/", {c.password});
    ASSERT_FALSE(r.Verdicts.empty());
    if (!c.intact) {
      for (auto& [name, pass] : r.Verdicts)
        if (name.empty() || name.back() != '/') {
          EXPECT_FALSE(pass) << name;
        }
      continue;
    }
    for (auto& [name, pass] : r.Verdicts) EXPECT_TRUE(pass) << name;
    ASSERT_EQ(Sh("LC_ALL=C.UTF-8 7zz x -y -p" + Quote(c.password) + " -o" + Quote(t / "ref") + " " +
                 Quote(arc) + " >/dev/null 2>&1"),
              0);
    EXPECT_EQ(Tree(t / "ours/"), Tree(t / "ref"));
  }
}

}  // namespace
