#include "app/gui/main_window.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>
#include <QVBoxLayout>
#include <algorithm>

#include "archive/platform/ui_hooks.h"

namespace qmx {
namespace {

constexpr const char* kWebAddress = "http://qmxarc.example.org";
constexpr const char* kCredits = "qmxarc 项目 —— J2ME 套件改名工具，基于 libqmxarc 档案组件库";
constexpr int kFontPixels = 14;
constexpr int kClientWidth = 493;
constexpr int kClientHeight = 146;

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// The workflow's texts break lines with a lone CR, as Windows boxes do.
QString Lines(const std::string& s) {
  QString text = Q(s);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}

// The library's questions (converter exception box, drive checks, ...)
// shown by the window's own dialog hooks.
class TWindowPrompt final : public TUserPrompt {
 public:
  explicit TWindowPrompt(TMainWindow& window) : FWindow(window) {}
  bool AskYesNo(const std::string& caption, const std::string& text) override {
    return FWindow.QuestionBox(Lines(caption), Lines(text));
  }
  bool AskRetryCancel(const std::string& caption, const std::string& text) override {
    return FWindow.RetryCancelBox(Lines(caption), Lines(text));
  }
  void ShowMessage(const std::string& caption, const std::string& text) override {
    FWindow.MessageBox(Lines(caption), Lines(text));
  }

 private:
  TMainWindow& FWindow;
};

QGroupBox* RadioGroup(const QString& title, const QStringList& items, int selected,
                      QButtonGroup*& buttons, QWidget* parent) {
  auto* box = new QGroupBox(title, parent);
  auto* layout = new QVBoxLayout(box);
  buttons = new QButtonGroup(box);
  for (int i = 0; i < items.size(); ++i) {
    auto* radio = new QRadioButton(items[i], box);
    radio->setObjectName(title + QString::number(i));
    buttons->addButton(radio, i);
    layout->addWidget(radio);
  }
  if (auto* b = buttons->button(selected)) b->setChecked(true);
  return box;
}

}  // namespace

TMainWindow::TMainWindow(QWidget* parent) : QMainWindow(parent), FForm(*this) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(Caption());
  // Dialog border: system menu and minimize only, not resizable.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFont(WindowFont());
  BuildMenu();
  BuildControls();
  ConnectHandlers();
  FForm.FormCreate();
}

TMainWindow::~TMainWindow() {
  if (FHooksInstalled) {
    SetMessagePump(nullptr);
    SetUserPrompt(nullptr);
  }
}

void TMainWindow::InstallHooks() {
  SetMessagePump([] { QCoreApplication::processEvents(); });
  SetUserPrompt(std::make_shared<TWindowPrompt>(*this));
  FHooksInstalled = true;
}

QString TMainWindow::Caption() {
  return QString::fromUtf8(kFormCaption) + QStringLiteral("    ") + QLatin1String(kWebAddress);
}

QString TMainWindow::DialogFilter(const QString& filter) {
  const QString all = QStringLiteral("* (*)");
  if (filter.isEmpty()) return all;
  // Already "Description (patterns)": keep it.
  if (filter.contains(QLatin1Char('('))) return filter + QStringLiteral(";;") + all;
  QString ext = filter.startsWith(QLatin1Char('.')) ? filter : QLatin1Char('.') + filter;
  return QStringLiteral("%1 (*%2 *%3);;%4").arg(filter, ext.toLower(), ext.toUpper(), all);
}

QFont TMainWindow::WindowFont() {
  QString family;
  const QStringList families = QFontDatabase::families();
  if (families.contains(QStringLiteral("Noto Serif CJK SC"))) {
    family = QStringLiteral("Noto Serif CJK SC");
  } else {
    for (const QString& f : QFontDatabase::families(QFontDatabase::SimplifiedChinese)) {
      family = f;
      break;
    }
  }
  QFont font = QApplication::font();
  if (!family.isEmpty()) font.setFamily(family);
  font.setPixelSize(kFontPixels);
  return font;
}

// ------------------------------------------------------------------ building

