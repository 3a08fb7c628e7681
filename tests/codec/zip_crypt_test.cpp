// The traditional cipher against itself and against other programs: ZIPs
// encrypted by Info-ZIP and 7-Zip are checked and decrypted here, and ZIPs
// encrypted here are decrypted by unzip and Python's zipfile.
#include "archive/codec/zip_crypt.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/codec/crc.h"
#include "support/temp_dir.h"

namespace qmx {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// --- helpers

Bytes SampleData(std::size_t n) {
  // Text-like with some binary runs, so deflate has something to do.
  Bytes out;
  out.reserve(n);
  std::uint32_t x = 12345;
  while (out.size() < n) {
    std::string line = "line " + std::to_string(out.size()) + " of the sample data\n";
    for (char c : line) out.push_back(static_cast<std::uint8_t>(c));
    for (int i = 0; i < 7; ++i) {
      x = x * 1103515245u + 12345u;
      out.push_back(static_cast<std::uint8_t>(x >> 16));
    }
  }
  out.resize(n);
  return out;
}

Bytes ReadAll(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

void WriteAll(const fs::path& p, const Bytes& b) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

int Shell(const std::string& cmd) {
  return test::Run(cmd);
}

struct TempDir {
  test::TempDir dir;
  fs::path path{dir.path()};
  std::string Q(const std::string& name) const { return "'" + (path / name).string() + "'"; }
};

std::uint16_t Get16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8);
}
std::uint32_t Get32(const Bytes& b, std::size_t at) {
  return Get16(b, at) | static_cast<std::uint32_t>(Get16(b, at + 2)) << 16;
}
std::uint64_t Get64(const Bytes& b, std::size_t at) {
  return Get32(b, at) | static_cast<std::uint64_t>(Get32(b, at + 4)) << 32;
}
void Put16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& b, std::uint32_t v) {
  Put16(b, static_cast<std::uint16_t>(v));
  Put16(b, static_cast<std::uint16_t>(v >> 16));
}

// The first local header of a ZIP file, read field by field.
struct LocalEntry {
  std::uint16_t flags = 0, method = 0, time = 0;
  std::uint32_t crc = 0;
  std::uint64_t packed = 0, unpacked = 0;
  std::string name;
  Bytes extra;
  std::size_t dataAt = 0;
};

LocalEntry ParseFirstLocal(const Bytes& zip) {
  LocalEntry e;
  EXPECT_EQ(Get32(zip, 0), 0x04034B50u);
  e.flags = Get16(zip, 6);
  e.method = Get16(zip, 8);
  e.time = Get16(zip, 10);
  e.crc = Get32(zip, 14);
  e.packed = Get32(zip, 18);
  e.unpacked = Get32(zip, 22);
  std::uint16_t nameLen = Get16(zip, 26), extraLen = Get16(zip, 28);
  e.name.assign(zip.begin() + 30, zip.begin() + 30 + nameLen);
  e.extra.assign(zip.begin() + 30 + nameLen, zip.begin() + 30 + nameLen + extraLen);
  e.dataAt = 30u + nameLen + extraLen;
  // Zip64 field: the 64-bit sizes of the fields that hold all ones.
  for (std::size_t p = 0; p + 4 <= e.extra.size();) {
    std::uint16_t id = Get16(e.extra, p), len = Get16(e.extra, p + 2);
    if (id == 0x0001) {
      std::size_t q = p + 4;
      if (e.unpacked == 0xFFFFFFFFu) e.unpacked = Get64(e.extra, q), q += 8;
      if (e.packed == 0xFFFFFFFFu) e.packed = Get64(e.extra, q);
    }
    p += 4u + len;
  }
  return e;
}

Bytes InflateRaw(const Bytes& in, std::size_t expected) {
  Bytes out(expected + 1);
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&z, Z_FINISH);
  out.resize(rc == Z_STREAM_END ? z.total_out : 0);
  inflateEnd(&z);
  return out;
}

