// OEM <-> system code page conversion through iconv. The OEM code page is
// CP437 by default, CP936/CP932/CP949 under zh/ja/ko locales, or whatever
// QMX_OEM_CODEPAGE names. Conversion never replaces a character by "?":
// text that cannot be converted keeps its original bytes.
#pragma once

#include <string>

namespace qmx {

// Name of the OEM code page in force (iconv name, e.g. "CP437").
std::string OemCodePage();
// Name of the system code page (nl_langinfo(CODESET), e.g. "UTF-8").
std::string SystemCodePage();

// OEM bytes to system code page. Pure ASCII is returned unchanged.
// ok (when given) is false when the text was kept as it was because it
// could not be converted.
std::string OemToSystem(const std::string& s, bool* ok = nullptr);
// System code page to OEM bytes; same rules.
std::string SystemToOem(const std::string& s, bool* ok = nullptr);
// Whether every character of s (system code page) can be written in the OEM
// code page and read back unchanged.
bool RepresentableInOem(const std::string& s);

// Between any two code pages (iconv names); false when not convertible.
bool ConvertCodePage(const std::string& from, const std::string& to, const std::string& in,
                     std::string& out);

// Re-reads the environment (tests change QMX_OEM_CODEPAGE and the locale).
void ResetCodePages();

// Whether the system code page is UTF-8.
bool SystemIsUtf8();
bool HasNonAscii(const std::string& s);
// Well-formed UTF-8: no stray continuation byte, overlong lead or code
// point past U+10FFFF.
bool IsValidUtf8(const std::string& s);
// Text without the UTF-8 flag that is UTF-8 all the same: what macOS and
// many Unix tools write. CP437 names are almost never well-formed UTF-8
// beyond ASCII, so the guess is taken unless a code page was chosen
// (SetOemCodePage or QMX_OEM_CODEPAGE).
bool LooksLikeUtf8Name(const std::string& s);

// A program's choice of OEM code page (iconv name, or a bare Windows number
// such as "936"); it outranks QMX_OEM_CODEPAGE and the locale until reset
// with an empty name.
void SetOemCodePage(const std::string& name);

}  // namespace qmx
