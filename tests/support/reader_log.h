// A reader's run as the reader tests look at it: the verdicts and error
// codes it reported, with the reader set up to take every entry.
#pragma once

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "archive/base/extract_framework.h"

namespace qmx::test {

struct TArcLog {
  std::vector<std::string> Passed, Failed;
  std::vector<int> Errors;
  std::vector<std::string> ErrorFiles, Messages;
  bool Has(int code) const { return std::find(Errors.begin(), Errors.end(), code) != Errors.end(); }
  // Every error is one of codes.
  bool OnlyErrors(std::initializer_list<int> codes) const {
    return std::all_of(Errors.begin(), Errors.end(), [&](int c) {
      return std::find(codes.begin(), codes.end(), c) != codes.end();
    });
  }
};

// Every entry, stored directories kept, existing files overwritten; the
// verdicts go to log (by file name alone with bareNames).
inline void AttachLog(TUnBase& r, TArcLog& log, const std::string& extractDir = "",
                      bool bareNames = false) {
  r.SetFileSpec({"*.*"});
  r.RecurseDirs = true;
  r.UseStoredDirs = r.CreateStoredDirs = true;
  r.ConfirmOverwrites = false;
  r.OverwriteMode = omOverwrite;
  if (!extractDir.empty()) r.SetExtractDir(extractDir);
  r.OnEnd = [&log, bareNames](TZipCommon&, const std::string& f, bool pass) {
    (pass ? log.Passed : log.Failed)
        .push_back(bareNames ? std::filesystem::path(f).filename().string() : f);
  };
  r.OnError = [&log](TZipCommon&, const std::string& file, const std::string& msg,
                     const std::string&, int code) {
    log.Errors.push_back(code);
    log.ErrorFiles.push_back(file);
    log.Messages.push_back(msg);
  };
}

}  // namespace qmx::test
