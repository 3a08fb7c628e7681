// arcmorph: the command-line front end of the archive library. Every command
// drives the library's components (type detection, the readers through the
// extraction framework, the integrity checker); nothing here reads an
// archive by itself.
#include <cinttypes>
#include <cstdio>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/cli/arcmorph_convert.h"
#include "app/cli/arcmorph_write.h"
#include "app/cli/cli_common.h"
#include "archive/base/errors.h"
#include "archive/base/names.h"
#include "archive/platform/files.h"
#include "archive/zip/zip_check.h"

namespace qmx::cli {
namespace {

constexpr const char* kProgram = "arcmorph";
constexpr const char* kVersion = "0.1.0";

constexpr const char* kUsage =
    "usage: arcmorph COMMAND [OPTIONS] ...\n"
    "\n"
    "  arcmorph detect FILE...\n"
    "      print each file's archive type\n"
    "  arcmorph list ARCHIVE [--codepage CP]\n"
    "      one line per entry: method, packed and original size, date, CRC-32, name\n"
    "  arcmorph test ARCHIVE [-p PASSWORD]... [--codepage CP]\n"
    "      decode every entry and verify it, printing each verdict\n"
    "  arcmorph extract ARCHIVE [-d DIR] [-p PASSWORD]... [--overwrite | --skip-existing]\n"
    "                   [--keep-broken] [--codepage CP] [MASK...]\n"
    "      extract the entries matching the masks (default: all) into DIR\n"
    "  arcmorph convert SOURCE DEST [--type TYPE] [--no-test] [--overwrite] [-p PASSWORD]...\n"
    "                   [--codepage CP]\n"
    "      rebuild SOURCE as an archive of another type (arcmorph convert --help)\n";

constexpr const char* kOptionsUsage =
    "\n"
    "options:\n"
    "  -q               quiet: no progress bar, only failures and errors\n"
    "  -p PASSWORD      a password to try on encrypted entries (repeatable)\n"
    "  -d DIR           extraction directory (default: the current directory)\n"
    "  --overwrite      replace existing files without asking\n"
    "  --skip-existing  leave existing files alone\n"
    "  --keep-broken    keep the files of entries that fail (removed by default)\n"
    "  --codepage CP    code page of names stored without the UTF-8 flag, as a Windows\n"
    "                   number (936, 866, 932 ...) or an iconv name; default: the\n"
    "                   QMX_OEM_CODEPAGE environment variable, else by locale (CP437)\n"
    "  --help, --version\n"
    "\n"
    "A split set (.z01, .z02 ... .zip) is read through its .zip, whichever volume is\n"
    "named; the other volumes are taken from beside it, or asked for on a terminal.\n"
    "\n"
    "exit status: 0 success, 1 some entries failed, 2 bad usage or unusable archive\n";

std::set<std::string> Merge(std::set<std::string> a, const std::set<std::string>& b) {
  a.insert(b.begin(), b.end());
  return a;
}

// The full usage text: the reading commands, then the writing ones.
std::string UsageText() {
  return std::string(kUsage) + kWriteUsage + kOptionsUsage;
}

// The state every command shares.
struct TSession {
  TArgParser Args{
      Merge({"-q", "-h", "--help", "--version", "--overwrite", "--skip-existing", "--keep-broken"},
            WriteFlags()),
      Merge({"-p", "-d", "--codepage"}, WriteValuedOptions())};
  bool Quiet = false;
  bool Interactive = false;
  TProgressBar Bar{false, std::cerr};
  TErrorPrinter Errors{kProgram, std::cerr, &Bar};
  TVolumeFinder Volumes{kProgram, Errors, false, &Bar};
  // What the last error said about the entry in hand; its FAILED line
  // repeats it.
  std::string Reason;

