// A fresh directory per test, removed with everything in it afterwards.
#pragma once

#include <map>
#include <string>

namespace qmx::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // Path with a trailing "/".
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);
// Runs a shell command; returns its exit status.
int Run(const std::string& cmd);
// The regular files below root by relative path, as size and hash (round
// trips compare trees, and failures stay short); with withDirs the
// directories too, as "name/" → "dir". Links are left out: readers never
// make them. Empty when root does not exist.
std::map<std::string, std::string> FileTree(const std::string& root, bool withDirs = false);

}  // namespace qmx::test
