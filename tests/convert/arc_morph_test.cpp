#include "archive/convert/arc_morph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/platform/files.h"
#include "archive/platform/ui_hooks.h"
#include "support/temp_dir.h"

namespace qmx {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
int Shell(const std::string& cmd) {
  return test::Run(cmd);
}
using test::TempDir;
using test::WriteFile;

// Every regular file below dir with its content, by relative path.
std::map<std::string, std::string> Tree(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    // Size and hash keep failure messages readable.
    const std::string data = ReadFile(e.path().string());
    out[fs::relative(e.path(), dir).string()] =
        std::to_string(data.size()) + ":" + std::to_string(std::hash<std::string>{}(data));
  }
  return out;
}

// What unzip makes of an archive.
std::map<std::string, std::string> Unzipped(const std::string& archive, const std::string& dir) {
  fs::create_directories(dir);
  EXPECT_EQ(Shell("unzip -qq -o '" + archive + "' -d '" + dir + "'"), 0) << archive;
  return Tree(dir);
}

class TRecordingPrompt : public TUserPrompt {
 public:
  bool AskYesNo(const std::string&, const std::string&) override { return false; }
  bool AskRetryCancel(const std::string&, const std::string&) override { return false; }
  void ShowMessage(const std::string&, const std::string& text) override {
    Messages.push_back(text);
  }
  std::vector<std::string> Messages;
};

class ArcMorphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = tmp_ / "work";
    fs::create_directories(work_);
    src_ = tmp_ / "src";
    fs::create_directories(src_ + "/META-INF");
    fs::create_directories(src_ + "/res/img");
    WriteFile(src_ + "/META-INF/MANIFEST.MF",
              "Manifest-Version: 1.0\r\nMIDlet-Name: Old Game\r\nMIDlet-Version: 1.0\r\n\r\n");
    std::string noise;
    for (int i = 0; i < 70000; ++i) noise += static_cast<char>((i * 7919 + (i >> 5)) & 0xFF);
    WriteFile(src_ + "/res/img/logo.png", noise);
    WriteFile(src_ + "/Main.class", std::string(5000, 'x') + "tail");
    WriteFile(src_ + "/README", "no extension\n");
    // Dot-files must survive a conversion too.
    fs::create_directories(src_ + "/.conf");
    WriteFile(src_ + "/.conf/.x", "dot file in a dot directory\n");
    WriteFile(src_ + "/res/.keep", "");
    prompt_ = std::make_shared<TRecordingPrompt>();
    SetUserPrompt(prompt_);
    cwd_ = GetCurrentDir();
  }
  void TearDown() override {
    SetUserPrompt(nullptr);
    SetCurrentDir(cwd_);
  }

  // A ZIP of the source tree made by Info-ZIP, with the manifest last so
  // that the writer's ordering is what puts it first.
  std::string MakeZip(const std::string& name) {
    const std::string out = tmp_ / name;
    EXPECT_EQ(Shell("cd '" + src_ + "' && zip -qrX -D '" + out +
                    "' res Main.class README META-INF .conf"),
              0);
    return out;
  }

  // Wires a converter with the usual settings and records its events.
  void Configure(TArcMorph& m, const std::string& source, const std::string& dest,
                 TOutArcType type) {
    m.SetTempDir(work_);
    m.SetArchiveFile(source);
    m.SetNewArchive(dest);
    m.SetOutArcType(type);
    m.OnError = [this](TZipCommon&, const std::string&, const std::string&, const std::string&,
                       int code) { errors_.push_back(code); };
    m.OnIntegrityStatus = [this](TZipCommon&, const std::string& name, bool pass) {
      verdicts_[name] = pass;
    };
  }

  bool Reported(int code) const {
    return std::find(errors_.begin(), errors_.end(), code) != errors_.end();
  }

  TempDir tmp_;
  std::string work_, src_, cwd_;
  std::shared_ptr<TRecordingPrompt> prompt_;
  std::vector<int> errors_;
  std::map<std::string, bool> verdicts_;
};

