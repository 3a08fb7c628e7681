#include "app/rename/suite_copy.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <utility>

#include "app/rename/manifest_patcher.h"
#include "archive/base/errors.h"
#include "archive/base/names.h"
#include "archive/codec/streams.h"
#include "archive/platform/ascii.h"
#include "archive/platform/files.h"
#include "archive/zip/zip_check.h"
#include "archive/zip/zip_locate.h"
#include "archive/zip/zip_reader.h"
#include "archive/zip/zip_writer.h"

namespace qmx {
namespace {

bool IsZipSuiteType(TArcType t) {
  return t == atJar || t == atZip || t == atJarExe || t == atZipExe;
}

bool IsManifestName(const std::string& stored) {
  return SameTextAscii(DelimToSlash(stored), kManifestEntry);
}

// A fresh directory for the patched manifest, removed with its content.
class TScratchDir {
 public:
  TScratchDir() {
    std::string pattern = AppendSlash(SystemTempDir()) + "jarnameXXXXXX";
    if (::mkdtemp(pattern.data())) FPath = pattern;
  }
  ~TScratchDir() {
    if (FPath.empty()) return;
    DeleteFile(JoinPath(FPath, kManifestEntry));
    RemoveDir(JoinPath(FPath, "META-INF"));
    RemoveDir(FPath);
  }
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

// A unique file beside the destination that becomes it on Keep, and is
// removed otherwise.
class TPendingCopy {
 public:
  explicit TPendingCopy(std::string final) : FFinal(std::move(final)) {
    std::string pattern = FFinal + ".jarname-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) return;
    ::close(fd);
    FPath = pattern;
  }
  ~TPendingCopy() {
    if (!FPath.empty()) DeleteFile(FPath);
  }
  TPendingCopy(const TPendingCopy&) = delete;
  TPendingCopy& operator=(const TPendingCopy&) = delete;
  const std::string& Path() const { return FPath; }
  bool Keep() {
    if (FPath.empty() || !RenameFile(FPath, FFinal)) return false;
    FPath.clear();
    return true;
  }

