// The real window on Qt's offscreen platform: its controls, its layout and
// whole rename runs on the example suite, with the dialogs answered here.
#include <gtest/gtest.h>

#ifdef QMX_NO_GUI

TEST(MainWindow, NeedsQt) {
  GTEST_SKIP() << "built without Qt 6 Widgets";
}

#else

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTest>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <sstream>

#include "app/gui/main_window.h"
#include "archive/platform/ui_hooks.h"
#include "support/temp_dir.h"

namespace {

using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

class TQtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char arg0[] = "test_gui";
    static char* argv[] = {arg0, nullptr};
    FApp = new QApplication(argc, argv);
  }
  void TearDown() override { delete FApp; }

 private:
  QApplication* FApp = nullptr;
};

[[maybe_unused]] const auto* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

// The window with its dialogs answered by the test.
class TScriptedWindow : public qmx::TMainWindow {
 public:
  std::vector<QString> Messages, Questions, TextCalls;
  std::deque<bool> Answers;
  std::optional<QString> FileAnswer, DirAnswer;
  int FileCalls = 0, DirCalls = 0;
  std::function<void()> DuringMessage;  // what the user does while a box is open

  void MessageBox(const QString& caption, const QString& text) override {
    Messages.push_back(caption + QStringLiteral("|") + text);
    if (DuringMessage) DuringMessage();
  }
  bool QuestionBox(const QString&, const QString& text) override {
    Questions.push_back(text);
    if (Answers.empty()) return false;
    const bool a = Answers.front();
    Answers.pop_front();
    return a;
  }
  std::optional<QString> TextBox(const QString& c, const QString& p, const QString&) override {
    TextCalls.push_back(c + QStringLiteral("|") + p);
    return std::nullopt;
  }
  std::optional<QString> FileBox(const QString&, const QString&,
                                 const qmx::TOpenDialogOptions&) override {
    ++FileCalls;
    return FileAnswer;
  }
  std::optional<QString> DirectoryBox() override {
    ++DirCalls;
    return DirAnswer;
  }

  template <class T>
  T* Get(const char* name) const {
    T* w = findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QString Text(const char* name) const {
    if (auto* l = findChild<QLabel*>(QString::fromLatin1(name))) return l->text();
    if (auto* b = findChild<QPushButton*>(QString::fromLatin1(name))) return b->text();
    if (auto* e = findChild<QLineEdit*>(QString::fromLatin1(name))) return e->text();
    ADD_FAILURE() << "no control " << name;
    return {};
  }
  QString Status() const { return Get<QLabel>("StatusBar1Text")->text(); }
  void Click(const char* name) { QTest::mouseClick(Get<QPushButton>(name), Qt::LeftButton); }
  int MessagesWith(const QString& text) const {
    int n = 0;
    for (const QString& m : Messages) n += m.endsWith(QStringLiteral("|") + text) ? 1 : 0;
    return n;
  }
};

std::string Capture(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// MIDlet-Name as Info-ZIP's unzip reads it from the jar.
std::string MidletName(const std::string& jar) {
  std::istringstream manifest(Capture("unzip -p '" + jar + "' META-INF/MANIFEST.MF"));
  std::string line;
  while (std::getline(manifest, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("MIDlet-Name:", 0) == 0) {
      const std::size_t b = line.find_first_not_of(' ', 12);
      return b == std::string::npos ? std::string() : line.substr(b);
    }
  }
  return "<none>";
}

int FileEntries(const std::string& jar) {
  std::istringstream names(Capture("unzip -Z1 '" + jar + "'"));
  int n = 0;
  for (std::string name; std::getline(names, name);) n += name.back() == '/' ? 0 : 1;
  return n;
}

bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}

// Chinese text arrives from an input method as a commit string.
void TypeChinese(QLineEdit* edit, const QString& text) {
  QInputMethodEvent event;
  event.setCommitString(text);
  QApplication::sendEvent(edit, &event);
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source = tmp / "sample.jar";
    WriteFile(source, ReadFile(std::string(QMX_SOURCE_DIR) + "/examples/sample.jar"));
    dest = tmp / "sample新.JAR";
    w = std::make_unique<TScriptedWindow>();
    w->InstallHooks();
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
  }
  void TearDown() override { w.reset(); }

  void OpenSource() {
    w->FileAnswer = QString::fromStdString(source);
    w->Get<QAction>("Open1")->trigger();
  }

  TempDir tmp;
  std::string source, dest;
  std::unique_ptr<TScriptedWindow> w;
};

