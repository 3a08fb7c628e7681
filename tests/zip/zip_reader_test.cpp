// TUnZip / TUnJar against archives written by other tools, real-world
// files, damaged archives and hostile names. Every extracted byte is
// compared with the source tree or with what a peer extractor produced.
#include "archive/zip/zip_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/platform/disk_service.h"
#include "archive/zip/disk_spann.h"
#include "support/corpus.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using namespace qmx;
using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

namespace {

const std::string kCorpus = test::CorpusDir() + "/zip/";

struct TRunResult {
  int count = 0;
  // Output path relative to the extraction directory -> CRC verdict.
  std::map<std::string, bool> verdicts;
  std::vector<int> errors;
  int corruptPrompts = 0;
  int Passed() const {
    int n = 0;
    for (auto& [name, pass] : verdicts) n += pass;
    return n;
  }
  bool AllPassed() const {
    return !verdicts.empty() && Passed() == static_cast<int>(verdicts.size());
  }
  bool HasError(int code) const {
    return std::find(errors.begin(), errors.end(), code) != errors.end();
  }
};

using TSetup = std::function<void(TUnZip&)>;

template <class TReader = TUnZip>
TRunResult ExtractWith(const std::string& archive, const std::string& dir,
                       const TSetup& setup = {}) {
  TReader z;
  TRunResult r;
  if (!std::filesystem::exists(archive)) ADD_FAILURE() << "missing archive " << archive;
  z.SetArchiveFile(archive);
  z.SetExtractDir(dir);
  z.SetFileSpec({"*.*"});
  z.OnEnd = [&](TZipCommon&, const std::string& name, bool pass) {
    std::string rel = name.compare(0, dir.size(), dir) == 0 ? name.substr(dir.size()) : name;
    r.verdicts[rel] = pass;
  };
  z.OnError = [&](TZipCommon&, const std::string&, const std::string&, const std::string&,
                  int code) { r.errors.push_back(code); };
  z.OnNextVolume = [](TZipCommon&, std::string&, int, bool exists, bool& cancel) {
    cancel = !exists;
  };
  if (setup) setup(z);
  r.count = z.Extract();
  return r;
}

bool IsAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// Every regular file under ref must exist under ours with the same bytes.
// A name with non-ASCII characters may be spelled differently by the peer
// (code pages); such a file is looked up by content in the same directory.
// Returns the number of files compared; differences go to failures.
int CompareTrees(const std::string& ref, const std::string& ours,
                 std::vector<std::string>& failures) {
  int compared = 0;
  if (!fs::exists(ref)) return 0;
  for (auto& e : fs::recursive_directory_iterator(ref)) {
    if (e.is_symlink() || !e.is_regular_file()) continue;
    const std::string rel = fs::relative(e.path(), ref).string();
    const fs::path mine = fs::path(ours) / rel;
    const std::string want = ReadFile(e.path().string());
    ++compared;
    if (fs::is_regular_file(mine)) {
      if (want != ReadFile(mine.string())) failures.push_back("differs " + rel);
      continue;
    }
    bool found = false;
    const fs::path dir = mine.parent_path();
    if (!IsAscii(rel) && fs::is_directory(dir))
      for (auto& m : fs::directory_iterator(dir))
        if (m.is_regular_file() && !IsAscii(m.path().filename().string()) &&
            ReadFile(m.path().string()) == want)
          found = true;
    if (!found) failures.push_back("missing " + rel);
  }
  return compared;
}

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (auto& x : v) s += x + "\n";
  return s;
}

int Sh(const std::string& cmd) {
  return qmx::test::Run(cmd);
}

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

// A small tree with text, binary, an empty file and nested directories.
void MakeSourceTree(const std::string& root) {
  fs::create_directories(root + "sub/deeper");
  std::string text;
  for (int i = 0; i < 4000; ++i) text += "line " + std::to_string(i) + " of some text\n";
  WriteFile(root + "text.txt", text);
  std::string bin(150000, '\0');
  std::uint32_t x = 12345;
  for (auto& c : bin) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  WriteFile(root + "sub/random.bin", bin);
  WriteFile(root + "sub/deeper/empty.txt", "");
  WriteFile(root + "sub/deeper/small.txt", "small\n");
}

