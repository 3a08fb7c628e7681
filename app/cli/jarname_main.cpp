// jarname: the rename tool without a window. It drives the window's own
// workflow (TForm1) with a terminal view, so a rename here is the same
// conversion, manifest patch and integrity test as in the window.
#ifdef __GLIBC__
#endif

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/cli_common.h"
#include "app/rename/manifest_patcher.h"
#include "app/rename/rename_workflow.h"
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
    "  jarname show SUITE.jar\n"
    "      print the suite's MIDlet-Name\n"
    "  jarname set SUITE.jar NEW-NAME [-o OUT] [-y] [--jad [FILE.jad]] [-v]\n"
    "      write a copy of the suite named NEW-NAME (default OUT: SUITE新.JAR beside it)\n"
    "\n"
    "options:\n"
    "  -o OUT           the new suite's path\n"
    "  -y               replace an existing OUT (and its descriptor)\n"
    "  --jad [FILE]     also write OUT's descriptor from FILE (default: SUITE.jad)\n"
    "  -v               print the run's log\n"
    "  --codepage CP    code page of entry names stored without the UTF-8 flag\n"
    "                   (936, 866, 932 ... or an iconv name; default: QMX_OEM_CODEPAGE,\n"
    "                   else by locale)\n"
    "  --help\n"
    "\n"
    "A split suite (.z01 ... .zip) is read through its .zip, whichever volume is\n"
    "named; the other volumes are taken from beside it, or asked for on a terminal.\n"
    "\n"
    "exit status: 0 success, 1 no name found or the run failed, 2 bad usage or refused\n";

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

