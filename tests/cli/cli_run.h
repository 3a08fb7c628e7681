// Runs the built command-line programs and captures what they print. stdin
// is never a terminal here, so nothing may wait for an answer.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace qmx::test {

inline std::string ArcmorphBinary() {
#ifdef QMX_ARCMORPH
  return QMX_ARCMORPH;
#else
  // Same build tree: tests/test_cli beside app/arcmorph.
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
  dir = dir.substr(0, dir.find_last_of('/'));
  return dir + "/../app/arcmorph";
#endif
}

// jarname is built beside arcmorph; empty when it was not built.
inline std::string JarnameBinary() {
  const std::string arcmorph = ArcmorphBinary();
  const std::string jarname = arcmorph.substr(0, arcmorph.find_last_of('/') + 1) + "jarname";
  return ::access(jarname.c_str(), X_OK) == 0 ? jarname : std::string();
}

struct TCliResult {
  int code = -1;
  std::string out, err;
  std::vector<std::string> ErrLines() const {
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
};

// Runs "ENV PROGRAM ARGS" in dir (which ends in "/").
inline TCliResult RunCli(const std::string& dir, const std::string& program,
                         const std::string& args, const std::string& env = "") {
  TCliResult r;
  const std::string cmd = "cd '" + dir + "' && " + env + (env.empty() ? "" : " ") + program + " " +
                          args + " >'" + dir + "stdout.txt' 2>'" + dir + "stderr.txt' </dev/null";
  r.code = Run(cmd);
  r.out = ReadFile(dir + "stdout.txt");
  r.err = ReadFile(dir + "stderr.txt");
  return r;
}

// A test with a directory of its own, where arcmorph runs.
class TArcmorphTest : public ::testing::Test {
 protected:
  TCliResult Cli(const std::string& args) { return RunCli(dir_.path(), ArcmorphBinary(), args); }
  int Sh(const std::string& cmd) { return test::Run("cd " + dir_.path() + " && " + cmd); }
  // The regular files below rel (in the test directory): see FileTree.
  std::map<std::string, std::string> Tree(const std::string& rel) {
    return FileTree(dir_.path() + rel);
  }
  TempDir dir_;
};

}  // namespace qmx::test