bool HaveTool(const std::string& tool) {
  return Sh("command -v " + tool + " >/dev/null 2>&1") == 0;
}

class ZipReaderInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    src_ = tmp_ / "src/";
    MakeSourceTree(src_);
  }
  // Extracts archive with us and checks the result against the source tree.
  void ExpectSameAsSource(const std::string& archive, const std::string& label) {
    const std::string out = tmp_ / (label + "-out/");
    TRunResult r = ExtractWith(archive, out);
    std::vector<std::string> failures;
    EXPECT_EQ(CompareTrees(src_, out, failures), 4) << label;
    EXPECT_TRUE(failures.empty()) << label << ":\n" << Join(failures);
    EXPECT_TRUE(r.AllPassed()) << label;
    EXPECT_TRUE(r.errors.empty()) << label << " first error "
                                  << (r.errors.empty() ? 0 : r.errors[0]);
  }
  TempDir tmp_;
  std::string src_;
};

TEST_F(ZipReaderInterop, InfoZipStoredDeflatedCommentedAndSelfExtracting) {
  ASSERT_TRUE(HaveTool("zip"));
  const std::string stored = tmp_ / "stored.zip", deflated = tmp_ / "deflated.zip",
                    commented = tmp_ / "commented.zip";
  ASSERT_EQ(Sh("cd " + Quote(src_) + " && zip -q -r -0 " + Quote(stored) + " ."), 0);
  ASSERT_EQ(Sh("cd " + Quote(src_) + " && zip -q -r -9 " + Quote(deflated) + " ."), 0);
  ASSERT_EQ(Sh("cd " + Quote(src_) + " && echo 'an archive comment' | zip -q -r -z " +
               Quote(commented) + " ."),
            0);
  ExpectSameAsSource(stored, "stored");
  ExpectSameAsSource(deflated, "deflated");
  ExpectSameAsSource(commented, "commented");

  // A stub in front with offsets adjusted by zip -A, and plain junk in
  // front with the offsets left as they were.
  const std::string sfx = tmp_ / "sfx.exe", junk = tmp_ / "junk.zip";
  ASSERT_EQ(
      Sh("cat /bin/true " + Quote(deflated) + " > " + Quote(sfx) + " && zip -q -A " + Quote(sfx)),
      0);
  ExpectSameAsSource(sfx, "sfx");
  WriteFile(junk, std::string(5000, 'J') + ReadFile(deflated));
  ExpectSameAsSource(junk, "junk");
}

TEST_F(ZipReaderInterop, SevenZipAndPythonZip64) {
  ASSERT_TRUE(HaveTool("7zz"));
  const std::string a0 = tmp_ / "m0.zip", a5 = tmp_ / "m5.zip", z64 = tmp_ / "z64.zip";
  ASSERT_EQ(Sh("cd " + Quote(src_) + " && 7zz a -tzip -mx0 " + Quote(a0) + " . >/dev/null"), 0);
  ASSERT_EQ(Sh("cd " + Quote(src_) + " && 7zz a -tzip " + Quote(a5) + " . >/dev/null"), 0);
  ExpectSameAsSource(a0, "7z-mx0");
  ExpectSameAsSource(a5, "7z-default");
  const std::string py =
      "import zipfile,os\n"
      "with zipfile.ZipFile(" +
      Quote(z64) +
      ",'w',zipfile.ZIP_DEFLATED) as z:\n"
      "  for d,_,fs in os.walk('.'):\n"
      "    for f in fs:\n"
      "      p=os.path.join(d,f)[2:]\n"
      "      with z.open(p,'w',force_zip64=True) as o: o.write(open(p,'rb').read())\n";
  WriteFile(tmp_ / "mk.py", py);
  ASSERT_EQ(Sh("cd " + Quote(src_) + " && python3 " + Quote(tmp_ / "mk.py")), 0);
  ExpectSameAsSource(z64, "zip64");
}

