#include "archive/base/compress_framework.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "archive/base/names.h"
#include "archive/platform/files.h"
#include "support/temp_dir.h"

namespace qmx {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// A made-up container: per entry a 28-byte header ("FK01", name length,
// DOS date, attributes, size, packed size, method), the name and the data;
// then "FEND" and the entry count. An empty archive is "FEMPTY".
constexpr int kHead = 28;

std::uint32_t Get32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  std::memcpy(p, &v, 4);
}

struct FakeItem {
  std::string name;
  std::string data;  // inflated
  std::uint32_t method = 0;
};

std::string Inflate(const std::string& in, std::size_t size) {
  std::string out(size, '\0');
  z_stream zs{};
  inflateInit2(&zs, -15);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  inflate(&zs, Z_FINISH);
  inflateEnd(&zs);
  return out;
}

// Parses a fake archive; an empty result for "FEMPTY".
std::vector<FakeItem> Parse(const std::string& bytes) {
  std::vector<FakeItem> items;
  std::size_t p = 0;
  while (p + kHead <= bytes.size() && bytes.compare(p, 4, "FK01") == 0) {
    auto h = reinterpret_cast<const std::uint8_t*>(bytes.data() + p);
    FakeItem it;
    const std::uint32_t nameLen = Get32(h + 4), size = Get32(h + 16), packed = Get32(h + 20);
    it.method = h[24];
    it.name = bytes.substr(p + kHead, nameLen);
    const std::string data = bytes.substr(p + kHead + nameLen, packed);
    it.data = it.method == 8 ? Inflate(data, size) : data;
    items.push_back(it);
    p += kHead + nameLen + packed;
  }
  return items;
}

std::vector<std::string> Names(const std::vector<FakeItem>& items) {
  std::vector<std::string> n;
  for (const auto& i : items) n.push_back(i.name);
  return n;
}

class FakeWriter : public TCompBase {
 public:
  FakeWriter() { SetWriterDefaults(".FAK", {cmStore, cmDeflate}, cmDeflate); }

  std::function<void()> OnFinishHeader;  // may raise errors
  bool emptyWritten = false;

  using TCustomCClass::AddFileToList;

 protected:
  int GetHeadSize() override { return kHead; }
  std::uint8_t* GetHeadPtr() override { return head_; }

