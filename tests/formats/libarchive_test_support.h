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
#include "support/reader_log.h"
#include "support/temp_dir.h"

namespace qmx::test {

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