void TMainWindow::BuildMenu() {
  MainMenu1 = menuBar();
  MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
  QMenu* file = MainMenu1->addMenu(QStringLiteral("&F文件"));
  file->setObjectName(QStringLiteral("File1"));
  Open1 = file->addAction(QStringLiteral("&O打开"));
  Open1->setObjectName(QStringLiteral("Open1"));
  file->addSeparator()->setObjectName(QStringLiteral("N1"));
  Exit1 = file->addAction(QStringLiteral("&X退出"));
  Exit1->setObjectName(QStringLiteral("Exit1"));
}

void TMainWindow::BuildControls() {
  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("ClientArea"));
  setCentralWidget(client);

  auto named = [](QWidget* w, const char* name) {
    w->setObjectName(QLatin1String(name));
    return w;
  };
  auto hint = [](QWidget* w, const QString& text, bool shown) {
    w->setProperty("hint", text);
    if (shown) w->setToolTip(text);
  };

  Label1 = new QLabel(QStringLiteral("源JAR文件："), client);
  Edit1 = new QLineEdit(client);
  hint(Edit1, QStringLiteral("要修改的JAVA程序(*.jar)"), false);
  BitBtn1 = new QPushButton(QStringLiteral("..."), client);
  hint(BitBtn1, QStringLiteral("选择要修改的JAVA程序(*.jar)"), true);
  Label2 = new QLabel(QStringLiteral("保存到："), client);
  Edit2 = new QLineEdit(client);
  btnSelectDir = new QPushButton(QStringLiteral("..."), client);
  hint(btnSelectDir, QStringLiteral("另存为..."), true);
  Button1 = new QPushButton(QStringLiteral("得到旧名称:"), client);
  lbOldName = new QLabel(QString::fromUtf8(kOldNameUnknown), client);
  Label4 = new QLabel(QStringLiteral("新命名："), client);
  edNewName = new QLineEdit(client);
  btnOK = new QPushButton(QStringLiteral("&M修改"), client);
  btnClose = new QPushButton(QStringLiteral("&C关闭"), client);
  ProgressBar1 = new QProgressBar(client);
  ProgressBar2 = new QProgressBar(client);
  Label5 = new QLabel(QString::fromUtf8(kCredits), client);

  named(Label1, "Label1");
  named(Edit1, "Edit1");
  named(BitBtn1, "BitBtn1");
  named(Label2, "Label2");
  named(Edit2, "Edit2");
  named(btnSelectDir, "btnSelectDir");
  named(Button1, "Button1");
  named(lbOldName, "lbOldName");
  named(Label4, "Label4");
  named(edNewName, "edNewName");
  named(btnOK, "btnOK");
  named(btnClose, "btnClose");
  named(ProgressBar1, "ProgressBar1");
  named(ProgressBar2, "ProgressBar2");
  named(Label5, "Label5");

  Label1->setBuddy(Edit1);
  Label2->setBuddy(Edit2);
  Label4->setBuddy(edNewName);

  // Sky-blue background of the old name, green credits.
  lbOldName->setAutoFillBackground(true);
  QPalette sky = lbOldName->palette();
  sky.setColor(QPalette::Window, QColor(0xA6, 0xCA, 0xF0));
  sky.setColor(QPalette::WindowText, Qt::black);
  lbOldName->setPalette(sky);
  lbOldName->setMargin(2);
  // A long name must not widen the fixed window; the tooltip shows it whole.
  lbOldName->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  lbOldName->setMinimumWidth(lbOldName->fontMetrics().horizontalAdvance(lbOldName->text()) + 8);
  QPalette green = Label5->palette();
  green.setColor(QPalette::WindowText, QColor(0x00, 0x80, 0x00));
  Label5->setPalette(green);

  btnOK->setDefault(true);
  btnOK->setEnabled(false);

  for (QProgressBar* bar : {ProgressBar1, ProgressBar2}) {
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    // Shown only while running; the layout keeps their room so the window
    // does not jump.
    QSizePolicy policy = bar->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    bar->setSizePolicy(policy);
    bar->hide();
  }

  auto* grid = new QGridLayout(client);
  grid->setContentsMargins(8, 8, 8, 4);
  grid->setHorizontalSpacing(6);
  grid->setVerticalSpacing(5);
  grid->addWidget(Label1, 0, 0);
  grid->addWidget(Edit1, 0, 1);
  grid->addWidget(BitBtn1, 0, 2);
  grid->addWidget(Label2, 1, 0);
  grid->addWidget(Edit2, 1, 1);
  grid->addWidget(btnSelectDir, 1, 2);
  grid->addWidget(Button1, 2, 0);
  grid->addWidget(lbOldName, 2, 1, 1, 2);
  grid->addWidget(Label4, 3, 0);
  grid->addWidget(edNewName, 3, 1, 1, 2);
  auto* row = new QHBoxLayout;
  row->addWidget(ProgressBar1, 1);
  row->addWidget(ProgressBar2, 1);
  row->addSpacing(12);
  row->addWidget(btnOK);
  row->addWidget(btnClose);
  grid->addLayout(row, 4, 0, 1, 3);
  grid->addWidget(Label5, 5, 0, 1, 3);
  grid->setColumnStretch(1, 1);
  for (QPushButton* dots : {BitBtn1, btnSelectDir}) {
    const int w = dots->fontMetrics().horizontalAdvance(dots->text()) + 16;
    dots->setMinimumWidth(w);
    dots->setMaximumWidth(std::max(w, 32));
  }

  StatusBar1 = statusBar();
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  StatusBar1->setSizeGripEnabled(false);
  hint(StatusBar1, QStringLiteral("Click when red to cancel operation"), true);
  StatusText = new QLabel(StatusBar1);
  StatusText->setObjectName(QStringLiteral("StatusBar1Text"));
  // Paths are shortened to the bar's width; they must never widen the window.
  StatusText->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  StatusBar1->addWidget(StatusText, 1);

  BuildSettingsPanel(client);
  client->setMinimumWidth(kClientWidth);
  client->setMinimumHeight(kClientHeight - StatusBar1->sizeHint().height());
}