TEST_F(ZipReaderInterop, JarToolArchiveWithDescriptorsAndUtf8Names) {
  ASSERT_TRUE(HaveTool("jar"));
  WriteFile(src_ + "sub/\xd1\x82\xd0\xb5\xd1\x81\xd1\x82.txt", "cyrillic name\n");
  const std::string jar = tmp_ / "app.jar";
  ASSERT_EQ(Sh("cd " + Quote(src_) + " && jar cf " + Quote(jar) + " ."), 0);
  const std::string out = tmp_ / "jar-out/", ref = tmp_ / "jar-ref/";
  TRunResult r = ExtractWith<TUnJar>(jar, out, [](TUnZip& z) {
    EXPECT_EQ(z.ArcType(), atJar);
    z.CreateStoredDirs = true;
  });
  ASSERT_EQ(Sh("LC_ALL=C.UTF-8 7zz x -y -o" + Quote(ref) + " " + Quote(jar) + " >/dev/null"), 0);
  std::vector<std::string> failures;
  EXPECT_EQ(CompareTrees(ref, out, failures), 6);  // 5 files + the manifest
  EXPECT_TRUE(failures.empty()) << Join(failures);
  EXPECT_TRUE(fs::is_directory(out + "META-INF"));
  // Flagged UTF-8: the name is taken as it is, not through the OEM code page.
  EXPECT_EQ(ReadFile(out + "sub/\xd1\x82\xd0\xb5\xd1\x81\xd1\x82.txt"), "cyrillic name\n");
  // Directories pass as directories, never as files that fail to open.
  EXPECT_FALSE(r.HasError(E_OPEN_FILE));
  for (auto& [name, pass] : r.verdicts) EXPECT_TRUE(pass) << name;
}

TEST_F(ZipReaderInterop, SplitArchiveAcrossVolumes) {
  ASSERT_TRUE(HaveTool("zip"));
  const std::string split = tmp_ / "split/set.zip";
  fs::create_directories(tmp_ / "split");
  ASSERT_EQ(Sh("cd " + Quote(src_) + " && zip -q -r -s 64k " + Quote(split) + " ."), 0);
  ASSERT_TRUE(fs::exists(tmp_ / "split/set.z01"));
  ASSERT_TRUE(fs::exists(tmp_ / "split/set.z02"));
  std::vector<int> asked;
  const std::string out = tmp_ / "split-out/";
  TRunResult r = ExtractWith(split, out, [&](TUnZip& z) {
    EXPECT_EQ(z.ArcType(), atZipMV);
    z.OnNextVolume = [&](TZipCommon&, std::string&, int id, bool exists, bool& cancel) {
      asked.push_back(id);
      cancel = !exists;
    };
  });
  std::vector<std::string> failures;
  EXPECT_EQ(CompareTrees(src_, out, failures), 4);
  EXPECT_TRUE(failures.empty()) << Join(failures);
  EXPECT_TRUE(r.AllPassed());
  EXPECT_GE(asked.size(), 2u);

  // Refusing the next volume ends the run with "User canceled".
  TRunResult refused = ExtractWith(split, tmp_ / "split-refused/", [](TUnZip& z) {
    z.OnNextVolume = [](TZipCommon&, std::string&, int, bool, bool& cancel) { cancel = true; };
  });
  EXPECT_TRUE(refused.HasError(E_USER_CANCELED));
  EXPECT_LT(refused.Passed(), 4);
}

// One removable drive whose disk the test changes.
class TFakeDrive : public TDiskService {
 public:
  std::string Label;
  bool DriveOf(const std::string&, TDriveInfo& info) override {
    info.Drive = "/media/floppy";
    info.Type = drvRemovable;
    info.Label = Label;
    return true;
  }
  bool DiskSpace(const std::string&, std::int64_t& freeBytes, std::int64_t& totalBytes) override {
    freeBytes = totalBytes = 1 << 20;
    return true;
  }
};