TEST_F(ArcMorphTest, ZipToJarKeepsEveryFileAndLeavesNothingBehind) {
  const std::string in = MakeZip("in.zip");
  const std::string out = tmp_ / "out.jar";
  TArcMorph m;
  Configure(m, in, out, tyJar);
  ASSERT_EQ(m.ArcType(), atZip);

  std::vector<std::string> events;
  auto note = [&](const std::string& e) {
    if (events.empty() || events.back() != e) events.push_back(e);
  };
  std::vector<std::string> removed;
  std::string firstCompressed;
  m.OnExtractActivate = [&](TZipCommon&) { note("ExtractActivate"); };
  m.OnExtractBegin = [&](TZipCommon&, const std::string&, int, bool&) { note("ExtractBegin"); };
  m.OnExtractDeactivate = [&](TZipCommon&) { note("ExtractDeactivate"); };
  m.OnCompressActivate = [&](TZipCommon&) { note("CompressActivate"); };
  m.OnCompressBegin = [&](TZipCommon&, const std::string& f, int, bool&) {
    if (firstCompressed.empty()) firstCompressed = f;
    note("CompressBegin");
  };
  m.OnCompressDeactivate = [&](TZipCommon&) { note("CompressDeactivate"); };
  m.OnIntegrityActivate = [&](TZipCommon&) { note("IntegrityActivate"); };
  m.OnIntegrityDeactivate = [&](TZipCommon&) { note("IntegrityDeactivate"); };
  m.OnRemoveTempfile = [&](TZipCommon&, const std::string& f) {
    note("RemoveTempfile");
    removed.push_back(f);
  };
  m.Activate();

  EXPECT_EQ(GetCurrentDir(), cwd_);
  EXPECT_FALSE(m.Cancel());
  EXPECT_TRUE(errors_.empty());
  const std::vector<std::string> order = {
      "ExtractActivate",   "ExtractBegin",        "ExtractDeactivate",
      "CompressActivate",  "CompressBegin",       "CompressDeactivate",
      "IntegrityActivate", "IntegrityDeactivate", "RemoveTempfile"};
  EXPECT_EQ(events, order);

  // Same content as the source.
  EXPECT_EQ(Unzipped(out, tmp_ / "check"), Tree(src_));
  EXPECT_EQ(Shell("unzip -tqq '" + out + "' >/dev/null"), 0);
  EXPECT_NE(firstCompressed.find("META-INF/MANIFEST.MF"), std::string::npos);

  ASSERT_EQ(verdicts_.size(), 6u);
  for (const auto& [name, pass] : verdicts_) EXPECT_TRUE(pass) << name;

  // One removal per extracted file, then the work directory's name.
  ASSERT_EQ(removed.size(), 7u);
  EXPECT_EQ(removed.back(), m.WorkDirName());
  EXPECT_TRUE(fs::is_empty(work_)) << "work directory or list file left behind";
}

TEST_F(ArcMorphTest, JarToZipMatchesTheJarToolsArchive) {
  const std::string in = tmp_ / "tool.jar";
  ASSERT_EQ(Shell("cd '" + src_ + "' && jar --create --file '" + in +
                  "' --manifest=META-INF/MANIFEST.MF res Main.class README >/dev/null 2>&1"),
            0);
  TArcMorph m;
  Configure(m, in, tmp_ / "out.zip", tyZip);
  ASSERT_EQ(m.ArcType(), atJar);
  m.Activate();

  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(Unzipped(tmp_ / "out.zip", tmp_ / "b"), Unzipped(in, tmp_ / "a"));
  EXPECT_FALSE(verdicts_.empty());
  for (const auto& [name, pass] : verdicts_) EXPECT_TRUE(pass) << name;
  EXPECT_TRUE(fs::is_empty(work_));
}

TEST_F(ArcMorphTest, CompressBeginSeesTheManifestCopyAndItsChangeIsWritten) {
  const std::string in = MakeZip("game.jar");
  const std::string out = tmp_ / "renamed.jar";
  TArcMorph m;
  Configure(m, in, out, tyJar);
  int manifests = 0;
  bool senderIsConverter = false;
  m.OnCompressBegin = [&](TZipCommon& sender, const std::string& path, int, bool&) {
    senderIsConverter = senderIsConverter || &sender == &m;
    if (path.find("MANIFEST.MF") == std::string::npos) return;
    ++manifests;
    EXPECT_EQ(path.rfind(m.WorkDir() + "/", 0), 0u) << path;
    EXPECT_NE(ReadFile(path).find("MIDlet-Name: Old Game"), std::string::npos);
    WriteFile(path, "Manifest-Version: 1.0\r\nMIDlet-Name: New Game\r\n\r\n");
  };
  m.Activate();

  EXPECT_EQ(manifests, 1);
  EXPECT_FALSE(senderIsConverter);
  Unzipped(out, tmp_ / "x");
  EXPECT_EQ(ReadFile(tmp_ / "x/META-INF/MANIFEST.MF"),
            "Manifest-Version: 1.0\r\nMIDlet-Name: New Game\r\n\r\n");
  // The source is left as it was.
  Unzipped(in, tmp_ / "y");
  EXPECT_NE(ReadFile(tmp_ / "y/META-INF/MANIFEST.MF").find("Old Game"), std::string::npos);
}