  void InitLocalHeader(TByteBlock& h, const TSearchRec& info) override {
    std::memcpy(h.data(), "FK01", 4);
    Put32(h.data() + 8, info.DosTime);
    Put32(h.data() + 12, info.Attr);
    Put32(h.data() + 16, static_cast<std::uint32_t>(info.Size));
  }
  void LoadEntryHeader(TByteBlock& block, std::size_t, TEntryHeaderInfo& info) override {
    std::memcpy(head_, block.data(), kHead);
    info.DosDate = Get32(head_ + 8);
    info.Attributes = Get32(head_ + 12);
    info.Size = Get32(head_ + 16);
    info.PackedSize = Get32(head_ + 20);
  }
  void FinishLocalHeader(std::int64_t packed, std::int64_t unpacked) override {
    if (OnFinishHeader) OnFinishHeader();
    Put32(head_ + 4, static_cast<std::uint32_t>(FEntryStoredName.size()));
    Put32(head_ + 16, static_cast<std::uint32_t>(unpacked));
    Put32(head_ + 20, static_cast<std::uint32_t>(packed));
    head_[24] = FEntryStored ? 0 : 8;
  }
  // Header, name, data stored or deflated (a small file that deflating would
  // grow is stored), then the header again with the final sizes.
  bool WriteEntry(TStream32& out, std::size_t index, TWorkList& list) override {
    const std::string path = list.Name(index);
    const std::int32_t attr = FileGetAttr(path);
    FEntryIsDir = attr >= 0 && (static_cast<std::uint32_t>(attr) & faDirectory) != 0;
    FEntryStoredName = NameToArchive(FFileName, TranslateOemChar);
    FEntryFileSize = 0;
    out.Seek(0, soFromEnd);
    FEntryHeadPos = out.Position();
    const auto nameLen = static_cast<std::int64_t>(FEntryStoredName.size());
    auto writeHead = [&] {
      out.Seek(FEntryHeadPos, soFromBeginning);
      WriteBlock(&out, head_, false, kHead, 0);
      WriteBlock(&out, FEntryStoredName.data(), false, nameLen, 0);
      out.Seek(0, soFromEnd);
    };
    FEntryStored = true;
    if (FEntryIsDir) {
      FinishLocalHeader(0, 0);
      writeHead();
      return true;
    }
    FEntryStored = CompressMethod() == cmStore || DeflateType == dtDeflateS || IsStoredType(path);
    TFileStream32 source(path, fmOpenRead);
    if (source.Handle() < 0) {
      ReportError(path, "", FVolumeName, E_OPEN_FILE);
      return false;
    }
    FEntryFileSize = source.Size();
    if (FEntryFileSize == 0) FEntryStored = true;
    writeHead();
    TCodecParams params;
    params.BytesToDo = &FBytesToDo;
    params.Cancel = FCancelRef;
    TStreamProgress progress = [this](TStream32& s) {
      UpdateProgress(FScanTotal, FEntryFileSize, s.Position());
    };
    bool ok = false;
    if (FEntryStored) {
      ok = StoreFile(progress, source, params, 32, out);
    } else {
      TMemoryStream32 packed;
      std::uint32_t crc = 0;
      ok = DeflateFile(source, packed, params, progress, static_cast<int>(DeflateType), -15, crc);
      if (ok && packed.Size() > FEntryFileSize) {
        FEntryStored = true;
        source.Seek(0, soFromBeginning);
        ok = StoreFile(progress, source, params, 32, out);
      } else if (ok) {
        packed.Seek(0, soFromBeginning);
        ok = out.CopyFrom(packed, 0) == packed.Size();
      }
    }
    if (!ok || GetCancel()) return false;
    FinishLocalHeader(out.Size() - (FEntryHeadPos + kHead + nameLen), FEntryFileSize);
    writeHead();
    return true;
  }
  void AfterEntry(std::size_t, bool success, TWorkList&) override {
    if (OnEnd) OnEnd(*this, FFileName, success);
  }
  void ReadDirectory(TStream32& old, TWorkList& list) override {
    std::uint8_t h[kHead];
    while (old.Read(h, kHead) == kHead && std::memcmp(h, "FK01", 4) == 0) {
      const std::int64_t pos = old.Position() - kHead;
      std::string name(Get32(h + 4), '\0');
      old.Read(name.data(), static_cast<std::int64_t>(name.size()));
      old.Seek(Get32(h + 20), soFromCurrent);
      TCompHeader rec;
      rec.State = ceKeep;
      if (Switch == swDelete && IsEntryInSpec(name, FFileSpec, FExcludeSpec)) rec.State = ceDelete;
      rec.Position = pos;
      list.Add(rec, name, 0, h, kHead);
    }
  }
  std::int64_t GetEntryLength(std::size_t index) override {
    const TByteBlock& b = FWorkList->Block(index);
    return kHead + Get32(b.data() + 4) + Get32(b.data() + 20);
  }
  void CopyEntryNewName(TStream32& old, TStream32& out, TWorkList& list,
                        std::size_t index) override {
    std::uint8_t h[kHead];
    old.Read(h, kHead);
    old.Seek(Get32(h + 4), soFromCurrent);
    const std::string& name = list.Name(index);
    Put32(h + 4, static_cast<std::uint32_t>(name.size()));
    out.Write(h, kHead);
    out.Write(name.data(), static_cast<std::int64_t>(name.size()));
    out.CopyFrom(static_cast<TStream32&>(old), Get32(h + 20));
  }
  void WriteEmptyArchive(TStream32& out) override {
    emptyWritten = true;
    out.Write("FEMPTY", 6);
  }
  bool WriteCentralDirectory(TStream32& out, TWorkList& list) override {
    if (emptyWritten) return true;
    std::uint8_t end[8];
    std::memcpy(end, "FEND", 4);
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < list.Count(); ++i) n += list.Get(i).State != ceDelete;
    Put32(end + 4, n);
    out.Write(end, 8);
    return true;
  }
  bool ReadEntryHeader(TStream32& arc, std::size_t, bool first) override {
    if (!first) arc.Seek(next_, soFromBeginning);
    std::uint8_t h[kHead];
    if (arc.Read(h, kHead) != kHead || std::memcmp(h, "FK01", 4) != 0) return false;
    FListName.assign(Get32(h + 4), '\0');
    arc.Read(FListName.data(), static_cast<std::int64_t>(FListName.size()));
    next_ = arc.Position() + Get32(h + 20);
    return true;
  }

 private:
  std::uint8_t head_[kHead] = {};
  std::int64_t next_ = 0;
};

struct CompressRun : ::testing::Test {
  TempDir tmp;
  std::string src = tmp / "src/";
  std::string arc = tmp / "out.fak";
  std::string work = tmp / "work/";
  FakeWriter w;
  std::vector<int> errors;

  void SetUp() override {
    ForceDirs(src);
    ForceDirs(work);
    w.SetTempDir(work);
    w.SetArchiveFile(arc);
    w.SetFileSpec({src + "*.*"});
    w.OnError = [this](TZipCommon&, const std::string&, const std::string&, const std::string&,
                       int code) { errors.push_back(code); };
  }
  bool HasError(int code) const {
    return std::find(errors.begin(), errors.end(), code) != errors.end();
  }
  // Files left in the temporary directory (qmx*.tmp).
  int TempLeft() const {
    std::vector<TSearchRec> e;
    ListDirectory(work, e);
    return static_cast<int>(e.size());
  }
  // Builds an archive with the given files in src.
  void Seed(const std::vector<std::pair<std::string, std::string>>& files) {
    for (auto& [n, d] : files) {
      ForceDirs(ExtractFilePath(src + n));
      WriteFile(src + n, d);
    }
    ASSERT_EQ(w.Compress(), static_cast<int>(files.size()));
    errors.clear();
  }
};