TEST_F(ZipReaderInterop, SpannedDisksAreAskedForByNumber) {
  ASSERT_TRUE(HaveTool("zip"));
  fs::create_directories(tmp_ / "vols");
  fs::create_directories(tmp_ / "drive");
  ASSERT_EQ(Sh("cd " + Quote(src_) + " && zip -q -r -s 64k " + Quote(tmp_ / "vols/set.zip") + " ."),
            0);
  int disks = 1;
  while (fs::exists(tmp_ / ("vols/set.z0" + std::to_string(disks)))) ++disks;
  ASSERT_GE(disks, 3);
  auto fake = std::make_shared<TFakeDrive>();
  SetDiskService(fake);
  struct TRestoreDisks {
    ~TRestoreDisks() { SetDiskService(nullptr); }
  } restoreDisks;
  const std::string onDrive = tmp_ / "drive/set.zip";
  std::vector<int> asked;
  auto insert = [&](int n) {
    asked.push_back(n);
    const std::string vol = n == disks ? "vols/set.zip" : "vols/set.z0" + std::to_string(n);
    fs::copy_file(tmp_ / vol, onDrive, fs::copy_options::overwrite_existing);
    char label[32];
    std::snprintf(label, sizeof label, "PKBACK# %03d", n);
    fake->Label = label;
  };
  insert(disks);
  asked.clear();

  const std::string out = tmp_ / "spanned-out/";
  TRunResult r = ExtractWith(onDrive, out, [&](TUnZip& z) {
    EXPECT_EQ(z.ArcType(), atZipDS);
    z.OnGetZipLastDisk = [&](TZipCommon&, bool& cancel) { insert(disks), cancel = false; };
    z.OnGetZipFirstDisk = [&](TZipCommon&, bool& cancel) { insert(1), cancel = false; };
    z.OnGetZipNextDisk = [&](TZipCommon&, const std::string& v, bool& cancel) {
      insert(std::stoi(v)), cancel = false;
    };
  });
  std::vector<std::string> failures;
  EXPECT_EQ(CompareTrees(src_, out, failures), 4);
  EXPECT_TRUE(failures.empty()) << Join(failures);
  EXPECT_TRUE(r.AllPassed());
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked.front(), 1);  // the last disk was already in the drive
  EXPECT_TRUE(std::is_sorted(asked.begin(), asked.end()));

  // A request left cancelled ends the run; an unassigned one is reported.
  insert(disks);
  TRunResult refused = ExtractWith(onDrive, tmp_ / "refused/", [](TUnZip& z) {
    z.OnGetZipFirstDisk = [](TZipCommon&, bool&) {};
  });
  EXPECT_TRUE(refused.HasError(E_USER_CANCELED));
  EXPECT_TRUE(refused.verdicts.empty());
  insert(disks);
  TRunResult missing = ExtractWith(onDrive, tmp_ / "missing/");
  EXPECT_TRUE(missing.HasError(E_EVENT_NOT_ASSIGNED));
  EXPECT_TRUE(missing.verdicts.empty());
}

// Exits 0 when the password fails the header check of every encrypted
// entry of the archive, 1 when it passes one (traditional ZIP encryption).
const char kWrongPassesCheckPy[] = R"PY(
import struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
password = sys.argv[2].encode()
def crc(c, b):
    return zlib.crc32(bytes([b]), c ^ 0xffffffff) ^ 0xffffffff
pos = 0
while True:
    pos = data.find(b'PK\x03\x04', pos)
    if pos < 0:
        sys.exit(0)
    flags, method, mtime, mdate, crc32, csize, usize, nlen, xlen = struct.unpack(
        '<HHHHIIIHH', data[pos + 6:pos + 30])
    start = pos + 30 + nlen + xlen
    if flags & 1:
        k = [0x12345678, 0x23456789, 0x34567890]
        def update(b):
            k[0] = crc(k[0], b)
            k[1] = ((k[1] + (k[0] & 0xff)) * 134775813 + 1) & 0xffffffff
            k[2] = crc(k[2], k[1] >> 24)
        for b in password:
            update(b)
        last = 0
        for b in data[start:start + 12]:
            t = (k[2] | 2) & 0xffff
            last = b ^ (((t * (t ^ 1)) >> 8) & 0xff)
            update(last)
        check = (mtime >> 8) if flags & 8 else (crc32 >> 24)
        if last == check:
            sys.exit(1)
    pos = start
)PY";