  TSession() = default;
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;
};

// Counts what a run did, to choose the exit status.
struct TTally {
  int Passed = 0;
  int Failed = 0;
  int Refused = 0;  // existing files not overwritten without being told to
};

int Usage(const std::string& complaint) {
  std::cerr << kProgram << ": " << complaint << "\n" << UsageText();
  return kExitUnusable;
}

bool OptionsAllowed(TSession& s, const std::vector<std::string>& allowed, std::string& bad) {
  std::set<std::string> specific = Merge(WriteFlags(), WriteValuedOptions());
  specific.insert({"-p", "-d", "--overwrite", "--skip-existing", "--keep-broken", "--codepage"});
  for (const std::string& opt : specific) {
    if (!s.Args.Has(opt)) continue;
    bool ok = false;
    for (const auto& a : allowed) ok = ok || a == opt;
    if (!ok) {
      bad = opt;
      return false;
    }
  }
  return true;
}

// Errors that do not mean an entry failed.
bool IsWarning(int code) {
  // A further encoded part without a "begin" line is decoded all the same.
  return code == E_INVALID_NAME || code == E_NAME_MISMATCH || code == E_LINE_BEFORE_BEGIN;
}

int CountFailures(const TErrorPrinter& errors) {
  int n = 0;
  for (int code : errors.Codes())
    if (!IsWarning(code)) ++n;
  return n;
}

int ExitStatus(const TSession& s, const TTally& t) {
  // An incomplete split set cannot be used, whatever came before the gap.
  if (!s.Volumes.Missing().empty()) return kExitUnusable;
  const int errorCount = CountFailures(s.Errors);
  // Errors and not one verdict: the archive itself could not be used.
  if (errorCount > 0 && t.Passed + t.Failed == 0 && t.Refused == 0) return kExitUnusable;
  return (t.Failed > 0 || t.Refused > 0 || errorCount > 0) ? kExitFailed : kExitOk;
}

TOnProgress ProgressHandler(TSession& s) {
  if (!s.Bar.Enabled()) return {};
  return [&s](TZipCommon& sender, std::uint8_t, std::uint8_t byArchive) {
    s.Bar.Update(byArchive, ExtractFileName(sender.FileName()));
  };
}

TOnGetPassword PasswordPrompt(TSession& s) {
  return [&s](TZipCommon&, const std::string& fileName, std::string& password, bool& tryAgain) {
    s.Bar.Clear();
    std::string line;
    const std::string prompt = std::string(kProgram) + ": password for " + fileName + ": ";
    // An empty answer (or end of input) gives up on this entry.
    if (!ReadTerminalLine(prompt, true, line) || line.empty()) {
      tryAgain = false;
      return;
    }
    password = line;
  };
}

// The library reports every entry-level problem; what remains to check up
// front is that the file exists at all.
bool ArchiveExists(TSession& s, const std::string& archive) {
  if (FileExists(archive)) return true;
  s.Errors.Print(archive, "", "0", E_FILE_NOT_FOUND);
  return false;
}

// Errors of a test or extraction run. A missing or wrong password is said
// as such, with the archive and the entry, instead of the event the
// library found unassigned.
TOnError EntryErrors(TSession& s, const std::string& archive) {
  return [&s, archive, print = s.Errors.Handler()](TZipCommon& sender, const std::string& file,
                                                   const std::string& ext,
                                                   const std::string& volume, int code) {
    if (code == E_EVENT_NOT_ASSIGNED && ext == "OnGetPassword") {
      s.Reason = s.Args.Has("-p") ? "wrong password" : "password required";
      const std::string here = AppendSlash(GetCurrentDir());
      const std::string entry = file.rfind(here, 0) == 0 ? file.substr(here.size()) : file;
      s.Errors.Note(archive, DelimToSlash(entry) + ": " + s.Reason);
      return;
    }
    s.Reason = ErrorMessage(code) + (ext.empty() ? "" : ": " + ext);
    print(sender, file, ext, volume, code);
  };
}

// One verdict line; a failure says why (a verdict without an error is a
// checksum that did not match).
void PrintVerdict(TSession& s, bool pass, const std::string& name) {
  s.Bar.Clear();
  std::string line = (pass ? "OK      " : "FAILED  ") + Printable(name);
  if (!pass) line += " (" + (s.Reason.empty() ? ErrorMessage(E_CRC_FAIL) : s.Reason) + ")";
  s.Reason.clear();
  std::cout << line << '\n' << std::flush;
}

// The reader for the archive's detected type, or nullptr (reported).
std::unique_ptr<TUnBase> OpenReader(TSession& s, std::string archive) {
  if (!s.Volumes.FindSet(archive) || !ArchiveExists(s, archive)) return nullptr;
  TZipCheck probe;
  probe.SetArchiveFile(archive);
  std::unique_ptr<TUnBase> reader = TZipCheck::CreateReader(probe.ArcType());
  if (!reader) {
    s.Errors.Print(archive, ArcTypeName(probe.ArcType()), "0", E_UNSUPPORTED_TYPE);
    return nullptr;
  }
  reader->AdoptArchiveFacts(probe);
  reader->ShareCancel(SignalCancelFlag());
  reader->OnError = EntryErrors(s, archive);
  reader->OnNextVolume = s.Volumes.Handler();
  reader->OnProgress = ProgressHandler(s);
  if (!s.Args.Has("-p") && s.Interactive) reader->OnGetPassword = PasswordPrompt(s);
  reader->SetPasswords(s.Args.Values("-p"));
  return reader;
}

// ------------------------------------------------------------------ detect

int CmdDetect(TSession& s) {
  const auto& files = s.Args.Positional();
  if (files.size() < 2) return Usage("detect needs at least one FILE");
  int status = kExitOk;
  for (std::size_t i = 1; i < files.size(); ++i) {
    const std::string& file = files[i];
    if (!PathExists(file)) {
      s.Errors.Print(file, "", "0", E_FILE_NOT_FOUND);
      status = kExitUnusable;
      continue;
    }
    TZipCheck probe;
    probe.SetArchiveFile(file);
    std::cout << Printable(file) << ": " << ArcTypeName(probe.ArcType()) << '\n';
  }
  return status;
}

// -------------------------------------------------------------------- list

// What a listing knows of an entry: the name the run reported, and the
// reader's record when that record is of the same name (when the local
// header names the entry differently, nothing beyond the name is certain).
struct TListedEntry {
  std::string Name;
  bool Known = false;
  TEntryInfo Info;
};

TListedEntry ListedEntry(const TUnBase& reader, const std::string& name) {
  const TEntryInfo& info = reader.EntryInfo();
  const bool known = info.Known && info.Name == name;
  return {name, known, known ? info : TEntryInfo{}};
}

void PrintListLine(const std::string& method, std::uint64_t packed, std::uint64_t original,
                   std::uint32_t dosTime, std::uint32_t crc, const std::string& name) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%-11s %12" PRIu64 " %12" PRIu64 " %s %08" PRIX32 "  ",
                method.c_str(), packed, original, FormatDosDateTime(dosTime).c_str(), crc);
  std::cout << buf << Printable(name) << '\n';
}