void TMainWindow::BuildSettingsPanel(QWidget* owner) {
  // Lies outside the layout and is never shown; the workflow keeps its
  // state, the widgets mirror it.
  Panel4 = new QWidget(owner);
  Panel4->setObjectName(QStringLiteral("Panel4"));
  auto* layout = new QVBoxLayout(Panel4);
  ListBox1 = new QListWidget(Panel4);
  ListBox1->setObjectName(QStringLiteral("ListBox1"));
  layout->addWidget(ListBox1);
  RadioGroup1 = RadioGroup(QStringLiteral("OutArcType"),
                           {QStringLiteral("BlakHole"), QStringLiteral("Cabinet"),
                            QStringLiteral("Lzh"), QStringLiteral("Zip"), QStringLiteral("Tar"),
                            QStringLiteral("TarGzip"), QStringLiteral("Jar")},
                           FForm.RadioGroup1, RadioGroup1Buttons, Panel4);
  RadioGroup1->setObjectName(QStringLiteral("RadioGroup1"));
  layout->addWidget(RadioGroup1);
  ComboBox1 = new QComboBox(Panel4);
  ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
  ComboBox1->addItems(
      {QStringLiteral("FileDate"), QStringLiteral("SystemDate"), QStringLiteral("MaxFileDate")});
  ComboBox1->setCurrentIndex(FForm.ComboBox1);
  layout->addWidget(ComboBox1);
  RadioGroup2 = RadioGroup(QStringLiteral("OutArcMethod"),
                           {QStringLiteral("CreateNew"), QStringLiteral("AddFiles")},
                           FForm.RadioGroup2, RadioGroup2Buttons, Panel4);
  RadioGroup2->setObjectName(QStringLiteral("RadioGroup2"));
  layout->addWidget(RadioGroup2);
  CheckBox1 = new QCheckBox(QStringLiteral("Integrity Check"), Panel4);
  CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
  CheckBox1->setChecked(FForm.CheckBox1);
  layout->addWidget(CheckBox1);
  Label3 = new QLabel(QStringLiteral("品质："), Panel4);
  Label3->setObjectName(QStringLiteral("Label3"));
  layout->addWidget(Label3);
  Panel4->hide();
}