TEST_F(MainWindowTest, ControlsCarryTheirNamesCaptionsAndHints) {
  EXPECT_EQ(w->windowTitle(),
            QStringLiteral("星舟-JAVA程序改名工具V1.0    http://qmxarc.example.org"));
  const std::pair<const char*, const char*> captions[] = {{"Label1", "源JAR文件："},
                                                          {"BitBtn1", "..."},
                                                          {"Label2", "保存到："},
                                                          {"btnSelectDir", "..."},
                                                          {"Button1", "得到旧名称:"},
                                                          {"lbOldName", "未知"},
                                                          {"Label4", "新命名："},
                                                          {"btnOK", "&M修改"},
                                                          {"btnClose", "&C关闭"},
                                                          {"Edit1", ""},
                                                          {"Edit2", ""},
                                                          {"edNewName", ""},
                                                          {"Label3", "品质："}};
  for (const auto& [name, text] : captions)
    EXPECT_EQ(w->Text(name), QString::fromUtf8(text)) << name;
  EXPECT_TRUE(w->Get<QLabel>("Label5")->text().contains(QStringLiteral("qmxarc")));

  EXPECT_EQ(w->Get<QPushButton>("BitBtn1")->toolTip(),
            QStringLiteral("选择要修改的JAVA程序(*.jar)"));
  EXPECT_EQ(w->Get<QPushButton>("btnSelectDir")->toolTip(), QStringLiteral("另存为..."));
  EXPECT_EQ(w->Get<QStatusBar>("StatusBar1")->toolTip(),
            QStringLiteral("Click when red to cancel operation"));
  // Edit1 has a hint that is not displayed.
  EXPECT_EQ(w->Get<QLineEdit>("Edit1")->property("hint").toString(),
            QStringLiteral("要修改的JAVA程序(*.jar)"));
  EXPECT_TRUE(w->Get<QLineEdit>("Edit1")->toolTip().isEmpty());

  QMenu* file = w->Get<QMenuBar>("MainMenu1")->findChild<QMenu*>(QStringLiteral("File1"));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->title(), QStringLiteral("&F文件"));
  ASSERT_EQ(file->actions().size(), 3);
  EXPECT_EQ(file->actions()[0]->text(), QStringLiteral("&O打开"));
  EXPECT_TRUE(file->actions()[1]->isSeparator());
  EXPECT_EQ(file->actions()[2]->text(), QStringLiteral("&X退出"));

  // Start-up state and the hidden settings panel.
  EXPECT_FALSE(w->Get<QPushButton>("btnOK")->isEnabled());
  EXPECT_TRUE(w->Get<QPushButton>("btnOK")->isDefault());
  EXPECT_FALSE(w->Get<QProgressBar>("ProgressBar1")->isVisible());
  EXPECT_FALSE(w->Get<QProgressBar>("ProgressBar2")->isVisible());
  EXPECT_FALSE(w->Get<QWidget>("Panel4")->isVisible());
  EXPECT_TRUE(w->Get<QRadioButton>("OutArcType6")->isChecked());
  EXPECT_EQ(w->Get<QRadioButton>("OutArcType6")->text(), QStringLiteral("Jar"));
  EXPECT_EQ(w->Get<QComboBox>("ComboBox1")->currentText(), QStringLiteral("FileDate"));
  EXPECT_TRUE(w->Get<QRadioButton>("OutArcMethod0")->isChecked());
  EXPECT_TRUE(w->Get<QCheckBox>("CheckBox1")->isChecked());
  // The panel's widgets feed the workflow.
  w->Get<QComboBox>("ComboBox1")->setCurrentIndex(2);
  EXPECT_EQ(w->Form().ComboBox1, 2);
  w->Get<QRadioButton>("OutArcType3")->setChecked(true);
  EXPECT_EQ(w->Form().RadioGroup1, 3);
}

