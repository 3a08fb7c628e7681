// TUnZip against archives built to hurt: entries that share their data
// (the overlapping-entry bomb), sizes that lie in either direction, and
// what is left on disk when an entry fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/zip/zip_reader.h"
#include "records_fixture.h"
#include "support/temp_dir.h"
#include "support/zip_craft.h"

namespace fs = std::filesystem;
using namespace qmx;
using qmx::test::TempDir;

namespace {

// Writes the archive the Python body leaves in z to dir/name.
std::string BuildZip(const TempDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir / name;
  EXPECT_EQ(ziptest::Python(qmx::test::ZipCraftPrelude() + body + "\nopen('" + path +
                            "', 'wb').write(z)\nprint('ok')"),
            "ok");
  return path;
}

struct TResult {
  int count = 0;
  std::vector<std::string> passed, failed;
  std::vector<int> errors;
  int Errors(int code) const {
    return static_cast<int>(std::count(errors.begin(), errors.end(), code));
  }
};

struct TRunOptions {
  bool Test = false;
  bool KeepBroken = false;
  // Without OnEnd a failed verdict is reported as an error code.
  bool WithOnEnd = true;
  std::string Password = {};
};

// Extracts (or tests) every entry of archive into dir.
TResult RunZip(const std::string& archive, const std::string& dir, TRunOptions o = {}) {
  TUnZip z;
  TResult r;
  z.SetArchiveFile(archive);
  z.SetExtractDir(dir);
  z.SetFileSpec({"*.*"});
  z.KeepBrokenFiles = o.KeepBroken;
  z.Password = o.Password;
  if (o.WithOnEnd)
    z.OnEnd = [&](TZipCommon&, const std::string& name, bool pass) {
      (pass ? r.passed : r.failed).push_back(fs::path(name).filename().string());
    };
  z.OnError = [&](TZipCommon&, const std::string&, const std::string&, const std::string&,
                  int code) { r.errors.push_back(code); };
  r.count = o.Test ? z.Test() : z.Extract();
  return r;
}

std::uintmax_t BytesUnder(const std::string& dir) {
  std::uintmax_t n = 0;
  for (auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) n += e.file_size();
  return n;
}

// Fifield's construction: each entry's deflate stream quotes the local
// headers that follow it as stored blocks and ends in one shared kernel,
// so n entries of a few bytes each decode to n times the kernel. Entries
// already in body/central (count of them) come first.
std::string FullOverlapBomb(int n, int kernelBytes, const std::string& before = "") {
  return "body, central, count = b'', b'', 0\n" + before + "n = " + std::to_string(n) +
         "\nkernel_data = b'a' * " + std::to_string(kernelBytes) + R"(
kernel = deflate(kernel_data)
names = [b'bomb%03d' % i for i in range(n)]
# What an entry holds depends on what follows it: build from the back.
heads, records = [None] * n, [None] * n
tail, tail_data = kernel, kernel_data
for i in reversed(range(n)):
    crc = zlib.crc32(tail_data)
    heads[i] = lfh(names[i], 8, crc, len(tail), len(tail_data))
    records[i] = (crc, len(tail), len(tail_data))
    tail, tail_data = stored_quote(heads[i]) + tail, heads[i] + tail_data
z = body
for i in range(n):
    central += cdh(names[i], 8, *records[i], len(z))
    z += heads[i]
    if i + 1 < n:
        z += stored_quote(heads[i + 1])[:5]
z = finish(z + kernel, central, count + n)
)";
}

TEST(ZipHostile, OverlappingBombIsRefusedBeforeAnythingIsWritten) {
  TempDir d;
  const std::string nested = BuildZip(d, "nested.zip", FullOverlapBomb(40, 512 * 1024));
  // The simplest form: every central record names the same local header.
  const std::string same = BuildZip(d, "same.zip", R"(
data = b'a' * 512 * 1024
packed = deflate(data)
z, first = add(b'', b'k', 8, zlib.crc32(data), len(packed), len(data), packed)
central = first + b''.join(cdh(b'alias%02d' % i, 8, zlib.crc32(data), len(packed), len(data), 0)
                           for i in range(40))
z = finish(z, central, 41)
)");
  EXPECT_LT(fs::file_size(nested), 8000u);
  for (const std::string& archive : {nested, same}) {
    SCOPED_TRACE(archive);
    TempDir out;
    const TResult r = RunZip(archive, out.path());
    EXPECT_EQ(r.passed.size(), 0u);
    EXPECT_EQ(r.Errors(E_ENTRY_OVERLAP), archive == nested ? 40 : 41);
    EXPECT_EQ(BytesUnder(out.path()), 0u);
    const TResult t = RunZip(archive, out.path(), {.Test = true});
    EXPECT_EQ(t.passed.size(), 0u);
    EXPECT_EQ(t.failed.size(), archive == nested ? 40u : 41u);
  }
}

