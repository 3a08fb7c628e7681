// jarname: the rename tool without a window. A rename copies the suite's
// entries as they are with the manifest patched (TSuiteCopy); a suite that
// cannot be copied so goes through the window's own workflow (TForm1) with a
// terminal view: the same conversion, manifest patch and integrity test as
// in the window.

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <set>

#include "app/cli/cli_common.h"
#include "app/rename/jad_descriptor.h"
#include "app/rename/manifest_patcher.h"
#include "app/rename/rename_workflow.h"
#include "app/rename/suite_copy.h"
#include "archive/base/disk_manager.h"
#include "archive/base/errors.h"
#include "archive/base/format_registry.h"
#include "archive/base/names.h"
#include "archive/platform/ascii.h"
#include "archive/platform/files.h"

namespace qmx::cli {
namespace {

constexpr const char* kProgram = "jarname";

constexpr const char* kUsage =
    "usage:\n"
    "  jarname show SUITE.jar...\n"
    "      print the suite's MIDlet-Name (for several: file, tab, name per line)\n"
    "  jarname set SUITE.jar... NEW-NAME [-o OUT] [-y] [--jad [FILE.jad]] [--unsign] [-v]\n"
    "      write a copy of each suite named NEW-NAME (default OUT: SUITE新.JAR beside it)\n"
    "\n"
    "NEW-NAME may hold {old} (the suite's current name) and {file} (its file name\n"
    "without extension), e.g. '{old} 汉化版'.\n"
    "\n"
    "options:\n"
    "  -o OUT           the new suite's path, or a directory (several suites: a directory,\n"
    "                   made when missing; each copy keeps its suite's file name)\n"
    "  -y               replace an existing OUT (and its descriptor)\n"
    "  --jad [FILE]     also write OUT's descriptor from FILE (default: SUITE.jad)\n"
    "  --unsign         leave the jar signature files (META-INF/*.SF, .RSA, .DSA, .EC) and\n"
    "                   the descriptor's signature attributes out: the copy installs as an\n"
    "                   unsigned suite\n"
    "  -v               print the run's log\n"
    "  --codepage CP    code page of entry names stored without the UTF-8 flag\n"
    "                   (936, 866, 932 ... or an iconv name; default: QMX_OEM_CODEPAGE,\n"
    "                   else by locale)\n"
    "  --help\n"
    "\n"
    "The entries are copied as they are, only the manifest is rewritten; a suite that\n"
    "cannot be copied so (damaged, encrypted, split) is extracted and compressed anew.\n"
    "A split suite (.z01 ... .zip) is read through its .zip, whichever volume is\n"
    "named; the other volumes are taken from beside it, or asked for on a terminal.\n"
    "\n"
    "exit status: 0 success, 1 no name found or a run failed (several suites: any\n"
    "failed), 2 bad usage or refused\n";

// Messages arrive with the window's CR line breaks.
std::string ForTerminal(std::string text) {
  for (char& c : text)
    if (c == '\r') c = '\n';
  while (text.find("\n\n\n") != std::string::npos) text.replace(text.find("\n\n\n"), 3, "\n\n");
  return Printable(text, true);
}

// The window's operations, answered on the terminal.
class TTerminalView : public TRenameView {
 public:
  bool AssumeYes = false;
  bool Verbose = false;
  std::string Fields[3];
  std::string OldName;

