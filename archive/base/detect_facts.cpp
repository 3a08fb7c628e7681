#include "archive/base/detect_facts.h"

namespace qmx {
namespace {

// Constant-initialised, so an install made by another object's constructor
// before main() is never overwritten afterwards.
constinit TArcTypeDetector gDetector = nullptr;

}  // namespace

void SetArcTypeDetector(TArcTypeDetector detector) {
  gDetector = detector;
}

TArcTypeDetector InstalledArcTypeDetector() {
  return gDetector;
}

TArcType DetectWithInstalledDetector(TStream32& stream, const std::string& archiveFile,
                                     TDetectFacts& facts) {
  facts = TDetectFacts{};
  if (!gDetector) return atNA;
  return gDetector(stream, archiveFile, facts);
}

}  // namespace qmx