TEST_F(ArcMorphTest, CancelAtFirstCompressBeginWritesNothingAndCleansUp) {
  const std::string in = MakeZip("game.jar");
  const std::string out = tmp_ / "new.jar";
  const std::string before = ReadFile(in);
  TArcMorph m;
  Configure(m, in, out, tyJar);
  std::string first;
  bool tested = false;
  m.OnIntegrityActivate = [&](TZipCommon&) { tested = true; };
  m.OnCompressBegin = [&](TZipCommon& sender, const std::string& path, int, bool&) {
    if (first.empty()) first = ReadFile(path);
    sender.SetCancel(true);
  };
  m.Activate();

  EXPECT_NE(first.find("MIDlet-Name: Old Game"), std::string::npos);
  EXPECT_TRUE(m.Cancel());
  EXPECT_FALSE(tested);
  EXPECT_TRUE(Reported(E_USER_CANCELED));
  EXPECT_FALSE(PathExists(out));
  EXPECT_TRUE(fs::is_empty(work_));
  EXPECT_EQ(ReadFile(in), before);
  EXPECT_EQ(GetCurrentDir(), cwd_);
}

TEST_F(ArcMorphTest, CancelledRunKeepsAnOldDestination) {
  const std::string in = MakeZip("game.jar");
  const std::string out = tmp_ / "new.jar";
  WriteFile(out, "previous version");
  TArcMorph m;
  Configure(m, in, out, tyJar);
  m.ConfirmOverwrites = false;
  m.OnCompressBegin = [&](TZipCommon& s, const std::string&, int, bool&) { s.SetCancel(true); };
  m.Activate();
  EXPECT_EQ(ReadFile(out), "previous version");
  EXPECT_TRUE(fs::is_empty(work_));
  // No backup copy is left beside it.
  int files = 0;
  for (const auto& e : fs::directory_iterator(tmp_.path())) files += e.is_regular_file();
  EXPECT_EQ(files, 2);
}

TEST_F(ArcMorphTest, DestinationEqualToSourceIsRefused) {
  const std::string in = MakeZip("same.zip");
  const std::string before = ReadFile(in);
  for (TOutArcMethod method : {amCreateNew, amAddToArc}) {
    errors_.clear();
    prompt_->Messages.clear();
    TArcMorph m;
    Configure(m, in, in, tyZip);
    m.SetOutArcMethod(method);
    bool extracted = false;
    m.OnExtractActivate = [&](TZipCommon&) { extracted = true; };
    m.Activate();
    EXPECT_EQ(errors_, std::vector<int>{E_SAME_FILES});
    ASSERT_EQ(prompt_->Messages.size(), 1u);
    EXPECT_EQ(prompt_->Messages[0], ErrorMessage(E_SAME_FILES));
    EXPECT_FALSE(extracted);
  }
  // Reached through another spelling of the path, too.
  errors_.clear();
  TArcMorph m;
  Configure(m, in, tmp_ / "src/../same.zip", tyZip);
  m.Activate();
  EXPECT_EQ(errors_, std::vector<int>{E_SAME_FILES});
  EXPECT_EQ(ReadFile(in), before);
  EXPECT_TRUE(fs::is_empty(work_));
}

TEST_F(ArcMorphTest, ZipToCabinetIsWrittenAndTested) {
  // Every output type has its writer now; the cabinet's integrity test
  // runs like any other (dot-files included, the empty one too).
  const std::string in = MakeZip("in.zip");
  const std::string out = tmp_ / "out.cab";
  TArcMorph m;
  Configure(m, in, out, tyCab);
  m.Activate();
  EXPECT_TRUE(errors_.empty());
  EXPECT_FALSE(m.Cancel());
  ASSERT_EQ(verdicts_.size(), 6u);
  for (const auto& [name, pass] : verdicts_) EXPECT_TRUE(pass) << name;
  EXPECT_EQ(Shell("7zz t '" + out + "' >/dev/null"), 0);
  EXPECT_TRUE(fs::is_empty(work_));
}

TEST_F(ArcMorphTest, SourcesThatCannotBeConverted) {
  // Not an archive: nothing happens at all.
  WriteFile(tmp_ / "plain.txt", "just some text, not an archive at all\n");
  TArcMorph m;
  Configure(m, tmp_ / "plain.txt", tmp_ / "o.jar", tyJar);
  bool any = false;
  m.OnExtractActivate = [&](TZipCommon&) { any = true; };
  m.Activate();
  EXPECT_FALSE(any);
  EXPECT_TRUE(errors_.empty());
  EXPECT_TRUE(prompt_->Messages.empty());

  // A ZOO archive: recognised, but no reader here (tar and ARC have one now).
  WriteFile(tmp_ / "t.zoo", std::string("ZOO 2.10 Archive.\x1A", 18) + std::string(64, 'x'));
  TArcMorph t;
  Configure(t, tmp_ / "t.zoo", tmp_ / "o.jar", tyJar);
  ASSERT_EQ(t.ArcType(), atZoo);
  t.Activate();
  EXPECT_EQ(errors_, std::vector<int>{E_UNSUPPORTED_TYPE});
  EXPECT_FALSE(PathExists(tmp_ / "o.jar"));
  EXPECT_TRUE(fs::is_empty(work_));
}

