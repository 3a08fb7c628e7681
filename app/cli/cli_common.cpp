#include "app/cli/cli_common.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "archive/base/errors.h"
#include "archive/base/names.h"
#include "archive/platform/codepage.h"
#include "archive/platform/files.h"
#include "archive/zip/zip_check.h"

namespace qmx::cli {

// ---------------------------------------------------------------- options

TArgParser::TArgParser(std::set<std::string> flags, std::set<std::string> valued)
    : FFlags(std::move(flags)), FValued(std::move(valued)) {}

bool TArgParser::Parse(const std::vector<std::string>& args, std::string& error) {
  bool optionsDone = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsDone || a.size() < 2 || a[0] != '-') {
      FPositional.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsDone = true;
      continue;
    }
    std::string name = a;
    std::string value;
    bool inlineValue = false;
    if (a.rfind("--", 0) == 0) {
      std::size_t eq = a.find('=');
      if (eq != std::string::npos) {
        name = a.substr(0, eq);
        value = a.substr(eq + 1);
        inlineValue = true;
      }
    } else if (a.size() > 2) {
      // "-dDIR": a short option with its value attached.
      name = a.substr(0, 2);
      value = a.substr(2);
      inlineValue = true;
    }
    if (FFlags.count(name) && !inlineValue) {
      FValues[name].push_back({});
      continue;
    }
    if (!FValued.count(name)) {
      error = "unknown option " + a;
      return false;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    FValues[name].push_back(value);
  }
  return true;
}

std::vector<std::string> TArgParser::Values(const std::string& option) const {
  auto it = FValues.find(option);
  return it == FValues.end() ? std::vector<std::string>{} : it->second;
}

std::string TArgParser::Value(const std::string& option, const std::string& fallback) const {
  auto it = FValues.find(option);
  return it == FValues.end() || it->second.empty() ? fallback : it->second.back();
}

bool StdinIsTerminal() {
  return ::isatty(STDIN_FILENO) == 1;
}

bool StderrIsTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

// ---------------------------------------------------------------- progress

TProgressBar::TProgressBar(bool enabled, std::ostream& out) : FEnabled(enabled), FOut(out) {}

void TProgressBar::Update(int percent, const std::string& label) {
  if (!FEnabled) return;
  percent = std::clamp(percent, 0, 100);
  // Redrawing for every block would flood a slow terminal.
  if (percent == FLastPercent && label == FLastLabel) return;
  FLastPercent = percent;
  FLastLabel = label;
  constexpr int kWidth = 30;
  const int filled = percent * kWidth / 100;
  std::string shown = Printable(label);
  constexpr std::size_t kLabelMax = 40;
  if (shown.size() > kLabelMax) shown = "..." + shown.substr(shown.size() - (kLabelMax - 3));
  FOut << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] ";
  char pct[8];
  std::snprintf(pct, sizeof pct, "%3d%%", percent);
  FOut << pct << ' ' << shown << "\x1b[K" << std::flush;
  FShown = true;
}

void TProgressBar::Clear() {
  if (!FShown) return;
  FOut << "\r\x1b[K" << std::flush;
  FShown = false;
  FLastPercent = -1;
}

// ---------------------------------------------------------------- errors

namespace {

bool gSignalCancel = false;
volatile std::sig_atomic_t gSignalled = 0;

extern "C" void CancelOnSignal(int sig) {
  gSignalled = 1;
  gSignalCancel = true;
  std::signal(sig, SIG_DFL);
}

}  // namespace

bool* SignalCancelFlag() {
  static const bool installed = [] {
    std::signal(SIGINT, CancelOnSignal);
    std::signal(SIGTERM, CancelOnSignal);
    return true;
  }();
  (void)installed;
  return &gSignalCancel;
}

bool SignalReceived() {
  return gSignalled != 0;
}

std::string Printable(const std::string& text, bool keepNewlines) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n' && keepNewlines) {
      out += '\n';
    } else if (c < 0x20 || c == 0x7F) {
      out += '^';
      out += static_cast<char>(c ^ 0x40);
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned char>(text[++i]));
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

