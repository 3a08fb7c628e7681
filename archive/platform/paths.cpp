#include "archive/platform/paths.h"

namespace qmx {

std::string AppendSlash(const std::string& s) {
  if (s.empty() || s.back() == kPathDelim) return s;
  return s + kPathDelim;
}

std::string ExtractFilePath(const std::string& s) {
  const std::size_t p = s.rfind(kPathDelim);
  return p == std::string::npos ? std::string() : s.substr(0, p + 1);
}

std::string ExtractFileName(const std::string& s) {
  const std::size_t p = s.rfind(kPathDelim);
  return p == std::string::npos ? s : s.substr(p + 1);
}

std::string ExtractFileExt(const std::string& s) {
  const std::size_t start = s.size() - ExtractFileName(s).size();
  const std::size_t dot = s.rfind('.');
  if (dot == std::string::npos || dot < start) return {};
  return s.substr(dot);
}

}  // namespace qmx
