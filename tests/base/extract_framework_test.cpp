#include "archive/base/extract_framework.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/base/names.h"
#include "archive/codec/crc.h"
#include "archive/platform/files.h"
#include "support/temp_dir.h"

namespace qmx {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr std::uint32_t kDate = 0x5A6B5C20;  // 2025-03-11 11:33:00

struct FakeEntry {
  FakeEntry(std::string n, std::string d, bool isDir = false, std::string pw = "",
            std::uint32_t a = faArchive, bool bad = false)
      : name(std::move(n)),
        data(std::move(d)),
        dir(isDir),
        password(std::move(pw)),
        attr(a),
        corrupt(bad) {}
  std::string name, data;
  bool dir;
  std::string password;  // encrypted when set
  std::uint32_t attr;
  bool corrupt;  // the stored CRC does not match
};

// Header of an encrypted entry: the password folded into 12 bytes.
std::string MakeHeader(const std::string& pw) {
  std::string h(12, 0);
  for (int i = 0; i < 12; ++i) h[i] = static_cast<char>((0xA5 + i) ^ pw[i % pw.size()]);
  return h;
}

// A reader over an in-memory entry list; the archive file holds only the
// 12-byte headers of the encrypted entries.
class FakeReader : public TUnBase {
 public:
  std::vector<FakeEntry> entries;
  std::vector<std::int64_t> offsets;
  std::vector<std::string> tried;  // every password VerifyPassword saw

  void Build(const std::string& path, std::vector<FakeEntry> list) {
    entries = std::move(list);
    std::string body;
    for (const auto& e : entries) {
      offsets.push_back(static_cast<std::int64_t>(body.size()));
      if (!e.password.empty()) body += MakeHeader(e.password);
    }
    WriteFile(path, body);
    SetArchiveFile(path);
  }

 protected:
  TArcType DetectArcType(TStream32&) override { return atZip; }

  bool VerifyPassword(const std::uint8_t header[12]) override {
    tried.push_back(Password);
    if (Password.empty()) return false;
    // Deciphers in place, as the real cipher does: a reused buffer would fail.
    auto* h = const_cast<std::uint8_t*>(header);
    for (int i = 0; i < 12; ++i) h[i] ^= static_cast<std::uint8_t>(Password[i % Password.size()]);
    for (int i = 0; i < 12; ++i)
      if (h[i] != static_cast<std::uint8_t>(0xA5 + i)) return false;
    return true;
  }

  void ReadArchive(std::unique_ptr<TFileStream32>& archive) override {
    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < entries.size(); ++i)
      if (IsFileInSpec(NameToWindows(entries[i].name, TranslateOemChar))) {
        chosen.push_back(i);
        NoteSelectedEntry(entries[i].data.size(), entries[i].data.size(), kDate);
      }
    for (std::size_t i : chosen) {
      if (GetCancel()) break;
      const FakeEntry& e = entries[i];
      BeginEntry(e.name);
      if (e.dir) {
        ExtractDirectoryEntry();
        continue;
      }
      archive->SetPosition(offsets[i]);
      std::unique_ptr<TFileStream32> out;
      const auto size = static_cast<std::int64_t>(e.data.size());
      if (!StartFileEntry(out, archive.get(), size, !e.password.empty())) continue;
      for (std::int64_t done = 0; done < size && !GetCancel();) {
        std::int64_t n = std::min<std::int64_t>(4, size - done);
        WriteBlock(out.get(), e.data.data() + done, true, n, 32);
        done += n;
        FBytesToDo -= n;
        UpdateProgress(FTotalUnpacked, size, done);
      }
      FinishFileEntry(out, e.attr, kDate, 32, Crc32(e.data.data(), e.data.size()) ^ e.corrupt);
    }
  }
};

class ExtractFramework : public ::testing::Test {
 protected:
  TempDir tmp;
  FakeReader r;
  std::vector<std::string> log;  // events in order
  struct Err {
    std::string file, ext, volume;
    int code;
  };
  std::vector<Err> errors;

  std::string out(const std::string& n = "") { return tmp / ("out/" + n); }

  void SetUp() override {
    r.SetExtractDir(out());
    r.SetFileSpec({"*.*"});
    r.OnActivate = [this](TZipCommon&) { log.push_back("Activate"); };
    r.OnDeactivate = [this](TZipCommon&) { log.push_back("Deactivate"); };
    r.OnError = [this](TZipCommon&, const std::string& f, const std::string& e,
                       const std::string& v, int c) {
      errors.push_back({f, e, v, c});
    };
  }
  void Build(std::vector<FakeEntry> list) {
    r.Build(tmp / "fake.arc", std::move(list));
    r.SetExtractDir(out());
  }
  std::vector<int> Codes() const {
    std::vector<int> c;
    for (const auto& e : errors) c.push_back(e.code);
    return c;
  }
};

