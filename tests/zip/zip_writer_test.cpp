// The ZIP and JAR writer: record bytes of new entries, and archives that
// peer tools test and extract byte for byte after every kind of update.
#include "archive/zip/zip_writer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "archive/codec/crc.h"
#include "archive/platform/files.h"
#include "archive/codec/zip_crypt.h"
#include "archive/zip/zip_reader.h"
#include "archive/zip/zip_records.h"
#include "support/temp_dir.h"

namespace qmx {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

int Sh(const std::string& cmd) {
  return test::Run(cmd);
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// A source tree with every kind of file the writer treats differently.
void MakeTree(const std::string& root) {
  CreateDir(root);
  WriteFile(root + "text.txt", "0123456789");
  WriteFile(root + "zeros.bin", std::string(100, '\0'));
  WriteFile(root + "random.bin", RandomBytes(100, 1));
  WriteFile(root + "big.txt", std::string(300000, 'a') + RandomBytes(70000, 2));
  WriteFile(root + "empty.dat", "");
  WriteFile(root + "inner.zip", std::string(2000, 'z'));
  CreateDir(root + "sub");
  WriteFile(root + "sub/deep.txt", "deep file in a sub directory\n");
  CreateDir(root + "hollow");
  CreateDir(root + "hollow/inside");
  WriteFile(root + "\xE6\x97\xA5\xE6\x9C\xAC.txt", "CJK name");
}

struct TRun {
  int Files = 0;
  std::vector<int> Errors;
};

TRun CompressDir(TZipBase& z, const std::string& archive, const std::string& root) {
  TRun r;
  z.SetArchiveFile(archive);
  z.SetFileSpec({root + "*.*"});
  z.RecurseDirs = true;
  z.OnError = [&r](TZipCommon&, const std::string&, const std::string&, const std::string&,
                   int code) { r.Errors.push_back(code); };
  r.Files = z.Compress();
  return r;
}

bool SameTree(const std::string& a, const std::string& b, const std::string& options = "") {
  return Sh("diff -r " + options + " '" + a + "' '" + b + "' >/dev/null 2>&1") == 0;
}

// Every peer tests the archive and extracts it to the same bytes as the
// source tree.
void ExpectPeersAgree(const std::string& archive, const std::string& source,
                      const std::string& password = "") {
  TempDir out;
  const std::string q = "'" + archive + "'";
  const std::string p7 = password.empty() ? "" : " -p" + password;
  const std::string pu = password.empty() ? "" : " -P " + password;
  EXPECT_EQ(Sh("7zz t" + p7 + " " + q + " >/dev/null 2>&1"), 0) << "7zz t";
  EXPECT_EQ(Sh("unzip -tqq" + pu + " " + q + " >/dev/null 2>&1"), 0) << "unzip -t";
  EXPECT_EQ(Sh("bsdtar -tf " + q + " >/dev/null 2>&1"), 0) << "bsdtar -t";
  if (password.empty()) {
    EXPECT_EQ(Sh("python3 -m zipfile -t " + q + " >/dev/null 2>&1"), 0) << "python -t";
  }

  EXPECT_EQ(Sh("7zz x -y" + p7 + " -o'" + out / "7z" + "' " + q + " >/dev/null 2>&1"), 0);
  EXPECT_TRUE(SameTree(source, out / "7z")) << "7zz extraction differs";
  EXPECT_EQ(Sh("unzip -qq" + pu + " " + q + " -d '" + out / "uz" + "' >/dev/null 2>&1"), 0);
  // Info-ZIP unzip here ignores the UTF-8 flag, so only ASCII names are compared.
  EXPECT_TRUE(SameTree(source, out / "uz", "-x '*[^ -~]*'")) << "unzip extraction differs";
  const std::string pw = password.empty() ? "None" : "b'" + password + "'";
  EXPECT_EQ(
      Sh("python3 -c \"import zipfile,sys; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2], "
         "pwd=" +
         pw + ")\" " + q + " '" + out / "py" + "' >/dev/null 2>&1"),
      0);
  EXPECT_TRUE(SameTree(source, out / "py")) << "python extraction differs";
  CreateDir(out / "bt");
  const std::string pb = password.empty() ? "" : " --passphrase " + password;
  EXPECT_EQ(Sh("bsdtar -x" + pb + " -C '" + out / "bt" + "' -f " + q + " >/dev/null 2>&1"), 0);
  EXPECT_TRUE(SameTree(source, out / "bt")) << "bsdtar extraction differs";
}

// The local headers of an archive, in file order.
struct TLocal {
  TZipLocalHeader Header;
  std::string Name;
  std::int64_t Offset = 0;
};
std::vector<TLocal> Locals(const std::string& data) {
  std::vector<TLocal> v;
  std::size_t pos = 0;
  while (pos + 30 <= data.size() &&
         GetLE32(reinterpret_cast<const std::uint8_t*>(&data[pos])) == kZipLocalSig) {
    TLocal l;
    l.Offset = static_cast<std::int64_t>(pos);
    l.Header = TZipLocalHeader::Parse(
        std::span<const std::uint8_t, 30>(reinterpret_cast<const std::uint8_t*>(&data[pos]), 30));
    l.Name = data.substr(pos + 30, l.Header.NameLength);
    pos += 30 + l.Header.NameLength + l.Header.ExtraLength + l.Header.PackedSize;
    v.push_back(l);
  }
  return v;
}
const TLocal* Find(const std::vector<TLocal>& v, const std::string& name) {
  for (const auto& l : v)
    if (l.Name == name) return &l;
  return nullptr;
}

std::string ArchiveOf(const std::string& dir, TZipBase&& z, TDeflateType type = dtDeflateN) {
  z.DeflateType = type;
  z.StoreEmptySubDirs = true;
  const std::string archive = dir + "a.zip";
  const TRun r = CompressDir(z, archive, dir + "src/");
  EXPECT_GT(r.Files, 0);
  return archive;
}

TEST(ZipWriter, PeersAgreeOnEveryDeflateLevelAndStoring) {
  TempDir t;
  MakeTree(t / "src/");
  for (auto type : {dtDeflateS, dtDeflateF, dtDeflateN, dtDeflateX}) {
    SCOPED_TRACE(static_cast<int>(type));
    const std::string archive = ArchiveOf(t.path(), TZip(), type);
    ExpectPeersAgree(archive, t / "src");
    const auto locals = Locals(ReadFile(archive));
    const TLocal* big = Find(locals, "big.txt");
    ASSERT_NE(big, nullptr);
    const std::uint16_t bits = big->Header.Flags & 0x0006;
    EXPECT_EQ(big->Header.Method, type == dtDeflateS ? 0 : 8);
    EXPECT_EQ(bits, type == dtDeflateF ? 0x0004 : type == dtDeflateX ? 0x0002 : 0);
    DeleteFile(archive);
  }
}

TEST(ZipWriter, SmallAndSpecialFilesGetTheirMethods) {
  TempDir t;
  MakeTree(t / "src/");
  const auto data = ReadFile(ArchiveOf(t.path(), TZip(), dtDeflateX));
  const auto locals = Locals(data);
  // Random bytes grow when deflated, zeros shrink.
  EXPECT_EQ(Find(locals, "random.bin")->Header.Method, 0);
  EXPECT_EQ(Find(locals, "zeros.bin")->Header.Method, 8);
  // Listed extension: stored without Deflate bits despite dtDeflateX.
  const TLocal* inner = Find(locals, "inner.zip");
  EXPECT_EQ(inner->Header.Method, 0);
  EXPECT_EQ(inner->Header.Flags & 0x0006, 0);
  const TLocal* empty = Find(locals, "empty.dat");
  EXPECT_EQ(empty->Header.Method, 0);
  EXPECT_EQ(empty->Header.Crc32, 0u);
  EXPECT_EQ(empty->Header.PackedSize, 0u);
  // Only directories without files at any depth become entries.
  EXPECT_NE(Find(locals, "hollow/inside/"), nullptr);
  EXPECT_EQ(Find(locals, "sub/"), nullptr);
}

TEST(ZipWriter, OneSmallTextFileJarHasTheDocumentedRecords) {
  TempDir t;
  CreateDir(t / "src");
  WriteFile(t / "src/note.txt", "0123456789");
  TJar jar;
  EXPECT_EQ(jar.DefaultExt(), ".JAR");
  const std::string archive = t / "one.jar";
  ASSERT_EQ(CompressDir(jar, archive, t / "src/").Files, 1);
  const std::string data = ReadFile(archive);
  const auto locals = Locals(data);
  ASSERT_EQ(locals.size(), 1u);
  const TZipLocalHeader& l = locals[0].Header;
  EXPECT_EQ(data.substr(0, 4), std::string("PK\x03\x04", 4));
  EXPECT_EQ(l.VersionNeeded, 20);
  EXPECT_EQ(l.Flags, 0);
  EXPECT_EQ(l.Method, 0);  // ten bytes grow when deflated
  EXPECT_EQ(l.Crc32, Crc32("0123456789", 10));
  EXPECT_EQ(l.PackedSize, 10u);
  EXPECT_EQ(l.UnpackedSize, 10u);
  EXPECT_EQ(l.ExtraLength, 0);
  EXPECT_EQ(l.DosTime, FileGetDate(t / "src/note.txt"));

  const std::size_t cpos = 30 + 8 + 10;
  const auto c = TZipCentralHeader::Parse(
      std::span<const std::uint8_t, 46>(reinterpret_cast<const std::uint8_t*>(&data[cpos]), 46));
  EXPECT_EQ(c.Signature, kZipCentralSig);
  EXPECT_EQ(c.VersionMadeBy, (3 << 8) | 20);  // Unix host
  EXPECT_EQ(c.InternalAttributes, 1);
  EXPECT_EQ(c.ExternalAttributes & 0xFF,
            static_cast<std::uint32_t>(FileGetAttr(t / "src/note.txt")));
  EXPECT_EQ(c.ExternalAttributes >> 16, FileGetMode(t / "src/note.txt"));
  EXPECT_EQ(c.Crc32, l.Crc32);
  const std::size_t epos = cpos + 46 + 8;
  ASSERT_EQ(data.size(), epos + 22);
  const auto e = TZipEndRecord::Parse(
      std::span<const std::uint8_t, 22>(reinterpret_cast<const std::uint8_t*>(&data[epos]), 22));
  EXPECT_EQ(e.TotalEntries, 1);
  EXPECT_EQ(e.EntriesThisDisk, 1);
  EXPECT_EQ(e.CentralOffset, cpos);
  EXPECT_EQ(e.CommentLength, 0);
}

TEST(ZipWriter, TraditionalEncryptionWorksWithPeersAndSkipsEmptyFiles) {
  TempDir t;
  MakeTree(t / "src/");
  TZip z;
  z.EncryptionMethod = emZIP_v2;
  z.Password = "s3cret";
  const std::string archive = ArchiveOf(t.path(), std::move(z));
  ExpectPeersAgree(archive, t / "src", "s3cret");
  const std::string data = ReadFile(archive);
  const auto locals = Locals(data);
  const TLocal* text = Find(locals, "text.txt");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->Header.Flags & kZipFlagEncrypted, kZipFlagEncrypted);
  EXPECT_EQ(text->Header.PackedSize, 12u + 10u);
  TZipCrypt crypt;
  const auto* h = reinterpret_cast<const std::uint8_t*>(&data[text->Offset + 30 + 8]);
  EXPECT_TRUE(crypt.CheckEncryptionHeader(std::span<const std::uint8_t, 12>(h, 12), 0,
                                          text->Header.Crc32, "s3cret", 0));
  const TLocal* empty = Find(locals, "empty.dat");
  EXPECT_EQ(empty->Header.Flags & kZipFlagEncrypted, 0);
  EXPECT_EQ(empty->Header.PackedSize, 0u);
}

TEST(ZipWriter, NamesBeyondAsciiAreWrittenAsUtf8) {
  TempDir t;
  MakeTree(t / "src/");
  WriteFile(t / "src/caf\xC3\xA9.txt", "accented name");
  const std::string archive = ArchiveOf(t.path(), TZip());
  const auto locals = Locals(ReadFile(archive));
  const TLocal* cjk = Find(locals, "\xE6\x97\xA5\xE6\x9C\xAC.txt");
  ASSERT_NE(cjk, nullptr);
  EXPECT_EQ(cjk->Header.Flags & kZipFlagUtf8, kZipFlagUtf8);
  EXPECT_EQ(Find(locals, "text.txt")->Header.Flags & kZipFlagUtf8, 0);
  // Even a name that CP437 could hold: a Unix-host reader takes OEM bytes
  // as they are, and unzip would write "caf\x82.txt".
  const TLocal* cafe = Find(locals, "caf\xC3\xA9.txt");
  ASSERT_NE(cafe, nullptr);
  EXPECT_EQ(cafe->Header.Flags & kZipFlagUtf8, kZipFlagUtf8);
  TempDir out;
  ASSERT_EQ(Sh("cd " + out.path() + " && unzip -qq " + archive), 0);
  EXPECT_EQ(ReadFile(out / "caf\xC3\xA9.txt"), "accented name");
}

TEST(ZipWriter, SameFilesAndDatesGiveIdenticalBytes) {
  TempDir t;
  MakeTree(t / "src/");
  TZip a, b;
  a.StoreEmptySubDirs = b.StoreEmptySubDirs = true;
  ASSERT_GT(CompressDir(a, t / "one.zip", t / "src/").Files, 0);
  ASSERT_GT(CompressDir(b, t / "two.zip", t / "src/").Files, 0);
  EXPECT_EQ(ReadFile(t / "one.zip"), ReadFile(t / "two.zip"));
}

TEST(ZipWriter, EncipheredHeadersHideNamesAndReadBack) {
  TempDir t;
  MakeTree(t / "src/");
  TZip z;
  z.EncryptHeaders = true;
  const std::string archive = ArchiveOf(t.path(), std::move(z));
  const std::string data = ReadFile(archive);
  EXPECT_EQ(data.substr(0, 4), std::string("PK\x03\x04", 4).replace(1, 1, "L"));
  EXPECT_EQ(data.find("big.txt"), std::string::npos);
  EXPECT_NE(data.find(std::string("PL\x01\x02", 4)), std::string::npos);
  EXPECT_EQ(data.find(std::string("PK\x01\x02", 4)), std::string::npos);
  EXPECT_NE(data.find(std::string("PK\x05\x06", 4)), std::string::npos);

  TempDir out;
  TUnZip reader;
  reader.SetArchiveFile(archive);
  reader.SetFileSpec({"*.*"});
  reader.RecurseDirs = true;
  reader.SetExtractDir(out.path());
  reader.CreateStoredDirs = true;
  EXPECT_GT(reader.Extract(), 0);
  EXPECT_EQ(ReadFile(out / "big.txt"), ReadFile(t / "src/big.txt"));
  EXPECT_EQ(ReadFile(out / "sub/deep.txt"), ReadFile(t / "src/sub/deep.txt"));
}

TEST(ZipWriter, UpdatesKeepTheArchiveValid) {
  TempDir t;
  MakeTree(t / "src/");
  const std::string archive = ArchiveOf(t.path(), TZip());

  // Refresh: a changed, newer file replaces its entry in place.
  std::vector<std::string> order;
  for (const auto& l : Locals(ReadFile(archive))) order.push_back(l.Name);
  WriteFile(t / "src/sub/deep.txt", "changed content, longer than before\n");
  FileSetDate(t / "src/sub/deep.txt", FileGetDate(t / "src/sub/deep.txt") + (1u << 16));
  {
    TZip z;
    z.Switch = swRefresh;
    z.StoreEmptySubDirs = true;
    EXPECT_GE(CompressDir(z, archive, t / "src/").Files, 1);
  }
  ExpectPeersAgree(archive, t / "src");
  std::vector<std::string> refreshed;
  for (const auto& l : Locals(ReadFile(archive))) refreshed.push_back(l.Name);
  EXPECT_EQ(refreshed, order);

  // Move: new files join the archive and their sources go away.
  CreateDir(t / "more");
  WriteFile(t / "more/added.txt", "added by a move");
  {
    TZip z;
    z.Switch = swMove;
    z.DeleteOptions = doFinal;
    EXPECT_EQ(CompressDir(z, archive, t / "more/").Files, 1);
  }
  EXPECT_FALSE(FileExists(t / "more/added.txt"));
  WriteFile(t / "src/added.txt", "added by a move");
  ExpectPeersAgree(archive, t / "src");

  // Delete: the remaining entries move up and stay readable.
  {
    TZip z;
    z.Switch = swDelete;
    z.SetArchiveFile(archive);
    z.SetFileSpec({"big.txt", "added.txt"});
    EXPECT_EQ(z.Compress(), 2);
  }
  DeleteFile(t / "src/big.txt");
  DeleteFile(t / "src/added.txt");
  ExpectPeersAgree(archive, t / "src");

  // Deleting everything leaves a bare end record.
  {
    TZip z;
    z.Switch = swDelete;
    z.SetArchiveFile(archive);
    z.SetFileSpec({"*"});
    EXPECT_GT(z.Compress(), 0);
  }
  EXPECT_EQ(ReadFile(archive), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
}

TEST(ZipWriter, CommentsAreWrittenAndRewrittenAlone) {
  TempDir t;
  MakeTree(t / "src/");
  const std::string archive = ArchiveOf(t.path(), TZip());
  const std::string before = ReadFile(archive);
  {
    TZip z;
    z.SetArchiveFile(archive);
    z.ReadComments();
    ASSERT_GT(z.CommentEntryCount(), 2u);
    EXPECT_EQ(z.ArchiveComment(), "");
    z.SetArchiveComment("archive note");
    z.SetFileComment(1, "entry note");
    EXPECT_EQ(z.UpdateComments(), static_cast<int>(z.CommentEntryCount()));
  }
  const std::string after = ReadFile(archive);
  // The entries themselves are untouched.
  const auto cd = TZipEndRecord::Parse(
                      std::span<const std::uint8_t, 22>(
                          reinterpret_cast<const std::uint8_t*>(&before[before.size() - 22]), 22))
                      .CentralOffset;
  EXPECT_EQ(after.substr(0, cd), before.substr(0, cd));
  ExpectPeersAgree(archive, t / "src");
  EXPECT_EQ(
      Sh("python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
         "assert z.comment==b'archive note'; assert z.infolist()[1].comment==b'entry note'\" '" +
         archive + "'"),
      0);

  // An ordinary update keeps both comments.
  CreateDir(t / "more");
  WriteFile(t / "more/x.txt", "x");
  TZip z;
  ASSERT_EQ(CompressDir(z, archive, t / "more/").Files, 1);
  EXPECT_EQ(
      Sh("python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
         "assert z.comment==b'archive note'; assert z.infolist()[1].comment==b'entry note'\" '" +
         archive + "'"),
      0);
}

TEST(ZipWriter, ArchiveWithoutDirectoryIsUpdatedFromItsLocalHeaders) {
  TempDir t;
  MakeTree(t / "src/");
  const std::string archive = ArchiveOf(t.path(), TZip());
  std::string data = ReadFile(archive);
  const auto locals = Locals(data);
  const TLocal& last = locals.back();
  // Cut after the last entry's data: no directory, no end record.
  WriteFile(archive, data.substr(0, last.Offset + 30 + last.Header.NameLength +
                                        last.Header.ExtraLength + last.Header.PackedSize));
  CreateDir(t / "more");
  WriteFile(t / "more/late.txt", "late");
  TZip z;
  ASSERT_EQ(CompressDir(z, archive, t / "more/").Files, 1);
  WriteFile(t / "src/late.txt", "late");
  ExpectPeersAgree(archive, t / "src");
}

TEST(ZipWriter, JarStartsWithItsManifest) {
  TempDir t;
  CreateDir(t / "src");
  WriteFile(t / "src/A.class", "class bytes");
  CreateDir(t / "src/META-INF");
  WriteFile(t / "src/META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\nMIDlet-Name: Demo\r\n\r\n");
  CreateDir(t / "src/a");
  WriteFile(t / "src/a/b.txt", "b");
  TJar jar;
  const std::string archive = t / "demo.jar";
  std::string first;
  jar.OnBegin = [&](TZipCommon&, const std::string& name, int, bool&) {
    if (first.empty()) first = name;
  };
  ASSERT_EQ(CompressDir(jar, archive, t / "src/").Files, 3);
  EXPECT_NE(first.find("MANIFEST.MF"), std::string::npos);
  const auto locals = Locals(ReadFile(archive));
  ASSERT_EQ(locals.size(), 3u);
  EXPECT_EQ(locals[0].Name, "META-INF/MANIFEST.MF");
  ExpectPeersAgree(archive, t / "src");

  WriteFile(
      t / "Check.java",
      "import java.util.jar.*; import java.io.*;\n"
      "public class Check { public static void main(String[] a) throws Exception {\n"
      "  JarInputStream j = new JarInputStream(new FileInputStream(a[0]));\n"
      "  Manifest m = j.getManifest();\n"
      "  if (m == null) System.exit(3);\n"
      "  if (!\"Demo\".equals(m.getMainAttributes().getValue(\"MIDlet-Name\"))) System.exit(4);\n"
      "} }\n");
  EXPECT_EQ(Sh("java '" + t / "Check.java" + "' '" + archive + "' >/dev/null 2>&1"), 0);
}

// An update that starts from another archive: kept entries are copied byte
// for byte in their order, dropped ones go, the source stays as it was, and
// a new manifest leads the JAR.
TEST(ZipWriter, CopyFromAnotherArchiveKeepsBytesDropsAndLeadsWithTheManifest) {
  TempDir t;
  const std::string source = t / "source.zip";
  ASSERT_EQ(Sh("cd '" + t.path() + "' && python3 -c \"import zipfile\n"
               "with zipfile.ZipFile('source.zip', 'w', zipfile.ZIP_DEFLATED) as z:\n"
               "  z.writestr('b/one.txt', 'one ' * 500)\n"
               "  z.writestr('drop.me', 'gone')\n"
               "  z.writestr('META-INF/MANIFEST.MF', 'Manifest-Version: 1.0\\r\\n')\n"
               "  z.writestr(zipfile.ZipInfo('two.bin', (2001, 2, 3, 4, 5, 6)), bytes(range(256)))\n"
               "  z.comment = b'kept comment'\""),
            0);
  const std::string before = ReadFile(source);
  CreateDir(t / "new");
  CreateDir(t / "new/META-INF");
  WriteFile(t / "new/META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\nMIDlet-Name: N\r\n");

  TJar jar;
  jar.SourceArchive = source;
  jar.StoredDirNames = sdRelative;
  std::vector<std::string> offered;
  jar.DropOldEntry = [&](const std::string& name) {
    offered.push_back(name);
    return name == "drop.me" || name == "META-INF/MANIFEST.MF";
  };
  const TRun r = CompressDir(jar, t / "out.jar", t / "new/");
  EXPECT_EQ(r.Files, 1);
  EXPECT_TRUE(r.Errors.empty());
  EXPECT_EQ(offered.size(), 4u);
  EXPECT_EQ(ReadFile(source), before);

  const std::string out = ReadFile(t / "out.jar");
  const auto in = Locals(before);
  const auto got = Locals(out);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].Name, "META-INF/MANIFEST.MF");
  EXPECT_EQ(got[1].Name, "b/one.txt");
  EXPECT_EQ(got[2].Name, "two.bin");
  for (std::size_t k = 1; k < got.size(); ++k) {
    const TLocal* old = Find(in, got[k].Name);
    ASSERT_NE(old, nullptr);
    const std::size_t length = 30 + old->Header.NameLength + old->Header.ExtraLength +
                               old->Header.PackedSize;
    EXPECT_EQ(out.substr(static_cast<std::size_t>(got[k].Offset), length),
              before.substr(static_cast<std::size_t>(old->Offset), length))
        << got[k].Name;
  }
  EXPECT_EQ(Sh("7zz t '" + t / "out.jar" + "' >/dev/null 2>&1"), 0);
  EXPECT_EQ(Sh("python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
               "assert z.testzip() is None and z.comment == b'kept comment'\" '" +
               t / "out.jar" + "'"),
            0);
}

}  // namespace
}  // namespace qmx