TEST(ZipHostile, EntriesBesideTheOverlapStillExtract) {
  TempDir d;
  const std::string archive = BuildZip(d, "mixed.zip", FullOverlapBomb(5, 4096, R"(
good = b'a normal member\n' * 100
gp = deflate(good)
body, central = add(b'', b'good.txt', 8, zlib.crc32(good), len(gp), len(good), gp)
count = 1
)"));
  TempDir out;
  const TResult r = RunZip(archive, out.path());
  EXPECT_EQ(r.passed, std::vector<std::string>{"good.txt"});
  EXPECT_EQ(r.Errors(E_ENTRY_OVERLAP), 5);
  std::string good;
  for (int i = 0; i < 100; ++i) good += "a normal member\n";
  EXPECT_EQ(test::ReadFile(out / "good.txt"), good);
  EXPECT_EQ(BytesUnder(out.path()), 1600u);
}

TEST(ZipHostile, DataPlacedIntoAnotherEntryOrTheDirectoryIsRefused) {
  TempDir d;
  // Central sizes leave room, but the local extra field moves the first
  // entry's data onto the second entry.
  const std::string shifted = BuildZip(d, "shifted.zip", R"(
a, b = b'0123456789', b'second entry'
second_at = 30 + 1 + len(a)
body = lfh(b'a', 0, zlib.crc32(a), len(a), len(a), b'\x00' * second_at) + a
central = cdh(b'a', 0, zlib.crc32(a), len(a), len(a), 0)
body = body[:second_at]
body, c2 = add(body, b'b', 0, zlib.crc32(b), len(b), len(b), b)
z = finish(body, central + c2, 2)
)");
  // A packed size that runs into the central directory.
  const std::string intoDir = BuildZip(d, "intodir.zip", R"(
a = b'short'
body, c1 = add(b'', b'a', 0, zlib.crc32(a), len(a) + 40, len(a) + 40, a)
z = finish(body, c1, 1)
)");
  TempDir out;
  TResult r = RunZip(shifted, out.path());
  EXPECT_EQ(r.Errors(E_ENTRY_OVERLAP), 1);
  EXPECT_EQ(r.passed, std::vector<std::string>{"b"});
  EXPECT_EQ(test::ReadFile(out / "b"), "second entry");
  r = RunZip(intoDir, out.path());
  EXPECT_EQ(r.Errors(E_ENTRY_OVERLAP), 1);
  EXPECT_FALSE(fs::exists(out / "a"));
}

// Declared 100 bytes; the data inflates to 10 MiB.
std::string ShortDeclared(bool crcOfWhole) {
  return std::string("crc_of_whole = ") + (crcOfWhole ? "True" : "False") + R"(
data = bytes(range(256)) * (40 * 1024)
packed = deflate(data)
crc = zlib.crc32(data if crc_of_whole else data[:100])
body, c1 = add(b'', b'big.bin', 8, crc, len(packed), 100, packed)
z = finish(body, c1, 1)
)";
}

TEST(ZipHostile, OutputStopsAtTheDeclaredSize) {
  TempDir d;
  for (bool crcOfWhole : {true, false}) {
    SCOPED_TRACE(crcOfWhole);
    const std::string archive = BuildZip(d, "lie.zip", ShortDeclared(crcOfWhole));
    TempDir out;
    TResult r = RunZip(archive, out.path(), {.WithOnEnd = false});
    EXPECT_EQ(r.Errors(E_SIZE_DIFFERENT), 1);
    EXPECT_EQ(r.Errors(E_CRC_FAIL), 0);
    EXPECT_FALSE(fs::exists(out / "big.bin"));
    r = RunZip(archive, out.path(), {.KeepBroken = true});
    EXPECT_EQ(r.failed, std::vector<std::string>{"big.bin"});
    ASSERT_TRUE(fs::exists(out / "big.bin"));
    EXPECT_EQ(fs::file_size(out / "big.bin"), 100u);
    r = RunZip(archive, out.path(), {.Test = true});
    EXPECT_EQ(r.failed.size(), 1u);
    EXPECT_EQ(r.Errors(E_SIZE_DIFFERENT), 1);
  }
}

TEST(ZipHostile, AesEntriesKeepToTheDeclaredSize) {
  TempDir d;
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "line " + std::to_string(i) + "\n";
  test::WriteFile(d / "t.txt", text);
  ASSERT_EQ(test::Run("cd " + d.path() + " && 7zz a -bd -tzip -mem=AES256 -psecret a.zip t.txt" +
                      " > /dev/null"),
            0);
  // The authentication code covers the data, not the sizes in the headers.
  const std::string archive = BuildZip(d, "lie.zip", R"(
z = bytearray(open(')" + d / "a.zip" + R"(', 'rb').read())
central = z.index(b'PK\x01\x02')
struct.pack_into('<I', z, 22, 100)
struct.pack_into('<I', z, central + 24, 100)
)");
  TempDir out;
  TResult r = RunZip(archive, out.path(), {.WithOnEnd = false, .Password = "secret"});
  EXPECT_EQ(r.Errors(E_SIZE_DIFFERENT), 1);
  EXPECT_FALSE(fs::exists(out / "t.txt"));
  r = RunZip(archive, out.path(), {.KeepBroken = true, .Password = "secret"});
  EXPECT_EQ(r.failed, std::vector<std::string>{"t.txt"});
  const std::string kept = test::ReadFile(out / "t.txt");
  EXPECT_EQ(kept.size(), 100u);
  EXPECT_TRUE(text.starts_with(kept));
  // The same archive with its sizes intact passes.
  EXPECT_EQ(RunZip(d / "a.zip", out.path(), {.Test = true, .Password = "secret"}).passed.size(),
            1u);
}