  std::string FieldText(TRenameField f) const override { return Fields[f]; }
  void SetFieldText(TRenameField f, const std::string& t) override { Fields[f] = t; }
  void SetOldName(const std::string& t) override { OldName = t; }
  void SetModifyEnabled(bool) override {}
  void FocusField(TRenameField) override {}
  bool Muted = false;
  int ExtractFailures = 0;  // entries of the source that did not come out
  bool NoArchive = false;   // the reader found no ZIP record at all
  int Complaints = 0;       // errors said so far in this run
  void ShowMessage(const std::string& text) override {
    if (!Muted) std::cerr << kProgram << ": " << ForTerminal(text) << "\n";
  }
  bool AskYesNo(const std::string&) override { return AssumeYes; }
  std::optional<std::string> InputQuery(const std::string& caption, const std::string& prompt,
                                        const std::string&) override {
    if (!StdinIsTerminal()) return std::nullopt;
    std::string line;
    const bool secret = caption == "Encrypted file...";
    if (!ReadTerminalLine(std::string(kProgram) + ": " + prompt + ": ", secret, line))
      return std::nullopt;
    return line;
  }
  std::optional<std::string> OpenFile(const std::string&, const std::string&,
                                      const TOpenDialogOptions&) override {
    return std::nullopt;
  }
  std::optional<std::string> SelectDirectory() override { return std::nullopt; }
  void SetStatusText(const std::string&) override {}
  void RepaintStatusBar() override {}
  std::string ShortenPath(const std::string& path, int) const override { return path; }
  int StatusBarWidth() const override { return 99999; }
  void ShowProgressBars(bool) override {}
  void SetProgress(TRenameProgress, int) override {}
  void RepaintProgressBars() override {}
  void AppendLog(const std::string& line) override {
    if (Verbose) std::cerr << Printable(line) << "\n";
  }
  void ClearLog() override {}
  void CloseWindow() override {}
};

int Usage(const std::string& complaint) {
  std::cerr << kProgram << ": " << complaint << "\n" << kUsage;
  return kExitUnusable;
}

// "[3/10] file" on a terminal while many suites are worked through; every
// other line clears it first.
class TProgressLine {
 public:
  bool Active = false;
  void Show(std::size_t at, std::size_t count, const std::string& file) {
    if (!Active) return;
    std::cerr << "\r\033[K[" << at << "/" << count << "] " << Printable(file) << std::flush;
    FShown = true;
  }
  void Clear() {
    if (!FShown) return;
    std::cerr << "\r\033[K" << std::flush;
    FShown = false;
  }