TEST_F(MainWindowTest, NothingIsClippedAndTheFontIsCjk) {
  const QFont font = w->font();
  EXPECT_EQ(QFontInfo(font).pixelSize(), 14);
  const QString family = QFontInfo(font).family();
  EXPECT_TRUE(QFontDatabase::writingSystems(family).contains(QFontDatabase::SimplifiedChinese))
      << family.toStdString();
  EXPECT_TRUE(QFontMetrics(font).inFontUcs4(U'源'));

  // Fill every control with its longest text before measuring.
  OpenSource();
  w->Get<QProgressBar>("ProgressBar1")->show();
  QApplication::processEvents();
  int checked = 0;
  for (QWidget* c : w->findChildren<QWidget*>()) {
    if (!c->isVisible() || c->objectName() == QLatin1String("StatusBar1Text")) continue;
    const std::string name = c->objectName().toStdString();
    if (qobject_cast<QLabel*>(c)) {
      ++checked;
      EXPECT_LE(c->sizeHint().width(), c->width()) << name;
      EXPECT_LE(c->sizeHint().height(), c->height()) << name;
    } else if (auto* b = qobject_cast<QPushButton*>(c)) {
      // The "..." buttons are narrower than the style's default; their
      // text must still fit inside the frame.
      ++checked;
      QString text = b->text();
      text.remove(QLatin1Char('&'));
      EXPECT_LT(b->fontMetrics().horizontalAdvance(text) + 8, b->width()) << name;
      EXPECT_LE(b->sizeHint().height(), b->height()) << name;
    }
  }
  EXPECT_EQ(checked, 10);  // five labels, five buttons
  EXPECT_GE(w->centralWidget()->width(), 493);
  EXPECT_EQ(w->minimumSize(), w->maximumSize());  // dialog border: not resizable
}

TEST_F(MainWindowTest, ReadsTheOldNameThenRenames) {
  const std::string oldName = MidletName(source);
  ASSERT_NE(oldName, "<none>");

  OpenSource();
  EXPECT_EQ(w->Text("Edit1").toStdString(), source);
  EXPECT_EQ(w->Text("Edit2").toStdString(), dest);
  EXPECT_TRUE(w->Get<QPushButton>("btnOK")->isEnabled());

  w->Click("Button1");
  EXPECT_EQ(w->Text("lbOldName").toStdString(), " " + oldName);  // the value's own space
  EXPECT_FALSE(Exists(dest));
  EXPECT_EQ(w->Status(), QStringLiteral("查询完毕"));
  EXPECT_EQ(w->MessagesWith(QStringLiteral("要加工")), 0);
  EXPECT_TRUE(w->Messages.empty());

  TypeChinese(w->Get<QLineEdit>("edNewName"), QStringLiteral("新的游戏 二"));
  w->Click("btnOK");
  ASSERT_TRUE(Exists(dest));
  EXPECT_EQ(MidletName(dest), "新的游戏 二");
  EXPECT_EQ(MidletName(source), oldName);
  EXPECT_EQ(Capture("unzip -tq '" + dest + "' >/dev/null 2>&1 && echo ok"), "ok\n");
  // One announcement per compressed file, and nothing else shown.
  EXPECT_EQ(w->MessagesWith(QStringLiteral("要加工")), FileEntries(dest));
  EXPECT_EQ(static_cast<int>(w->Messages.size()), FileEntries(dest));
  EXPECT_EQ(w->Status(), QStringLiteral("完毕..."));
  EXPECT_FALSE(w->Get<QProgressBar>("ProgressBar1")->isVisible());
  EXPECT_EQ(w->Get<QProgressBar>("ProgressBar2")->value(), 0);
  auto* log = w->Get<QListWidget>("ListBox1");
  EXPECT_EQ(static_cast<std::size_t>(log->count()), w->Form().ListBox1.size());
  EXPECT_FALSE(log->findItems(QStringLiteral("--> 压缩完毕 <--"), Qt::MatchExactly).isEmpty());

  // Again: the destination exists now; declining leaves it alone.
  const std::string written = ReadFile(dest);
  w->Messages.clear();
  w->Answers = {false};
  w->Click("btnOK");
  ASSERT_EQ(w->Questions.size(), 1u);
  EXPECT_EQ(w->Questions[0],
            QStringLiteral("文件: %1\n\n已经存在, 覆盖?").arg(QString::fromStdString(dest)));
  EXPECT_EQ(ReadFile(dest), written);
  EXPECT_TRUE(w->Messages.empty());
  EXPECT_EQ(w->Status(), QStringLiteral("完毕..."));
}

TEST_F(MainWindowTest, RefusesAnEmptyNameAndTheSourceAsDestination) {
  QApplication::setActiveWindow(w.get());
  QTest::keyClicks(w->Get<QLineEdit>("Edit1"), QString::fromStdString(source));
  EXPECT_FALSE(w->Get<QPushButton>("btnOK")->isEnabled());  // typing runs EditChange
  QString upper = QString::fromStdString(source);
  upper.replace(QStringLiteral("sample.jar"), QStringLiteral("SAMPLE.JAR"));
  QTest::keyClicks(w->Get<QLineEdit>("Edit2"), upper);
  EXPECT_TRUE(w->Get<QPushButton>("btnOK")->isEnabled());

  QTest::keyClicks(w->Get<QLineEdit>("edNewName"), QStringLiteral("  \t "));
  w->Click("btnOK");
  ASSERT_EQ(w->Messages.size(), 1u);
  EXPECT_TRUE(w->Messages[0].endsWith(QStringLiteral("|JAVA程序在设备中显示的文件名不能为空！")));
  EXPECT_TRUE(w->Get<QLineEdit>("edNewName")->hasFocus());

  QTest::keyClicks(w->Get<QLineEdit>("edNewName"), QStringLiteral("x"));
  // Return in a field presses the default button.
  QTest::keyClick(w->Get<QLineEdit>("edNewName"), Qt::Key_Return);
  ASSERT_EQ(w->Messages.size(), 2u);
  EXPECT_EQ(
      w->MessagesWith(QStringLiteral("保存文件名不能与源文件名重复，请重新指定保存文件名再试！")),
      1);
  EXPECT_TRUE(w->Get<QLineEdit>("Edit2")->hasFocus());
  EXPECT_TRUE(w->Get<QListWidget>("ListBox1")->count() == 0);  // no run started
}