void TMainWindow::ConnectHandlers() {
  // textEdited, not textChanged: the workflow runs EditChange itself after
  // it sets a field from code.
  connect(Edit1, &QLineEdit::textEdited, this, [this] { FForm.EditChange(); });
  connect(Edit2, &QLineEdit::textEdited, this, [this] { FForm.EditChange(); });
  for (QLineEdit* edit : {Edit1, Edit2, edNewName})
    connect(edit, &QLineEdit::returnPressed, this, [this] { PressDefaultButton(); });
  connect(Open1, &QAction::triggered, this, [this] {
    if (!FRunning) FForm.Open1Click();
  });
  connect(BitBtn1, &QPushButton::clicked, this, [this] {
    if (!FRunning) FForm.BitBtn1Click();
  });
  connect(btnSelectDir, &QPushButton::clicked, this, [this] {
    if (!FRunning) FForm.btnSelectDirClick();
  });
  connect(Button1, &QPushButton::clicked, this, [this] { Run(&TForm1::Button1Click); });
  connect(btnOK, &QPushButton::clicked, this, [this] { Run(&TForm1::btnOKClick); });
  connect(btnClose, &QPushButton::clicked, this, [this] { FForm.Exit1Click(); });
  connect(Exit1, &QAction::triggered, this, [this] { FForm.Exit1Click(); });

  connect(RadioGroup1Buttons, &QButtonGroup::idToggled, this, [this](int id, bool on) {
    if (on) FForm.RadioGroup1 = id;
  });
  connect(RadioGroup2Buttons, &QButtonGroup::idToggled, this, [this](int id, bool on) {
    if (on) FForm.RadioGroup2 = id;
  });
  connect(ComboBox1, &QComboBox::currentIndexChanged, this,
          [this](int index) { FForm.ComboBox1 = index; });
  connect(CheckBox1, &QCheckBox::toggled, this, [this](bool on) { FForm.CheckBox1 = on; });
}

void TMainWindow::Run(void (TForm1::*handler)()) {
  if (FRunning) return;
  FRunning = true;
  (FForm.*handler)();
  FRunning = false;
  if (FCloseRequested) close();
}

void TMainWindow::PressDefaultButton() {
  if (btnOK->isEnabled() && !FRunning) btnOK->click();
}

void TMainWindow::closeEvent(QCloseEvent* event) {
  if (FRunning) {
    // The run is inside this call stack: stop it, close when it returns.
    FCloseRequested = true;
    FForm.ArcMorph1().SetCancel(true);
    event->ignore();
    return;
  }
  FCloseRequested = false;
  event->accept();
}

void TMainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (FCentred) return;
  FCentred = true;
  adjustSize();
  setFixedSize(size());
  if (const QScreen* screen = this->screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

QLineEdit* TMainWindow::Field(TRenameField field) const {
  switch (field) {
    case rfSource:
      return Edit1;
    case rfDest:
      return Edit2;
    case rfNewName:
      break;
  }
  return edNewName;
}

// ------------------------------------------------------------- TRenameView

std::string TMainWindow::FieldText(TRenameField field) const {
  return Field(field)->text().toStdString();
}

void TMainWindow::SetFieldText(TRenameField field, const std::string& text) {
  Field(field)->setText(Q(text));
}

void TMainWindow::SetOldName(const std::string& text) {
  lbOldName->setText(Q(text));
  lbOldName->setToolTip(Q(text));
}

void TMainWindow::SetModifyEnabled(bool enabled) {
  btnOK->setEnabled(enabled);
}

void TMainWindow::FocusField(TRenameField field) {
  Field(field)->setFocus(Qt::OtherFocusReason);
}

void TMainWindow::ShowMessage(const std::string& text) {
  MessageBox(QString::fromUtf8(kAppTitle), Lines(text));
}

bool TMainWindow::AskYesNo(const std::string& text) {
  return QuestionBox(QString::fromUtf8(kAppTitle), Lines(text));
}

std::optional<std::string> TMainWindow::InputQuery(const std::string& caption,
                                                   const std::string& prompt,
                                                   const std::string& value) {
  const auto answer = TextBox(Q(caption), Q(prompt), Q(value));
  if (!answer) return std::nullopt;
  return answer->toStdString();
}

std::optional<std::string> TMainWindow::OpenFile(const std::string& title,
                                                 const std::string& filter,
                                                 const TOpenDialogOptions& options) {
  const auto answer = FileBox(Q(title), DialogFilter(Q(filter)), options);
  if (!answer || answer->isEmpty()) return std::nullopt;
  return answer->toStdString();
}

std::optional<std::string> TMainWindow::SelectDirectory() {
  const auto answer = DirectoryBox();
  if (!answer || answer->isEmpty()) return std::nullopt;
  return answer->toStdString();
}

void TMainWindow::SetStatusText(const std::string& text) {
  StatusText->setText(Q(text));
}

void TMainWindow::RepaintStatusBar() {
  StatusBar1->repaint();
}

std::string TMainWindow::ShortenPath(const std::string& path, int width) const {
  const QFontMetrics metrics(StatusText->font());
  return metrics.elidedText(Q(path), Qt::ElideMiddle, std::max(width, 0)).toStdString();
}

int TMainWindow::StatusBarWidth() const {
  return std::max(StatusText->contentsRect().width(), 1);
}

void TMainWindow::ShowProgressBars(bool visible) {
  ProgressBar1->setVisible(visible);
  ProgressBar2->setVisible(visible);
}

void TMainWindow::SetProgress(TRenameProgress bar, int position) {
  (bar == rpByFile ? ProgressBar1 : ProgressBar2)->setValue(std::clamp(position, 0, 100));
}

void TMainWindow::RepaintProgressBars() {
  ProgressBar1->repaint();
  ProgressBar2->repaint();
}

void TMainWindow::AppendLog(const std::string& line) {
  ListBox1->addItem(Q(line));
}

void TMainWindow::ClearLog() {
  ListBox1->clear();
}

void TMainWindow::CloseWindow() {
  close();
}

// ------------------------------------------------------------- dialog hooks

void TMainWindow::MessageBox(const QString& caption, const QString& text) {
  QMessageBox::information(this, caption, text);
}

bool TMainWindow::QuestionBox(const QString& caption, const QString& text) {
  return QMessageBox::question(this, caption, text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::Yes) == QMessageBox::Yes;
}

bool TMainWindow::RetryCancelBox(const QString& caption, const QString& text) {
  return QMessageBox::warning(this, caption, text, QMessageBox::Retry | QMessageBox::Cancel,
                              QMessageBox::Retry) == QMessageBox::Retry;
}

std::optional<QString> TMainWindow::TextBox(const QString& caption, const QString& prompt,
                                            const QString& value) {
  bool ok = false;
  const QString text = QInputDialog::getText(this, caption, prompt, QLineEdit::Normal, value, &ok);
  if (!ok) return std::nullopt;
  return text;
}

std::optional<QString> TMainWindow::FileBox(const QString& title, const QString& filter,
                                            const TOpenDialogOptions& options) {
  QFileDialog dialog(this, title, QString(), filter);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  // "File must exist" is ExistingFile; the path follows from it.
  dialog.setFileMode(options.FileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  // Qt has no read-only check box to hide; HideReadOnly needs nothing.
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().front();
}

std::optional<QString> TMainWindow::DirectoryBox() {
  // Qt's directory chooser offers "Create New Folder".
  const QString dir =
      QFileDialog::getExistingDirectory(this, QString(), QString(), QFileDialog::ShowDirsOnly);
  if (dir.isEmpty()) return std::nullopt;
  return dir;
}

}  // namespace qmx