TErrorPrinter::TErrorPrinter(std::string program, std::ostream& out, TProgressBar* bar)
    : FProgram(std::move(program)), FOut(out), FBar(bar) {}

std::string TErrorPrinter::Format(const std::string& fileName, const std::string& extendedMsg,
                                  const std::string& volumeId, int code) const {
  std::string file = fileName;
  if (file.empty() && volumeId != "0") file = volumeId;
  if (file.empty()) file = FallbackFile;
  std::string line = FProgram + ": " + file + ": Error#: " + std::to_string(code);
  const std::string message = ErrorMessage(code);
  if (!message.empty()) line += " " + message;
  if (!extendedMsg.empty()) line += " (" + extendedMsg + ")";
  return line;
}

void TErrorPrinter::Print(const std::string& fileName, const std::string& extendedMsg,
                          const std::string& volumeId, int code) {
  FCodes.push_back(code);
  if (auto it = std::find(FAbsorbed.begin(), FAbsorbed.end(), code); it != FAbsorbed.end()) {
    FAbsorbed.erase(it);
    return;
  }
  if (FBar) FBar->Clear();
  FOut << Printable(Format(fileName, extendedMsg, volumeId, code)) << '\n' << std::flush;
}

TOnError TErrorPrinter::Handler() {
  return [this](TZipCommon&, const std::string& fileName, const std::string& extendedMsg,
                const std::string& volumeId,
                int code) { Print(fileName, extendedMsg, volumeId, code); };
}

void TErrorPrinter::Note(const std::string& file, const std::string& text) {
  if (FBar) FBar->Clear();
  FOut << FProgram << ": " << Printable(file.empty() ? FallbackFile : file) << ": "
       << Printable(text) << '\n'
       << std::flush;
}

bool TErrorPrinter::Reported(int code) const {
  return std::find(FCodes.begin(), FCodes.end(), code) != FCodes.end();
}

// ---------------------------------------------------------------- terminal

bool ReadTerminalLine(const std::string& prompt, bool secret, std::string& line) {
  std::cerr << prompt << std::flush;
  termios saved{};
  const bool echoOff = secret && ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (echoOff) {
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  line.clear();
  bool ok = false;
  for (;;) {
    char c;
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n <= 0) break;
    ok = true;
    if (c == '\n') break;
    line += c;
  }
  if (echoOff) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return ok;
}

TTerminalPrompt::TTerminalPrompt(std::string program, std::ostream& out, bool interactive)
    : FProgram(std::move(program)), FOut(out), FInteractive(interactive) {}

bool TTerminalPrompt::Ask(const std::string& caption, const std::string& text,
                          const std::string& choices) {
  const std::string question =
      FProgram + ": " + Printable((caption.empty() ? "" : caption + ": ") + text, true);
  if (!FInteractive) {
    // Nobody to ask: the cautious answer, said aloud so that logs show it.
    FOut << question << " -> " << (choices == "[y/N]" ? "no" : "cancel") << '\n' << std::flush;
    return false;
  }
  std::string answer;
  if (!ReadTerminalLine(question + " " + choices + " ", false, answer)) return false;
  return !answer.empty() &&
         (answer[0] == 'y' || answer[0] == 'Y' || answer[0] == 'r' || answer[0] == 'R');
}

bool TTerminalPrompt::AskYesNo(const std::string& caption, const std::string& text) {
  return Ask(caption, text, "[y/N]");
}

bool TTerminalPrompt::AskRetryCancel(const std::string& caption, const std::string& text) {
  return Ask(caption, text, "[r(etry)/C(ancel)]");
}

void TTerminalPrompt::ShowMessage(const std::string& caption, const std::string& text) {
  FOut << FProgram << ": " << Printable((caption.empty() ? "" : caption + ": ") + text, true)
       << '\n'
       << std::flush;
}

// ---------------------------------------------------------------- volumes

TVolumeFinder::TVolumeFinder(std::string program, TErrorPrinter& errors, bool interactive,
                             TProgressBar* bar)
    : FProgram(std::move(program)), FErrors(errors), FInteractive(interactive), FBar(bar) {}

