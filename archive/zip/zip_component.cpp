#include "archive/zip/zip_component.h"

#include <span>
#include <vector>

namespace qmx {
namespace {

const TZipLocation& LocationIn(const std::shared_ptr<const TFormatFacts>& facts) {
  static const TZipLocation kNone;
  const auto* zip = dynamic_cast<const TZipLocation*>(facts.get());
  return zip ? *zip : kNone;
}

}  // namespace

const TZipLocation& ZipLocationOf(const TDetectFacts& facts) {
  return LocationIn(facts.Format);
}

const TZipLocation& ZipLocationOf(const TZipCommon& component) {
  return LocationIn(component.FormatFacts());
}

bool ReadExtraField(TZipCommon& component, TStream& stream, std::uint16_t length,
                    TZipExtraInfo& destination, bool central) {
  std::vector<std::uint8_t> extra(length);
  const std::int64_t got = length ? component.ReadBlock(stream, extra.data(), length, 0, false) : 0;
  ParseExtraField(std::span<const std::uint8_t>(extra.data(), static_cast<std::size_t>(got)),
                  central, destination);
  return got == length;
}

}  // namespace qmx
