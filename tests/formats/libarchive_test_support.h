// What the RAR and 7z reader tests share: a run log, a reader set up to
// extract everything, trees of extracted files, and the peers' presence.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/formats/libarchive/libarchive_reader.h"
#include "support/temp_dir.h"

namespace qmx::test {

// What a run reported.
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

inline void AttachLog(TLibArchiveReader& r, TArcLog& log, const std::string& extractDir = "") {
  r.SetFileSpec({"*.*"});
  r.RecurseDirs = true;
  r.UseStoredDirs = r.CreateStoredDirs = true;
  r.ConfirmOverwrites = false;
  r.OverwriteMode = omOverwrite;
  if (!extractDir.empty()) r.SetExtractDir(extractDir);
  r.OnEnd = [&log](TZipCommon&, const std::string& f, bool pass) {
    (pass ? log.Passed : log.Failed).push_back(f);
  };
  r.OnError = [&log](TZipCommon&, const std::string& file, const std::string& msg,
                     const std::string&, int code) {
    log.Errors.push_back(code);
    log.ErrorFiles.push_back(file);
    log.Messages.push_back(msg);
  };
}

// Directories below root, relative.
inline std::vector<std::string> DirTree(const std::string& root) {
  namespace fs = std::filesystem;
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec))
    if (it->is_directory() && !it->is_symlink())
      out.push_back(fs::relative(it->path(), root).string());
  std::sort(out.begin(), out.end());
  return out;
}

inline bool HaveTool(const std::string& name) {
  return Run("command -v " + name + " >/dev/null 2>&1") == 0;
}

// Names of a tree, for short failure messages.
inline std::string Names(const std::map<std::string, std::string>& tree) {
  std::string s;
  for (const auto& [name, sum] : tree) s += name + "(" + sum + ") ";
  return s;
}

}  // namespace qmx::test