// A one-entry ZIP with the stored entry encrypted by our cipher.
Bytes MakeEncryptedZip(const std::string& name, const Bytes& plain, const std::string& password) {
  std::uint32_t crc = Crc32(plain.data(), plain.size());
  Bytes data = plain;
  TZipCrypt cipher;
  TZipEncryptionHeader head = cipher.MakeEncryptionHeader(password, crc);
  cipher.EncryptBuffer(data.data(), data.size());
  const std::uint16_t method = 0, time = 0x6000, date = 0x5A21;
  const auto packed = static_cast<std::uint32_t>(data.size() + head.size());

  Bytes zip;
  auto common = [&] {
    Put16(zip, 20);  // version needed
    Put16(zip, 1);   // encrypted
    Put16(zip, method);
    Put16(zip, time);
    Put16(zip, date);
    Put32(zip, crc);
    Put32(zip, packed);
    Put32(zip, static_cast<std::uint32_t>(plain.size()));
    Put16(zip, static_cast<std::uint16_t>(name.size()));
    Put16(zip, 0);
  };
  Put32(zip, 0x04034B50);
  common();
  zip.insert(zip.end(), name.begin(), name.end());
  zip.insert(zip.end(), head.begin(), head.end());
  zip.insert(zip.end(), data.begin(), data.end());
  const auto centralAt = static_cast<std::uint32_t>(zip.size());
  Put32(zip, 0x02014B50);
  Put16(zip, 20);  // version made by
  common();
  Put16(zip, 0);  // comment
  Put16(zip, 0);  // disk
  Put16(zip, 0);  // internal attributes
  Put32(zip, 0);  // external attributes
  Put32(zip, 0);  // local header offset
  zip.insert(zip.end(), name.begin(), name.end());
  const auto centralLen = static_cast<std::uint32_t>(zip.size() - centralAt);
  Put32(zip, 0x06054B50);
  Put16(zip, 0);
  Put16(zip, 0);
  Put16(zip, 1);
  Put16(zip, 1);
  Put32(zip, centralLen);
  Put32(zip, centralAt);
  Put16(zip, 0);
  return zip;
}

// Checks the header of the first entry of zip and decrypts its data; empty
// when the password does not verify.
Bytes CheckAndDecrypt(const Bytes& zip, const LocalEntry& e, const std::string& password,
                      bool* verified) {
  TZipCrypt cipher;
  std::span<const std::uint8_t, 12> head(zip.data() + e.dataAt, 12);
  *verified = cipher.CheckEncryptionHeader(head, e.flags, e.crc, password, e.time);
  if (!*verified) return {};
  Bytes data(zip.begin() + static_cast<std::ptrdiff_t>(e.dataAt + 12),
             zip.begin() + static_cast<std::ptrdiff_t>(e.dataAt + e.packed));
  cipher.DecryptBuffer(data.data(), data.size());
  return e.method == 8 ? InflateRaw(data, e.unpacked) : data;
}

// --- the cipher on its own

TEST(ZipCryptTest, BufferRoundTripAndStateContinuity) {
  const Bytes plain = SampleData(70001);
  for (const std::string& password :
       std::vector<std::string>{"secret", "", std::string("p\0w\xff", 4)}) {
    TZipCrypt enc;
    enc.InitKeys(password);
    Bytes whole = plain;
    enc.EncryptBuffer(whole.data(), whole.size());
    EXPECT_NE(whole, plain);

    // Uneven chunks continue the same stream as one call, and so do single
    // bytes: the state carries over between calls.
    TZipCrypt chunked;
    chunked.InitKeys(password);
    Bytes pieces = plain;
    for (std::size_t at = 0, step = 1; at < pieces.size(); at += step, step = step * 3 % 4093 + 1)
      chunked.EncryptBuffer(pieces.data() + at, std::min(step, pieces.size() - at));
    EXPECT_EQ(pieces, whole);
    EXPECT_EQ(chunked.Keys(), enc.Keys());

    TZipCrypt bytewise;
    bytewise.InitKeys(password);
    for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ(bytewise.EncryptByte(plain[i]), whole[i]);

    TZipCrypt dec;
    dec.InitKeys(password);
    Bytes back = whole;
    dec.DecryptBuffer(back.data(), back.size());
    EXPECT_EQ(back, plain);
    // The key update uses the plain byte on both sides, so the states meet.
    EXPECT_EQ(dec.Keys(), enc.Keys());
  }
}

TEST(ZipCryptTest, KeystreamByteLeavesStateAndPasswordsDiffer) {
  TZipCrypt a, b;
  a.InitKeys("secret");
  b.InitKeys("secreT");
  EXPECT_NE(a.Keys(), b.Keys());
  const TZipKeys before = a.Keys();
  const std::uint8_t k = a.KeystreamByte();
  EXPECT_EQ(a.KeystreamByte(), k);
  EXPECT_EQ(a.Keys(), before);
  EXPECT_EQ(a.EncryptByte(0), k);  // zero plain byte exposes the keystream
  EXPECT_NE(a.Keys(), before);

  // InitKeys starts over whatever state came before.
  TZipCrypt c;
  c.InitKeys("other");
  c.EncryptByte(0x55);
  c.InitKeys("secret");
  EXPECT_EQ(c.Keys(), before);
}