TEST_F(ZipReaderInterop, PasswordsDecideEntryByEntry) {
  ASSERT_TRUE(HaveTool("zip"));
  const std::string arc = tmp_ / "enc.zip";
  // zip draws each encryption header at random, and a wrong password passes
  // the one-byte check of a header once in 256: the archive is made again
  // until "wrong" fails every check, so the count of questions is certain.
  WriteFile(tmp_ / "wrong_passes.py", kWrongPassesCheckPy);
  bool settled = false;
  for (int attempt = 0; attempt < 20 && !settled; ++attempt) {
    ASSERT_EQ(Sh("rm -f " + Quote(arc) + " && cd " + Quote(src_) + " && zip -q -P secret " +
                 Quote(arc) + " text.txt sub/random.bin && zip -q " + Quote(arc) +
                 " sub/deeper/small.txt"),
              0);
    settled = Sh("python3 " + Quote(tmp_ / "wrong_passes.py") + " " + Quote(arc) + " wrong") == 0;
  }
  ASSERT_TRUE(settled);
  const std::string good = tmp_ / "good/";
  // Only the right password here: a wrong one passes the one-byte check by
  // chance once in 256 headers (the order of trying is tested elsewhere).
  TRunResult ok = ExtractWith(arc, good, [](TUnZip& z) { z.SetPasswords({"secret"}); });
  EXPECT_EQ(ok.Passed(), 3);
  EXPECT_EQ(ReadFile(good + "sub/random.bin"), ReadFile(src_ + "sub/random.bin"));
  EXPECT_EQ(ReadFile(good + "text.txt"), ReadFile(src_ + "text.txt"));

  // A wrong password fails the encrypted entries only and writes nothing for them.
  const std::string bad = tmp_ / "bad/";
  int asked = 0;
  TRunResult wrong = ExtractWith(arc, bad, [&](TUnZip& z) {
    z.PasswordAttempts = 2;
    z.OnGetPassword = [&](TZipCommon&, const std::string&, std::string& pw, bool& again) {
      ++asked;
      pw = "wrong";
      again = true;
    };
  });
  EXPECT_EQ(asked, 4);
  EXPECT_FALSE(wrong.verdicts["text.txt"]);
  EXPECT_FALSE(wrong.verdicts["sub/random.bin"]);
  EXPECT_TRUE(wrong.verdicts["sub/deeper/small.txt"]);
  EXPECT_FALSE(fs::exists(bad + "text.txt"));
  EXPECT_EQ(ReadFile(bad + "sub/deeper/small.txt"), "small\n");
}

// ---------------------------------------------------------------- damaged

class ZipReaderDamaged : public ZipReaderInterop {};

TEST_F(ZipReaderDamaged, CutCentralDirectoryFallsBackToLocalHeaders) {
  ASSERT_TRUE(HaveTool("zip") && HaveTool("jar"));
  const std::string arc = tmp_ / "whole.zip", jar = tmp_ / "whole.jar";
  ASSERT_EQ(Sh("cd " + Quote(src_) + " && zip -q -r -D " + Quote(arc) + " ."), 0);
  ASSERT_EQ(Sh("cd " + Quote(src_) + " && jar cfM " + Quote(jar) + " text.txt sub"), 0);
  for (const std::string& whole : {arc, jar}) {
    // Cut just after the last entry's data: no central directory, no end record.
    std::string bytes = ReadFile(whole);
    const std::size_t cd = bytes.rfind(std::string("PK\x01\x02", 4));
    ASSERT_NE(cd, std::string::npos);
    std::size_t firstCd = cd;
    for (std::size_t p = bytes.find(std::string("PK\x01\x02", 4)); p != std::string::npos;
         p = bytes.find(std::string("PK\x01\x02", 4), p + 1))
      firstCd = std::min(firstCd, p);
    const std::string cut = whole + ".cut.zip";
    WriteFile(cut, bytes.substr(0, firstCd));

    THeaderTypeState seen;
    const std::string out = cut + "-out/";
    TRunResult r = ExtractWith(cut, out, [&](TUnZip& z) {
      z.OnCorruptZipHeader = [&](TZipCommon&, THeaderTypeState flags, bool& cancel) {
        seen = flags;
        EXPECT_TRUE(cancel);
        cancel = false;
      };
    });
    EXPECT_EQ(seen, THeaderTypeState{htLocal});
    std::vector<std::string> failures;
    EXPECT_EQ(CompareTrees(src_, out, failures), 4) << whole;
    EXPECT_TRUE(failures.empty()) << whole << "\n" << Join(failures);
    EXPECT_TRUE(r.AllPassed()) << whole;

    // Without a handler the scan runs as well.
    TRunResult unasked = ExtractWith(cut, cut + "-unasked/");
    EXPECT_TRUE(unasked.AllPassed()) << whole;
    EXPECT_EQ(unasked.verdicts.size(), r.verdicts.size()) << whole;

    // Leaving Cancel set: nothing extracted, nothing reported.
    TRunResult declined = ExtractWith(cut, cut + "-declined/", [](TUnZip& z) {
      z.OnCorruptZipHeader = [](TZipCommon&, THeaderTypeState, bool&) {};
    });
    EXPECT_EQ(declined.count, 0);
    EXPECT_TRUE(declined.errors.empty());
    EXPECT_TRUE(declined.verdicts.empty());
    EXPECT_FALSE(fs::exists(cut + "-declined/text.txt"));
  }
}

