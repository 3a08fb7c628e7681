// The text of a path: its directory and name parts, its extension, a
// trailing delimiter. Pure string work, so every layer can use it.
#pragma once

#include <string>

namespace qmx {

inline constexpr char kPathDelim = '/';

// s with a trailing delimiter ("" stays "").
std::string AppendSlash(const std::string& s);
// Directory part with trailing delimiter ("" when none), and name part.
std::string ExtractFilePath(const std::string& s);
std::string ExtractFileName(const std::string& s);
// Extension with its dot ("" when none), of the name part only.
std::string ExtractFileExt(const std::string& s);

}  // namespace qmx
