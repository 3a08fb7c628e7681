// The rename tool's window logic without widgets: TForm1 validates the
// fields, configures the converter and answers its events. Everything it
// shows or asks goes through TRenameView, which the Qt window, the
// command-line tool or a test provides.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/rename/manifest_patcher.h"
#include "archive/convert/arc_morph.h"

namespace qmx {

// The edit fields of the window.
enum TRenameField : std::uint8_t {
  rfSource,  // Edit1
  rfDest,    // Edit2
  rfNewName  // edNewName
};

// The progress bars of the window.
enum TRenameProgress : std::uint8_t {
  rpByFile,    // ProgressBar1
  rpByArchive  // ProgressBar2
};

// Options of the open-file dialog.
struct TOpenDialogOptions {
  bool HideReadOnly = false;
  bool PathMustExist = false;
  bool FileMustExist = false;
};

// The user-interface operations the workflow needs.
class TRenameView {
 public:
  virtual ~TRenameView() = default;
  virtual std::string FieldText(TRenameField field) const = 0;
  // Only stores the text; the workflow runs EditChange itself.
  virtual void SetFieldText(TRenameField field, const std::string& text) = 0;
  virtual void SetOldName(const std::string& text) = 0;
  virtual void SetModifyEnabled(bool enabled) = 0;
  virtual void FocusField(TRenameField field) = 0;
  // One OK button; returns when dismissed.
  virtual void ShowMessage(const std::string& text) = 0;
  // True for Yes.
  virtual bool AskYesNo(const std::string& text) = 0;
  // One line of text, or nothing when cancelled.
  virtual std::optional<std::string> InputQuery(const std::string& caption,
                                                const std::string& prompt,
                                                const std::string& value) = 0;
  virtual std::optional<std::string> OpenFile(const std::string& title, const std::string& filter,
                                              const TOpenDialogOptions& options) = 0;
  // A directory chooser that may create directories.
  virtual std::optional<std::string> SelectDirectory() = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  virtual void RepaintStatusBar() = 0;
  // Path shortened to width pixels, middle components elided.
  virtual std::string ShortenPath(const std::string& path, int width) const = 0;
  virtual int StatusBarWidth() const = 0;
  virtual void ShowProgressBars(bool visible) = 0;
  virtual void SetProgress(TRenameProgress bar, int position) = 0;
  virtual void RepaintProgressBars() = 0;
  virtual void AppendLog(const std::string& line) = 0;
  virtual void ClearLog() = 0;
  virtual void CloseWindow() = 0;
};

// Destination extension by the OutArcType radio group's index.
inline const std::array<std::string, 7> OutputExtensions = {".BH",  ".CAB",    ".LHA", ".ZIP",
                                                            ".TAR", ".TAR.GZ", ".JAR"};

class TForm1 {
 public:
  explicit TForm1(TRenameView& view);
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // --- window state
  bool QueryMode = false;
  std::string ManifestFile;

  // --- the hidden settings panel, as plain state
  std::vector<std::string> ListBox1;  // log lines of the last run
  int RadioGroup1 = 6;                // OutArcType: BlakHole .. Jar
  int ComboBox1 = 0;                  // DateAttribute: FileDate, SystemDate, MaxFileDate
  int RadioGroup2 = 0;                // OutArcMethod: CreateNew, AddFiles (not read)
  bool CheckBox1 = true;              // Integrity Check (not read)

  // Announce every compressed file with a message box, as the window does.
  bool ConfirmEachFile = true;

  // --- what the last run learnt (for callers without a window)
  bool OldNameRead() const { return FOldNameRead; }
  const std::string& OldName() const { return FOldName; }
  TPatchStatus LastPatchStatus() const { return FLastPatchStatus; }
  int IntegrityPassed() const { return FIntegrityPassed; }
  int IntegrityFailed() const { return FIntegrityFailed; }
  int ErrorsShown() const { return FErrorsShown; }