int CmdList(TSession& s) {
  const auto& pos = s.Args.Positional();
  if (pos.size() != 2) return Usage("list needs exactly one ARCHIVE");
  std::unique_ptr<TUnBase> reader = OpenReader(s, pos[1]);
  if (!reader) return kExitUnusable;
  // The framework has no listing run: a test run that declines every file
  // in OnBegin visits each entry without decoding it. Directory entries are
  // never offered to OnBegin; their verdict arrives through OnEnd.
  std::vector<TListedEntry> listed;
  // A gzip member is decoded to learn whether it holds a tar: then the
  // tar's entries are listed in its place, as tar tzf lists them.
  bool memberOffered = false;
  auto entryOf = [&](TZipCommon& sender, const std::string& name) {
    const auto* inner = dynamic_cast<const TUnBase*>(&sender);
    return ListedEntry(inner ? *inner : *reader, name);
  };
  reader->OnBegin = [&](TZipCommon& sender, const std::string& name, int, bool& extract) {
    listed.push_back(entryOf(sender, name));
    extract = &sender == reader.get() && reader->ArcType() == atGZip;
    memberOffered = extract;
  };
  reader->OnNestedTarFile = [&](TZipCommon&, const std::string&, bool& doUnTar) {
    doUnTar = true;
    if (memberOffered && !listed.empty()) listed.pop_back();
    memberOffered = false;
  };
  // Entries the reader cannot decode (an unknown method) and directories
  // arrive here.
  reader->TZipCommon::OnEnd = [&](TZipCommon& sender, const std::string& name, bool) {
    if (memberOffered && &sender == reader.get()) {
      memberOffered = false;
      return;
    }
    listed.push_back(entryOf(sender, name));
  };
  // Listing decodes nothing: the method column says what cannot be read.
  reader->OnError = [print = s.Errors.Handler()](TZipCommon& sender, const std::string& file,
                                                 const std::string& msg, const std::string& volume,
                                                 int code) {
    if (code != E_UNSUPPORTED_METHOD) print(sender, file, msg, volume, code);
  };
  reader->OnGetPassword = nullptr;
  reader->SetFileSpec({"*.*"});
  reader->Test();
  s.Bar.Clear();

  if (!s.Quiet)
    std::cout << "Method            Packed     Original Date       Time  CRC-32    Name\n";
  std::uint64_t totalPacked = 0, totalOriginal = 0;
  // Declared sizes may be anything; a total does not wrap.
  auto add = [](std::uint64_t& total, std::uint64_t v) {
    total = v > UINT64_MAX - total ? UINT64_MAX : total + v;
  };
  for (const TListedEntry& entry : listed) {
    const std::string shown = DelimToSlash(entry.Name);
    if (!entry.Known) {
      // Nothing known beyond the name.
      std::cout << std::string(10, '-') << ' ' << Printable(shown) << '\n';
      continue;
    }
    const TEntryInfo& e = entry.Info;
    const std::uint64_t packed = e.PackedSize;
    const std::uint64_t original = e.UnpackedSize;
    // A link is extracted as a file that holds its target: say so.
    PrintListLine(e.MethodName, packed, original, e.DosDate, e.Crc,
                  e.IsSymLink ? shown + " (symbolic link)" : shown);
    add(totalPacked, packed);
    add(totalOriginal, original);
  }
  if (!s.Quiet) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%-11s %12" PRIu64 " %12" PRIu64 " %zu entries\n", "",
                  totalPacked, totalOriginal, listed.size());
    std::cout << buf;
  }
  TTally t;
  t.Passed = static_cast<int>(listed.size());
  return ExitStatus(s, t);
}