TEST_F(ZipReaderDamaged, HostileNamesStayInsideExtractDir) {
  const std::string arc = tmp_ / "evil.zip";
  const std::string py =
      "import zipfile\n"
      "with zipfile.ZipFile(" +
      Quote(arc) +
      ",'w') as z:\n"
      "  z.writestr('../escape.txt', b'dotdot')\n"
      "  z.writestr('/abs/rooted.txt', b'rooted')\n"
      "  z.writestr('a/../../b.txt', b'middle')\n";
  WriteFile(tmp_ / "evil.py", py);
  ASSERT_EQ(Sh("python3 " + Quote(tmp_ / "evil.py")), 0);
  const std::string out = tmp_ / "jail/inner/";
  fs::create_directories(out);
  TRunResult r = ExtractWith(arc, out);
  EXPECT_TRUE(r.HasError(E_INVALID_NAME));
  EXPECT_FALSE(fs::exists(tmp_ / "jail/escape.txt"));
  EXPECT_FALSE(fs::exists(tmp_ / "jail/b.txt"));
  EXPECT_FALSE(fs::exists("/abs/rooted.txt"));
  EXPECT_EQ(ReadFile(out + "escape.txt"), "dotdot");
  EXPECT_EQ(ReadFile(out + "abs/rooted.txt"), "rooted");
  EXPECT_EQ(ReadFile(out + "a/b.txt"), "middle");
}

TEST_F(ZipReaderDamaged, DirectoryRuleDependsOnArchiveType) {
  // "d/" with external attributes 0: a directory in a JAR by its name; in a
  // ZIP by its name too since it is empty (as unzip and 7-Zip take it), or
  // by the attribute 0x10.
  const std::string py =
      "import zipfile,sys\n"
      "for name,attr in ((sys.argv[1],0),(sys.argv[2],0),(sys.argv[3],0x10)):\n"
      "  with zipfile.ZipFile(name,'w') as z:\n"
      "    i=zipfile.ZipInfo('d/'); i.external_attr=attr; z.writestr(i,b'')\n"
      "    z.writestr('d/f.txt', b'inside')\n";
  WriteFile(tmp_ / "dirs.py", py);
  const std::string jar = tmp_ / "dirs.jar", zip0 = tmp_ / "dirs0.zip", zip10 = tmp_ / "dirs10.zip";
  ASSERT_EQ(Sh("python3 " + Quote(tmp_ / "dirs.py") + " " + Quote(jar) + " " + Quote(zip0) + " " +
               Quote(zip10)),
            0);
  auto withDirs = [](TUnZip& z) { z.CreateStoredDirs = true; };
  TRunResult j = ExtractWith<TUnJar>(jar, tmp_ / "j/", withDirs);
  EXPECT_TRUE(j.errors.empty());
  EXPECT_EQ(j.Passed(), 2);
  TRunResult z0 = ExtractWith(zip0, tmp_ / "z0/", withDirs);
  EXPECT_TRUE(z0.errors.empty());
  EXPECT_EQ(z0.Passed(), 2);
  EXPECT_EQ(ReadFile(tmp_ / "z0/d/f.txt"), "inside");
  TRunResult z10 = ExtractWith(zip10, tmp_ / "z10/", withDirs);
  EXPECT_TRUE(z10.errors.empty());
  EXPECT_EQ(z10.Passed(), 2);
}