TEST_F(ExtractFramework, EmptyFileSpecExtractsNothingButRunsTheFrame) {
  Build({{"a.txt", "alpha"}});
  r.SetFileSpec({});
  EXPECT_EQ(r.Extract(), 0);
  EXPECT_EQ(log, (std::vector<std::string>{"Activate", "Deactivate"}));
  EXPECT_FALSE(FileExists(out("a.txt")));
}

TEST_F(ExtractFramework, StarDotStarHonoursRecurseDirs) {
  Build({{"a.txt", "A"}, {"README", "R"}, {"sub/b.txt", "B"}, {"sub/deep/c", "C"}});
  EXPECT_EQ(r.Extract(), 4);
  EXPECT_EQ(ReadFile(out("sub/deep/c")), "C");
  EXPECT_EQ(ReadFile(out("README")), "R");

  TempDir other;
  r.SetExtractDir(other.path());
  r.RecurseDirs = false;
  EXPECT_EQ(r.Extract(), 2);
  EXPECT_TRUE(FileExists(other / "README"));
  EXPECT_FALSE(FileExists(other / "sub/b.txt"));
}

TEST_F(ExtractFramework, SelectionRules) {
  TStrings masks{"", "notes"};
  EXPECT_FALSE(r.IsFileInSpec("a.txt", masks, true, {}));
  EXPECT_EQ(masks[1], "notes.");  // widened and kept
  EXPECT_TRUE(r.IsFileInSpec("notes", masks, true, {}));
  EXPECT_FALSE(r.IsFileInSpec("", masks, true, {}));

  TStrings sub{"sub\\*.txt"};
  EXPECT_TRUE(r.IsFileInSpec("sub/b.txt", sub, false, {}));
  EXPECT_FALSE(r.IsFileInSpec("b.txt", sub, false, {}));
  EXPECT_FALSE(r.IsFileInSpec("sub/deep/x.txt", sub, false, {}));
  TStrings upper{"*.TXT"};
  EXPECT_TRUE(r.IsFileInSpec("sub/deep/x.txt", upper, true, {}));
  EXPECT_FALSE(r.IsFileInSpec("sub/deep/x.txt", upper, false, {}));
  TStrings exact{"SUB/DEEP/X.TXT"};
  EXPECT_TRUE(r.IsFileInSpec("sub/deep/x.txt", exact, false, {}));
}

TEST_F(ExtractFramework, ExcludeSpecFiresOnExcludeFile) {
  Build({{"a.txt", "A"}, {"b.log", "B"}});
  std::vector<std::string> excluded;
  r.OnExcludeFile = [&](TZipCommon&, const std::string& f) { excluded.push_back(f); };
  r.SetExcludeSpec({"*.LOG"});
  EXPECT_EQ(r.Extract(), 1);
  EXPECT_EQ(excluded, std::vector<std::string>{"b.log"});
  EXPECT_FALSE(FileExists(out("b.log")));
  // Nothing is selected, so nothing needs excluding either.
  r.SetFileSpec({});
  EXPECT_EQ(r.Extract(), 0);
  EXPECT_EQ(excluded.size(), 1u);
}

TEST_F(ExtractFramework, OverwriteModesWithoutQuestions) {
  Build({{"a.txt", "new"}});
  ForceDirs(out());
  WriteFile(out("a.txt"), "old");
  EXPECT_EQ(r.Extract(), 1);
  EXPECT_EQ(ReadFile(out("a.txt")), "new");

  r.OverwriteMode = omSkip;
  TempDir empty;
  r.SetExtractDir(empty.path());
  EXPECT_EQ(r.Extract(), 0);
  EXPECT_FALSE(FileExists(empty / "a.txt"));
}

