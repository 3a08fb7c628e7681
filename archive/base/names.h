// Text, path, date and naming helpers shared by every component. Paths use
// kPathDelim ("/"); every rule the components state for the Windows "\"
// applies to it. Stored archive names use "/" (and may carry "\" from
// Windows writers).
#pragma once

#include <cstdint>
#include <string>

#include "archive/base/types.h"
#include "archive/platform/paths.h"

namespace qmx {

// --- paths and names (AppendSlash, ExtractFilePath, ExtractFileName and
// ExtractFileExt come from the platform layer)
std::string RemoveSlash(const std::string& s);
std::string JoinPath(const std::string& dir, const std::string& name);
// Both "/" and "\" become the platform delimiter.
std::string SlashToDelim(const std::string& s);
// The platform delimiter and "\" become "/".
std::string DelimToSlash(const std::string& s);
// Stored name -> platform path: OEM to system code page when translate,
// then separators to the platform delimiter.
std::string NameToWindows(const std::string& s, bool translate);
// Platform path -> stored name: separators to "/", then system to OEM when
// translate.
std::string NameToArchive(const std::string& s, bool translate);
// Code page conversion only, no separator change.
std::string AnsiToOem(const std::string& s, bool translate);
// LHA names: lead bytes of double-byte characters protect the byte after
// them; other "/" and 0xFF bytes become the delimiter; blanks trimmed.
std::string NormaliseSeparators(const std::string& s);
std::size_t FirstDotPos(const std::string& s);
std::string ReplaceExtension(const std::string& s, const std::string& ext);
std::string SplitToken(std::string& s, const std::string& separator);
bool IsDrivePath(const std::string& s);
bool IsUncPath(const std::string& s);
std::string ChangeFileExt(const std::string& s, const std::string& ext);

// --- files and directories
bool DirectoryExists(const std::string& path);
// Wildcards in the name part match as the scanner's masks do.
bool FileExistsWild(const std::string& name);
bool IsWriteableFile(const std::string& name);
bool DirHoldsNoFiles(const std::string& dir);
std::string SystemTempDirPath();  // SystemTempDir, with the 259-character limit

// --- numbers and dates
// done * 100 / total, halves to even, limited to 0..100; 0 when total <= 0.
int Percent(std::int64_t total, std::int64_t done);
int Ratio(std::int64_t size, std::int64_t packed);
// Packed DOS date-time (date high) to date-time; 0 counts as 0x00210020 and
// an invalid value gives 1980-01-01 00:01:00.
TDateTime DosDateToDateTime(std::uint32_t packed);
std::uint32_t DateTimeToDosDate(TDateTime dt);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second);
std::uint32_t SwapHalves(std::uint32_t v);
bool IsCompressedStreamSignature(std::uint16_t v);

// --- method names for listings (the type's row in the format table says)
// isDir: the entry is a directory; name: the entry's current name (tar).
// aesMethod: the real method recorded in a ZIP entry's AES field (method 99).
std::string MethodName(TArcType type, int method, std::uint16_t flags, bool isDir = false,
                       const std::string& name = {}, int aesMethod = -1);

}  // namespace qmx