TEST_F(ZipReaderDamaged, DescriptorEntryChecksTheCentralCrc) {
  // Written to a stream that cannot seek: flag bit 3, local CRC 0.
  const std::string arc = tmp_ / "desc.zip";
  const std::string py =
      "import zipfile,io\n"
      "class W(io.RawIOBase):\n"
      "  def __init__(s,f): s.f=f\n"
      "  def writable(s): return True\n"
      "  def write(s,d): return s.f.write(d)\n"
      "with open(" +
      Quote(arc) +
      ",'wb') as f:\n"
      "  with zipfile.ZipFile(W(f),'w',zipfile.ZIP_STORED) as z:\n"
      "    z.writestr('s.txt', b'stored with descriptor'*100)\n";
  WriteFile(tmp_ / "desc.py", py);
  ASSERT_EQ(Sh("python3 " + Quote(tmp_ / "desc.py")), 0);
  TRunResult good = ExtractWith(arc, tmp_ / "good/");
  EXPECT_EQ(good.Passed(), 1);
  // A changed data byte fails against the central CRC.
  std::string bytes = ReadFile(arc);
  bytes[30 + 5 + 10] ^= 1;
  WriteFile(arc, bytes);
  TRunResult bad = ExtractWith(arc, tmp_ / "bad/");
  ASSERT_EQ(bad.verdicts.size(), 1u);
  EXPECT_FALSE(bad.verdicts.begin()->second);
}