TEST_F(MainWindowTest, ErrorsAreShownWithLineBreaks) {
  // A get-old-name run onto the source itself: the converter refuses it.
  w->Get<QLineEdit>("Edit1")->setText(QString::fromStdString(source));
  w->Get<QLineEdit>("Edit2")->setText(QString::fromStdString(source));
  const std::string before = ReadFile(source);
  w->Click("Button1");
  ASSERT_FALSE(w->Messages.empty());
  bool sawCode = false;
  for (const QString& m : w->Messages) {
    EXPECT_FALSE(m.contains(QLatin1Char('\r'))) << m.toStdString();
    sawCode = sawCode || m.contains(QStringLiteral("\n\nError#: 25191\nError: "));
  }
  EXPECT_TRUE(sawCode);
  EXPECT_EQ(ReadFile(source), before);
  EXPECT_EQ(w->Text("lbOldName"), QStringLiteral("未知"));
}

TEST_F(MainWindowTest, ClicksDuringARunAreIgnoredAndCloseWaitsForTheRun) {
  OpenSource();
  QTest::keyClicks(w->Get<QLineEdit>("edNewName"), QStringLiteral("Renamed"));
  int boxes = 0;
  w->DuringMessage = [&] {
    ++boxes;
    EXPECT_TRUE(w->Running());
    // A second run would re-enter the converter from inside its own event.
    w->Click("Button1");
    w->Get<QAction>("Open1")->trigger();
    EXPECT_EQ(w->FileCalls, 1);
    w->close();
    EXPECT_TRUE(w->isVisible());
  };
  w->Click("btnOK");
  EXPECT_FALSE(w->Running());
  EXPECT_FALSE(w->isVisible());
  EXPECT_EQ(boxes, 1);
  EXPECT_FALSE(Exists(dest));  // a cancelled run leaves no archive behind
  EXPECT_EQ(w->Text("lbOldName").toStdString(), " " + MidletName(source));
}

TEST_F(MainWindowTest, DestinationDirectoryKeepsTheFileName) {
  w->DirAnswer = QString::fromStdString(tmp / "out");
  w->Click("btnSelectDir");  // empty destination: nothing asked
  EXPECT_EQ(w->DirCalls, 0);
  OpenSource();
  w->Click("btnSelectDir");
  EXPECT_EQ(w->DirCalls, 1);
  EXPECT_EQ(w->Text("Edit2").toStdString(), tmp / "out/sample新.JAR");
  w->DirAnswer.reset();
  w->Click("btnSelectDir");
  EXPECT_EQ(w->Text("Edit2").toStdString(), tmp / "out/sample新.JAR");
}

TEST(MainWindowText, PathsAreShortenedInTheMiddle) {
  TScriptedWindow w;
  std::string path = "/home/user";
  for (int i = 0; i < 30; ++i) path += "/folder" + std::to_string(i);
  path += "/suite.jar";
  const QString shortened = QString::fromStdString(w.ShortenPath(path, 240));
  EXPECT_LE(QFontMetrics(w.findChild<QLabel*>(QStringLiteral("StatusBar1Text"))->font())
                .horizontalAdvance(shortened),
            240);
  EXPECT_TRUE(shortened.startsWith(QStringLiteral("/home")));
  EXPECT_TRUE(shortened.endsWith(QStringLiteral(".jar")));
  EXPECT_TRUE(shortened.contains(QChar(0x2026)));
  EXPECT_EQ(w.ShortenPath(path, 99999), path);

  const QString filter = qmx::TMainWindow::DialogFilter(QStringLiteral(".JAR"));
  EXPECT_TRUE(filter.startsWith(QStringLiteral(".JAR (*.jar *.JAR)")));
}

}  // namespace

#endif