// -------------------------------------------------------------------- test

int CmdTest(TSession& s) {
  const auto& pos = s.Args.Positional();
  if (pos.size() != 2) return Usage("test needs exactly one ARCHIVE");
  std::string archive = pos[1];
  if (!s.Volumes.FindSet(archive) || !ArchiveExists(s, archive)) return kExitUnusable;
  TZipCheck check;
  check.SetArchiveFile(archive);
  check.SetFileSpec({"*.*"});
  check.SetPasswords(s.Args.Values("-p"));
  check.OnError = EntryErrors(s, archive);
  check.OnNextVolume = s.Volumes.Handler();
  check.OnProgress = ProgressHandler(s);
  if (!s.Args.Has("-p") && s.Interactive) check.OnGetPassword = PasswordPrompt(s);
  check.OnNestedTarFile = [](TZipCommon&, const std::string&, bool& doUnTar) { doUnTar = true; };
  TTally t;
  check.OnStatus = [&](TZipCommon&, const std::string& name, bool pass) {
    (pass ? t.Passed : t.Failed)++;
    if (pass && s.Quiet) return s.Reason.clear();
    PrintVerdict(s, pass, DelimToSlash(name));
  };
  check.Activate();
  s.Bar.Clear();
  if (!s.Quiet && t.Passed + t.Failed > 0)
    std::cout << t.Passed + t.Failed << " entries tested, " << t.Failed << " failed\n";
  return ExitStatus(s, t);
}

// ----------------------------------------------------------------- extract

int CmdExtract(TSession& s) {
  const auto& pos = s.Args.Positional();
  if (pos.size() < 2) return Usage("extract needs an ARCHIVE");
  if (s.Args.Has("--overwrite") && s.Args.Has("--skip-existing"))
    return Usage("--overwrite and --skip-existing exclude each other");
  std::unique_ptr<TUnBase> reader = OpenReader(s, pos[1]);
  if (!reader) return kExitUnusable;

  const std::string dir = s.Args.Value("-d", GetCurrentDir());
  if (!IsDirectory(dir) && !ForceDirs(dir)) {
    s.Errors.Print(dir, "", "0", E_INVALID_DIR);
    return kExitUnusable;
  }
  reader->SetExtractDir(ExpandFileName(dir));
  std::vector<std::string> masks(pos.begin() + 2, pos.end());
  if (masks.empty()) masks.push_back("*.*");
  reader->SetFileSpec(masks);
  reader->CreateStoredDirs = true;
  reader->KeepBrokenFiles = s.Args.Has("--keep-broken");

  TTally t;
  if (s.Args.Has("--overwrite")) {
    reader->ConfirmOverwrites = false;
    reader->OverwriteMode = omOverwrite;
  } else {
    reader->ConfirmOverwrites = true;
    const bool skip = s.Args.Has("--skip-existing");
    // Once the user answers "all" or "none", the rest follow that answer.
    auto sticky = std::make_shared<int>(-1);
    reader->TCustomDClass::OnFileExists = [&s, &t, skip, sticky](
                                              TZipCommon&, const std::string& fileName,
                                              std::string&, TOverwriteMode& mode) {
      if (skip) {
        mode = omSkip;
        if (!s.Quiet) s.Errors.Note(fileName, "exists, skipped");
        return;
      }
      if (!s.Interactive) {
        mode = omSkip;
        ++t.Refused;
        s.Errors.Note(fileName, "exists, not overwritten (use --overwrite or --skip-existing)");
        return;
      }
      if (*sticky >= 0) {
        mode = *sticky ? omOverwrite : omSkip;
        return;
      }
      s.Bar.Clear();
      std::string answer;
      ReadTerminalLine(std::string(kProgram) + ": " + fileName +
                           " exists. Overwrite? [y]es, [N]o, [A]ll, n[o]ne: ",
                       false, answer);
      const char c = answer.empty() ? 'n' : answer[0];
      if (c == 'A' || c == 'a') *sticky = 1;
      if (c == 'o' || c == 'O') *sticky = 0;
      mode = (c == 'y' || c == 'Y' || c == 'A' || c == 'a') ? omOverwrite : omSkip;
    };
  }
  reader->TZipCommon::OnEnd = [&](TZipCommon&, const std::string& name, bool pass) {
    (pass ? t.Passed : t.Failed)++;
    if (pass && s.Quiet) return s.Reason.clear();
    PrintVerdict(s, pass, name);
  };
  // A gzip file of a tar extracts as the tar's entries, as tar xzf does.
  reader->OnNestedTarFile = [](TZipCommon&, const std::string&, bool& doUnTar) { doUnTar = true; };
  reader->Extract();
  s.Bar.Clear();
  return ExitStatus(s, t);
}