TEST_F(ExtractFramework, OnFileExistsLoop) {
  Build({{"a.txt", "new"}});
  ForceDirs(out());
  WriteFile(out("a.txt"), "old-a");
  WriteFile(out("b.txt"), "old-b");
  r.ConfirmOverwrites = true;
  std::vector<std::string> asked;
  r.OnFileExists = [&](TZipCommon&, const std::string& f, std::string& n, TOverwriteMode& m) {
    asked.push_back(ExtractFileName(f));
    if (asked.size() == 1) n = out("b.txt");  // exists too: asked again
    m = omOverwrite;
  };
  EXPECT_EQ(r.Extract(), 1);
  EXPECT_EQ(asked, (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(ReadFile(out("a.txt")), "old-a");
  EXPECT_EQ(ReadFile(out("b.txt")), "new");

  r.OnFileExists = [](TZipCommon&, const std::string&, std::string&, TOverwriteMode& m) {
    m = omSkip;
  };
  EXPECT_EQ(r.Extract(), 0);
  EXPECT_EQ(ReadFile(out("a.txt")), "old-a");

  r.OnFileExists = nullptr;
  EXPECT_EQ(r.Extract(), 0);
  ASSERT_EQ(Codes(), std::vector<int>{E_EVENT_NOT_ASSIGNED});
  EXPECT_EQ(errors[0].ext, "OnFileExists");
}

TEST_F(ExtractFramework, ReadOnlyTargetIsMadeWritableWhenConfirmed) {
  Build({{"a.txt", "new"}});
  ForceDirs(out());
  WriteFile(out("a.txt"), "old");
  FileSetAttr(out("a.txt"), faReadOnly);
  r.ConfirmOverwrites = true;
  r.OnFileExists = [](TZipCommon&, const std::string&, std::string&, TOverwriteMode&) {};
  EXPECT_EQ(r.Extract(), 1);
  EXPECT_EQ(ReadFile(out("a.txt")), "new");
  EXPECT_EQ(FileGetAttr(out("a.txt")) & faReadOnly, 0);
}

TEST_F(ExtractFramework, RenameOnlyWithOnBegin) {
  Build({{"a.txt", "A"}});
  int renames = 0;
  r.OnRenameFile = [&](TZipCommon&, const std::string&, std::string& n) {
    ++renames;
    n = out("moved/x.txt");
  };
  EXPECT_EQ(r.Extract(), 1);
  EXPECT_EQ(renames, 0);
  EXPECT_TRUE(FileExists(out("a.txt")));

  std::vector<std::pair<std::string, int>> begun;
  r.OnBegin = [&](TZipCommon&, const std::string& f, int count, bool&) {
    begun.emplace_back(f, count);
  };
  EXPECT_EQ(r.Extract(), 1);
  EXPECT_EQ(ReadFile(out("moved/x.txt")), "A");
  ASSERT_EQ(begun.size(), 1u);
  EXPECT_EQ(begun[0], std::make_pair(out("moved/x.txt"), 1));

  r.OnBegin = [](TZipCommon&, const std::string&, int, bool& x) { x = false; };
  EXPECT_EQ(r.Extract(), 0);
}

TEST_F(ExtractFramework, PasswordsFromTheListWithoutAsking) {
  Build({{"a.txt", "A", false, "right"}, {"b.txt", "B", false, "right"}});
  r.SetPasswords({"wrong", "right"});
  EXPECT_EQ(r.Extract(), 2);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(ReadFile(out("b.txt")), "B");
  // Current (empty), the list; then the second entry fits the current one.
  EXPECT_EQ(r.tried, (std::vector<std::string>{"", "wrong", "right", "right"}));
}

TEST_F(ExtractFramework, PasswordsFromOnGetPassword) {
  Build({{"a.txt", "A", false, "right"}, {"b.txt", "B", false, "right"}});
  r.SetPasswords({"other"});
  std::vector<std::string> answers{"bad", "right"};
  std::size_t asked = 0;
  r.OnGetPassword = [&](TZipCommon&, const std::string&, std::string& pw, bool&) {
    pw = answers[asked++];
  };
  EXPECT_EQ(r.Extract(), 2);
  EXPECT_EQ(asked, 2u);  // the second entry reuses the learned password
  EXPECT_EQ(r.Passwords(), (TStrings{"right", "other"}));

  // Giving up skips the entry with 26517 "User canceled".
  r.Password.clear();
  r.SetPasswords({});
  r.OnGetPassword = [](TZipCommon&, const std::string&, std::string&, bool& again) {
    again = false;
  };
  std::vector<bool> verdicts;
  r.OnEnd = [&](TZipCommon&, const std::string&, bool pass) { verdicts.push_back(pass); };
  errors.clear();
  EXPECT_EQ(r.Extract(), 0);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].code, E_INVALID_PASSWORD);
  EXPECT_EQ(errors[0].ext, "User canceled");
  EXPECT_EQ(verdicts, (std::vector<bool>{false, false}));

  // Attempts run out; a missing handler is reported.
  r.PasswordAttempts = 2;
  asked = 0;
  answers = {"bad", "worse"};
  r.SetFileSpec({"a.txt"});
  r.OnGetPassword = [&](TZipCommon&, const std::string&, std::string& pw, bool&) {
    pw = answers[asked++];
  };
  EXPECT_EQ(r.Extract(), 0);
  EXPECT_EQ(asked, 2u);
  EXPECT_TRUE(r.Password.empty());
  r.OnGetPassword = nullptr;
  errors.clear();
  EXPECT_EQ(r.Extract(), 0);
  ASSERT_EQ(Codes(), std::vector<int>{E_EVENT_NOT_ASSIGNED});
  EXPECT_EQ(errors[0].ext, "OnGetPassword");
}