  TArcMorph& ArcMorph1() { return *FArcMorph; }

  // --- window handlers
  void FormCreate();
  void EditChange();
  void Open1Click();
  void BitBtn1Click() { Open1Click(); }
  void btnSelectDirClick();
  void Button1Click();
  void btnOKClick();
  void Exit1Click();
  void ApplicationBusy();
  void ApplicationWaiting();

  // Reads the old name from the manifest copy at Path, shows it and
  // rewrites the copy with the new-name field's text.
  void PatchManifest(const std::string& Path);

  // --- converter handlers
  void ArcMorph1Error(TZipCommon& Sender, const std::string& FileName,
                      const std::string& ExtendedMsg, const std::string& VolumeID, int ECode);
  void ArcMorph1GetPassword(TZipCommon& Sender, const std::string& FileName, std::string& Password,
                            bool& TryAgain);
  void ArcMorph1FileExists(TZipCommon& Sender, const std::string& FileName,
                           TOverwriteMode& OverwriteMode);
  void ArcMorph1NextVolume(TZipCommon& Sender, std::string& VolumeName, int VolumeID, bool FExists,
                           bool& Cancel);
  void ArcMorph1Progress(TZipCommon& Sender, std::uint8_t ByFile, std::uint8_t ByArchive);
  void ArcMorph1ExtractActivate(TZipCommon& Sender);
  void ArcMorph1ExtractBegin(TZipCommon& Sender, const std::string& FileName, int Count,
                             bool& Extract);
  void ArcMorph1ExtractEnd(TZipCommon& Sender, const std::string& FileName, bool CRC_PASS);
  void ArcMorph1ExtractDeactivate(TZipCommon& Sender);
  void ArcMorph1CompressActivate(TZipCommon& Sender);
  void ArcMorph1CompressBegin(TZipCommon& Sender, const std::string& FileName, int Count,
                              bool& Extract);
  void ArcMorph1CompressEnd(TZipCommon& Sender, const std::string& FileName, bool CRC_PASS);
  void ArcMorph1CompressDeactivate(TZipCommon& Sender);
  void ArcMorph1IntegrityActivate(TZipCommon& Sender);
  void ArcMorph1IntegrityBegin(TZipCommon& Sender, const std::string& FileName);
  void ArcMorph1IntegrityStatus(TZipCommon& Sender, const std::string& FileName, bool PassFail);
  void ArcMorph1IntegrityDeactivate(TZipCommon& Sender);
  void ArcMorph1RemoveTempfile(TZipCommon& Sender, const std::string& FileName);

  // The destination the window proposes for a chosen source.
  static std::string DefaultDestination(const std::string& source, int outArcTypeIndex = 6);
  // Source and destination compared with a-z folded to A-Z only.
  static bool SameFileName(const std::string& a, const std::string& b);

 private:
  void SetField(TRenameField field, const std::string& text);
  void Log(const std::string& line);
  void RunSequence();
  void BindEvents();

  TRenameView& FView;
  std::unique_ptr<TArcMorph> FArcMorph;
  bool FOldNameRead = false;
  std::string FOldName;
  TPatchStatus FLastPatchStatus = psNoName;
  int FIntegrityPassed = 0;
  int FIntegrityFailed = 0;
  int FErrorsShown = 0;
};

// Window texts used by more than one place.
inline constexpr const char* kAppTitle = "JAVA程序换标灵";
inline constexpr const char* kFormCaption = "星舟-JAVA程序改名工具V1.0";
inline constexpr const char* kOldNameUnknown = "未知";
inline constexpr const char* kFileMessage = "要加工";
inline constexpr const char* kQueryDone = "查询完毕";
inline constexpr const char* kRunDone = "完毕...";
inline constexpr const char* kEmptyNameMessage = "JAVA程序在设备中显示的文件名不能为空！";
inline constexpr const char* kSameFileMessage =
    "保存文件名不能与源文件名重复，请重新指定保存文件名再试！";

}  // namespace qmx
