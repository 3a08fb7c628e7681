#include "archive/base/types.h"

#include <iterator>

namespace qmx {

namespace {

// In declaration order of TArcType.
constexpr const char* kArcTypeNames[] = {
    "atNA",     "atUnsupported", "atFileOpenErr", "atUnknown", "atAce",     "atAceExe",
    "atArc",    "atArcExe",      "atArj",         "atArjExe",  "atBh",      "atBhExe",
    "atCab",    "atCabExe",      "atGZip",        "atHA",      "atJar",     "atJarExe",
    "atLha",    "atLhaExe",      "atLzh",         "atLzhExe",  "atMsGZ",    "atPak",
    "atPakExe", "atRar",         "atRarExe",      "atTar",     "atTarGZip", "atUUE",
    "atZip",    "atZipExe",      "atZipDS",       "atZipMV",   "atZoo",     "at7z"};
static_assert(std::size(kArcTypeNames) == kArcTypeCount);

}  // namespace

const char* ArcTypeName(TArcType t) {
  const auto i = static_cast<std::size_t>(t);
  return i < std::size(kArcTypeNames) ? kArcTypeNames[i] : "";
}

}  // namespace qmx