TEST_F(ExtractFramework, CrcVerdicts) {
  Build({{"good.txt", "fine"}, {"bad.txt", "broken", false, "", faArchive, true}});
  EXPECT_EQ(r.Extract(), 2);
  ASSERT_EQ(Codes(), std::vector<int>{E_CRC_FAIL});
  EXPECT_EQ(errors[0].file, out("bad.txt"));

  std::vector<std::pair<std::string, bool>> ends;
  r.OnEnd = [&](TZipCommon&, const std::string& f, bool pass) { ends.emplace_back(f, pass); };
  errors.clear();
  r.Extract();
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(ends, (std::vector<std::pair<std::string, bool>>{{out("good.txt"), true},
                                                             {out("bad.txt"), false}}));
}

TEST_F(ExtractFramework, TestWritesNothingAndReportsStoredNames) {
  Build({{"sub/a.txt", "A"}, {"b.txt", "B", false, "", faArchive, true}});
  std::vector<std::string> begun, ended;
  r.OnBegin = [&](TZipCommon&, const std::string& f, int, bool&) { begun.push_back(f); };
  r.OnEnd = [&](TZipCommon&, const std::string& f, bool pass) {
    ended.push_back(f + (pass ? ":ok" : ":bad"));
  };
  r.OnRenameFile = [](TZipCommon&, const std::string&, std::string& n) { n = "/never"; };
  EXPECT_EQ(r.Test(), 2);
  EXPECT_FALSE(DirectoryExists(out()));
  EXPECT_EQ(begun, (std::vector<std::string>{"sub/a.txt", "b.txt"}));
  EXPECT_EQ(ended, (std::vector<std::string>{"sub/a.txt:ok", "b.txt:bad"}));
}

TEST_F(ExtractFramework, DatesAndAttributes) {
  Build({{"plain.txt", "P"}, {"ro.txt", "R", false, "", faArchive | faReadOnly}});
  EXPECT_EQ(r.Extract(), 2);
  EXPECT_EQ(FileGetDate(out("plain.txt")), kDate);
  EXPECT_EQ(FileGetAttr(out("plain.txt")) & faReadOnly, 0);
  EXPECT_NE(FileGetAttr(out("ro.txt")) & faReadOnly, 0);

  TempDir other;
  r.SetExtractDir(other.path());
  r.RestoreFileAttr = false;
  r.Extract();
  EXPECT_EQ(FileGetAttr(other / "ro.txt") & faReadOnly, 0);
}

TEST_F(ExtractFramework, MissingArchiveFiresNoActivation) {
  r.SetArchiveFile(tmp / "none.arc");
  EXPECT_EQ(r.Extract(), 0);
  Build({{"a.txt", "A"}});
  DeleteFile(tmp / "fake.arc");
  EXPECT_EQ(r.Extract(), 0);
  EXPECT_EQ(Codes(), (std::vector<int>{E_FILE_NOT_FOUND, E_OPEN_FILE}));
  EXPECT_EQ(errors[1].volume, tmp / "fake.arc");
  EXPECT_TRUE(log.empty());
}

