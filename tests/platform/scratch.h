// Shared helpers of the platform tests: a fresh directory per test and
// environment variables restored on exit.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>

#include "archive/platform/files.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

namespace qmx::test {

class TScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_.emplace();
    dir_ = tmp_->path().substr(0, tmp_->path().size() - 1);
  }
  void TearDown() override { tmp_.reset(); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  void WriteText(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name), std::ios::binary) << text;
  }
  static std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::optional<TempDir> tmp_;
  std::string dir_;
  TEnvGuard env_;
};

}  // namespace qmx::test