void Note(const std::string& file, const std::string& text) {
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

bool IsSignatureEntry(const std::string& stored) {
  const std::string n = LowerAscii(stored);
  return n.rfind("meta-inf/", 0) == 0 && n.size() > 12 && n.compare(n.size() - 3, 3, ".sf") == 0 &&
         n.find('/', 9) == std::string::npos;
}

// The descriptor with MIDlet-Name, MIDlet-Jar-Size and a bare MIDlet-Jar-URL
// replaced; every other line stays byte for byte.
std::string RewriteDescriptor(const std::string& jad, const std::string& newName,
                              std::int64_t jarSize, const std::string& jarFileName,
                              bool& signedSuite) {
  std::string out;
  std::size_t i = 0;
  bool skippingContinuation = false;
  while (i < jad.size()) {
    std::size_t end = jad.find_first_of("\r\n", i);
    std::size_t next = end == std::string::npos ? jad.size() : end;
    if (next < jad.size())
      next += (jad[next] == '\r' && next + 1 < jad.size() && jad[next + 1] == '\n') ? 2 : 1;
    const std::string line = jad.substr(i, (end == std::string::npos ? jad.size() : end) - i);
    const std::string lineEnd = jad.substr(i + line.size(), next - i - line.size());
    i = next;
    if (skippingContinuation && !line.empty() && line[0] == ' ') continue;
    skippingContinuation = false;
    const std::size_t colon = line.find(':');
    const std::string key =
        colon == std::string::npos ? std::string() : LowerAscii(line.substr(0, colon));
    std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
    while (!value.empty() && value[0] == ' ') value.erase(0, 1);
    if (key == "midlet-jar-rsa-sha1") signedSuite = true;
    std::string replaced;
    if (key == "midlet-name")
      replaced = line.substr(0, colon + 1) + NewValueBytes(newName);
    else if (key == "midlet-jar-size")
      replaced = line.substr(0, colon + 1) + " " + std::to_string(jarSize);
    else if (key == "midlet-jar-url" && value.find_first_of("/:\\") == std::string::npos)
      replaced = line.substr(0, colon + 1) + " " + jarFileName;
    if (replaced.empty()) {
      out += line + lineEnd;
    } else {
      out += replaced + lineEnd;
      skippingContinuation = true;
    }
  }
  return out;
}

int Show(const std::vector<std::string>& pos, TVolumeFinder& volumes) {
  if (pos.size() != 2) return Usage("show takes one SUITE.jar");
  std::string suite = ExpandFileName(pos[1]);
  if (!volumes.FindSet(suite)) return kExitUnusable;
  if (!FileExists(suite)) {
    Note(pos[1], "no such file");
    return kExitUnusable;
  }
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
  if (const int stop = RunStopped(pos[1], form, view, volumes, ""); stop >= 0) return stop;
  if (!form.OldNameRead()) {
    Note(pos[1], "no MIDlet-Name: in the manifest");
    return kExitFailed;
  }
  std::string name = form.OldName();
  name.erase(0, name.find_first_not_of(" \t"));
  std::cout << Printable(name) << "\n";
  return kExitOk;
}

int Set(const std::vector<std::string>& pos, const TArgParser& args, bool wantJad,
        const std::string& jadArg, TVolumeFinder& volumes) {
  if (pos.size() != 3) return Usage("set takes SUITE.jar and NEW-NAME");
  std::string suite = ExpandFileName(pos[1]);
  if (!volumes.FindSet(suite)) return kExitUnusable;
  const std::string newName = pos[2];
  const bool replace = args.Has("-y");
  if (!FileExists(suite)) {
    Note(pos[1], "no such file");
    return kExitUnusable;
  }
  if (newName.find_first_of("\r\n") != std::string::npos) {
    Note(newName, "a name cannot contain line breaks");
    return kExitUnusable;
  }
  if (newName.find_first_not_of(" \t") == std::string::npos) {
    std::cerr << kProgram << ": " << kEmptyNameMessage << "\n";
    return kExitUnusable;
  }
  const std::string out =
      ExpandFileName(args.Has("-o") ? args.Value("-o") : TForm1::DefaultDestination(suite));
  if (SameFilePathNoCase(out, suite)) {
    std::cerr << kProgram << ": " << kSameFileMessage << "\n";
    return kExitUnusable;
  }
  if (IsDirectory(out)) {
    Note(out, "is a directory");
    return kExitUnusable;
  }
  if (PathExists(out) && !replace) {
    Note(out, "already exists (use -y to replace it)");
    return kExitUnusable;
  }
  std::string jadIn, jadOut, jadText;
  if (wantJad) {
    jadIn = ExpandFileName(jadArg.empty() ? ChangeFileExt(suite, ".jad") : jadArg);
    jadOut = ChangeFileExt(out, ".jad");
    if (!LoadBytes(jadIn, jadText)) {
      Note(jadIn, "cannot read the descriptor");
      return kExitUnusable;
    }
    if (SameFilePathNoCase(jadIn, jadOut)) {
      Note(jadOut, "the new descriptor would replace the source descriptor");
      return kExitUnusable;
    }
    if (PathExists(jadOut) && !replace) {
      Note(jadOut, "already exists (use -y to replace it)");
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

  TTerminalView view;
  view.AssumeYes = replace;
  view.Verbose = args.Has("-v");
  TForm1 form(view);
  form.FormCreate();
  form.ArcMorph1().ShareCancel(SignalCancelFlag());
  form.ConfirmEachFile = false;
  UseTerminal(form, view, volumes);
  // Watch the entry names for a signature file, then let the window see them.
  bool signedSuite = false;
  TArcMorph& morph = form.ArcMorph1();
  TOnBegin extractBegin = morph.OnExtractBegin;
  morph.OnExtractBegin = [&](TZipCommon& sender, const std::string& name, int count,
                             bool& extract) {
    signedSuite = signedSuite || IsSignatureEntry(name);
    extractBegin(sender, name, count, extract);
  };
  view.Fields[rfSource] = suite;
  view.Fields[rfDest] = out;
  view.Fields[rfNewName] = newName;
  form.btnOKClick();

  // The copy is written to a temporary archive first: after a signal OUT
  // is either as it was or complete; a missing volume stops the run before
  // anything is written.
  if (const int stop = RunStopped(pos[1], form, view, volumes, "; nothing written"); stop >= 0)
    return stop;
  const bool written = FileExists(out) && !morph.Cancel();
  if (form.LastPatchStatus() != psPatched) {
    // A copy with the old name is no rename: leave nothing behind.
    if (written) DeleteFile(out);
    Note(pos[1], "no MIDlet-Name: in the manifest; nothing written");
    return kExitFailed;
  }
  if (!written) {
    Note(out, "the new suite was not written");
    return kExitFailed;
  }
  std::string oldName = form.OldName();
  oldName.erase(0, oldName.find_first_not_of(" \t"));
  std::string shownNew = NewValueBytes(newName).substr(1);
  std::cout << "old name: " << Printable(oldName) << "\n"
            << "new name: " << Printable(shownNew) << "\n"
            << "written:  " << Printable(out) << "\n";
  const int tested = form.IntegrityPassed() + form.IntegrityFailed();
  bool ok = form.IntegrityFailed() == 0 && tested > 0 && form.ErrorsShown() == 0;
  if (form.IntegrityFailed() > 0)
    std::cout << "integrity: FAILED (" << form.IntegrityFailed() << " of " << tested
              << " entries)\n";
  else if (tested == 0)
    std::cout << "integrity: not tested\n";
  else
    std::cout << "integrity: ok (" << tested << " entries)\n";
  // The copy holds what could be extracted: say what it lacks.
  if (view.ExtractFailures > 0) {
    Note(pos[1], std::to_string(view.ExtractFailures) +
                     " entries could not be extracted and are missing from the copy");
    ok = false;
  }

  if (wantJad) {
    const std::string jad =
        RewriteDescriptor(jadText, newName, FileSizeByName(out), ExtractFileName(out), signedSuite);
    if (!SaveBytes(jadOut, jad)) {
      Note(jadOut, "cannot write the descriptor");
      ok = false;
    } else {
      std::cout << "descriptor: " << jadOut << "\n";
    }
  }
  if (signedSuite)
    std::cerr << kProgram
              << ": warning: the suite was signed; the renamed copy is no longer "
                 "validly signed\n";
  return ok ? kExitOk : kExitFailed;
}

int Main(int argc, char** argv) {
  std::vector<std::string> raw(argv + 1, argv + argc);
  // "--jad" takes an optional value, which the shared parser does not know.
  bool wantJad = false;
  std::string jadArg;
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const std::string& a = raw[i];
    if (a == "--jad") {
      wantJad = true;
      if (i + 1 < raw.size() && raw[i + 1].size() > 4 &&
          LowerAscii(raw[i + 1]).compare(raw[i + 1].size() - 4, 4, ".jad") == 0)
        jadArg = raw[++i];
    } else if (a.rfind("--jad=", 0) == 0) {
      wantJad = true;
      jadArg = a.substr(6);
    } else {
      rest.push_back(a);
    }
  }
  TArgParser args({"-y", "-v", "-h", "--help"}, {"-o", "--codepage"});
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
  // The converter's own message boxes (for example a refused output name).
  SetUserPrompt(std::make_shared<TTerminalPrompt>(kProgram, std::cerr, false));
  TErrorPrinter errors(kProgram, std::cerr);
  errors.FallbackFile = pos.size() > 1 ? pos[1] : std::string();
  TVolumeFinder volumes(kProgram, errors, StdinIsTerminal());
  if (pos[0] == "show") {
    if (wantJad || args.Has("-o") || args.Has("-y")) return Usage("show takes no options");
    return Show(pos, volumes);
  }
  if (pos[0] == "set") return Set(pos, args, wantJad, jadArg, volumes);
  return Usage("unknown command " + pos[0]);
}

}  // namespace
}  // namespace qmx::cli

int main(int argc, char** argv) {
  return qmx::cli::Main(argc, argv);
}