 private:
  bool FShown = false;
};
TProgressLine gProgress;

void Note(const std::string& file, const std::string& text) {
  gProgress.Clear();
  std::cerr << kProgram << ": " << Printable(file) << ": " << Printable(text) << "\n";
}

// The converter reads split suites through the terminal's volume finder
// instead of the window's dialog. Its errors and failed extractions are
// said in jarname's own words: the window's boxes name events. The form's
// handlers still run with the view muted, since they keep its counts.
void UseTerminal(TForm1& form, TTerminalView& view, TVolumeFinder& volumes) {
  TArcMorph& morph = form.ArcMorph1();
  morph.OnNextVolume = volumes.Handler();
  morph.OnError = [&view, window = morph.OnError](TZipCommon& sender, const std::string& file,
                                                  const std::string& ext, const std::string& volume,
                                                  int code) {
    view.Muted = true;
    if (window) window(sender, file, ext, volume, code);
    view.Muted = false;
    if (code == E_USER_CANCELED) return;
    if (code == E_HEADER_NOT_FOUND) view.NoArchive = true;
    // Salvaged from the local headers: the copy is whole, and its test says so.
    if (code == E_CENTRAL_DAMAGED) {
      Note(file.empty() ? volume : file, "warning: " + ErrorMessage(code));
      return;
    }
    // After an earlier failure the converter's test finds no copy to test
    // and says "unsupported type": an echo, not news.
    if (code == E_UNSUPPORTED_TYPE && view.Complaints > 0) return;
    ++view.Complaints;
    std::string text = ErrorMessage(code) + " (" + std::to_string(code) + ")";
    if (!ext.empty()) text += ": " + ext;
    Note(file.empty() ? volume : file, text);
  };
  // The manifest is patched as its turn to be compressed comes; the
  // patcher's own texts are the window's.
  morph.OnCompressBegin = [&view, &form, window = morph.OnCompressBegin](
                              TZipCommon& sender, const std::string& file, int count, bool& take) {
    const bool manifest = file.find("MANIFEST.MF") != std::string::npos;
    auto say = [&] {
      view.Muted = false;
      if (!manifest) return;
      if (form.LastPatchStatus() == psReadError || form.LastPatchStatus() == psWriteError)
        ++view.Complaints;
      if (form.LastPatchStatus() == psReadError)
        Note(file, "cannot be read, or is larger than 1 MiB (a J2ME manifest is a few KiB)");
      else if (form.LastPatchStatus() == psWriteError)
        Note(file, "cannot be written");
    };
    view.Muted = manifest;
    try {
      if (window) window(sender, file, count, take);
    } catch (...) {
      say();
      throw;
    }
    say();
  };
  morph.OnExtractEnd = [&view, window = morph.OnExtractEnd](TZipCommon& sender,
                                                            const std::string& file, bool pass) {
    view.Muted = true;
    if (window) window(sender, file, pass);
    view.Muted = false;
    if (pass) return;
    ++view.ExtractFailures;
    ++view.Complaints;
    Note(file, "could not be extracted");
  };
}

bool IsUnusableType(TArcType t) {
  return !FormatOf(t).RealArchive;
}

// What ended a run before its result counts: a signal, a missing volume of
// a split suite, or a file that is no archive. The exit status, or -1.
int RunStopped(const std::string& suite, TForm1& form, const TTerminalView& view,
               const TVolumeFinder& volumes, const std::string& nothingWritten) {
  if (SignalReceived()) {
    Note(suite, "interrupted");
    return kExitInterrupted;
  }
  if (!volumes.Missing().empty()) {
    Note(suite, "the split set is incomplete" + nothingWritten);
    return kExitUnusable;
  }
  if (IsUnusableType(form.ArcMorph1().ArcType()) || view.NoArchive) {
    Note(suite, "not an archive that can be read");
    return kExitUnusable;
  }
  return -1;
}

bool LoadBytes(const std::string& path, std::string& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool SaveBytes(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  out.close();
  return !out.fail();
}

// A fresh directory for a run's throw-away output.
std::string MakeScratchDir() {
  std::string pattern = AppendSlash(SystemTempDir()) + "jarnameXXXXXX";
  if (!::mkdtemp(pattern.data())) return {};
  return pattern;
}

// The options of a run, as parsed.
struct TRunOptions {
  bool Replace = false;
  bool Verbose = false;
  bool Unsign = false;
  bool WantJad = false;
  std::string JadArg;
  bool HasOut = false;
  std::string Out;
};


// The suite's name as the old-name label shows it, leading blanks gone.
std::string TrimmedLabel(std::string label) {
  label.erase(0, label.find_first_not_of(" \t"));
  return label;
}

// NEW-NAME with {old} (the suite's current name) and {file} (its file name
// without extension) put in.
std::string ExpandName(const std::string& pattern, const std::string& oldName,
                       const std::string& suite) {
  const std::string file = ChangeFileExt(ExtractFileName(suite), "");
  std::string out;
  for (std::size_t i = 0; i < pattern.size();) {
    if (pattern.compare(i, 5, "{old}") == 0) {
      out += oldName;
      i += 5;
    } else if (pattern.compare(i, 6, "{file}") == 0) {
      out += file;
      i += 6;
    } else {
      out += pattern[i++];
    }
  }
  return out;
}

bool NeedsOldName(const std::string& pattern) {
  return pattern.find("{old}") != std::string::npos;
}

// A name that would break the manifest is refused before anything is
// written; the exit status, or -1 when the name is good.
int CheckNewName(const std::string& file, const std::string& name) {
  if (name.find_first_of("\r\n") != std::string::npos) {
    Note(file, "a name cannot contain line breaks");
    return kExitUnusable;
  }
  if (name.find('\0') != std::string::npos) {
    Note(file, "a name cannot contain a NUL byte");
    return kExitUnusable;
  }
  if (name.find_first_not_of(" \t") == std::string::npos) {
    gProgress.Clear();
    std::cerr << kProgram << ": " << kEmptyNameMessage << "\n";
    return kExitUnusable;
  }
  const std::string kept = NewValueBytes(name).substr(1);
  if (kept != name)
    Note(file, "warning: the name is longer than a MIDlet-Name may be here (99 characters, 99 "
              "bytes); written as \"" +
                  kept + "\"");
  return -1;
}

// The window's query: the suite is converted into a scratch directory and
// its manifest read there. For suites the direct read cannot take (split
// sets, damaged archives).
int QueryByConversion(const std::string& arg, const std::string& suite, TVolumeFinder& volumes,
                      std::string& name) {
  const std::string scratch = MakeScratchDir();
  if (scratch.empty()) {
    Note(SystemTempDir(), "cannot create a scratch directory");
    return kExitUnusable;
  }
  TTerminalView view;
  TForm1 form(view);
  form.FormCreate();
  form.ArcMorph1().ShareCancel(SignalCancelFlag());
  UseTerminal(form, view, volumes);
  view.Fields[rfSource] = suite;
  view.Fields[rfDest] = AppendSlash(scratch) + "query.jar";
  form.Button1Click();
  // A query run writes no archive; remove whatever might be left.
  DeleteFile(view.Fields[rfDest]);
  RemoveDir(scratch);
  if (const int stop = RunStopped(arg, form, view, volumes, ""); stop >= 0) return stop;
  if (!form.OldNameRead()) {
    Note(arg, "no MIDlet-Name: in the manifest");
    return kExitFailed;
  }
  name = TrimmedLabel(form.OldName());
  return kExitOk;
}

// The suite's MIDlet-Name into name; the exit status.
int ReadOldName(const std::string& arg, TVolumeFinder& volumes, std::string& name) {
  std::string suite = ExpandFileName(arg);
  if (!volumes.FindSet(suite)) return kExitUnusable;
  if (!FileExists(suite)) {
    Note(arg, "no such file");
    return kExitUnusable;
  }
  // The manifest entry alone, in memory: a suite of any size is read in
  // the time its directory takes, and nothing is written.
  const TSuiteManifest manifest = ReadSuiteManifest(suite, SignalCancelFlag());
  if (SignalReceived()) {
    Note(arg, "interrupted");
    return kExitInterrupted;
  }
  if (manifest.Problem.find("1 MiB") != std::string::npos) {
    Note(arg, manifest.Problem);
    return kExitFailed;
  }
  if (!manifest.Problem.empty()) return QueryByConversion(arg, suite, volumes, name);
  const TManifestValue value = LocateMidletName(manifest.Bytes);
  if (!value.Found) {
    Note(arg, "no MIDlet-Name: in the manifest");
    return kExitFailed;
  }
  name = TrimmedLabel(OldNameLabel(UnfoldValue(std::string_view(manifest.Bytes)
                                                   .substr(value.ValueStart,
                                                           value.ValueEnd - value.ValueStart))));
  return kExitOk;
}

int Show(const std::vector<std::string>& suites, TVolumeFinder& volumes) {
  if (suites.size() == 1) {
    std::string name;
    const int code = ReadOldName(suites[0], volumes, name);
    if (code == kExitOk) std::cout << Printable(name) << "\n";
    return code;
  }
  int failed = 0;
  for (std::size_t i = 0; i < suites.size(); ++i) {
    gProgress.Show(i + 1, suites.size(), suites[i]);
    std::string name;
    const int code = ReadOldName(suites[i], volumes, name);
    if (code == kExitInterrupted) return code;
    if (code != kExitOk) {
      ++failed;
      continue;
    }
    gProgress.Clear();
    std::cout << Printable(suites[i]) << "\t" << Printable(name) << "\n";
  }
  gProgress.Clear();
  return failed > 0 ? kExitFailed : kExitOk;
}

// What a rename printed and wrote, whichever way it went.
struct TRenameReport {
  std::string OldName;
  std::string NewName;
  std::string Written;
  int Tested = 0;
  int TestFailed = 0;
  bool Signed = false;
};

// The descriptor beside the copy, and the lines every rename ends with.
bool FinishRename(const std::string& arg, const TRenameReport& report, const TRunOptions& opt,
                  const std::string& jadText, const std::string& jadOut) {
  gProgress.Clear();
  std::cout << "old name: " << Printable(report.OldName) << "\n"
            << "new name: " << Printable(NewValueBytes(report.NewName).substr(1)) << "\n"
            << "written:  " << Printable(report.Written) << "\n";
  bool ok = report.TestFailed == 0 && report.Tested > 0;
  if (report.TestFailed > 0)
    std::cout << "integrity: FAILED (" << report.TestFailed << " of " << report.Tested
              << " entries)\n";
  else if (report.Tested == 0)
    std::cout << "integrity: not tested\n";
  else
    std::cout << "integrity: ok (" << report.Tested << " entries)\n";
  bool signedSuite = report.Signed;
  if (opt.WantJad) {
    TDescriptorEdit edit;
    edit.NewName = report.NewName;
    edit.JarSize = FileSizeByName(report.Written);
    edit.JarFileName = ExtractFileName(report.Written);
    edit.Unsign = opt.Unsign;
    const std::string jad = RewriteDescriptor(jadText, edit, signedSuite);
    if (!SaveBytes(jadOut, jad)) {
      Note(jadOut, "cannot write the descriptor");
      ok = false;
    } else {
      std::cout << "descriptor: " << jadOut << "\n";
    }
  }
  if (signedSuite && opt.Unsign)
    std::cout << "signature: removed (the copy is an unsigned suite)\n";
  else if (signedSuite)
    Note(arg, "warning: the suite was signed; the renamed copy is no longer validly signed "
             "(--unsign writes it as an unsigned suite)");
  return ok;
}

// The documented flow: the window's conversion with the manifest patched on
// its way, then the integrity test.
int RenameByConversion(const std::string& arg, const std::string& suite, const std::string& out,
                       const std::string& newName, const TRunOptions& opt,
                       TVolumeFinder& volumes, const std::string& jadText,
                       const std::string& jadOut) {
  TTerminalView view;
  view.AssumeYes = opt.Replace;
  view.Verbose = opt.Verbose;
  TForm1 form(view);
  form.FormCreate();
  form.ArcMorph1().ShareCancel(SignalCancelFlag());
  form.ConfirmEachFile = false;
  UseTerminal(form, view, volumes);
  // Watch the entry names for a signature file, and leave signature files
  // out when asked, then let the window see them.
  bool signedSuite = false;
  TArcMorph& morph = form.ArcMorph1();
  TOnBegin extractBegin = morph.OnExtractBegin;
  morph.OnExtractBegin = [&](TZipCommon& sender, const std::string& name, int count,
                             bool& extract) {
    signedSuite = signedSuite || IsJarSignatureFile(name, true);
    extractBegin(sender, name, count, extract);
    if (opt.Unsign && IsJarSignatureFile(name)) extract = false;
  };
  view.Fields[rfSource] = suite;
  view.Fields[rfDest] = out;
  view.Fields[rfNewName] = newName;
  form.btnOKClick();

  // The copy is written to a temporary archive first: after a signal OUT
  // is either as it was or complete; a missing volume stops the run before
  // anything is written.
  if (const int stop = RunStopped(arg, form, view, volumes, "; nothing written"); stop >= 0)
    return stop;
  const bool written = FileExists(out) && !morph.Cancel();
  if (form.LastPatchStatus() != psPatched) {
    // A copy with the old name is no rename: leave nothing behind.
    if (written) DeleteFile(out);
    Note(arg, "no MIDlet-Name: in the manifest; nothing written");
    return kExitFailed;
  }
  if (!written) {
    Note(out, "the new suite was not written");
    return kExitFailed;
  }
  TRenameReport report;
  report.OldName = TrimmedLabel(form.OldName());
  report.NewName = newName;
  report.Written = out;
  report.Tested = form.IntegrityPassed() + form.IntegrityFailed();
  report.TestFailed = form.IntegrityFailed();
  report.Signed = signedSuite;
  bool ok = FinishRename(arg, report, opt, jadText, jadOut) && view.Complaints == 0;
  // The copy holds what could be extracted: say what it lacks.
  if (view.ExtractFailures > 0) {
    Note(arg, std::to_string(view.ExtractFailures) +
                 " entries could not be extracted and are missing from the copy");
    ok = false;
  }
  return ok ? kExitOk : kExitFailed;
}

// One suite renamed into out; the exit status. skipped: out exists and
// was not to be replaced.
int RenameOne(const std::string& arg, const std::string& outArg, const std::string& pattern,
              const TRunOptions& opt, TVolumeFinder& volumes, std::set<std::string>& written,
              bool& skipped) {
  skipped = false;
  std::string suite = ExpandFileName(arg);
  if (!volumes.FindSet(suite)) return kExitUnusable;
  if (!FileExists(suite)) {
    Note(arg, "no such file");
    return kExitUnusable;
  }
  // A name that needs nothing from the suite is checked before it is read.
  if (!NeedsOldName(pattern))
    if (const int bad = CheckNewName(pattern, ExpandName(pattern, "", suite)); bad >= 0)
      return bad;
  const std::string out = ExpandFileName(outArg);
  if (SameFilePathNoCase(out, suite)) {
    gProgress.Clear();
    std::cerr << kProgram << ": " << kSameFileMessage << "\n";
    return kExitUnusable;
  }
  if (IsDirectory(out)) {
    Note(out, "is a directory");
    return kExitUnusable;
  }
  if (written.count(out)) {
    Note(out, "was written by this run already (two suites of the same file name)");
    return kExitUnusable;
  }
  if (PathExists(out) && !opt.Replace) {
    Note(out, "already exists (use -y to replace it)");
    skipped = true;
    return kExitUnusable;
  }
  std::string jadIn, jadOut, jadText;
  if (opt.WantJad) {
    jadIn = ExpandFileName(opt.JadArg.empty() ? ChangeFileExt(suite, ".jad") : opt.JadArg);
    jadOut = ChangeFileExt(out, ".jad");
    if (!LoadBytes(jadIn, jadText)) {
      Note(jadIn, "cannot read the descriptor");
      return kExitUnusable;
    }
    if (SameFilePathNoCase(jadIn, jadOut)) {
      Note(jadOut, "the new descriptor would replace the source descriptor");
      return kExitUnusable;
    }
    if (PathExists(jadOut) && !opt.Replace) {
      Note(jadOut, "already exists (use -y to replace it)");
      skipped = true;
      return kExitUnusable;
    }
  }

  // A destination on a missing or read-only drive is refused before any
  // work, with the drive's own message.
  TDiskManager disks;
  if (!disks.CheckDrive(
          out, {}, {},
          [&](const std::string& drive, const std::string&, const std::string&, int code) {
            Note(drive, ErrorMessage(code) + " (" + std::to_string(code) + "); nothing written");
          }))
    return kExitUnusable;

  auto verbose = [&](const std::string& line) {
    if (opt.Verbose) Note(arg, line);
  };
  TSuiteCopy copy(suite);
  copy.Unsign = opt.Unsign;
  copy.Cancel = SignalCancelFlag();
  copy.Log = verbose;
  TCopyOutcome outcome = copy.Inspect();
  if (SignalReceived()) {
    Note(arg, "interrupted");
    return kExitInterrupted;
  }
  std::string newName;
  if (outcome == coFailed) {
    Note(arg, copy.Reason() + "; nothing written");
    return kExitFailed;
  }
  if (outcome == coRenamed) {
    if (!copy.HasName()) {
      Note(arg, "no MIDlet-Name: in the manifest; nothing written");
      return kExitFailed;
    }
    newName = ExpandName(pattern, copy.OldName(), suite);
    if (const int bad = CheckNewName(arg, newName); bad >= 0) return bad;
    outcome = copy.Write(out, newName);
    if (SignalReceived()) {
      Note(arg, "interrupted");
      return kExitInterrupted;
    }
    if (outcome == coRenamed) {
      written.insert(out);
      TRenameReport report;
      report.OldName = TrimmedLabel(copy.OldNameLabel());
      report.NewName = newName;
      report.Written = copy.Written();
      report.Tested = copy.Tested();
      report.Signed = copy.Signed();
      if (copy.Dropped() > 0)
        verbose("left out " + std::to_string(copy.Dropped()) + " signature files");
      return FinishRename(arg, report, opt, jadText, jadOut) ? kExitOk : kExitFailed;
    }
    if (outcome == coFailed) {
      Note(arg, copy.Reason() + "; nothing written");
      return kExitFailed;
    }
  }
  verbose("cannot be copied as it is (" + copy.Reason() +
          "): extracting and compressing it instead");
  if (NeedsOldName(pattern)) {
    std::string oldName;
    if (const int code = QueryByConversion(arg, suite, volumes, oldName); code != kExitOk)
      return code;
    newName = ExpandName(pattern, oldName, suite);
    if (const int bad = CheckNewName(arg, newName); bad >= 0) return bad;
  } else {
    newName = ExpandName(pattern, "", suite);
  }
  const int code =
      RenameByConversion(arg, suite, out, newName, opt, volumes, jadText, jadOut);
  if (code == kExitOk) written.insert(out);
  return code;
}

int Set(const std::vector<std::string>& pos, const TRunOptions& opt, TVolumeFinder& volumes) {
  if (pos.size() < 3) return Usage("set takes SUITE.jar... and NEW-NAME");
  const std::vector<std::string> suites(pos.begin() + 1, pos.end() - 1);
  const std::string& pattern = pos.back();
  const bool many = suites.size() > 1;
  if (many && !opt.JadArg.empty()) return Usage("--jad FILE names one suite's descriptor");
  // OUT is a directory for many suites (made when missing), and may be one
  // for a single suite.
  std::string outDir;
  if (opt.HasOut && (many || IsDirectory(ExpandFileName(opt.Out)))) {
    outDir = ExpandFileName(opt.Out);
    if (PathExists(outDir) && !IsDirectory(outDir)) return Usage("-o must name a directory");
    if (!IsDirectory(outDir) && !ForceDirs(outDir)) {
      Note(opt.Out, "cannot create the directory");
      return kExitUnusable;
    }
  }
  auto outFor = [&](const std::string& suite) {
    if (!outDir.empty()) return JoinPath(outDir, ExtractFileName(ExpandFileName(suite)));
    if (opt.HasOut) return opt.Out;
    return TForm1::DefaultDestination(ExpandFileName(suite));
  };
  std::set<std::string> written;
  if (!many) {
    bool skipped = false;
    return RenameOne(suites[0], outFor(suites[0]), pattern, opt, volumes, written, skipped);
  }
  int renamed = 0, skippedCount = 0, failed = 0;
  for (std::size_t i = 0; i < suites.size(); ++i) {
    gProgress.Show(i + 1, suites.size(), suites[i]);
    bool skipped = false;
    const int code = RenameOne(suites[i], outFor(suites[i]), pattern, opt, volumes, written,
                               skipped);
    if (code == kExitInterrupted) return code;
    if (code == kExitOk)
      ++renamed;
    else if (skipped)
      ++skippedCount;
    else
      ++failed;
  }
  gProgress.Clear();
  std::cout << "summary: " << renamed << " renamed, " << skippedCount << " skipped, " << failed
            << " failed\n";
  return failed > 0 ? kExitFailed : kExitOk;
}

int Main(int argc, char** argv) {
  std::vector<std::string> raw(argv + 1, argv + argc);
  TRunOptions opt;
  // "--jad" takes an optional value, which the shared parser does not know.
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const std::string& a = raw[i];
    if (a == "--jad") {
      opt.WantJad = true;
      if (i + 1 < raw.size() && raw[i + 1].size() > 4 &&
          LowerAscii(raw[i + 1]).compare(raw[i + 1].size() - 4, 4, ".jad") == 0)
        opt.JadArg = raw[++i];
    } else if (a.rfind("--jad=", 0) == 0) {
      opt.WantJad = true;
      opt.JadArg = a.substr(6);
    } else {
      rest.push_back(a);
    }
  }
  TArgParser args({"-y", "-v", "-h", "--help", "--unsign"}, {"-o", "--codepage"});
  std::string error;
  if (!args.Parse(rest, error)) return Usage(error);
  if (args.Has("-h") || args.Has("--help")) {
    std::cout << kUsage;
    return kExitOk;
  }
  const auto& pos = args.Positional();
  if (pos.empty()) return Usage("no command");
  if (args.Has("--codepage") && !ChooseOemCodePage(args.Value("--codepage"), error))
    return Usage(error);
  opt.Replace = args.Has("-y");
  opt.Verbose = args.Has("-v");
  opt.Unsign = args.Has("--unsign");
  opt.HasOut = args.Has("-o");
  if (opt.HasOut) opt.Out = args.Value("-o");
  // The converter's own message boxes (for example a refused output name).
  SetUserPrompt(std::make_shared<TTerminalPrompt>(kProgram, std::cerr, false));
  TErrorPrinter errors(kProgram, std::cerr);
  errors.FallbackFile = pos.size() > 1 ? pos[1] : std::string();
  TVolumeFinder volumes(kProgram, errors, StdinIsTerminal());
  // A progress line for several suites: show names them all, set adds NEW-NAME.
  gProgress.Active = ::isatty(2) == 1 && pos.size() > (pos[0] == "show" ? 2u : 3u);
  if (pos[0] == "show") {
    if (opt.WantJad || opt.HasOut || opt.Replace || opt.Unsign)
      return Usage("show takes no options");
    if (pos.size() < 2) return Usage("show takes SUITE.jar...");
    return Show(std::vector<std::string>(pos.begin() + 1, pos.end()), volumes);
  }
  if (pos[0] == "set") return Set(pos, opt, volumes);
  return Usage("unknown command " + pos[0]);
}

}  // namespace
}  // namespace qmx::cli

int main(int argc, char** argv) {
  return qmx::cli::Main(argc, argv);
}