 private:
  std::string FFinal;
  std::string FPath;
};

}  // namespace

bool IsJarSignatureFile(const std::string& storedName, bool signatureOnly) {
  const std::string n = LowerAscii(DelimToSlash(storedName));
  if (n.rfind("meta-inf/", 0) != 0 || n.find('/', 9) != std::string::npos) return false;
  const std::size_t dot = n.rfind('.');
  if (dot == std::string::npos || dot <= 9) return false;
  const std::string ext = n.substr(dot);
  if (signatureOnly) return ext == ".sf";
  return ext == ".sf" || ext == ".rsa" || ext == ".dsa" || ext == ".ec";
}

TSuiteManifest ReadSuiteManifest(const std::string& suite, bool* cancel) {
  TSuiteManifest result;
  TUnJar reader;
  if (cancel) reader.ShareCancel(cancel);
  reader.SetArchiveFile(suite);
  if (!IsZipSuiteType(reader.ArcType())) {
    result.Problem = "not a single-file ZIP/JAR archive";
    return result;
  }
  reader.RecurseDirs = false;
  reader.SetFileSpec({kManifestEntry});
  bool tooLarge = false;
  reader.TestDataSink = [&](const void* buf, std::int64_t count) {
    if (tooLarge) return;
    if (static_cast<std::int64_t>(result.Bytes.size()) + count > kMaxManifestSize) {
      // A hostile suite must not make us hold its "manifest".
      tooLarge = true;
      result.Bytes.clear();
      reader.SetCancel(true);
      return;
    }
    result.Bytes.append(static_cast<const char*>(buf), static_cast<std::size_t>(count));
  };
  int seen = 0;
  bool passed = false;
  int error = 0;
  reader.OnBegin = [&](TZipCommon&, const std::string&, int, bool& extract) {
    // A second manifest entry is not read: the first one counts.
    extract = seen++ == 0;
  };
  reader.OnEnd = [&](TZipCommon&, const std::string&, bool pass) { passed = pass; };
  reader.OnError = [&](TZipCommon&, const std::string&, const std::string&, const std::string&,
                       int code) {
    if (error == 0) error = code;
  };
  reader.Test();
  result.Found = seen > 0;
  if (tooLarge)
    result.Problem = "the manifest is larger than 1 MiB (a J2ME manifest is a few KiB)";
  else if (!result.Found)
    result.Problem = error != 0 ? ErrorMessage(error) : "no " + std::string(kManifestEntry);
  else if (!passed)
    result.Problem = error != 0 ? ErrorMessage(error) : "the manifest failed its CRC check";
  if (!result.Problem.empty()) result.Bytes.clear();
  return result;
}

TSuiteCopy::TSuiteCopy(std::string suite) : FSuite(std::move(suite)) {}

void TSuiteCopy::Say(const std::string& line) const {
  if (Log) Log(line);
}

TCopyOutcome TSuiteCopy::Fallback(const std::string& why) {
  FReason = why;
  return coFallback;
}

TCopyOutcome TSuiteCopy::Fail(const std::string& why) {
  FReason = why;
  return coFailed;
}

TCopyOutcome TSuiteCopy::Inspect() {
  FInspected = false;
  {
    // Only a directory that is whole says which entries there are; a
    // damaged one is for the converter's flow, which salvages.
    TFileStream32 archive(FSuite, fmOpenRead);
    if (archive.Handle() < 0) return Fail(ErrorMessage(E_OPEN_FILE));
    TZipLocation loc;
    LocateCentralDirectory(archive, loc);
    if (!loc.HeaderFlags.Has(htCentral) || loc.CentralDamaged)
      return Fallback("the central directory is missing or damaged");
    if (loc.EndEnciphered || loc.CentralEnciphered)
      return Fallback("the directory is encrypted");
    if (loc.End.ThisDisk != 0 || loc.End.CentralDisk != 0)
      return Fallback("the suite is a spanned set");
  }
  TSuiteManifest manifest = ReadSuiteManifest(FSuite, Cancel);
  if (!manifest.Found && manifest.Problem.rfind("no ", 0) == 0)
    return Fail("no " + std::string(kManifestEntry) + " in the suite");
  if (!manifest.Problem.empty()) return Fallback("manifest: " + manifest.Problem);
  FManifest = std::move(manifest.Bytes);
  const TManifestValue value = LocateMidletName(FManifest);
  FHasName = value.Found;
  if (FHasName) {
    const std::string_view raw =
        std::string_view(FManifest).substr(value.ValueStart, value.ValueEnd - value.ValueStart);
    FOldName = UnfoldValue(raw);
    FOldLabel = qmx::OldNameLabel(FOldName);
    FOldName.erase(0, FOldName.find_first_not_of(" \t"));
  }
  FInspected = true;
  return coRenamed;
}

TCopyOutcome TSuiteCopy::Write(const std::string& out, const std::string& newName) {
  if (!FInspected) return Fail("the suite was not inspected");
  if (!FHasName) return Fail("no MIDlet-Name: in the manifest");
  FSigned = false;
  FDropped = 0;
  FTested = 0;
  bool found = false;
  const std::string patched = PatchManifestBytes(FManifest, newName, nullptr, &found);
  if (!found) return Fail("no MIDlet-Name: in the manifest");

  TScratchDir scratch;
  if (scratch.Path().empty()) return Fail("cannot create a scratch directory");
  const std::string manifestPath = JoinPath(scratch.Path(), kManifestEntry);
  ForceDirs(ExtractFilePath(manifestPath));
  {
    std::ofstream file(manifestPath, std::ios::binary | std::ios::trunc);
    file.write(patched.data(), static_cast<std::streamsize>(patched.size()));
    if (!file.flush()) return Fail("cannot write the patched manifest to " + scratch.Path());
  }

  TJar writer;
  if (Cancel) writer.ShareCancel(Cancel);
  writer.SetArchiveFile(out);
  FWritten = writer.ArchiveFile();
  // The copy is written and tested under a name of its own beside the
  // destination, which it replaces only once it passed: the destination is
  // either as it was or the complete copy.
  TPendingCopy pending(FWritten);
  if (pending.Path().empty()) return Fail(ErrorMessage(E_OPEN_FILE) + ": " + FWritten);
  writer.SetArchiveFile(pending.Path());
  writer.SourceArchive = FSuite;
  const std::string outDir = ExtractFilePath(pending.Path());
  if (!outDir.empty()) writer.SetTempDir(outDir);
  writer.Switch = swAdd;
  writer.RecurseDirs = true;
  writer.StoredDirNames = sdRelative;
  writer.SetCompressMethod(cmDeflate);
  writer.SetFileSpec({AppendSlash(scratch.Path()) + "*.*"});
  int oldEntries = 0;
  writer.DropOldEntry = [&](const std::string& stored) {
    ++oldEntries;
    const bool signature = IsJarSignatureFile(stored);
    if (IsJarSignatureFile(stored, true)) FSigned = true;
    if (IsManifestName(stored)) return true;
    if (signature && Unsign) {
      ++FDropped;
      return true;
    }
    return false;
  };
  int writeError = 0;
  std::string writeProblem;
  writer.OnError = [&](TZipCommon&, const std::string& file, const std::string& ext,
                       const std::string&, int code) {
    if (writeError != 0) return;
    writeError = code;
    writeProblem = ErrorMessage(code) + " (" + std::to_string(code) + ")";
    if (!file.empty()) writeProblem += ": " + file;
    if (!ext.empty() && ext != file) writeProblem += " " + ext;
  };
  const int compressed = writer.Compress();
  if (Cancel && *Cancel) return Fail("interrupted");
  if (compressed != 1 || writeError != 0 || !writer.ArchiveReplaced()) {
    // What the writer could not read is the converter flow's to salvage;
    // what it could not write is a failure either way.
    if (writeError == E_WRITE_FILE || writeError == E_OPEN_FILE || writeError == E_DISK_FULL)
      return Fail(writeProblem);
    return Fallback(writeProblem.empty() ? "the copy could not be written" : writeProblem);
  }
  Say("copied " + std::to_string(oldEntries - 1 - FDropped) +
      " entries unchanged, manifest patched and written first");

  TZipCheck check;
  if (Cancel) check.ShareCancel(Cancel);
  check.UseStoredDirs = true;
  check.SetArchiveFile(pending.Path());
  check.SetFileSpec({"*.*"});
  int failed = 0;
  check.OnStatus = [&](TZipCommon&, const std::string&, bool pass) {
    ++FTested;
    if (!pass) ++failed;
  };
  check.OnError = [&](TZipCommon&, const std::string&, const std::string&, const std::string&,
                      int) { ++failed; };
  check.Activate();
  if (Cancel && *Cancel) return Fail("interrupted");
  const int expected = oldEntries - FDropped;  // the manifest replaced one for one
  if (failed > 0 || FTested != expected) {
    // A damaged or encrypted entry copied as it was: the converter's flow
    // says what it can and cannot recover.
    return Fallback("the copy's test found " + std::to_string(failed) + " failed of " +
                    std::to_string(FTested) + " entries (expected " + std::to_string(expected) +
                    ")");
  }
  if (!pending.Keep()) return Fail(ErrorMessage(E_WRITE_FILE) + ": " + FWritten);
  Say("integrity test: " + std::to_string(FTested) + " entries passed");
  return coRenamed;
}

}  // namespace qmx
