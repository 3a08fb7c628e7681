// The window's workflow driven through a recording view: validation, the
// texts it shows, and whole runs on suites built with the JDK's jar tool.
#include "app/rename/rename_workflow.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/platform/ui_hooks.h"
#include "support/temp_dir.h"

namespace {

using qmx::TForm1;
using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

class TFakeView : public qmx::TRenameView {
 public:
  std::string Fields[3];
  std::string OldName = "?";
  bool ModifyEnabled = true;
  int Focused = -1;
  std::vector<std::string> Messages, Questions, Log, Statuses;
  std::deque<bool> Answers;
  std::optional<std::string> OpenAnswer, DirAnswer, InputAnswer;
  std::vector<std::string> InputCalls;
  bool BarsVisible = false;
  int Progress[2] = {-1, -1};
  std::string OpenTitle, OpenFilter;
  qmx::TOpenDialogOptions OpenOptions;
  bool Closed = false;

  std::string FieldText(qmx::TRenameField f) const override { return Fields[f]; }
  void SetFieldText(qmx::TRenameField f, const std::string& t) override { Fields[f] = t; }
  void SetOldName(const std::string& t) override { OldName = t; }
  void SetModifyEnabled(bool e) override { ModifyEnabled = e; }
  void FocusField(qmx::TRenameField f) override { Focused = f; }
  void ShowMessage(const std::string& t) override { Messages.push_back(t); }
  bool AskYesNo(const std::string& t) override {
    Questions.push_back(t);
    if (Answers.empty()) return false;
    const bool a = Answers.front();
    Answers.pop_front();
    return a;
  }
  std::optional<std::string> InputQuery(const std::string& c, const std::string& p,
                                        const std::string& v) override {
    InputCalls.push_back(c + "|" + p + "|" + v);
    return InputAnswer;
  }
  std::optional<std::string> OpenFile(const std::string& title, const std::string& filter,
                                      const qmx::TOpenDialogOptions& o) override {
    OpenTitle = title;
    OpenFilter = filter;
    OpenOptions = o;
    return OpenAnswer;
  }
  std::optional<std::string> SelectDirectory() override { return DirAnswer; }
  void SetStatusText(const std::string& t) override { Statuses.push_back(t); }
  void RepaintStatusBar() override {}
  std::string ShortenPath(const std::string& p, int) const override { return p; }
  int StatusBarWidth() const override { return 400; }
  void ShowProgressBars(bool v) override { BarsVisible = v; }
  void SetProgress(qmx::TRenameProgress b, int p) override { Progress[b] = p; }
  void RepaintProgressBars() override {}
  void AppendLog(const std::string& l) override { Log.push_back(l); }
  void ClearLog() override { Log.clear(); }
  void CloseWindow() override { Closed = true; }

  int Count(const std::string& message) const {
    int n = 0;
    for (const auto& m : Messages) n += m == message;
    return n;
  }
  bool Logged(const std::string& line) const {
    for (const auto& l : Log)
      if (l == line) return true;
    return false;
  }
};

// Records the converter's own message boxes.
class TRecordingPrompt : public qmx::TUserPrompt {
 public:
  std::vector<std::string> Shown;
  bool AskYesNo(const std::string&, const std::string&) override { return false; }
  bool AskRetryCancel(const std::string&, const std::string&) override { return false; }
  void ShowMessage(const std::string&, const std::string& text) override { Shown.push_back(text); }
};

class RenameWorkflowTest : public ::testing::Test {
 protected:
  void SetUp() override { form_.FormCreate(); }

  // A suite with a manifest (unless manifest is empty), two classes' worth
  // of files and an icon, built by the JDK's jar tool.
  std::string MakeJar(const std::string& name, const std::string& manifest) {
    const std::string src = dir_ / ("src-" + name);
    ASSERT_RUN("mkdir -p " + src + "/game " + src + "/icons");
    WriteFile(src + "/game/Main.class", std::string(500, 'M'));
    WriteFile(src + "/game/Board.class", "board bytes");
    WriteFile(src + "/icons/i.png", "\x89PNG fake");
    const std::string jar = dir_ / name;
    if (manifest.empty()) {
      ASSERT_RUN("cd " + src + " && jar cfM " + jar + " game icons");
    } else {
      WriteFile(dir_ / (name + ".mf"), manifest);
      ASSERT_RUN("cd " + src + " && jar cfm " + jar + " " + dir_ / (name + ".mf") + " game icons");
    }
    return jar;
  }
  void ASSERT_RUN(const std::string& cmd) { EXPECT_EQ(qmx::test::Run(cmd), 0) << cmd; }
  std::string Manifest(const std::string& jar) {
    const std::string out = dir_ / "manifest.out";
    qmx::test::Run("unzip -p " + jar + " META-INF/MANIFEST.MF > " + out);
    return ReadFile(out);
  }
  void Fill(const std::string& src, const std::string& dest, const std::string& name) {
    view_.Fields[qmx::rfSource] = src;
    view_.Fields[qmx::rfDest] = dest;
    view_.Fields[qmx::rfNewName] = name;
  }

