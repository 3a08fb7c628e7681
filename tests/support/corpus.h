// The third-party archive corpus (tests/corpus). QMX_TEST_CORPUS overrides
// the folder the build names, so a run can use another copy or none.
#pragma once

#include <string>

namespace qmx::test {

std::string CorpusDir();
// CorpusDir()/rel. A missing file fails the running test with its name, so
// a clone without the corpus says what is missing instead of crashing.
std::string CorpusFile(const std::string& rel);

}  // namespace qmx::test