TEST(ZipHostile, DataShortOfTheDeclaredSizeFails) {
  TempDir d;
  // Deflated and stored entries whose CRCs are right for the data they hold.
  const std::string archive = BuildZip(d, "short.zip", R"(
data = b'x' * 1000
packed = deflate(data)
body, c1 = add(b'', b'deflated', 8, zlib.crc32(data), len(packed), 5000, packed)
small = b'twelve bytes'
body, c2 = add(body, b'stored', 0, zlib.crc32(small), 12, 13, small)
z = finish(body, c1 + c2, 2)
)");
  TempDir out;
  const TResult r = RunZip(archive, out.path());
  EXPECT_EQ(r.failed.size(), 2u);
  EXPECT_EQ(r.Errors(E_SIZE_DIFFERENT), 2);
  EXPECT_EQ(BytesUnder(out.path()), 0u);
}

TEST(ZipHostile, Zip64SizeOfTwoToTheSixtyThreeFailsTest) {
  TempDir d;
  const std::string archive = BuildZip(d, "huge.zip", R"(
data = b'twelve bytes'
big = 2**63 - 1
body = lfh(b'a', 0, zlib.crc32(data), 0xFFFFFFFF, 0xFFFFFFFF, zip64(big, 12)) + data
c1 = cdh(b'a', 0, zlib.crc32(data), 0xFFFFFFFF, 0xFFFFFFFF, 0, zip64(big, 12))
off = len(body)
body += lfh(b'b', 0, zlib.crc32(data), 0xFFFFFFFF, 0xFFFFFFFF, zip64(big, big)) + data
c2 = cdh(b'b', 0, zlib.crc32(data), 0xFFFFFFFF, 0xFFFFFFFF, off, zip64(big, big))
z = finish(body, c1 + c2, 2)
)");
  TempDir out;
  const TResult r = RunZip(archive, out.path(), {.Test = true});
  EXPECT_EQ(r.passed.size(), 0u);
  EXPECT_EQ(r.failed.size(), 2u);
  // The first only lies about its size, the second's data also runs on
  // into the central directory.
  EXPECT_EQ(r.Errors(E_SIZE_DIFFERENT), 1);
  EXPECT_EQ(r.Errors(E_ENTRY_OVERLAP), 1);
}

TEST(ZipHostile, FailedEntriesLeaveNoFileUnlessKept) {
  TempDir d;
  const std::string archive = BuildZip(d, "crc.zip", R"(
data = b'checked content\n' * 64
packed = deflate(data)
body, c1 = add(b'', b'bad.txt', 8, zlib.crc32(data) ^ 1, len(packed), len(data), packed)
body, c2 = add(body, b'good.txt', 8, zlib.crc32(data), len(packed), len(data), packed)
z = finish(body, c1 + c2, 2)
)");
  TempDir out, kept;
  TResult r = RunZip(archive, out.path(), {.WithOnEnd = false});
  EXPECT_EQ(r.Errors(E_CRC_FAIL), 1);
  EXPECT_FALSE(fs::exists(out / "bad.txt"));
  EXPECT_TRUE(fs::exists(out / "good.txt"));
  r = RunZip(archive, kept.path(), {.KeepBroken = true});
  EXPECT_EQ(r.failed, std::vector<std::string>{"bad.txt"});
  EXPECT_EQ(fs::file_size(kept / "bad.txt"), 1024u);

  // A run cancelled inside an entry leaves nothing of it.
  TempDir out2;
  TUnZip z;
  z.SetArchiveFile(BuildZip(d, "long.zip", R"(
data = bytes(range(256)) * (40 * 1024)
packed = deflate(data)
body, c1 = add(b'', b'big.bin', 8, zlib.crc32(data), len(packed), len(data), packed)
z = finish(body, c1, 1)
)"));
  z.SetExtractDir(out2.path());
  z.SetFileSpec({"*.*"});
  bool ended = false, verdict = true;
  z.OnProgress = [&](TZipCommon& sender, std::uint8_t byFile, std::uint8_t) {
    if (byFile >= 50) sender.SetCancel(true);
  };
  z.OnEnd = [&](TZipCommon&, const std::string&, bool pass) {
    ended = true;
    verdict = pass;
  };
  z.Extract();
  EXPECT_TRUE(ended);
  EXPECT_FALSE(verdict);
  EXPECT_FALSE(fs::exists(out2 / "big.bin"));
}

}  // namespace