TOnNextVolume TVolumeFinder::Handler() {
  return [this](TZipCommon&, std::string& volumeName, int volumeId, bool exists, bool& cancel) {
    Request(volumeName, "volume " + std::to_string(volumeId), exists, cancel);
    // The reader's "User canceled" that follows would only repeat our report.
    if (cancel && !FInteractive) FErrors.Absorb(E_USER_CANCELED);
  };
}

namespace {

// ".z01", ".Z99", ".z100": a numbered volume's extension.
bool IsNumberedVolume(const std::string& archive) {
  const std::string ext = ExtractFileExt(archive);
  return ext.size() >= 4 && (ext[1] == 'z' || ext[1] == 'Z') &&
         ext.find_first_not_of("0123456789", 2) == std::string::npos;
}

bool IsZipFamily(TArcType t) {
  return t == atZip || t == atZipExe || t == atZipMV || t == atZipDS;
}

}  // namespace

bool TVolumeFinder::FindSet(std::string& archive) {
  if (!IsNumberedVolume(archive)) return true;
  const bool upper = ExtractFileExt(archive)[1] == 'Z';
  for (const char* ext : {upper ? ".ZIP" : ".zip", upper ? ".zip" : ".ZIP"}) {
    const std::string last = ChangeFileExt(archive, ext);
    if (FileExists(last)) {
      archive = last;
      return true;
    }
  }
  // Not a volume of a ZIP set after all (or not there): read as it is.
  TZipCheck probe;
  probe.SetArchiveFile(archive);
  if (!IsZipFamily(probe.ArcType())) return true;
  std::string last = ChangeFileExt(archive, upper ? ".ZIP" : ".zip");
  bool cancel = false;
  while (!cancel && !FileExists(last)) Request(last, "the last volume", false, cancel);
  if (cancel) return false;
  archive = last;
  return true;
}

void TVolumeFinder::Request(std::string& volumeName, const std::string& which, bool exists,
                            bool& cancel) {
  // The reader asks again for as long as the name given back does not
  // exist, so every path out of here either finds a file or cancels.
  cancel = false;
  if (exists) return;
  // A retry comes back with the user's last answer; a new request with the
  // reader's own name for the volume.
  if (volumeName != FLastAnswer) FProposed = volumeName;
  if (FBar) FBar->Clear();
  if (!FInteractive) {
    FMissing = FProposed;
    cancel = true;
    FErrors.Print(FProposed, which + " of the split set is missing", "0", E_FILE_NOT_FOUND);
    return;
  }
  std::string line;
  const std::string prompt =
      FProgram + ": " + volumeName + " not found; path of " + which + " (empty to cancel): ";
  if (!ReadTerminalLine(prompt, false, line) || line.empty()) {
    FMissing = FProposed;
    cancel = true;
    return;
  }
  // A directory answer means the volume's own name in that directory.
  if (IsDirectory(line)) line = AppendSlash(line) + ExtractFileName(FProposed);
  volumeName = FLastAnswer = line;
}

// ---------------------------------------------------------------- code pages

bool ChooseOemCodePage(const std::string& name, std::string& error) {
  std::string cp = name;
  if (!cp.empty() && cp.find_first_not_of("0123456789") == std::string::npos) cp = "CP" + cp;
  // Opening the conversion both ways is what the readers and writers will do.
  std::string out;
  const std::string sys = SystemCodePage();
  if (cp.empty() || !ConvertCodePage(cp, sys, "A", out) || !ConvertCodePage(sys, cp, "A", out)) {
    error = name.empty() ? "--codepage needs a code page" : "unknown code page " + name;
    return false;
  }
  SetOemCodePage(cp);
  return true;
}

// ---------------------------------------------------------------- dates

std::string FormatDosDateTime(std::uint32_t packed) {
  const unsigned year = 1980 + ((packed >> 25) & 0x7F);
  const unsigned month = (packed >> 21) & 0x0F;
  const unsigned day = (packed >> 16) & 0x1F;
  const unsigned hour = (packed >> 11) & 0x1F;
  const unsigned minute = (packed >> 5) & 0x3F;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u", year, month, day, hour, minute);
  return buf;
}

}  // namespace qmx::cli
