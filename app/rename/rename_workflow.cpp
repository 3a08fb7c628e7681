#include "app/rename/rename_workflow.h"

#include <stdexcept>

#include "archive/base/errors.h"
#include "archive/base/names.h"
#include "archive/platform/ascii.h"
#include "archive/platform/files.h"

namespace qmx {
namespace {

constexpr const char* CR = "\r";
// Wide enough that the status bar's shortening keeps the whole path.
constexpr int kFullPathWidth = 99999;

std::string TrimBlanks(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// "(n) ", the counter that starts a numbered log line.
std::string Numbered(int n) {
  std::string s = "(";
  s += std::to_string(n);
  s += ") ";
  return s;
}

}  // namespace

TForm1::TForm1(TRenameView& view) : FView(view), FArcMorph(std::make_unique<TArcMorph>()) {
  // The converter's design-time settings.
  FArcMorph->Attributes = {fsReadOnly, fsHidden, fsSysFile, fsArchive};
  FArcMorph->AttributesEx = {};
  FArcMorph->ConfirmOverwrites = true;
  FArcMorph->SetOutArcType(tyBh);
  BindEvents();
}

void TForm1::BindEvents() {
  using namespace std::placeholders;
  TArcMorph& m = *FArcMorph;
  m.OnError = std::bind(&TForm1::ArcMorph1Error, this, _1, _2, _3, _4, _5);
  m.OnGetPassword = std::bind(&TForm1::ArcMorph1GetPassword, this, _1, _2, _3, _4);
  m.OnFileExists = std::bind(&TForm1::ArcMorph1FileExists, this, _1, _2, _3);
  m.OnNextVolume = std::bind(&TForm1::ArcMorph1NextVolume, this, _1, _2, _3, _4, _5);
  m.OnProgress = std::bind(&TForm1::ArcMorph1Progress, this, _1, _2, _3);
  m.OnExtractActivate = std::bind(&TForm1::ArcMorph1ExtractActivate, this, _1);
  m.OnExtractBegin = std::bind(&TForm1::ArcMorph1ExtractBegin, this, _1, _2, _3, _4);
  m.OnExtractEnd = std::bind(&TForm1::ArcMorph1ExtractEnd, this, _1, _2, _3);
  m.OnExtractDeactivate = std::bind(&TForm1::ArcMorph1ExtractDeactivate, this, _1);
  m.OnCompressActivate = std::bind(&TForm1::ArcMorph1CompressActivate, this, _1);
  m.OnCompressBegin = std::bind(&TForm1::ArcMorph1CompressBegin, this, _1, _2, _3, _4);
  m.OnCompressEnd = std::bind(&TForm1::ArcMorph1CompressEnd, this, _1, _2, _3);
  m.OnCompressDeactivate = std::bind(&TForm1::ArcMorph1CompressDeactivate, this, _1);
  m.OnIntegrityActivate = std::bind(&TForm1::ArcMorph1IntegrityActivate, this, _1);
  m.OnIntegrityBegin = std::bind(&TForm1::ArcMorph1IntegrityBegin, this, _1, _2);
  m.OnIntegrityStatus = std::bind(&TForm1::ArcMorph1IntegrityStatus, this, _1, _2, _3);
  m.OnIntegrityDeactivate = std::bind(&TForm1::ArcMorph1IntegrityDeactivate, this, _1);
  m.OnRemoveTempfile = std::bind(&TForm1::ArcMorph1RemoveTempfile, this, _1, _2);
}

void TForm1::SetField(TRenameField field, const std::string& text) {
  FView.SetFieldText(field, text);
  if (field == rfSource || field == rfDest) EditChange();
}

void TForm1::Log(const std::string& line) {
  ListBox1.push_back(line);
  FView.AppendLog(line);
}

std::string TForm1::DefaultDestination(const std::string& source, int outArcTypeIndex) {
  std::string dest = source.size() > 4 ? source.substr(0, source.size() - 4) : std::string();
  dest += "新.jar";
  if (outArcTypeIndex < 0 || outArcTypeIndex >= static_cast<int>(OutputExtensions.size()))
    return dest;
  const std::size_t delim = dest.find_last_of(kPathDelim);
  const std::size_t dot = dest.find_last_of('.');
  if (dot != std::string::npos && (delim == std::string::npos || dot > delim)) dest.erase(dot);
  return dest + OutputExtensions[static_cast<std::size_t>(outArcTypeIndex)];
}

bool TForm1::SameFileName(const std::string& a, const std::string& b) {
  return SameTextAscii(a, b);
}

// ------------------------------------------------------------ window handlers

void TForm1::FormCreate() {
  FView.SetOldName(kOldNameUnknown);
  FView.SetModifyEnabled(false);
  SetField(rfSource, "");
  SetField(rfDest, "");
  ComboBox1 = 0;
}

void TForm1::EditChange() {
  FView.SetModifyEnabled(!FView.FieldText(rfSource).empty() && !FView.FieldText(rfDest).empty());
}

void TForm1::Open1Click() {
  TOpenDialogOptions options;
  options.HideReadOnly = true;
  options.PathMustExist = true;
  options.FileMustExist = true;
  const auto chosen = FView.OpenFile("选择档案文件...", ".JAR", options);
  if (!chosen) return;
  SetField(rfSource, *chosen);
  QueryMode = false;
  SetField(rfDest, DefaultDestination(*chosen, RadioGroup1));
}

void TForm1::btnSelectDirClick() {
  const std::string current = FView.FieldText(rfDest);
  if (current.empty()) return;
  const auto dir = FView.SelectDirectory();
  if (!dir) return;
  SetField(rfDest, AppendSlash(*dir) + ExtractFileName(current));
}

void TForm1::Button1Click() {
  if (FView.FieldText(rfDest).empty()) return;
  QueryMode = true;
  RunSequence();
}

void TForm1::btnOKClick() {
  if (TrimBlanks(FView.FieldText(rfNewName)).empty()) {
    FView.ShowMessage(kEmptyNameMessage);
    FView.FocusField(rfNewName);
    return;
  }
  if (SameFileName(FView.FieldText(rfSource), FView.FieldText(rfDest))) {
    FView.ShowMessage(kSameFileMessage);
    FView.FocusField(rfDest);
    return;
  }
  QueryMode = false;
  RunSequence();
}

void TForm1::Exit1Click() {
  FView.CloseWindow();
}

void TForm1::ApplicationBusy() {
  FView.SetProgress(rpByFile, 0);
  FView.SetProgress(rpByArchive, 0);
  FView.RepaintProgressBars();
  FView.ShowProgressBars(true);
  FView.SetStatusText("");
}

void TForm1::ApplicationWaiting() {
  FView.ShowProgressBars(false);
  FView.SetProgress(rpByFile, 0);
  FView.SetProgress(rpByArchive, 0);
  FView.SetStatusText(FArcMorph->Cancel() ? kQueryDone : kRunDone);
}

void TForm1::RunSequence() {
  FOldNameRead = false;
  FLastPatchStatus = psNoName;
  FIntegrityPassed = FIntegrityFailed = FErrorsShown = 0;
  ApplicationBusy();
  ListBox1.clear();
  FView.ClearLog();
  TArcMorph& m = *FArcMorph;
  m.SetArchiveFile(FView.FieldText(rfSource));
  m.FileSpecList().clear();
  m.FileSpecList().push_back("*.*");
  m.SetNewArchive(FView.FieldText(rfDest));
  // The type the destination's extension was chosen for; a JAR unless the
  // user picked another one, so that a ".CAB" destination is a cabinet.
  m.SetOutArcType(RadioGroup1 >= 0 && RadioGroup1 < kOutArcTypeCount
                      ? static_cast<TOutArcType>(RadioGroup1)
                      : tyJar);
  m.SetOutArcMethod(amCreateNew);
  m.IntegrityCheck = true;
  m.DateAttribute = static_cast<TDateAttribute>(ComboBox1 >= 0 && ComboBox1 <= 2 ? ComboBox1 : 0);
  m.Activate();
  ApplicationWaiting();
}

void TForm1::PatchManifest(const std::string& Path) {
  ManifestFile = Path;
  const TPatchResult r = qmx::PatchManifest(ManifestFile, FView.FieldText(rfNewName));
  FLastPatchStatus = r.Status;
  switch (r.Status) {
    case psPatched:
      FOldName = r.OldName;
      FOldNameRead = true;
      FView.SetOldName(r.OldName);
      break;
    case psNoName:
      FView.ShowMessage(r.Message);
      break;
    case psReadError:
    case psWriteError:
      // The run stops as on a stream error; the writer swallows what an
      // event throws, so the user is told why here.
      FView.ShowMessage(r.Message);
      throw std::runtime_error(r.Message);
  }
}

// --------------------------------------------------------- converter handlers

void TForm1::ArcMorph1Error(TZipCommon&, const std::string& FileName,
                            const std::string& ExtendedMsg, const std::string&, int ECode) {
  if (ECode == E_USER_CANCELED) return;
  ++FErrorsShown;
  FView.ShowMessage(FileName + CR + CR + "Error#: " + std::to_string(ECode) + CR +
                    "Error: " + ErrorMessage(ECode) + CR + CR + "Extended: " + ExtendedMsg + CR +
                    CR + "OnError event...");
}

void TForm1::ArcMorph1GetPassword(TZipCommon&, const std::string&, std::string& Password,
                                  bool& TryAgain) {
  const auto answer = FView.InputQuery("Encrypted file...", "Enter password", Password);
  if (answer)
    Password = *answer;
  else
    TryAgain = false;
}

void TForm1::ArcMorph1FileExists(TZipCommon&, const std::string& FileName,
                                 TOverwriteMode& OverwriteMode) {
  const bool yes = FView.AskYesNo("文件: " + FileName + CR + CR + "已经存在, " +
                                  (FArcMorph->OutArcMethod() == amCreateNew ? "覆盖?" : "追加?"));
  OverwriteMode = yes ? omOverwrite : omSkip;
}

void TForm1::ArcMorph1NextVolume(TZipCommon&, std::string& VolumeName, int VolumeID, bool FExists,
                                 bool& Cancel) {
  Cancel = false;
  if (FExists) return;
  const auto answer = FView.InputQuery(ExtractFileName(VolumeName),
                                       "Volume ID: " + std::to_string(VolumeID), VolumeName);
  if (answer)
    VolumeName = *answer;
  else
    Cancel = true;
}

void TForm1::ArcMorph1Progress(TZipCommon&, std::uint8_t ByFile, std::uint8_t ByArchive) {
  FView.SetProgress(rpByFile, ByFile);
  FView.SetProgress(rpByArchive, ByArchive);
  FView.RepaintProgressBars();
}

void TForm1::ArcMorph1ExtractActivate(TZipCommon&) {
  Log("临时目录 --> " + FArcMorph->TempDir());
  Log("档案文件 --> " + FArcMorph->ArchiveFile());
}

void TForm1::ArcMorph1ExtractBegin(TZipCommon&, const std::string& FileName, int Count, bool&) {
  FView.SetStatusText(FView.ShortenPath("正在提取: " + FileName, FView.StatusBarWidth()));
  FView.RepaintStatusBar();
  Log(Numbered(Count + 1) + "正在提取: " + FileName);
}

void TForm1::ArcMorph1ExtractEnd(TZipCommon&, const std::string& FileName, bool CRC_PASS) {
  FView.SetStatusText("");
  FView.SetProgress(rpByFile, 0);
  FView.SetProgress(rpByArchive, 0);
  FView.RepaintProgressBars();
  if (!CRC_PASS) FView.ShowMessage(FileName + CR + "提取失败" + CR + CR + "OnExtractEnd Event...");
}

void TForm1::ArcMorph1ExtractDeactivate(TZipCommon&) {
  Log("--> 完毕 <--");
}

void TForm1::ArcMorph1CompressActivate(TZipCommon&) {
  if (FArcMorph->OutArcMethod() == amAddToArc)
    Log("添加到档案 --> " + FArcMorph->NewArchive());
  else
    Log("新档案 --> " + FArcMorph->NewArchive());
}

void TForm1::ArcMorph1CompressBegin(TZipCommon&, const std::string& FileName, int Count, bool&) {
  const std::string display = FView.ShortenPath(FileName, kFullPathWidth);
  if (display.find("MANIFEST.MF") != std::string::npos) PatchManifest(FileName);
  if (QueryMode) {
    // The name has been read (or the first file was not the manifest).
    FArcMorph->SetCancel(true);
    return;
  }
  if (ConfirmEachFile) FView.ShowMessage(kFileMessage);
  FView.SetStatusText(display);
  FView.RepaintStatusBar();
  Log(Numbered(Count) + "压缩: " + FileName);
}

void TForm1::ArcMorph1CompressEnd(TZipCommon&, const std::string&, bool) {
  FView.SetStatusText("");
  FView.RepaintProgressBars();
}

void TForm1::ArcMorph1CompressDeactivate(TZipCommon&) {
  Log("--> 压缩完毕 <--");
}

void TForm1::ArcMorph1IntegrityActivate(TZipCommon&) {
  Log("检验 --> " + FArcMorph->NewArchive());
}

void TForm1::ArcMorph1IntegrityBegin(TZipCommon&, const std::string& FileName) {
  FView.SetStatusText("检验:  " + FileName);
  FView.RepaintStatusBar();
}

void TForm1::ArcMorph1IntegrityStatus(TZipCommon& Sender, const std::string& FileName,
                                      bool PassFail) {
  ++(PassFail ? FIntegrityPassed : FIntegrityFailed);
  Log(Numbered(Sender.FilesProcessed()) + FileName + (PassFail ? " ...成功" : " ...失败"));
}

void TForm1::ArcMorph1IntegrityDeactivate(TZipCommon&) {
  Log("--> 完毕 <--");
}

void TForm1::ArcMorph1RemoveTempfile(TZipCommon&, const std::string& FileName) {
  FView.SetStatusText(FView.ShortenPath("删除临时文件: " + FileName, FView.StatusBarWidth()));
  FView.RepaintStatusBar();
  Log("已删除: " + FileName);
}

}  // namespace qmx