TEST_F(ArcMorphTest, ExistingDestinationGoesThroughOnFileExists) {
  const std::string in = MakeZip("in.zip");
  const std::string out = tmp_ / "out.jar";

  struct TCase {
    bool confirm;
    bool handler;
    TOverwriteMode answer;
    bool replaced;
  };
  for (const TCase& c :
       {TCase{true, true, omSkip, false}, TCase{true, true, omOverwrite, true},
        TCase{true, false, omOverwrite, false}, TCase{false, false, omOverwrite, true}}) {
    WriteFile(out, "old");
    TArcMorph m;
    Configure(m, in, out, tyJar);
    m.ConfirmOverwrites = c.confirm;
    int asked = 0;
    if (c.handler) {
      m.OnFileExists = [&](TZipCommon& sender, const std::string& name, TOverwriteMode& mode) {
        ++asked;
        EXPECT_EQ(&sender, &m);
        EXPECT_EQ(name, out);
        mode = c.answer;
      };
    }
    m.Activate();
    EXPECT_EQ(asked, c.handler ? 1 : 0);
    if (c.replaced)
      EXPECT_EQ(Unzipped(out, tmp_ / ("r" + std::to_string(c.confirm))), Tree(src_));
    else
      EXPECT_EQ(ReadFile(out), "old");
    EXPECT_TRUE(fs::is_empty(work_));
  }
}

TEST_F(ArcMorphTest, NameWithoutExtensionGetsTheWritersOneDuringTheRun) {
  const std::string in = MakeZip("in.zip");
  TArcMorph m;
  Configure(m, in, tmp_ / "plain", tyJar);
  std::string seen;
  m.OnCompressActivate = [&](TZipCommon&) { seen = m.NewArchive(); };
  m.Activate();
  EXPECT_EQ(seen, tmp_ / "plain.JAR");
  EXPECT_EQ(m.NewArchive(), tmp_ / "plain");
  EXPECT_TRUE(FileExists(tmp_ / "plain.JAR"));
  EXPECT_EQ(verdicts_.size(), 6u);
}

TEST_F(ArcMorphTest, FileSpecSelectsAndNoStatusHandlerMeansNoTest) {
  const std::string in = MakeZip("in.zip");
  TArcMorph m;
  Configure(m, in, tmp_ / "part.zip", tyZip);
  m.OnIntegrityStatus = nullptr;
  bool tested = false;
  m.OnIntegrityActivate = [&](TZipCommon&) { tested = true; };
  m.SetFileSpec({"*.class"});
  m.Activate();
  EXPECT_FALSE(tested);
  auto tree = Unzipped(tmp_ / "part.zip", tmp_ / "p");
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_EQ(tree.begin()->first, "Main.class");
  EXPECT_TRUE(fs::is_empty(work_));
}

TEST(ArcMorphNames, TarGzipOutputName) {
  TArcMorph m;
  m.SetOutArcType(tyTarGzip);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"x.tgz", "x.tar"},          {"dir/x.TGZ", "dir/x.tar"}, {"x.tar.gz", "x.tar"},
      {"X.TAR.GZ", "X.TAR"},       {"a.gz", "a.gz"},           {"long.gz", "long.gz"},
      {"backup.zip", "backup.zip"}};
  for (const auto& [in, expected] : cases) {
    m.SetNewArchive(in);
    EXPECT_EQ(m.OutputArchiveName(), expected) << in;
  }
  m.SetOutArcType(tyJar);
  m.SetNewArchive("x.tgz");
  EXPECT_EQ(m.OutputArchiveName(), "x.tgz");
}

TEST(ArcMorphDefaults, PropertiesStartAsDocumented) {
  TArcMorph m;
  EXPECT_EQ(m.OutArcType(), tyBh);
  EXPECT_EQ(m.OutArcMethod(), amCreateNew);
  EXPECT_TRUE(m.IntegrityCheck);
  EXPECT_TRUE(m.ConfirmOverwrites);
  EXPECT_EQ(m.PasswordAttempts, 3);
  EXPECT_EQ(m.Attributes, (TqmxFileAttributes{fsReadOnly, fsHidden, fsSysFile, fsArchive}));
  // Empty source: Activate does nothing and creates nothing.
  m.Activate();
  EXPECT_TRUE(m.ListFile().empty());
}

}  // namespace
}  // namespace qmx
