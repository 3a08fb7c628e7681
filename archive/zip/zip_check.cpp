#include "archive/zip/zip_check.h"

#include <utility>

#include "archive/base/format_registry.h"

namespace qmx {
namespace {

// The handler as it is, except that the checker's clock stands still while
// it runs: these events may wait for the user.
template <class TEvent>
TEvent Paused(TqmxTimer& timer, const TEvent& handler) {
  if (!handler) return TEvent{};
  return [&timer, handler](auto&&... args) {
    TPauseGuard pause(timer);
    handler(std::forward<decltype(args)>(args)...);
  };
}

}  // namespace

TZipCheck::TZipCheck() = default;
TZipCheck::~TZipCheck() = default;

std::unique_ptr<TUnBase> TZipCheck::CreateReader(TArcType t) {
  return CreateTestReader(t);
}

void TZipCheck::Activate() {
  try {
    Run();
  } catch (...) {
    // Raised errors have been reported; they only end the run.
  }
}

void TZipCheck::Run() {
  if (FArchiveFile.empty() || !CanTestType(FArcType)) {
    RaiseError(FArchiveFile, "", "0", E_UNSUPPORTED_TYPE);
    return;
  }
  if (!OnStatus) {
    RaiseError(FFileName, "OnStatus", FVolumeName, E_EVENT_NOT_ASSIGNED);
    return;
  }
  *FCancelRef = false;
  FFilesProcessed = 0;
  const bool timed = static_cast<bool>(OnElapsedTime);
  if (timed) FTimer.Start();

  std::unique_ptr<TUnBase> reader = CreateReader(FArcType);
  if (!reader) {
    ReportError(FArchiveFile, "", "0", E_UNSUPPORTED_TYPE);
  } else {
    ConfigureReader(*reader);
    try {
      FFilesProcessed = reader->Test();
    } catch (...) {
    }
    // Passwords typed in during the run serve the next run too.
    FPasswords = reader->Passwords();
    reader.reset();
  }
  if (timed) {
    FTimer.Stop();
    try {
      OnElapsedTime(*this, FTimer.ElapsedTime());
    } catch (...) {
    }
  }
}

void TZipCheck::ConfigureReader(TUnBase& reader) {
  reader.CreateStoredDirs = false;
  reader.UseStoredDirs = false;
  reader.SetPasswords(FPasswords);
  reader.SetFileSpec(FFileSpec);
  reader.SetExcludeSpec(FExcludeSpec);
  reader.PasswordAttempts = PasswordAttempts;
  reader.RecurseDirs = RecurseDirs;
  reader.TranslateOemChar = TranslateOemChar;
  if (!FTempDir.empty()) reader.SetTempDir(FTempDir);

  // What detection found stays valid; detecting again would only repeat it.
  reader.AdoptArchiveFacts(*this);

  reader.OnBegin = OnBegin;
  reader.OnActivate = OnActivate;
  reader.OnDeactivate = OnDeactivate;
  reader.OnProgress = OnProgress;
  reader.OnChangeArchive = OnChangeArchive;
  reader.OnError = Paused(FTimer, OnError);
  reader.OnGetPassword = Paused(FTimer, OnGetPassword);
  reader.OnGetZipFirstDisk = Paused(FTimer, OnGetZipFirstDisk);
  reader.OnGetZipNextDisk = Paused(FTimer, OnGetZipNextDisk);
  reader.OnGetZipLastDisk = Paused(FTimer, OnGetZipLastDisk);
  reader.OnCorruptZipHeader = Paused(FTimer, OnCorruptZipHeader);
  reader.OnNestedTarFile = Paused(FTimer, OnNestedTarFile);
  reader.TCustomDClass::OnFileExists = Paused(FTimer, TCustomDClass::OnFileExists);
  // Only a relay that has somewhere to go: an empty one would hide from the
  // reader that nobody answers volume requests.
  reader.OnNextVolume = Paused(FTimer, OnNextVolume);

  // Status relay: the reader's verdict becomes OnStatus, then OnEnd.
  reader.TZipCommon::OnEnd = [this](TZipCommon& sender, const std::string& fileName, bool pass) {
    OnStatus(sender, fileName, pass);
    if (OnEnd) OnEnd(sender, fileName);
  };
  reader.ShareCancel(CancelFlagPtr());
}

}  // namespace qmx