TEST(ZipCryptTest, HeaderKeyIsFixedAndEnciphersHeaders) {
  // AND of pairs of 0x12345678, 0x23456789, 0x34567890.
  EXPECT_EQ(TZipCrypt::HeaderKey(), (TZipKeys{0x10145010u, 0x02044608u, 0x20446080u}));
  TZipCrypt w;
  w.InitKeys("any password");
  w.LoadHeaderKey();
  EXPECT_EQ(w.Keys(), TZipCrypt::HeaderKey());

  // A header and its name are one stream; each record starts from the key.
  Bytes record = SampleData(26), name = {'d', 'i', 'r', '/', 'f', '.', 't', 'x', 't'};
  Bytes encRecord = record, encName = name;
  w.EncryptBuffer(encRecord.data(), encRecord.size());
  w.EncryptBuffer(encName.data(), encName.size());
  TZipCrypt r;
  r.LoadHeaderKey();
  r.DecryptBuffer(encRecord.data(), encRecord.size());
  r.DecryptBuffer(encName.data(), encName.size());
  EXPECT_EQ(encRecord, record);
  EXPECT_EQ(encName, name);
}

TEST(ZipCryptTest, EncryptionHeaderChecks) {
  const std::uint32_t crc = 0xA1B2C3D4;
  TZipCrypt w1, w2;
  const TZipEncryptionHeader h1 = w1.MakeEncryptionHeader("secret", crc);
  const TZipEncryptionHeader h2 = w2.MakeEncryptionHeader("secret", crc);
  // Fresh random bytes each time, so the encrypted headers differ up front.
  EXPECT_FALSE(std::equal(h1.begin(), h1.begin() + 10, h2.begin()));

  for (const auto* h : {&h1, &h2}) {
    TZipCrypt r;
    EXPECT_TRUE(r.CheckEncryptionHeader(*h, 0, crc, "secret", 0x1234));
    // Only bits 24-31 of the CRC take part without a data descriptor.
    EXPECT_TRUE(r.CheckEncryptionHeader(*h, 0, 0xA1000000, "secret", 0));
    EXPECT_FALSE(r.CheckEncryptionHeader(*h, 0, crc ^ 0x01000000, "secret", 0));
    // With flag bit 3 the time's high byte is the check byte.
    EXPECT_TRUE(r.CheckEncryptionHeader(*h, kZipFlagDataDescriptor, 0, "secret", 0xA100));
    EXPECT_FALSE(r.CheckEncryptionHeader(*h, kZipFlagDataDescriptor, crc, "secret", 0x0000));
    EXPECT_FALSE(r.CheckEncryptionHeader(*h, 0, crc, "", 0));

    TZipEncryptionHeader plain = *h;
    TZipCrypt d;
    d.InitKeys("secret");
    d.DecryptBuffer(plain.data(), plain.size());
    EXPECT_EQ(plain[10], 0xB2);
    EXPECT_EQ(plain[11], 0xA1);
  }

  // The state after making the header is the state after checking it.
  TZipCrypt r;
  ASSERT_TRUE(r.CheckEncryptionHeader(h1, 0, crc, "secret", 0));
  EXPECT_EQ(r.Keys(), w1.Keys());
}

TEST(ZipCryptTest, EmptyPasswordNeverVerifies) {
  TZipCrypt w;
  const TZipEncryptionHeader h = w.MakeEncryptionHeader("", 0x11223344);
  TZipCrypt d;
  d.InitKeys("");
  TZipEncryptionHeader plain = h;
  d.DecryptBuffer(plain.data(), plain.size());
  ASSERT_EQ(plain[11], 0x11);  // a real empty-password header
  TZipCrypt r;
  EXPECT_FALSE(r.CheckEncryptionHeader(h, 0, 0x11223344, "", 0));
}

// --- archives from other programs

struct PeerCase {
  const char* label;
  const char* command;  // run in the directory holding sample.txt
  const char* name;
  bool dataDescriptor;
};

