// The rename tool's window: Qt widgets around the TForm1 workflow. Every
// control keeps its documented name as objectName, so tests and style
// sheets find it. Dialogs go through a few virtual hooks that a test can
// answer without a modal loop.
#pragma once

#include <QMainWindow>
#include <QString>
#include <memory>
#include <optional>
#include <string>

#include "app/rename/rename_workflow.h"

class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QWidget;

namespace qmx {

class TMainWindow : public QMainWindow, public TRenameView {
 public:
  explicit TMainWindow(QWidget* parent = nullptr);
  ~TMainWindow() override;

  TForm1& Form() { return FForm; }
  bool Running() const { return FRunning; }

  // Routes the library's message pump and questions through this window.
  void InstallHooks();

  // Window caption: the tool's name, four spaces and its web address.
  static QString Caption();
  // The open dialog's filter: a bare extension becomes a pattern for it.
  static QString DialogFilter(const QString& filter);
  // The font of every control: Noto Serif CJK SC, else any CJK family, 14 px.
  static QFont WindowFont();

  // --- TRenameView
  std::string FieldText(TRenameField field) const override;
  void SetFieldText(TRenameField field, const std::string& text) override;
  void SetOldName(const std::string& text) override;
  void SetModifyEnabled(bool enabled) override;
  void FocusField(TRenameField field) override;
  void ShowMessage(const std::string& text) override;
  bool AskYesNo(const std::string& text) override;
  std::optional<std::string> InputQuery(const std::string& caption, const std::string& prompt,
                                        const std::string& value) override;
  std::optional<std::string> OpenFile(const std::string& title, const std::string& filter,
                                      const TOpenDialogOptions& options) override;
  std::optional<std::string> SelectDirectory() override;
  void SetStatusText(const std::string& text) override;
  void RepaintStatusBar() override;
  std::string ShortenPath(const std::string& path, int width) const override;
  int StatusBarWidth() const override;
  void ShowProgressBars(bool visible) override;
  void SetProgress(TRenameProgress bar, int position) override;
  void RepaintProgressBars() override;
  void AppendLog(const std::string& line) override;
  void ClearLog() override;
  void CloseWindow() override;

  // --- dialog hooks; texts arrive with "\n" line breaks
  virtual void MessageBox(const QString& caption, const QString& text);
  virtual bool QuestionBox(const QString& caption, const QString& text);
  virtual bool RetryCancelBox(const QString& caption, const QString& text);
  virtual std::optional<QString> TextBox(const QString& caption, const QString& prompt,
                                         const QString& value);
  virtual std::optional<QString> FileBox(const QString& title, const QString& filter,
                                         const TOpenDialogOptions& options);
  virtual std::optional<QString> DirectoryBox();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildControls();
  void BuildSettingsPanel(QWidget* owner);
  void BuildMenu();
  void ConnectHandlers();
  QLineEdit* Field(TRenameField field) const;
  // Runs one of the two run handlers; a click during a run is ignored, as
  // the message pump would otherwise start a second run inside the first.
  void Run(void (TForm1::*handler)());
  void PressDefaultButton();

  QLabel* Label1 = nullptr;
  QLineEdit* Edit1 = nullptr;
  QPushButton* BitBtn1 = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* Edit2 = nullptr;
  QPushButton* btnSelectDir = nullptr;
  QPushButton* Button1 = nullptr;
  QLabel* lbOldName = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* edNewName = nullptr;
  QPushButton* btnOK = nullptr;
  QPushButton* btnClose = nullptr;
  QStatusBar* StatusBar1 = nullptr;
  QLabel* StatusText = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QProgressBar* ProgressBar2 = nullptr;
  QLabel* Label5 = nullptr;
  QMenuBar* MainMenu1 = nullptr;
  QAction* Open1 = nullptr;
  QAction* Exit1 = nullptr;

  // Hidden settings panel.
  QWidget* Panel4 = nullptr;
  QListWidget* ListBox1 = nullptr;
  QGroupBox* RadioGroup1 = nullptr;
  QButtonGroup* RadioGroup1Buttons = nullptr;
  QComboBox* ComboBox1 = nullptr;
  QGroupBox* RadioGroup2 = nullptr;
  QButtonGroup* RadioGroup2Buttons = nullptr;
  QCheckBox* CheckBox1 = nullptr;
  QLabel* Label3 = nullptr;

  TForm1 FForm;
  bool FRunning = false;
  bool FCloseRequested = false;
  bool FCentred = false;
  bool FHooksInstalled = false;
};

}  // namespace qmx