  TempDir dir_;
  TFakeView view_;
  TForm1 form_{view_};
};

TEST_F(RenameWorkflowTest, StartsEmptyAndOpenProposesTheDestination) {
  EXPECT_FALSE(view_.ModifyEnabled);
  EXPECT_EQ(view_.OldName, "未知");
  EXPECT_EQ(form_.ComboBox1, 0);

  view_.OpenAnswer.reset();
  form_.Open1Click();
  EXPECT_EQ(view_.Fields[qmx::rfSource], "");
  EXPECT_EQ(view_.OpenTitle, "选择档案文件...");
  EXPECT_EQ(view_.OpenFilter, ".JAR");
  EXPECT_TRUE(view_.OpenOptions.HideReadOnly && view_.OpenOptions.PathMustExist &&
              view_.OpenOptions.FileMustExist);

  form_.QueryMode = true;
  view_.OpenAnswer = "/x/games/a.jar";
  form_.BitBtn1Click();
  EXPECT_EQ(view_.Fields[qmx::rfSource], "/x/games/a.jar");
  EXPECT_EQ(view_.Fields[qmx::rfDest], "/x/games/a新.JAR");
  EXPECT_FALSE(form_.QueryMode);
  EXPECT_TRUE(view_.ModifyEnabled);

  EXPECT_EQ(TForm1::DefaultDestination("/d.1/foo.jar"), "/d.1/foo新.JAR");
  EXPECT_EQ(TForm1::DefaultDestination("/d/foo.jar", 5), "/d/foo新.TAR.GZ");
}

TEST_F(RenameWorkflowTest, DirectoryChooserKeepsTheFileName) {
  view_.DirAnswer = "/new/place";
  form_.btnSelectDirClick();  // empty destination: nothing asked or changed
  EXPECT_EQ(view_.Fields[qmx::rfDest], "");
  view_.Fields[qmx::rfDest] = "/old/dir/a新.JAR";
  form_.btnSelectDirClick();
  EXPECT_EQ(view_.Fields[qmx::rfDest], "/new/place/a新.JAR");
  view_.DirAnswer.reset();
  form_.btnSelectDirClick();
  EXPECT_EQ(view_.Fields[qmx::rfDest], "/new/place/a新.JAR");
}

TEST_F(RenameWorkflowTest, ModifyIsRefusedBeforeAnyRun) {
  Fill("/nowhere/a.jar", "/nowhere/b.jar", " \t ");
  form_.btnOKClick();
  ASSERT_EQ(view_.Messages, std::vector<std::string>{qmx::kEmptyNameMessage});
  EXPECT_EQ(view_.Focused, qmx::rfNewName);
  EXPECT_TRUE(view_.Statuses.empty());

  view_.Messages.clear();
  Fill("c:/A.JAR", "C:/a.jar", "N");
  form_.btnOKClick();
  ASSERT_EQ(view_.Messages, std::vector<std::string>{qmx::kSameFileMessage});
  EXPECT_EQ(view_.Focused, qmx::rfDest);
  EXPECT_TRUE(view_.Statuses.empty());

  // Only ASCII letters are folded: É and é name different files.
  EXPECT_FALSE(TForm1::SameFileName("/x/\xC3\x89.jar", "/x/\xC3\xA9.jar"));
  // Get-old-name with no destination does nothing at all.
  view_.Messages.clear();
  Fill("/nowhere/a.jar", "", "");
  form_.Button1Click();
  EXPECT_TRUE(view_.Messages.empty());
  EXPECT_TRUE(view_.Statuses.empty());
  EXPECT_FALSE(form_.QueryMode);
}

TEST_F(RenameWorkflowTest, ErrorMessagesAreComposedExactly) {
  qmx::TArcMorph& m = form_.ArcMorph1();
  form_.ArcMorph1Error(m, "f.jar", "x", "0", qmx::E_USER_CANCELED);
  EXPECT_TRUE(view_.Messages.empty());
  form_.ArcMorph1Error(m, "f.jar", "more", "7", qmx::E_SAME_FILES);
  ASSERT_EQ(view_.Messages.size(), 1u);
  EXPECT_EQ(view_.Messages[0],
            "f.jar\r\rError#: 25191\rError: " + qmx::ErrorMessage(qmx::E_SAME_FILES) +
                "\r\rExtended: more\r\rOnError event...");
}

TEST_F(RenameWorkflowTest, QuestionHandlersAnswerAsTheUserDoes) {
  qmx::TArcMorph& m = form_.ArcMorph1();
  m.SetOutArcMethod(qmx::amCreateNew);
  qmx::TOverwriteMode mode = qmx::omOverwrite;
  view_.Answers = {false};
  form_.ArcMorph1FileExists(m, "/d/x.jar", mode);
  EXPECT_EQ(mode, qmx::omSkip);
  EXPECT_EQ(view_.Questions.back(), "文件: /d/x.jar\r\r已经存在, 覆盖?");
  m.SetOutArcMethod(qmx::amAddToArc);
  view_.Answers = {true};
  form_.ArcMorph1FileExists(m, "/d/x.jar", mode);
  EXPECT_EQ(mode, qmx::omOverwrite);
  EXPECT_EQ(view_.Questions.back(), "文件: /d/x.jar\r\r已经存在, 追加?");

  std::string password = "old";
  bool again = true;
  view_.InputAnswer = "secret";
  form_.ArcMorph1GetPassword(m, "e.txt", password, again);
  EXPECT_EQ(password, "secret");
  EXPECT_TRUE(again);
  EXPECT_EQ(view_.InputCalls.back(), "Encrypted file...|Enter password|old");
  view_.InputAnswer.reset();
  form_.ArcMorph1GetPassword(m, "e.txt", password, again);
  EXPECT_FALSE(again);

  std::string volume = "/d/disk.z01";
  bool cancel = true;
  form_.ArcMorph1NextVolume(m, volume, 2, true, cancel);  // present: not asked
  EXPECT_FALSE(cancel);
  EXPECT_EQ(view_.InputCalls.size(), 2u);
  form_.ArcMorph1NextVolume(m, volume, 2, false, cancel);
  EXPECT_TRUE(cancel);
  EXPECT_EQ(view_.InputCalls.back(), "disk.z01|Volume ID: 2|/d/disk.z01");
}

TEST_F(RenameWorkflowTest, ModifyRunRenamesTheSuite) {
  const std::string jar =
      MakeJar("game.jar", "MIDlet-Name: Game\r\nMIDlet-Vendor: V\r\nMIDlet-Version: 1.0\r\n");
  const std::string out = dir_ / "game新.JAR";
  Fill(jar, out, "新游戏");
  form_.btnOKClick();

  EXPECT_EQ(view_.OldName, " Game");
  const std::string mf = Manifest(out);
  EXPECT_NE(mf.find("MIDlet-Name: 新游戏\r\nMIDlet-Vendor: V\r\n"), std::string::npos) << mf;
  EXPECT_EQ(view_.Statuses.back(), "完毕...");
  EXPECT_FALSE(view_.BarsVisible);
  EXPECT_EQ(qmx::test::Run("unzip -tq " + out + " >/dev/null"), 0);

  // One "要加工" per compressed file: the manifest and three files.
  EXPECT_EQ(view_.Count("要加工"), 4);
  EXPECT_EQ(view_.Messages.size(), 4u);
  ASSERT_GE(view_.Log.size(), 4u);
  EXPECT_EQ(view_.Log[0].rfind("临时目录 --> ", 0), 0u);
  EXPECT_EQ(view_.Log[1], "档案文件 --> " + jar);
  EXPECT_TRUE(view_.Logged("--> 完毕 <--"));
  EXPECT_TRUE(view_.Logged("新档案 --> " + out));
  EXPECT_TRUE(view_.Logged("--> 压缩完毕 <--"));
  EXPECT_TRUE(view_.Logged("检验 --> " + out));
  EXPECT_TRUE(view_.Logged("(1) META-INF/MANIFEST.MF ...成功"));
  int compressed = 0, deleted = 0;
  for (const auto& l : view_.Log) {
    compressed += l.find(") 压缩: ") != std::string::npos;
    deleted += l.rfind("已删除: ", 0) == 0;
  }
  EXPECT_EQ(compressed, 4);
  EXPECT_GE(deleted, 5);  // every extracted file and the work directory
  EXPECT_EQ(form_.ListBox1, view_.Log);
  EXPECT_EQ(form_.IntegrityPassed(), 4);
  EXPECT_EQ(form_.IntegrityFailed(), 0);
}

TEST_F(RenameWorkflowTest, GetOldNameReadsTheManifestAndWritesNothing) {
  const std::string jar = MakeJar("q.jar", "MIDlet-Name: Quest\r\n");
  const std::string out = dir_ / "q新.JAR";
  Fill(jar, out, "");
  form_.Button1Click();
  EXPECT_TRUE(form_.QueryMode);
  EXPECT_EQ(view_.OldName, " Quest");
  EXPECT_TRUE(view_.Messages.empty());  // no "要加工", and the cancel is silent
  EXPECT_EQ(view_.Statuses.back(), "查询完毕");
  EXPECT_FALSE(qmx::test::Run("test -e " + out) == 0);
  for (const auto& l : view_.Log) EXPECT_EQ(l.find("压缩: "), std::string::npos) << l;

  // Without a manifest the first file is not one: the label keeps its text.
  const std::string bare = MakeJar("bare.jar", "");
  Fill(bare, dir_ / "bare新.JAR", "");
  form_.Button1Click();
  EXPECT_EQ(view_.OldName, " Quest");
  EXPECT_FALSE(form_.OldNameRead());
  EXPECT_EQ(view_.Statuses.back(), "查询完毕");
}

TEST_F(RenameWorkflowTest, ExistingDestinationIsAskedAbout) {
  const std::string jar = MakeJar("e.jar", "MIDlet-Name: E\r\n");
  const std::string out = dir_ / "e新.JAR";
  WriteFile(out, "keep me");
  Fill(jar, out, "New");
  view_.Answers = {false};
  form_.btnOKClick();
  ASSERT_EQ(view_.Questions.size(), 1u);
  EXPECT_EQ(view_.Questions[0], "文件: " + out + "\r\r已经存在, 覆盖?");
  EXPECT_EQ(ReadFile(out), "keep me");
  EXPECT_TRUE(view_.Messages.empty());
  EXPECT_EQ(view_.Statuses.back(), "完毕...");

  // Confirmed in a get-old-name run: the name is read, and since the
  // cancelled run writes no new archive the old file is put back.
  view_.Answers = {true};
  form_.Button1Click();
  EXPECT_EQ(view_.Questions.size(), 2u);
  EXPECT_EQ(view_.OldName, " E");
  EXPECT_EQ(ReadFile(out), "keep me");
}

TEST_F(RenameWorkflowTest, GetOldNameOnTheSourceItselfIsRefused) {
  auto prompt = std::make_shared<TRecordingPrompt>();
  qmx::SetUserPrompt(prompt);
  const std::string jar = MakeJar("s.jar", "MIDlet-Name: S\r\n");
  Fill(jar, jar, "");
  form_.Button1Click();
  qmx::SetUserPrompt(nullptr);
  ASSERT_EQ(view_.Messages.size(), 1u);
  EXPECT_NE(view_.Messages[0].find("Error#: 25191"), std::string::npos);
  EXPECT_EQ(prompt->Shown, std::vector<std::string>{"Same input and output file-names"});
  EXPECT_EQ(view_.OldName, "未知");
  for (const auto& l : view_.Log) EXPECT_EQ(l.find("正在提取"), std::string::npos) << l;
}

TEST_F(RenameWorkflowTest, ManifestWithoutANameIsReportedAndLeftAlone) {
  const std::string jar = MakeJar("n.jar", "MIDlet-Vendor: V\r\n");
  const std::string out = dir_ / "n新.JAR";
  Fill(jar, out, "New");
  form_.ConfirmEachFile = false;
  form_.btnOKClick();
  ASSERT_EQ(view_.Messages.size(), 1u);
  EXPECT_NE(view_.Messages[0].find("MIDlet-Name"), std::string::npos);
  EXPECT_EQ(form_.LastPatchStatus(), qmx::psNoName);
  EXPECT_NE(Manifest(out).find("MIDlet-Vendor: V\r\n"), std::string::npos);
  EXPECT_EQ(Manifest(out).find("New"), std::string::npos);
}

}  // namespace

TEST_F(RenameWorkflowTest, CabinetChoiceWritesATestedCabinet) {
  const std::string jar = MakeJar("cab.jar", "MIDlet-Name: Game\r\nMIDlet-Version: 1.0\r\n");
  const std::string out = dir_ / "cab.CAB";
  form_.RadioGroup1 = 1;
  Fill(jar, out, "新游戏");
  form_.btnOKClick();

  EXPECT_EQ(form_.IntegrityPassed(), 4);
  EXPECT_EQ(form_.IntegrityFailed(), 0);
  EXPECT_EQ(qmx::test::Run("7zz t " + out + " >/dev/null"), 0);
  EXPECT_EQ(qmx::test::Run("cabextract -q -t " + out + " >/dev/null"), 0);
  const std::string mf = dir_ / "cab.mf.out";
  ASSERT_RUN("cabextract -q -p -F '*MANIFEST.MF' " + out + " > " + mf);
  EXPECT_NE(ReadFile(mf).find("MIDlet-Name: 新游戏\r\n"), std::string::npos) << ReadFile(mf);
}