TEST(ZipCryptInterop, ReadsEntriesEncryptedByOtherPrograms) {
  const PeerCase cases[] = {
      {"zip stored", "zip -q -P secret -0 out.zip sample.txt", "sample.txt", true},
      {"zip deflated", "zip -q -P secret out.zip sample.txt", "sample.txt", true},
      {"zip from a pipe", "cat sample.txt | zip -q -P secret out.zip -", "-", true},
      {"7zz stored", "7zz a -bd -psecret -mem=ZipCrypto -mx0 out.zip sample.txt >/dev/null",
       "sample.txt", false},
      {"7zz deflated", "7zz a -bd -psecret -mem=ZipCrypto -mx5 out.zip sample.txt >/dev/null",
       "sample.txt", false},
  };
  const Bytes plain = SampleData(300000);
  const std::uint32_t crc = Crc32(plain.data(), plain.size());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string tool = std::string(c.command).starts_with("7zz") ? "7zz" : "zip";
    if (!HaveTool(tool)) {
      ADD_FAILURE() << tool << " is not installed";
      continue;
    }
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    WriteAll(dir.path / "sample.txt", plain);
    ASSERT_EQ(Shell("cd '" + dir.path.string() + "' && " + c.command), 0);
    const Bytes zip = ReadAll(dir.path / "out.zip");
    ASSERT_GE(zip.size(), 30u + 12u);

    const LocalEntry e = ParseFirstLocal(zip);
    EXPECT_EQ(e.name, c.name);
    EXPECT_EQ(e.flags & 1, 1);
    EXPECT_EQ((e.flags & kZipFlagDataDescriptor) != 0, c.dataDescriptor);
    EXPECT_TRUE(e.method == 0 || e.method == 8);
    EXPECT_EQ(e.crc, crc);
    EXPECT_EQ(e.unpacked, plain.size());
    ASSERT_LE(e.dataAt + e.packed, zip.size());
    ASSERT_GE(e.packed, 12u);

    bool ok = false;
    const Bytes out = CheckAndDecrypt(zip, e, "secret", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(out.size(), plain.size());
    EXPECT_EQ(Crc32(out.data(), out.size()), crc);
    EXPECT_TRUE(out == plain);

    // The check byte comes from the time with a data descriptor, from the CRC
    // otherwise; the other source must not decide.
    std::span<const std::uint8_t, 12> head(zip.data() + e.dataAt, 12);
    TZipCrypt r;
    if (c.dataDescriptor) {
      EXPECT_TRUE(r.CheckEncryptionHeader(head, e.flags, 0, "secret", e.time));
      EXPECT_FALSE(r.CheckEncryptionHeader(head, e.flags, crc, "secret", e.time ^ 0x0100));
      if ((e.time >> 8) != (crc >> 24)) {
        EXPECT_FALSE(r.CheckEncryptionHeader(head, e.flags & ~kZipFlagDataDescriptor, crc, "secret",
                                             e.time));
      }
    } else {
      EXPECT_TRUE(r.CheckEncryptionHeader(head, e.flags, crc, "secret", 0));
      EXPECT_FALSE(r.CheckEncryptionHeader(head, e.flags, crc ^ 0x01000000, "secret", e.time));
    }

    // The header bytes are random, so a wrong password passes now and then.
    int passed = 0;
    for (int i = 0; i < 64; ++i) {
      bool wrongOk = false;
      const Bytes bad = CheckAndDecrypt(zip, e, "Secret" + std::to_string(i), &wrongOk);
      if (!wrongOk) continue;
      ++passed;
      EXPECT_NE(bad, plain);
    }
    EXPECT_LT(passed, 8);
  }
}

// --- archives for other programs

TEST(ZipCryptInterop, OtherProgramsDecryptOurEntries) {
  const bool haveUnzip = HaveTool("unzip"), havePython = HaveTool("python3");
  if (!haveUnzip) ADD_FAILURE() << "unzip is not installed";
  if (!havePython) ADD_FAILURE() << "python3 is not installed";
  const Bytes plain = SampleData(123457);
  TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  WriteAll(dir.path / "ours.zip", MakeEncryptedZip("data.bin", plain, "s3cr3t!"));
  if (haveUnzip) {
    EXPECT_EQ(Shell("unzip -qq -P 's3cr3t!' -p " + dir.Q("ours.zip") + " data.bin > " +
                    dir.Q("unzip.out")),
              0);
    EXPECT_TRUE(ReadAll(dir.path / "unzip.out") == plain);
    EXPECT_NE(Shell("unzip -qq -P wrong -p " + dir.Q("ours.zip") + " data.bin > /dev/null 2>&1"),
              0);
  }
  if (havePython) {
    EXPECT_EQ(Shell("python3 -c \"import sys, zipfile; "
                    "sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read('data.bin', "
                    "pwd=b's3cr3t!'))\" " +
                    dir.Q("ours.zip") + " > " + dir.Q("py.out")),
              0);
    EXPECT_TRUE(ReadAll(dir.path / "py.out") == plain);
  }
}

}  // namespace
}  // namespace qmx