// ------------------------------------------------------- add and delete

TWriteSession WriteSession(TSession& s) {
  return TWriteSession{s.Args, s.Quiet, s.Interactive, s.Bar, s.Errors};
}

int RunAdd(TSession& s) {
  TWriteSession w = WriteSession(s);
  return CmdAdd(w);
}

int RunDelete(TSession& s) {
  TWriteSession w = WriteSession(s);
  return CmdDelete(w);
}

int Main(const std::vector<std::string>& args) {
  // convert parses its own options.
  if (!args.empty() && args[0] == "convert") return RunConvert(args);
  TSession s;
  std::string error;
  if (!s.Args.Parse(args, error)) return Usage(error);
  if (s.Args.Has("--help") || s.Args.Has("-h")) {
    std::cout << UsageText();
    return kExitOk;
  }
  if (s.Args.Has("--version")) {
    std::cout << kProgram << ' ' << kVersion << '\n';
    return kExitOk;
  }
  if (s.Args.Positional().empty()) return Usage("no command given");
  s.Quiet = s.Args.Has("-q");
  s.Interactive = StdinIsTerminal();
  s.Volumes.SetInteractive(s.Interactive);
  s.Bar.SetEnabled(!s.Quiet && StderrIsTerminal());
  SetUserPrompt(std::make_shared<TTerminalPrompt>(kProgram, std::cerr, s.Interactive));
  const std::string& command = s.Args.Positional()[0];
  if (s.Args.Positional().size() > 1) s.Errors.FallbackFile = s.Args.Positional()[1];

  struct TCommand {
    const char* Name;
    int (*Run)(TSession&);
    std::vector<std::string> Options;
  };
  const TCommand commands[] = {
      {"detect", CmdDetect, {}},
      {"list", CmdList, {"--codepage"}},
      {"test", CmdTest, {"-p", "--codepage"}},
      {"extract",
       CmdExtract,
       {"-p", "-d", "--overwrite", "--skip-existing", "--keep-broken", "--codepage"}},
      {"add",
       RunAdd,
       {"-p", "-r", "--store", "--fast", "--normal", "--max", "--encrypt", "--encrypt-headers",
        "--refresh", "--move", "--stored-dirs", "--empty-dirs", "--exclude", "--comment",
        "--codepage", "--fuse", "--lh5", "--lh6"}},
      {"delete", RunDelete, {}},
  };
  for (const TCommand& c : commands) {
    if (command != c.Name) continue;
    std::string bad;
    if (!OptionsAllowed(s, c.Options, bad)) return Usage(bad + " does not apply to " + command);
    if (s.Args.Has("--codepage") && !ChooseOemCodePage(s.Args.Value("--codepage"), error))
      return Usage(error);
    return c.Run(s);
  }
  return Usage("unknown command " + command);
}

}  // namespace
}  // namespace qmx::cli

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return qmx::cli::Main(args);
}
