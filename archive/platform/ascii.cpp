#include "archive/platform/ascii.h"

namespace qmx {
namespace {

// Whether s holds text at pos that equals part, ASCII case ignored.
bool SameTextAt(const std::string& s, std::size_t pos, const std::string& part) {
  for (std::size_t i = 0; i < part.size(); ++i)
    if (LowerAscii(s[pos + i]) != LowerAscii(part[i])) return false;
  return true;
}

}  // namespace

std::string LowerAscii(std::string s) {
  for (char& c : s) c = LowerAscii(c);
  return s;
}

std::string UpperAscii(std::string s) {
  for (char& c : s) c = UpperAscii(c);
  return s;
}

bool SameTextAscii(const std::string& a, const std::string& b) {
  return a.size() == b.size() && SameTextAt(a, 0, b);
}

bool StartsTextAscii(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && SameTextAt(s, 0, prefix);
}

bool EndsTextAscii(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && SameTextAt(s, s.size() - suffix.size(), suffix);
}

}  // namespace qmx
