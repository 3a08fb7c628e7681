#include "support/corpus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace qmx::test {

std::string CorpusDir() {
  const char* env = std::getenv("QMX_TEST_CORPUS");
  return env && *env ? env : QMX_CORPUS_DIR;
}

std::string CorpusFile(const std::string& rel) {
  const std::string path = CorpusDir() + "/" + rel;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) ADD_FAILURE() << "missing fixture: " << rel;
  return path;
}

}  // namespace qmx::test