TEST_F(ZipReaderDamaged, TinyAndEmptyFilesYieldNothing) {
  // A lone end record: the search window misses it.
  WriteFile(tmp_ / "end.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  WriteFile(tmp_ / "empty.zip", "");
  for (const char* name : {"end.zip", "empty.zip"}) {
    TRunResult r = ExtractWith(tmp_ / name, tmp_ / "out/");
    EXPECT_EQ(r.count, 0) << name;
    EXPECT_TRUE(r.verdicts.empty()) << name;
  }
}

// ---------------------------------------------------------------- corpus

TEST(ZipReaderCorpus, LegacyMethodsMatchTheOriginals) {
  TempDir tmp;
  const std::string exp = kCorpus + "expected/sharpcompress/";
  for (const char* name : {"Zip.shrink.zip", "Zip.reduce1.zip", "Zip.reduce2.zip",
                           "Zip.reduce3.zip", "Zip.reduce4.zip"}) {
    const std::string out = tmp / (std::string(name) + "/");
    TRunResult r = ExtractWith(kCorpus + "legacy/sharpcompress/" + name, out,
                               [](TUnZip& z) { z.TranslateOemChar = false; });
    EXPECT_EQ(r.Passed(), 3) << name;
    EXPECT_EQ(ReadFile(out + "TEST.EXE"), ReadFile(exp + "test.exe")) << name;
    EXPECT_EQ(ReadFile(out + "TEST.JPG"), ReadFile(exp + "test.jpg")) << name;
  }
  for (const char* name : {"shrink.zip", "reduce.zip"}) {
    const std::string out = tmp / (std::string("z2-") + name + "/");
    TRunResult r = ExtractWith(kCorpus + "legacy/zip2/" + name, out);
    EXPECT_EQ(r.Passed(), 1) << name;
    std::string got = r.verdicts.empty() ? "" : ReadFile(out + r.verdicts.begin()->first);
    EXPECT_EQ(got, ReadFile(kCorpus + "expected/zip2/first.txt")) << name;
  }
  // Method 7 has no decoder: reported, skipped, and the run goes on.
  TRunResult moby = ExtractWith(kCorpus + "legacy/commons-compress/moby.zip", tmp / "moby/");
  EXPECT_TRUE(moby.HasError(E_UNSUPPORTED_METHOD));
  EXPECT_EQ(moby.Passed(), 0);
}

TEST(ZipReaderCorpus, SplitSetsMatchSevenZip) {
  ASSERT_TRUE(HaveTool("7zz"));
  TempDir tmp;
  int compared = 0;
  for (const char* set : {"infozip-3/split_zip_created_by_zip.zip",
                          "infozip-3-zip64/split_zip_created_by_zip_zip64.zip",
                          "winrar-3/split_zip_created_by_winrar.zip",
                          "infozip/Infozip.nocomp.multi.zip", "winzip/WinZip26.nocomp.multi.zip"}) {
    const std::string arc = kCorpus + "split/" + set;
    const std::string tag = fs::path(set).stem().string();
    const std::string ref = tmp / (tag + "-ref/"), out = tmp / (tag + "-out/");
    ASSERT_EQ(
        Sh("LC_ALL=C.UTF-8 7zz x -y -pX -o" + Quote(ref) + " " + Quote(arc) + " >/dev/null 2>&1"),
        0);
    TRunResult r = ExtractWith(arc, out);
    std::vector<std::string> failures;
    const int n = CompareTrees(ref, out, failures);
    EXPECT_GT(n, 0) << set;
    EXPECT_TRUE(failures.empty()) << set << "\n" << Join(failures);
    EXPECT_TRUE(r.AllPassed()) << set;
    compared += n;
  }
  EXPECT_GT(compared, 5);
}

// Every entry we pass must be byte-identical to a peer's output, taken from
// whichever peer extracts the archive without an error.
TEST(ZipReaderCorpus, EveryPassingEntryMatchesThePeers) {
  ASSERT_TRUE(HaveTool("7zz") && HaveTool("unzip"));
  TempDir tmp;
  const std::vector<std::string> passwords = {"test", "hello", "password", "12345678"};
  int archives = 0, compared = 0;
  std::vector<std::string> failures;
  for (const char* folder :
       {"legacy", "descriptor", "names", "comments", "sfx", "zip64", "misc", "damaged", "crypto"}) {
    if (!fs::exists(kCorpus + folder)) continue;
    for (auto& e : fs::recursive_directory_iterator(kCorpus + folder)) {
      if (!e.is_regular_file() || e.file_size() > (8u << 20)) continue;
      const std::string ext = e.path().extension().string();
      if (ext == ".uu" || ext == ".txt" || ext == ".md") continue;
      ++archives;
      const std::string arc = Quote(e.path().string());
      const std::string tag = std::to_string(archives);
      const std::string ref = tmp / (tag + "-ref/"), out = tmp / (tag + "-out/");
      bool peerOk = false;
      for (const std::string& pw : passwords) {
        fs::remove_all(ref);
        if (Sh("LC_ALL=C.UTF-8 7zz x -y -p" + pw + " -o" + Quote(ref) + " " + arc +
               " >/dev/null 2>&1") == 0 ||
            (fs::remove_all(ref), Sh("unzip -qq -P " + pw + " " + arc + " -d " + Quote(ref) +
                                     " >/dev/null 2>&1") == 0)) {
          peerOk = true;
          break;
        }
      }
      TRunResult r =
          ExtractWith(e.path().string(), out, [&](TUnZip& z) { z.SetPasswords(passwords); });
      if (!peerOk) continue;
      for (auto& [rel, pass] : r.verdicts) {
        if (!pass || !fs::is_regular_file(out + rel)) continue;
        if (fs::is_symlink(ref + rel) || !fs::is_regular_file(ref + rel)) continue;
        ++compared;
        if (ReadFile(out + rel) != ReadFile(ref + rel))
          failures.push_back(e.path().string() + ": " + rel);
      }
    }
  }
  EXPECT_GT(archives, 100);
  EXPECT_GT(compared, 200);
  EXPECT_TRUE(failures.empty()) << Join(failures);
}

}  // namespace