TEST_F(ExtractFramework, NeverWritesThroughSymbolicLinks) {
  Build({{"a.txt", "A"}, {"sub/b.txt", "B"}, {"../up.txt", "U"}});
  TempDir outside;
  ForceDirs(out());
  WriteFile(outside / "victim", "keep");
  ASSERT_EQ(symlink((outside / "victim").c_str(), out("a.txt").c_str()), 0);
  ASSERT_EQ(symlink(outside.path().c_str(), out("sub").c_str()), 0);

  EXPECT_EQ(r.Extract(), 2);
  EXPECT_EQ(ReadFile(outside / "victim"), "keep");
  EXPECT_FALSE(IsSymLink(out("a.txt")));
  EXPECT_EQ(ReadFile(out("a.txt")), "A");
  EXPECT_FALSE(FileExists(outside / "b.txt"));
  EXPECT_EQ(ReadFile(out("up.txt")), "U");
  EXPECT_FALSE(FileExists(tmp / "up.txt"));
  EXPECT_EQ(Codes(), (std::vector<int>{E_INVALID_NAME, E_OPEN_FILE, E_INVALID_NAME}));
  EXPECT_EQ(errors[0].file, out("sub/b.txt"));
}

TEST_F(ExtractFramework, CancelStopsTheRun) {
  Build({{"a.txt", "A"}, {"b.txt", "0123456789"}, {"c.txt", "C"}});
  r.OnBegin = [&](TZipCommon& s, const std::string& f, int, bool&) {
    if (ExtractFileName(f) == "b.txt") s.SetCancel(true);
  };
  EXPECT_EQ(r.Extract(), 1);
  EXPECT_EQ(Codes(), std::vector<int>{E_USER_CANCELED});
  EXPECT_FALSE(FileExists(out("c.txt")));
  EXPECT_EQ(log.back(), "Deactivate");

  // Cancelled while decoding: the entry fails and its partial file goes,
  // unless broken files are kept.
  r.OnBegin = nullptr;
  r.OnProgress = [](TZipCommon& s, std::uint8_t byFile, std::uint8_t) {
    if (byFile > 0 && byFile < 100) s.SetCancel(true);
  };
  std::vector<bool> verdicts;
  r.OnEnd = [&](TZipCommon&, const std::string&, bool pass) { verdicts.push_back(pass); };
  r.Extract();
  EXPECT_FALSE(FileExists(out("b.txt")));
  EXPECT_EQ(verdicts, (std::vector<bool>{true, false}));
  r.KeepBrokenFiles = true;
  r.Extract();
  EXPECT_EQ(ReadFile(out("b.txt")), "0123");
  EXPECT_EQ(verdicts, (std::vector<bool>{true, false, true, false}));
}

TEST_F(ExtractFramework, EventOrderOfOneEntry) {
  Build({{"a.txt", "0123456789", false, "pw"}});
  ForceDirs(out());
  WriteFile(out("a.txt"), "old");
  r.ConfirmOverwrites = true;
  auto note = [this](const std::string& e) {
    if (log.empty() || log.back() != e) log.push_back(e);
  };
  r.OnRenameFile = [&](TZipCommon&, const std::string&, std::string&) { note("Rename"); };
  r.OnBegin = [&](TZipCommon&, const std::string&, int, bool&) { note("Begin"); };
  r.OnFileExists = [&](TZipCommon&, const std::string&, std::string&, TOverwriteMode&) {
    note("Exists");
  };
  r.OnGetPassword = [&](TZipCommon&, const std::string&, std::string& pw, bool&) {
    note("Password");
    pw = "pw";
  };
  r.OnProgress = [&](TZipCommon&, std::uint8_t, std::uint8_t) { note("Progress"); };
  r.OnEnd = [&](TZipCommon&, const std::string&, bool) { note("End"); };
  r.OnElapsedTime = [&](TZipCommon&, float) { note("Elapsed"); };
  EXPECT_EQ(r.Extract(), 1);
  EXPECT_EQ(log, (std::vector<std::string>{"Activate", "Rename", "Begin", "Exists", "Password",
                                           "Progress", "End", "Elapsed", "Deactivate"}));
  EXPECT_EQ(ReadFile(out("a.txt")), "0123456789");
}

TEST_F(ExtractFramework, RunResetsAndRestoresState) {
  Build({{"dir/", "", true}, {"a.txt", "A"}});
  const std::string archive = r.ArchiveFile();
  r.CpuType = cpt80486;
  r.AsciiTranslation = true;
  r.CreateStoredDirs = true;
  EXPECT_EQ(r.Extract(), 1);
  EXPECT_TRUE(DirectoryExists(out("dir")));
  EXPECT_EQ(r.CpuType, cptAuto);
  EXPECT_FALSE(r.AsciiTranslation);  // only GZip readers translate line ends
  EXPECT_EQ(r.ArchiveFile(), archive);
  EXPECT_EQ(ReadFile(out("a.txt")), "A");
}

}  // namespace
}  // namespace qmx