// ---------------------------------------------------------------- naming

TEST(CompressNames, StoredNameForEachMode) {
  FakeWriter w;
  const std::string root = "/work/";
  const std::string path = "/work/a/b.txt";
  auto with = [&](TStoredDirNames m) {
    w.StoredDirNames = m;
    return w.StoredNameFor(path, root);
  };
  EXPECT_EQ(with(sdNone), "b.txt");
  EXPECT_EQ(with(sdAbsolute), "/work/a/b.txt");
  EXPECT_EQ(with(sdAbsoluteNoDrv), "/work/a/b.txt");
  EXPECT_EQ(with(sdAbsoluteNoRoot), "work/a/b.txt");
  EXPECT_EQ(with(sdRelative), "a/b.txt");
  EXPECT_EQ(with(sdRelativeStoreStart), "work/a/b.txt");
  EXPECT_EQ(w.StoredNameFor("/src/sub/f.txt", "/src/"), "src/sub/f.txt");
  // Prefix comparison ignores case, as on the systems the names come from.
  w.StoredDirNames = sdRelative;
  EXPECT_EQ(w.StoredNameFor("/WORK/x.txt", "/work/"), "x.txt");
  EXPECT_EQ(w.StoredNameFor("/other/x.txt", "/work/"), "/other/x.txt");
  // UNC and drive forms lose server, share and drive.
  w.StoredDirNames = sdAbsoluteNoDrv;
  EXPECT_EQ(w.StoredNameFor("//srv/share/d/f.txt", ""), "/d/f.txt");
  EXPECT_EQ(w.StoredNameFor("C:/d/f.txt", ""), "/d/f.txt");

  w.StoredDirNames = sdExplorer_UserDefineDefaultDir;
  w.SetDefaultDir("/work/a");
  EXPECT_EQ(w.StoredNameFor(path, root), "b.txt");
  EXPECT_EQ(w.StoredNameFor(path, "/work/a/"), "b.txt");
  w.SetDefaultDir("/elsewhere");
  EXPECT_EQ(w.StoredNameFor(path, root), path);
}

TEST(CompressNames, CommonDirectory) {
  EXPECT_EQ(TCustomCClass::CommonDirectory({"/a/b/c/*.txt", "/a/b/d/*.c", "/A/B/cx/*"}), "/a/b/");
  EXPECT_EQ(TCustomCClass::CommonDirectory({"/a/bc/*.*", "/a/bd/*.*"}), "/a/");
  EXPECT_EQ(TCustomCClass::CommonDirectory({"/a/b/*.*"}), "/a/b/");
  EXPECT_EQ(TCustomCClass::CommonDirectory({}), "");
}

TEST(CompressNames, DefaultExtRules) {
  FakeWriter w;
  EXPECT_EQ(w.DefaultExt(), ".FAK");
  w.SetDefaultExt("zipx");
  EXPECT_EQ(w.DefaultExt(), ".zip");
  w.SetDefaultExt("");
  EXPECT_EQ(w.DefaultExt(), ".FAK");
  w.SetDefaultExt(".");
  EXPECT_EQ(w.DefaultExt(), ".FAK");

  TempDir tmp;
  w.SetArchiveFile(tmp / "new");
  EXPECT_EQ(w.ArchiveFile(), tmp / "new.FAK");
  EXPECT_TRUE(w.ArchiveIsNew());
  // The extension that came from DefaultExt follows it; a chosen one stays.
  w.SetDefaultExt("Arc");
  EXPECT_EQ(w.ArchiveFile(), tmp / "new.arc");
  w.SetArchiveFile(tmp / "mine.dat");
  w.SetDefaultExt("zip");
  EXPECT_EQ(w.ArchiveFile(), tmp / "mine.dat");
}

TEST(CompressNames, MethodsAndStoredTypes) {
  FakeWriter w;
  w.SetCompressMethod(cmTarGzip);  // not this writer's
  EXPECT_EQ(w.CompressMethod(), cmDeflate);
  w.SetCompressMethod(cmStore);
  EXPECT_EQ(w.CompressMethod(), cmStore);
  ASSERT_EQ(w.StoreFilesOfType().size(), 24u);
  EXPECT_EQ(w.StoreFilesOfType().front(), ".ACE");
  EXPECT_EQ(w.StoreFilesOfType().back(), ".ZOO");
  EXPECT_TRUE(w.IsStoredType("/x/a.Zip"));
  EXPECT_TRUE(w.IsStoredType("b.z"));
  EXPECT_FALSE(w.IsStoredType("b.zz"));
  EXPECT_FALSE(w.IsStoredType("zip"));
  EXPECT_TRUE(w.RecurseDirs);
  EXPECT_EQ(w.DeleteOptions, doAllowUndo);
}

