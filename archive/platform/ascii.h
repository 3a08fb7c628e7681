// Case folding and comparison of ASCII letters only. Names reach us in many
// code pages; a byte of 0x80 and up is compared as it is, never folded, so
// the result does not depend on the locale or the encoding.
#pragma once

#include <string>

namespace qmx {

inline char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
inline char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string LowerAscii(std::string s);
std::string UpperAscii(std::string s);

// Equal when they differ only in the case of ASCII letters.
bool SameTextAscii(const std::string& a, const std::string& b);
bool StartsTextAscii(const std::string& s, const std::string& prefix);
bool EndsTextAscii(const std::string& s, const std::string& suffix);

}  // namespace qmx
