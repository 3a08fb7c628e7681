// arcmorph add / delete: set up a TZip or TJar (add also a TTar or TGZip)
// from the command line, run it, and turn what it reported into lines and
// an exit status.
#include "app/cli/arcmorph_write.h"

#include <stdlib.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/base/format_registry.h"
#include "archive/base/names.h"
#include "archive/convert/arc_detect.h"
#include "archive/formats/bh/bh_writer.h"
#include "archive/formats/cab/cab_writer.h"
#include "archive/formats/gzip/gzip_writer.h"
#include "archive/formats/lha/lha_writer.h"
#include "archive/formats/tar/tar_writer.h"
#include "archive/platform/ascii.h"
#include "archive/platform/files.h"
#include "archive/zip/zip_check.h"
#include "archive/zip/zip_writer.h"

namespace qmx::cli {

const char* const kWriteUsage =
    "  arcmorph add ARCHIVE PATH... [-r] [--store | --fast | --normal | --max | --fuse]\n"
    "               [--encrypt zip|aes128|aes192|aes256 -p PASSWORD] [--encrypt-headers]\n"
    "               [--refresh | --move]\n"
    "               [--stored-dirs MODE] [--empty-dirs] [--exclude MASK]... [--comment TEXT]\n"
    "      add files to a .zip or .jar archive, creating it when it does not exist;\n"
    "      a directory PATH adds its files (with -r its whole tree), a PATH with\n"
    "      wildcards is a mask, a file is added by its own name; a .tar is\n"
    "      written and updated alike, a .tgz or .tar.gz is written anew as a\n"
    "      gzip-compressed tar, a .gz holds one FILE (gzip), a .bh is a BH\n"
    "      archive (with --fuse, --stored-dirs and --encrypt zip), a .lzh or\n"
    "      .lha is written with -lh6- (--lh5, or --store), a .cab with MSZIP\n"
    "      (or --store); all are updated alike; other encryption and --comment\n"
    "      are for .zip and .jar only\n"
    "  arcmorph delete ARCHIVE MASK...\n"
    "      remove the entries whose stored names match the masks\n"
    "\n"
    "add options:\n"
    "  -r               recurse into sub-directories (directories and masks)\n"
    "  --store, --fast, --normal, --max\n"
    "                   no compression, or deflate fast, normal (default), best\n"
    "  --encrypt zip    traditional ZIP encryption with the password given by -p\n"
    "  --encrypt aes128|aes192|aes256\n"
    "                   AES encryption of that key length with the password given by -p\n"
    "  --encrypt-headers\n"
    "                   encipher the entry headers and names as well\n"
    "  --refresh        only replace entries whose files are newer\n"
    "  --move           delete the source files once they are in the archive\n"
    "  --stored-dirs MODE\n"
    "                   relative (default), relative-start, none, absolute,\n"
    "                   absolute-nodrive, absolute-noroot\n"
    "  --empty-dirs     store empty directories as directory entries\n"
    "  --exclude MASK   leave out files matching MASK (repeatable)\n"
    "  --comment TEXT   set the archive comment\n"
    "  --fuse           .bh only: the LHA-style fused method instead of deflate\n";

const std::set<std::string>& WriteFlags() {
  static const std::set<std::string> flags{
      "-r",        "--store", "--fast",       "--normal", "--max", "--encrypt-headers",
      "--refresh", "--move",  "--empty-dirs", "--fuse",   "--lh5", "--lh6",
  };
  return flags;
}

const std::set<std::string>& WriteValuedOptions() {
  static const std::set<std::string> valued{"--encrypt", "--stored-dirs", "--exclude", "--comment"};
  return valued;
}

namespace {

constexpr const char* kProgram = "arcmorph";

int Usage(const std::string& complaint) {
  std::cerr << kProgram << ": " << complaint << "\n"
            << "usage:\n"
            << kWriteUsage;
  return kExitUnusable;
}

// The writer for the archive's extension; nullptr for a type add cannot
// write (its options are the ZIP writer's).
std::unique_ptr<TZipBase> WriterFor(const std::string& archive) {
  const TWriterRow* row = TFormatRegistry::Instance().WriterForFile(archive);
  if (!row || !row->Create) return nullptr;
  std::unique_ptr<TCompBase> writer = row->Create();
  if (!dynamic_cast<TZipBase*>(writer.get())) return nullptr;
  return std::unique_ptr<TZipBase>(static_cast<TZipBase*>(writer.release()));
}

// An existing archive must be a ZIP (or JAR) archive; updating anything
// else would throw its content away. An empty file is taken as new.
bool ExistingArchiveUsable(TWriteSession& s, const std::string& archive) {
  if (!PathExists(archive)) return true;
  if (IsDirectory(archive)) {
    s.Errors.Print(archive, "", "0", E_OPEN_FILE);
    return false;
  }
  if (FileSizeByName(archive) == 0) return true;
  TZipCheck probe;
  probe.SetArchiveFile(archive);
  if (IsZipLikeArcType(probe.ArcType())) return true;
  s.Errors.Print(archive, ArcTypeName(probe.ArcType()), "0", E_UNSUPPORTED_TYPE);
  return false;
}

// Codes that mean the archive itself could not be used or written, rather
// than that one file failed.
bool IsArchiveLevel(int code) {
  switch (code) {
    case E_UNSUPPORTED_TYPE:
    case E_INVALID_DIR:
    case E_WRITE_FILE:
    case E_DISK_FULL:
    case E_NOT_ACCESSIBLE:   // the destination's drive is missing
    case E_WRITE_PROTECTED:  // or mounted read-only
    case E_DIR_NOT_EXIST_CREATE:
    case E_NOTHING_TO_DO_2:  // no archive to refresh or delete from
      return true;
    default:
      return false;
  }
}

// What the run reported, sorted for the exit status.
struct TRunTally {
  int Added = 0;
  int Failed = 0;
  int Unchanged = 0;  // files whose entry is already up to date
  int ArchiveErrors = 0;
  int FileErrors = 0;
  bool AfterRun = false;  // OnDeactivate passed: deletions are moved sources
};

int ExitStatus(const TRunTally& t) {
  if (t.ArchiveErrors > 0) return kExitUnusable;
  return (t.Failed > 0 || t.FileErrors > 0) ? kExitFailed : kExitOk;
}

bool HasWildcards(const std::string& path) {
  return ExtractFileName(path).find_first_of("*?") != std::string::npos;
}

// One scanner run: paths that share whether they recurse.
struct TSpecGroup {
  bool Recurse = false;
  TStrings Masks;
};

// FileSpec entries for the PATH arguments, in argument order. With -r a
// plain file must not recurse (its name would be looked for in every
// sub-directory too), so it goes into a run of its own.
std::vector<TSpecGroup> BuildSpecGroups(TWriteSession& s, const std::vector<std::string>& paths,
                                        bool recurse, TRunTally& t) {
  std::vector<TSpecGroup> groups;
  auto put = [&](bool rec, const std::string& mask) {
    if (groups.empty() || groups.back().Recurse != rec) groups.push_back({rec, {}});
    groups.back().Masks.push_back(mask);
  };
  for (const std::string& path : paths) {
    if (IsDirectory(path)) {
      put(recurse, AppendSlash(ExpandFileName(path)) + "*.*");
    } else if (FileExists(path)) {
      put(false, ExpandFileName(path));
    } else if (HasWildcards(path)) {
      const std::string dir = ExtractFilePath(path);
      put(recurse, AppendSlash(ExpandFileName(dir.empty() ? "." : dir)) + ExtractFileName(path));
    } else {
      s.Errors.Print(path, "", "0", E_FILE_NOT_FOUND);
      ++t.FileErrors;
    }
  }
  return groups;
}

bool ParseEncryption(const std::string& name, TEncryptionMethod& out) {
  static const std::map<std::string, TEncryptionMethod> kMethods{
      {"zip", emZIP_v2}, {"aes128", emAES2_128}, {"aes192", emAES2_192}, {"aes256", emAES2_256}};
  auto it = kMethods.find(name);
  if (it == kMethods.end()) return false;
  out = it->second;
  return true;
}

bool ParseStoredDirs(const std::string& text, TStoredDirNames& mode) {
  static const struct {
    const char* Name;
    TStoredDirNames Mode;
  } kModes[] = {
      {"relative", sdRelative},
      {"relative-start", sdRelativeStoreStart},
      {"none", sdNone},
      {"absolute", sdAbsolute},
      {"absolute-nodrive", sdAbsoluteNoDrv},
      {"absolute-noroot", sdAbsoluteNoRoot},
  };
  for (const auto& m : kModes) {
    if (text != m.Name) continue;
    mode = m.Mode;
    return true;
  }
  return false;
}

// Asks twice on the terminal; false when the answers differ or are empty.
bool AskNewPassword(TWriteSession& s, std::string& password) {
  std::string again;
  const std::string prompt = std::string(kProgram) + ": password: ";
  if (!ReadTerminalLine(prompt, true, password) || password.empty()) return false;
  if (!ReadTerminalLine(std::string(kProgram) + ": again: ", true, again)) return false;
  if (again == password) return true;
  s.Errors.Note(s.Args.Positional()[1], "the passwords differ");
  return false;
}

// Handlers shared by both commands: progress, errors, per-entry lines.
void Wire(TWriteSession& s, TCompBase& z, TRunTally& t, bool benignNothing) {
  const std::string archive = ExpandFileName(z.ArchiveFile());
  z.ShareCancel(SignalCancelFlag());
  if (s.Bar.Enabled())
    z.OnProgress = [&s](TZipCommon& sender, std::uint8_t, std::uint8_t byArchive) {
      s.Bar.Update(byArchive, ExtractFileName(sender.FileName()));
    };
  z.OnError = [&s, &t, archive, benignNothing](TZipCommon&, const std::string& fileName,
                                               const std::string& extendedMsg,
                                               const std::string& volumeId, int code) {
    // Nothing to write because every file is already in the archive as it
    // is on disk: the archive is up to date, not a failure.
    if (code == E_NOTHING_TO_DO && (benignNothing || t.Unchanged > 0)) {
      if (!s.Quiet) {
        s.Bar.Clear();
        std::cout << "archive is up to date\n" << std::flush;
      }
      return;
    }
    s.Errors.Print(fileName, extendedMsg, volumeId, code);
    const bool aboutArchive =
        code == E_OPEN_FILE && (fileName.empty() || ExpandFileName(fileName) == archive);
    if (IsArchiveLevel(code) || aboutArchive || code == E_EVENT_NOT_ASSIGNED)
      ++t.ArchiveErrors;
    else
      ++t.FileErrors;
  };
  const char* verb = z.Switch == swRefresh ? "updated  " : "added    ";
  z.OnEnd = [&s, &t, verb](TZipCommon&, const std::string& name, bool ok) {
    (ok ? t.Added : t.Failed)++;
    if (ok && s.Quiet) return;
    s.Bar.Clear();
    std::cout << (ok ? verb : "FAILED   ") << Printable(DelimToSlash(name)) << '\n' << std::flush;
  };
  z.OnDeactivate = [&t](TZipCommon&) { t.AfterRun = true; };
  z.OnNonWriteableArchive = [&s](TZipCommon&, const std::string& file, bool& writeToFile) {
    writeToFile = false;
    s.Errors.Note(file, "is read-only, not changed");
  };
}

// What every add run shares: the group's files, the
// update mode, and the answers for files already in the archive.
void SetUpAddRun(TWriteSession& s, TCompBase& z, const TSpecGroup& group,
                 const std::string& archivePath, TStoredDirNames storedDirs, TRunTally& t) {
  const auto& a = s.Args;
  z.SetArchiveFile(archivePath);
  z.SetFileSpec(group.Masks);
  z.RecurseDirs = group.Recurse;
  z.StoredDirNames = storedDirs;
  z.StoreEmptySubDirs = a.Has("--empty-dirs");
  z.SetExcludeSpec(a.Values("--exclude"));
  z.Switch = a.Has("--refresh") ? swRefresh : a.Has("--move") ? swMove : swAdd;
  if (z.Switch == swMove) {
    // Like zip -m: gone for good, and only what the new archive holds.
    z.DeleteOptions = doFinal;
    z.VerifyBeforeDelete = true;
  }
  Wire(s, z, t, z.Switch == swRefresh);
  // A file that differs from its entry is an update: replace it in place.
  z.OnReplaceFile = [](TZipCommon&, const std::string&, const std::string&, TDateTime, TDateTime,
                       std::int64_t, std::int64_t, int, int, bool& replace) { replace = true; };
  // Called for a file identical to its entry: keep the entry, no copy.
  z.OnRenameDupeFile = [&t](TZipCommon&, const std::string&, std::string&, bool& rename) {
    rename = false;
    ++t.Unchanged;
  };
  z.OnDeleteFile = [&s, &t](TZipCommon&, const std::string& file, int, int) {
    if (!t.AfterRun || s.Quiet) return;
    s.Bar.Clear();
    std::cout << "removed  " << Printable(file) << '\n' << std::flush;
  };
  t.AfterRun = false;
}

enum TAddKind { akZip, akTar, akTarGz, akGz, akBh, akLha, akCab };

TAddKind AddKindFor(const std::string& archive) {
  if (EndsTextAscii(archive, ".bh")) return akBh;
  if (EndsTextAscii(archive, ".lzh") || EndsTextAscii(archive, ".lha")) return akLha;
  if (EndsTextAscii(archive, ".cab")) return akCab;
  if (EndsTextAscii(archive, ".tar")) return akTar;
  if (EndsTextAscii(archive, ".tgz") || EndsTextAscii(archive, ".tar.gz")) return akTarGz;
  if (EndsTextAscii(archive, ".gz")) return akGz;
  return akZip;
}

// A fresh directory beside the archive: what is built there is renamed
// into place, so a failed run leaves the directory as it was.
std::string MakeSideDir(const std::string& archivePath) {
  std::string tmpl = AppendSlash(ExtractFilePath(archivePath)) + ".qmx-XXXXXX";
  if (!mkdtemp(tmpl.data())) return {};
  return AppendSlash(tmpl);
}

// The tar inside x.tgz or x.tar.gz: x.tar.
std::string TarNameOf(const std::string& archivePath) {
  const std::string name = ExtractFileName(archivePath);
  const std::size_t cut = EndsTextAscii(name, ".tgz") ? 4 : 3;
  std::string base = name.substr(0, name.size() - cut);
  return EndsTextAscii(base, ".tar") ? base : base + ".tar";
}

// add for .tar, .tgz/.tar.gz and .gz.
int CmdAddTarGz(TWriteSession& s, TAddKind kind, int levels) {
  const auto& a = s.Args;
  const auto& pos = a.Positional();
  const std::string& archive = pos[1];
  for (const char* opt : {"--encrypt", "-p", "--encrypt-headers", "--comment", "--stored-dirs"})
    if (a.Has(opt)) return Usage(std::string(opt) + " is for .zip and .jar archives only");
  if (kind == akTar && levels > 0)
    return Usage("a .tar is not compressed: no --store, --fast, --normal or --max");
  if (kind != akTar && (a.Has("--refresh") || a.Has("--move")))
    return Usage("a .tgz or .gz is written anew: no --refresh or --move");
  if (kind == akGz) {
    for (const char* opt : {"-r", "--empty-dirs", "--exclude"})
      if (a.Has(opt)) return Usage(std::string(opt) + " does not apply to a .gz of one file");
    if (pos.size() != 3 || !FileExists(pos[2]))
      return Usage("a .gz holds one FILE; use .tgz for several files or a directory");
  }

  const std::string archivePath = ExpandFileName(archive);
  if (IsDirectory(archive)) {
    s.Errors.Print(archive, "", "0", E_OPEN_FILE);
    return kExitUnusable;
  }
  const bool existed = FileExists(archive) && FileSizeByName(archive) > 0;
  if (existed && kind == akTar) {
    // Updating anything else would throw its content away.
    TZipCheck probe;
    probe.SetArchiveFile(archive);
    if (probe.ArcType() != atTar) {
      s.Errors.Print(archive, ArcTypeName(probe.ArcType()), "0", E_UNSUPPORTED_TYPE);
      return kExitUnusable;
    }
  } else if (existed) {
    s.Errors.Note(archive, "exists, not replaced: a .tgz or .gz is written anew, remove it first");
    return kExitUnusable;
  }

  TDeflateType level = dtDeflateN;
  if (a.Has("--store")) level = dtDeflateS;
  if (a.Has("--fast")) level = dtDeflateF;
  if (a.Has("--max")) level = dtDeflateX;

  std::string sideDir;
  if (kind != akTar) {
    sideDir = MakeSideDir(archivePath);
    if (sideDir.empty()) {
      s.Errors.Print(archive, "", "0", E_OPEN_FILE);
      return kExitUnusable;
    }
  }
  struct TSideDir {
    std::string Path;
    ~TSideDir() {
      std::error_code ec;
      if (!Path.empty()) std::filesystem::remove_all(Path, ec);
    }
  } side{sideDir};

  TRunTally t;
  int compressed = 0;
  auto placeResult = [&](const std::string& built) {
    if (FileExists(built) && RenameFile(built, archivePath)) return;
    s.Errors.Print(archive, "", "0", E_WRITE_FILE);
    ++t.ArchiveErrors;
    compressed = 0;
  };

  if (kind == akGz) {
    const std::string source = ExpandFileName(pos[2]);
    TGZip g;
    g.SetArchiveFile(archivePath);
    g.SetDefaultDir(sideDir);
    g.SetFileSpec({source});
    g.RecurseDirs = false;
    g.StoredDirNames = sdNone;
    g.Extension = exNone;
    g.ConfirmOverwrites = false;
    g.DeflateType = level;
    g.IncludeDotNames = true;
    g.Attributes.Include(fsHidden);
    Wire(s, g, t, false);
    const std::string shown = ExtractFileName(source);
    g.OnEnd = [&s, &t, shown](TZipCommon&, const std::string&, bool ok) {
      (ok ? t.Added : t.Failed)++;
      if (ok && s.Quiet) return;
      s.Bar.Clear();
      std::cout << (ok ? "added    " : "FAILED   ") << Printable(shown) << '\n' << std::flush;
    };
    compressed = g.Compress();
    s.Bar.Clear();
    if (compressed > 0) placeResult(sideDir + shown);
  } else {
    const std::string tarPath = kind == akTar ? archivePath : sideDir + TarNameOf(archivePath);
    const std::vector<std::string> paths(pos.begin() + 2, pos.end());
    const std::vector<TSpecGroup> groups = BuildSpecGroups(s, paths, a.Has("-r"), t);
    if (groups.empty()) return kExitUnusable;
    for (const TSpecGroup& group : groups) {
      TTar z;
      SetUpAddRun(s, z, group, tarPath, z.StoredDirNames, t);
      compressed += z.Compress();
      s.Bar.Clear();
      if (t.ArchiveErrors > 0) break;
    }
    if (kind == akTarGz && compressed > 0 && t.ArchiveErrors == 0) {
      // The tar writer's own gzip step, on the finished tar.
      TTar z;
      z.SetArchiveFile(tarPath);
      z.SetCompressMethod(cmTarGzip);
      z.DeflateType = level;
      Wire(s, z, t, false);
      z.OnEnd = [&s, &t](TZipCommon&, const std::string& name, bool ok) {
        if (ok) return;
        ++t.Failed;
        s.Bar.Clear();
        std::cout << "FAILED   " << Printable(DelimToSlash(name)) << '\n' << std::flush;
      };
      z.PostProcess(tarPath + ".gz");
      s.Bar.Clear();
      placeResult(tarPath + ".gz");
    }
  }
  if (!s.Quiet && compressed > 0)
    std::cout << compressed << (compressed == 1 ? " file " : " files ")
              << (existed ? "added to " : "in new archive ") << archive << '\n';
  return ExitStatus(t);
}

// add for .bh, .lzh/.lha and .cab: written and updated like a ZIP archive,
// without comments; BH may be encrypted with the traditional cipher.
int CmdAddBhLha(TWriteSession& s, TAddKind kind, const std::string& password,
                TEncryptionMethod method) {
  const auto& a = s.Args;
  const auto& pos = a.Positional();
  const std::string& archive = pos[1];
  const bool bh = kind == akBh;
  const bool cab = kind == akCab;
  for (const char* opt : {"--encrypt-headers", "--comment"})
    if (a.Has(opt)) return Usage(std::string(opt) + " is for .zip and .jar archives only");
  if (cab) {
    for (const char* opt : {"--encrypt", "-p", "--fast", "--normal", "--max", "--lh5", "--lh6"})
      if (a.Has(opt)) return Usage(std::string(opt) + " does not apply to .cab archives");
  } else if (bh) {
    if (!password.empty() && method != emZIP_v2)
      return Usage("a .bh is encrypted with --encrypt zip only");
    if (a.Has("--fuse") && (a.Has("--store") || a.Has("--fast") || a.Has("--max")))
      return Usage("--fuse does not take a deflate level");
  } else {
    for (const char* opt : {"--encrypt", "-p", "--fast", "--normal", "--max"})
      if (a.Has(opt)) return Usage(std::string(opt) + " does not apply to .lzh and .lha archives");
    if (a.Has("--lh5") + a.Has("--lh6") + a.Has("--store") > 1)
      return Usage("choose one of --lh5, --lh6, --store");
  }
  TStoredDirNames storedDirs = sdRelative;
  if (a.Has("--stored-dirs") && !ParseStoredDirs(a.Value("--stored-dirs"), storedDirs))
    return Usage("unknown --stored-dirs mode " + a.Value("--stored-dirs"));
  if (IsDirectory(archive)) {
    s.Errors.Print(archive, "", "0", E_OPEN_FILE);
    return kExitUnusable;
  }
  const bool existed = FileExists(archive) && FileSizeByName(archive) > 0;
  if (existed) {
    // Updating anything else would throw its content away.
    TZipCheck probe;
    probe.SetArchiveFile(archive);
    const TArcType t = probe.ArcType();
    const bool fits = cab ? t == atCab : bh ? t == atBh || t == atBhExe : t == atLha || t == atLzh;
    if (!fits) {
      s.Errors.Print(archive, ArcTypeName(t), "0", E_UNSUPPORTED_TYPE);
      return kExitUnusable;
    }
  }
  TRunTally t;
  const std::vector<std::string> paths(pos.begin() + 2, pos.end());
  const std::vector<TSpecGroup> groups = BuildSpecGroups(s, paths, a.Has("-r"), t);
  if (groups.empty()) return kExitUnusable;
  int compressed = 0;
  for (const TSpecGroup& group : groups) {
    std::unique_ptr<TCompBase> z;
    if (bh) {
      auto w = std::make_unique<TBlakHole>();
      w->SetCompressMethod(a.Has("--fuse") ? cmFuse : a.Has("--store") ? cmStore : cmDeflate);
      if (a.Has("--fast")) w->DeflateType = dtDeflateF;
      if (a.Has("--max")) w->DeflateType = dtDeflateX;
      if (!password.empty()) {
        w->EncryptionMethod = emZIP_v2;
        w->Password = password;
      }
      z = std::move(w);
    } else if (cab) {
      z = std::make_unique<TMakeCab>();
      z->SetCompressMethod(a.Has("--store") ? cmStore : cmMsZip);
    } else {
      z = std::make_unique<TLha>();
      z->SetCompressMethod(a.Has("--store") ? cmStore : a.Has("--lh5") ? cmFrozen5 : cmFrozen6);
    }
    SetUpAddRun(s, *z, group, ExpandFileName(archive), storedDirs, t);
    compressed += z->Compress();
    s.Bar.Clear();
    if (t.ArchiveErrors > 0) break;
  }
  if (!s.Quiet && compressed > 0)
    std::cout << compressed << (compressed == 1 ? " file " : " files ")
              << (existed ? "added to " : "in new archive ") << archive << '\n';
  return ExitStatus(t);
}

}  // namespace

// ------------------------------------------------------------------ add

int CmdAdd(TWriteSession& s) {
  const auto& pos = s.Args.Positional();
  if (pos.size() < 3) return Usage("add needs an ARCHIVE and at least one PATH");
  const auto& a = s.Args;
  int levels = 0;
  for (const char* opt : {"--store", "--fast", "--normal", "--max"}) levels += a.Has(opt);
  if (levels > 1) return Usage("choose one of --store, --fast, --normal, --max");
  if (a.Has("--refresh") && a.Has("--move"))
    return Usage("--refresh and --move exclude each other");
  TStoredDirNames storedDirs = sdRelative;
  if (a.Has("--stored-dirs") && !ParseStoredDirs(a.Value("--stored-dirs"), storedDirs))
    return Usage("unknown --stored-dirs mode " + a.Value("--stored-dirs"));
  TEncryptionMethod method = emZIP_v2;
  if (a.Has("--encrypt") && !ParseEncryption(a.Value("--encrypt"), method))
    return Usage("unknown --encrypt method " + a.Value("--encrypt") +
                 " (supported: zip, aes128, aes192, aes256)");
  // A password alone asks for encryption too, as zip's -P does.
  const bool encrypt = a.Has("--encrypt") || a.Has("-p");
  std::string password = a.Value("-p");
  if (encrypt && password.empty()) {
    if (!s.Interactive) return Usage("--encrypt needs a password (-p PASSWORD)");
    if (!AskNewPassword(s, password)) return kExitUnusable;
  }

  const std::string& archive = pos[1];
  const TAddKind kind = AddKindFor(archive);
  if (a.Has("--fuse") && kind != akBh) return Usage("--fuse is for .bh archives only");
  if (kind != akLha && (a.Has("--lh5") || a.Has("--lh6")))
    return Usage("--lh5 and --lh6 are for .lzh and .lha archives");
  if (kind == akBh || kind == akLha || kind == akCab)
    return CmdAddBhLha(s, kind, encrypt ? password : std::string(), method);
  if (kind != akZip) return CmdAddTarGz(s, kind, levels);
  std::unique_ptr<TZipBase> writer = WriterFor(archive);
  if (!writer) {
    s.Errors.Print(archive, "add writes .zip and .jar archives", "0", E_UNSUPPORTED_TYPE);
    return kExitUnusable;
  }
  if (!ExistingArchiveUsable(s, archive)) return kExitUnusable;
  const bool existed = FileExists(archive) && FileSizeByName(archive) > 0;

  TRunTally t;
  const std::vector<std::string> paths(pos.begin() + 2, pos.end());
  const std::vector<TSpecGroup> groups = BuildSpecGroups(s, paths, a.Has("-r"), t);
  if (groups.empty()) return kExitUnusable;

  const std::string archivePath = ExpandFileName(archive);
  bool commentPending = a.Has("--comment");
  int compressed = 0;
  for (const TSpecGroup& group : groups) {
    // A fresh component per run: each run starts from the archive as the
    // previous one left it.
    std::unique_ptr<TZipBase> z = WriterFor(archive);
    SetUpAddRun(s, *z, group, archivePath, storedDirs, t);
    if (a.Has("--store")) z->DeflateType = dtDeflateS;
    if (a.Has("--fast")) z->DeflateType = dtDeflateF;
    if (a.Has("--normal")) z->DeflateType = dtDeflateN;
    if (a.Has("--max")) z->DeflateType = dtDeflateX;
    if (encrypt) {
      z->EncryptionMethod = method;
      z->Password = password;
    }
    z->EncryptHeaders = a.Has("--encrypt-headers");
    if (commentPending) {
      if (FileExists(archivePath)) z->ReadComments();
      z->SetArchiveComment(a.Value("--comment"));
    }
    compressed += z->Compress();
    s.Bar.Clear();
    if (z->ArchiveReplaced()) commentPending = false;
    if (t.ArchiveErrors > 0) break;
  }
  // Nothing was added, yet the comment is to change: rewrite the directory.
  if (commentPending && t.ArchiveErrors == 0 && FileExists(archivePath)) {
    std::unique_ptr<TZipBase> z = WriterFor(archive);
    z->SetArchiveFile(archivePath);
    Wire(s, *z, t, true);
    z->ReadComments();
    z->SetArchiveComment(a.Value("--comment"));
    z->UpdateComments();
  }
  if (!s.Quiet && compressed > 0)
    std::cout << compressed << (compressed == 1 ? " file " : " files ")
              << (existed ? "added to " : "in new archive ") << archive << '\n';
  return ExitStatus(t);
}

// --------------------------------------------------------------- delete

int CmdDelete(TWriteSession& s) {
  const auto& pos = s.Args.Positional();
  if (pos.size() < 3) return Usage("delete needs an ARCHIVE and at least one MASK");
  const std::string& archive = pos[1];
  std::unique_ptr<TZipBase> z = WriterFor(archive);
  if (!z) {
    s.Errors.Print(archive, "delete works on .zip and .jar archives", "0", E_UNSUPPORTED_TYPE);
    return kExitUnusable;
  }
  if (!FileExists(archive)) {
    s.Errors.Print(archive, "", "0", E_FILE_NOT_FOUND);
    return kExitUnusable;
  }
  if (!ExistingArchiveUsable(s, archive)) return kExitUnusable;

  TRunTally t;
  z->SetArchiveFile(ExpandFileName(archive));
  z->Switch = swDelete;
  z->SetFileSpec(TStrings(pos.begin() + 2, pos.end()));
  Wire(s, *z, t, false);
  z->OnDeleteFile = [&s](TZipCommon&, const std::string& name, int, int) {
    if (s.Quiet) return;
    s.Bar.Clear();
    std::cout << "deleted  " << Printable(DelimToSlash(name)) << '\n' << std::flush;
  };
  const int result = z->Compress();
  s.Bar.Clear();
  if (result == 0 && t.ArchiveErrors + t.FileErrors == 0) {
    s.Errors.Note(archive, "no entry matches, archive not changed");
    return kExitFailed;
  }
  if (!s.Quiet && result > 0)
    std::cout << result << (result == 1 ? " entry" : " entries") << " deleted from " << archive
              << '\n';
  return ExitStatus(t);
}

}  // namespace qmx::cli