TEST(CompressNames, EntrySelectionAndExclusion) {
  FakeWriter w;
  std::vector<std::string> excluded;
  w.OnExcludeFile = [&](TZipCommon&, const std::string& n) { excluded.push_back(n); };
  EXPECT_FALSE(w.IsEntryInSpec("", {"*"}, {}));
  EXPECT_TRUE(w.IsEntryInSpec("dir/a.txt", {"*.txt"}, {}));
  // A name without a dot gets one for masks that carry a dot.
  EXPECT_TRUE(w.IsEntryInSpec("README", {"*.*"}, {}));
  EXPECT_FALSE(w.IsEntryInSpec("a.txt", {"*.txt"}, {"a.*"}));
  EXPECT_EQ(excluded, std::vector<std::string>{"a.txt"});
  EXPECT_FALSE(w.IsEntryInSpec("a.c", {"*.txt"}, {}));

  w.SetExcludeSpec({"*.bak", "sub/*.log", "/abs/dir/*.o"});
  EXPECT_TRUE(w.IsExcluded("/r/", "x.BAK", "/r/"));
  EXPECT_TRUE(w.IsExcluded("/r/sub/", "y.log", "/r/"));
  EXPECT_TRUE(w.IsExcluded("/R/Sub/deeper/", "y.log", "/r/"));
  EXPECT_FALSE(w.IsExcluded("/r/other/", "y.log", "/r/"));
  EXPECT_TRUE(w.IsExcluded("/abs/dir/", "m.o", "/r/"));
  EXPECT_FALSE(w.IsExcluded("/r/", "m.o", "/r/"));
}

// ---------------------------------------------------------------- runs

TEST_F(CompressRun, AddCreatesArchiveStoringListedTypes) {
  WriteFile(src + "a.txt", std::string(2000, 'a'));
  WriteFile(src + "inner.Zip", std::string(2000, 'z'));
  ForceDirs(src + "d");
  WriteFile(src + "d/b.txt", "bee");
  EXPECT_EQ(w.Compress(), 3);
  EXPECT_TRUE(errors.empty());
  const auto items = Parse(ReadFile(arc));
  ASSERT_EQ(Names(items), (std::vector<std::string>{"a.txt", "d/b.txt", "inner.Zip"}));
  EXPECT_EQ(items[0].method, 8u);
  EXPECT_EQ(items[0].data, std::string(2000, 'a'));
  EXPECT_EQ(items[2].method, 0u);  // listed extension: stored
  EXPECT_EQ(items[1].method, 0u);  // deflating 3 bytes would grow them
  EXPECT_EQ(items[1].data, "bee");
  EXPECT_EQ(TempLeft(), 0);
}

TEST_F(CompressRun, InMemoryBuildGivesTheSameArchive) {
  WriteFile(src + "a.txt", std::string(5000, 'q'));
  ASSERT_EQ(w.Compress(), 1);
  const std::string viaFile = ReadFile(arc);
  DeleteFile(arc);
  w.CompressionMethod = cmInMemory;
  ASSERT_EQ(w.Compress(), 1);
  EXPECT_EQ(ReadFile(arc), viaFile);
}

TEST_F(CompressRun, NeverAddsTheArchiveOrItsTemporaryFile) {
  // Archive and temporary directory both inside the scanned tree.
  w.SetTempDir(src);
  w.SetArchiveFile(src + "self.fak");
  WriteFile(src + "a.txt", "one");
  ASSERT_EQ(w.Compress(), 1);
  WriteFile(src + "b.txt", "two");
  ASSERT_EQ(w.Compress(), 1);
  EXPECT_EQ(Names(Parse(ReadFile(src + "self.fak"))), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST_F(CompressRun, NothingToDoKeepsOldArchiveByteIdentical) {
  Seed({{"a.txt", "alpha"}});
  const std::string before = ReadFile(arc);
  w.SetFileSpec({src + "*.none"});
  EXPECT_EQ(w.Compress(), 0);
  EXPECT_TRUE(HasError(E_NOTHING_TO_DO));
  EXPECT_EQ(ReadFile(arc), before);
  EXPECT_EQ(TempLeft(), 0);
}

TEST_F(CompressRun, RefreshAndDeleteNeedAnArchive) {
  WriteFile(src + "a.txt", "x");
  for (TSwitch s : {swRefresh, swDelete}) {
    errors.clear();
    w.Switch = s;
    EXPECT_EQ(w.Compress(), 0);
    EXPECT_TRUE(HasError(E_NOTHING_TO_DO_2));
    EXPECT_FALSE(FileExists(arc));
  }
  EXPECT_EQ(TempLeft(), 0);
}

TEST_F(CompressRun, RefreshTakesOnlyNewerFiles) {
  Seed({{"a.txt", "old a"}, {"b.txt", "old b"}});
  // Nothing changed: the old archive stays as it is.
  w.Switch = swRefresh;
  const std::string before = ReadFile(arc);
  EXPECT_EQ(w.Compress(), 0);
  EXPECT_EQ(ReadFile(arc), before);

  WriteFile(src + "b.txt", "new b!");
  FileSetDate(src + "b.txt", UnixToDosDateTime(std::time(nullptr) + 2 * 86400));
  WriteFile(src + "c.txt", "not in the archive");
  errors.clear();
  EXPECT_GE(w.Compress(), 1);
  const auto items = Parse(ReadFile(arc));
  ASSERT_EQ(Names(items), (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(items[1].data, "new b!");
}

TEST_F(CompressRun, ReplaceQuestionDecidesForChangedFiles) {
  Seed({{"a.txt", "first"}});
  WriteFile(src + "a.txt", "second version");
  std::string asked, askedPath;
  std::int64_t oldSize = -1, newSize = -1;
  bool answer = false;
  w.OnReplaceFile = [&](TZipCommon&, const std::string& name, const std::string& path, TDateTime,
                        TDateTime, std::int64_t size, std::int64_t nsize, int, int, bool& r) {
    asked = name;
    askedPath = path;
    oldSize = size;
    newSize = nsize;
    r = answer;
  };
  // Declined, and no duplicate handler: nothing to write, old entry kept.
  EXPECT_EQ(w.Compress(), 0);
  EXPECT_EQ(asked, "a.txt");
  EXPECT_EQ(askedPath, src + "a.txt");
  EXPECT_EQ(oldSize, 5);
  EXPECT_EQ(newSize, 14);
  EXPECT_EQ(Parse(ReadFile(arc))[0].data, "first");

  answer = true;
  EXPECT_EQ(w.Compress(), 1);
  const auto items = Parse(ReadFile(arc));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].data, "second version");
}

TEST_F(CompressRun, FailedReplacementKeepsTheOldVersion) {
  Seed({{"a.txt", "first"}, {"b.txt", "bee"}});
  WriteFile(src + "a.txt", "second version");
  WriteFile(src + "c.txt", "sea");
  w.OnReplaceFile = [](TZipCommon&, const std::string&, const std::string&, TDateTime, TDateTime,
                       std::int64_t, std::int64_t, int, int, bool& r) { r = true; };
  // The replacement is refused when its turn comes.
  w.OnBegin = [](TZipCommon&, const std::string& n, int, bool& take) {
    take = ExtractFileName(n) != "a.txt";
  };
  EXPECT_EQ(w.Compress(), 1);
  const auto items = Parse(ReadFile(arc));
  ASSERT_EQ(Names(items), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
  EXPECT_EQ(items[0].data, "first");
}

TEST_F(CompressRun, MissingReplaceHandlerIsReported) {
  Seed({{"a.txt", "first"}});
  WriteFile(src + "a.txt", "changed");
  EXPECT_EQ(w.Compress(), 0);
  EXPECT_TRUE(HasError(E_EVENT_NOT_ASSIGNED));
  EXPECT_EQ(Parse(ReadFile(arc))[0].data, "first");
}

TEST_F(CompressRun, RenameDupeKeepsBothVersions) {
  Seed({{"a.txt", "first"}, {"b.txt", "bee"}});
  WriteFile(src + "a.txt", "second");
  w.OnReplaceFile = [](TZipCommon&, const std::string&, const std::string&, TDateTime, TDateTime,
                       std::int64_t, std::int64_t, int, int, bool& r) { r = false; };
  std::vector<std::string> proposals{"b.txt", "a-old.txt"};  // first is taken
  int asked = 0;
  // Asked for the changed a.txt and for the unchanged b.txt alike.
  w.OnRenameDupeFile = [&](TZipCommon&, const std::string& name, std::string& n, bool& rename) {
    rename = name == "a.txt";
    if (rename) n = proposals[static_cast<std::size_t>(std::min(asked++, 1))];
  };
  EXPECT_EQ(w.Compress(), 1);
  EXPECT_EQ(asked, 2);
  const auto items = Parse(ReadFile(arc));
  ASSERT_EQ(Names(items), (std::vector<std::string>{"a-old.txt", "b.txt", "a.txt"}));
  EXPECT_EQ(items[0].data, "first");
  EXPECT_EQ(items[2].data, "second");
}

TEST_F(CompressRun, SameNameTwiceUnderSdNone) {
  w.StoredDirNames = sdNone;
  ForceDirs(src + "a");
  ForceDirs(src + "b");
  WriteFile(src + "a/x.txt", "from a");
  WriteFile(src + "b/x.txt", "from b");
  // A new archive takes both.
  EXPECT_EQ(w.Compress(), 2);
  EXPECT_EQ(Names(Parse(ReadFile(arc))), (std::vector<std::string>{"x.txt", "x.txt"}));
  // An existing one (here holding y.txt) passes the second over.
  DeleteFile(arc);
  WriteFile(tmp / "y.txt", "y");
  w.SetFileSpec({tmp / "y.txt"});
  ASSERT_EQ(w.Compress(), 1);
  w.SetFileSpec({src + "*.*"});
  EXPECT_EQ(w.Compress(), 1);
  const auto items = Parse(ReadFile(arc));
  ASSERT_EQ(Names(items), (std::vector<std::string>{"y.txt", "x.txt"}));
  EXPECT_EQ(items[1].data, "from a");
}

TEST_F(CompressRun, MoveDeletesSourcesOnlyAfterSuccess) {
  w.Switch = swMove;
  w.DeleteOptions = doFinal;
  WriteFile(src + "a.txt", "a");
  WriteFile(src + "b.txt", "b");
  std::vector<std::string> deleted;
  bool archiveThere = false;
  w.OnDeleteFile = [&](TZipCommon&, const std::string& n, int, int) {
    deleted.push_back(n);
    archiveThere = FileExists(arc);
  };
  EXPECT_EQ(w.Compress(), 2);
  EXPECT_EQ(deleted, (std::vector<std::string>{src + "a.txt", src + "b.txt"}));
  EXPECT_TRUE(archiveThere);
  EXPECT_FALSE(FileExists(src + "a.txt"));

  // A run that fails keeps every source.
  WriteFile(src + "c.txt", "c");
  w.OnFinishHeader = [&] { w.RaiseError(arc, "", "0", E_DISK_FULL); };
  EXPECT_EQ(w.Compress(), 0);
  EXPECT_TRUE(FileExists(src + "c.txt"));
  EXPECT_EQ(Names(Parse(ReadFile(arc))), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST_F(CompressRun, MoveKeepsAChangedFileThatWasNotTaken) {
  Seed({{"a.txt", "old"}});
  w.Switch = swMove;
  w.DeleteOptions = doFinal;
  WriteFile(src + "a.txt", "new content");
  WriteFile(src + "b.txt", "b");
  w.OnReplaceFile = [](TZipCommon&, const std::string&, const std::string&, TDateTime, TDateTime,
                       std::int64_t, std::int64_t, int, int, bool& r) { r = false; };
  EXPECT_EQ(w.Compress(), 1);
  // a.txt differs from the archived copy and was declined: deleting it
  // would lose its new content.
  EXPECT_TRUE(FileExists(src + "a.txt"));
  EXPECT_FALSE(FileExists(src + "b.txt"));
}

TEST_F(CompressRun, VerifyBeforeDeleteFindsEveryArchivedSource) {
  Seed({{"a.txt", "a"}});
  w.Switch = swMove;
  w.DeleteOptions = doFinal;
  w.VerifyBeforeDelete = true;
  WriteFile(src + "b.txt", "b");
  WriteFile(src + "c.txt", "c");
  WriteFile(src + "d.txt", "d");
  // c.txt goes in under another name; d.txt is refused.
  w.OnRenameFile = [](TZipCommon&, const std::string& n, std::string& newName) {
    if (n == "c.txt") newName = "cc.txt";
  };
  w.OnBegin = [](TZipCommon&, const std::string& n, int, bool& take) {
    take = ExtractFileName(n) != "d.txt";
  };
  EXPECT_EQ(w.Compress(), 2);
  EXPECT_EQ(Names(Parse(ReadFile(arc))), (std::vector<std::string>{"a.txt", "b.txt", "cc.txt"}));
  // a.txt is unchanged in the archive, b and c were added: all three go.
  EXPECT_FALSE(FileExists(src + "a.txt"));
  EXPECT_FALSE(FileExists(src + "b.txt"));
  EXPECT_FALSE(FileExists(src + "c.txt"));
  EXPECT_TRUE(FileExists(src + "d.txt"));
}

TEST_F(CompressRun, DeleteSelectedAndAllEntries) {
  Seed({{"a.txt", "a"}, {"b.log", "b"}, {"c.txt", "c"}});
  w.Switch = swDelete;
  std::vector<std::pair<std::string, int>> deleted;
  w.OnDeleteFile = [&](TZipCommon&, const std::string& n, int count, int max) {
    deleted.emplace_back(n, count * 10 + max);
  };
  w.SetFileSpec({"*.txt"});
  EXPECT_EQ(w.Compress(), 2);
  EXPECT_EQ(deleted, (std::vector<std::pair<std::string, int>>{{"a.txt", 12}, {"c.txt", 22}}));
  EXPECT_EQ(Names(Parse(ReadFile(arc))), std::vector<std::string>{"b.log"});
  EXPECT_FALSE(w.emptyWritten);

  w.SetFileSpec({"*.*"});
  EXPECT_EQ(w.Compress(), 1);
  EXPECT_TRUE(w.emptyWritten);
  EXPECT_EQ(ReadFile(arc), "FEMPTY");
}

TEST_F(CompressRun, ReadListsEntriesThroughOnRead) {
  Seed({{"a.txt", "a"}, {"bb.txt", "bb"}});
  w.Switch = swRead;
  std::vector<std::pair<int, int>> seen;
  bool activated = false;
  w.OnActivate = [&](TZipCommon&) { activated = true; };
  w.OnRead = [&](TZipCommon&, int offset, int n) { seen.emplace_back(offset, n); };
  EXPECT_EQ(w.Compress(), 2);
  // Offsets point just past each entry's header and name.
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{kHead + 5, 1}, {2 * kHead + 5 + 1 + 6, 2}}));
  EXPECT_FALSE(activated);

  w.OnRead = nullptr;
  EXPECT_EQ(w.Compress(), 0);
  EXPECT_TRUE(HasError(E_EVENT_NOT_ASSIGNED));
}

TEST_F(CompressRun, CancelLeavesOldArchiveAndNoTempFile) {
  Seed({{"a.txt", "a"}});
  const std::string before = ReadFile(arc);
  WriteFile(src + "b.txt", std::string(100000, 'b'));
  WriteFile(src + "c.txt", "c");
  w.OnReplaceFile = [](TZipCommon&, const std::string&, const std::string&, TDateTime, TDateTime,
                       std::int64_t, std::int64_t, int, int, bool& r) { r = true; };
  w.OnProgress = [&](TZipCommon& s, std::uint8_t, std::uint8_t) { s.SetCancel(true); };
  EXPECT_EQ(w.Compress(), 0);
  EXPECT_TRUE(HasError(E_USER_CANCELED));
  EXPECT_EQ(ReadFile(arc), before);
  EXPECT_EQ(TempLeft(), 0);
}

TEST_F(CompressRun, RaisedErrorLeavesOldArchive) {
  Seed({{"a.txt", "a"}});
  const std::string before = ReadFile(arc);
  WriteFile(src + "b.txt", "b");
  int deactivated = 0;
  w.OnDeactivate = [&](TZipCommon&) { ++deactivated; };
  w.OnFinishHeader = [&] { w.RaiseError(arc, "", "0", E_DISK_FULL); };
  for (TCompressionMethod m : {cmTempFile, cmInMemory}) {
    w.CompressionMethod = m;
    EXPECT_EQ(w.Compress(), 0);
    EXPECT_EQ(ReadFile(arc), before);
  }
  EXPECT_TRUE(HasError(E_DISK_FULL));
  EXPECT_EQ(deactivated, 2);
  EXPECT_EQ(TempLeft(), 0);
}

TEST_F(CompressRun, CancelDuringFinalCopyKeepsOldArchive) {
  Seed({{"a.txt", "a"}});
  const std::string before = ReadFile(arc);
  // Incompressible, so the archive spans several copy chunks.
  std::string noise(400000, '\0');
  std::uint32_t x = 1;
  for (char& c : noise) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  WriteFile(src + "n.bin", noise);
  w.CompressionMethod = cmInMemory;  // the final step copies
  bool copying = false;
  w.OnTmpFileProgress = [&](TZipCommon& s, std::uint8_t, std::uint8_t) {
    copying = true;
    s.SetCancel(true);
  };
  EXPECT_EQ(w.Compress(), 0);
  EXPECT_TRUE(copying);
  EXPECT_EQ(ReadFile(arc), before);
  std::vector<TSearchRec> left;
  ListDirectory(tmp.path(), left);
  for (const auto& e : left) EXPECT_NE(e.Name.rfind("qmx", 0), 0u) << e.Name;
}

TEST_F(CompressRun, UnreadableSourceIsLeftOut) {
  WriteFile(src + "a.txt", "a");
  WriteFile(src + "b.txt", "b");
  ::chmod((src + "a.txt").c_str(), 0);
  const int fd = FileOpen(src + "a.txt", fmOpenRead);
  if (fd >= 0) {
    FileClose(fd);
    GTEST_SKIP() << "running with rights that ignore file modes";
  }
  EXPECT_EQ(w.Compress(), 1);
  EXPECT_TRUE(HasError(E_OPEN_FILE));
  EXPECT_EQ(Names(Parse(ReadFile(arc))), std::vector<std::string>{"b.txt"});
}

TEST_F(CompressRun, NonWriteableArchive) {
  Seed({{"a.txt", "a"}});
  const std::string before = ReadFile(arc);
  WriteFile(src + "b.txt", "b");
  // omSkip stops every update silently.
  w.OverwriteMode = omSkip;
  EXPECT_EQ(w.Compress(), 0);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(ReadFile(arc), before);

  w.OverwriteMode = omOverwrite;
  FileSetAttr(arc, faReadOnly);
  EXPECT_EQ(w.Compress(), 0);
  EXPECT_TRUE(HasError(E_EVENT_NOT_ASSIGNED));
  EXPECT_EQ(ReadFile(arc), before);

  w.OnNonWriteableArchive = [](TZipCommon&, const std::string&, bool& write) { write = true; };
  EXPECT_EQ(w.Compress(), 1);
  EXPECT_EQ(Names(Parse(ReadFile(arc))), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST_F(CompressRun, MissingDirectoryAndDefaultDir) {
  w.SetArchiveFile(tmp / "no/such/dir/x.fak");
  WriteFile(src + "a.txt", "a");
  EXPECT_EQ(w.Compress(), 0);
  EXPECT_TRUE(HasError(E_INVALID_DIR));
  w.SetArchiveFile(arc);
  w.StoredDirNames = sdExplorer_UserDefineDefaultDir;
  EXPECT_EQ(w.Compress(), 0);
  EXPECT_TRUE(HasError(E_PROPERTY_NOT_ASSIGNED));
  w.StoredDirNames = sdExplorer_Auto;
  EXPECT_EQ(w.Compress(), 1);
  EXPECT_EQ(w.DefaultDir(), src);
  EXPECT_EQ(Names(Parse(ReadFile(arc))), std::vector<std::string>{"a.txt"});
}

TEST_F(CompressRun, RenameFileQuestion) {
  WriteFile(src + "a.txt", "a");
  WriteFile(src + "b.txt", "b");
  w.OnRenameFile = [](TZipCommon&, const std::string& n, std::string& newName) {
    if (n == "a.txt") newName = "/ignored/dir/renamed.txt";
  };
  EXPECT_EQ(w.Compress(), 2);
  EXPECT_EQ(Names(Parse(ReadFile(arc))), (std::vector<std::string>{"renamed.txt", "b.txt"}));
}

TEST_F(CompressRun, EmptyDirectoriesOnlyWhenAsked) {
  ForceDirs(src + "empty/inner");
  ForceDirs(src + "full");
  WriteFile(src + "full/f.txt", "f");
  EXPECT_EQ(w.Compress(), 1);
  EXPECT_EQ(Names(Parse(ReadFile(arc))), std::vector<std::string>{"full/f.txt"});
  DeleteFile(arc);
  w.StoreEmptySubDirs = true;
  EXPECT_EQ(w.Compress(), 3);
  EXPECT_EQ(Names(Parse(ReadFile(arc))),
            (std::vector<std::string>{"empty/", "empty/inner/", "full/f.txt"}));
}

TEST_F(CompressRun, EventOrderForOneFile) {
  WriteFile(src + "a.txt", std::string(3000, 'a'));
  std::vector<std::string> ev;
  auto note = [&](const std::string& e) {
    if (ev.empty() || ev.back() != e) ev.push_back(e);
  };
  w.OnActivate = [&](TZipCommon&) { note("Activate"); };
  w.OnRecurseDir = [&](TZipCommon&, const std::string&) { note("RecurseDir"); };
  w.OnFileScanStatus = [&](TZipCommon&, const std::string&, int, std::int64_t) { note("Scan"); };
  w.OnBegin = [&](TZipCommon&, const std::string& n, int count, bool&) {
    EXPECT_EQ(n, src + "a.txt");
    EXPECT_EQ(count, 1);
    note("Begin");
  };
  w.OnRenameFile = [&](TZipCommon&, const std::string&, std::string&) { note("Rename"); };
  w.OnProgress = [&](TZipCommon&, std::uint8_t, std::uint8_t) { note("Progress"); };
  w.OnEnd = [&](TZipCommon&, const std::string&, bool ok) {
    EXPECT_TRUE(ok);
    note("End");
  };
  w.OnTmpFileMoveBegin = [&](TZipCommon&, const std::string& a, const std::string& t, bool&) {
    EXPECT_EQ(a, arc);
    EXPECT_EQ(ExtractFilePath(t), work);
    note("MoveBegin");
  };
  w.OnDeactivate = [&](TZipCommon&) { note("Deactivate"); };
  w.OnElapsedTime = [&](TZipCommon&, float) { note("Elapsed"); };
  EXPECT_EQ(w.Compress(), 1);
  EXPECT_EQ(
      ev, (std::vector<std::string>{"Activate", "RecurseDir", "Scan", "Begin", "Rename", "Progress",
                                    "End", "MoveBegin", "Deactivate", "Elapsed"}));
}

}  // namespace
}  // namespace qmx
