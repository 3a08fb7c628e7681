#include "archive/base/names.h"

#include <cmath>
#include <vector>

#include "archive/platform/codepage.h"
#include "archive/platform/files.h"
#include "archive/scan/file_mask.h"

namespace qmx {

namespace {

constexpr char kBackslash = '\\';

bool IsSeparator(char c) {
  return c == kPathDelim || c == kBackslash;
}

std::string SeparatorsTo(const std::string& s, char to) {
  std::string out = s;
  for (char& c : out)
    if (IsSeparator(c)) c = to;
  return out;
}

// Round num / den (den > 0) to the nearest integer, halves to the even one.
// 128-bit so that byte counts near the 64-bit limit times 100 cannot overflow.
__int128 DivRoundHalfEven(__int128 num, __int128 den) {
  __int128 q = num / den;
  __int128 r = num % den;
  if (r < 0) {  // make it a floor division
    --q;
    r += den;
  }
  const __int128 twice = 2 * r;
  if (twice > den || (twice == den && (q & 1) != 0)) ++q;
  return q;
}

int ClampPercent(__int128 v) {
  if (v < 0) return 0;
  if (v > 100) return 100;
  return static_cast<int>(v);
}

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

constexpr std::int64_t kUnixEpochDays = 25569;  // 1970-01-01 as a TDateTime
constexpr std::int64_t kMSecsPerDay = 86400000;

bool IsLeapYear(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

constexpr std::uint32_t kDefaultDosDate = 0x00210020;  // 1980-01-01 00:01:00

std::uint32_t PackDos(int year, int month, int day, int hour, int minute, int second) {
  const std::uint32_t date = static_cast<std::uint32_t>(((year - 1980) << 9) | (month << 5) | day);
  const std::uint32_t time =
      static_cast<std::uint32_t>((hour << 11) | (minute << 5) | (second / 2));
  return (date << 16) | time;
}

}  // namespace

// --- paths and names

std::string RemoveSlash(const std::string& s) {
  if (!s.empty() && s.back() == kPathDelim) return s.substr(0, s.size() - 1);
  return s;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return {};
  if (dir.back() == kPathDelim) return dir + name;
  return dir + kPathDelim + name;
}

std::string SlashToDelim(const std::string& s) {
  return SeparatorsTo(s, kPathDelim);
}

std::string DelimToSlash(const std::string& s) {
  return SeparatorsTo(s, '/');
}

std::string NameToWindows(const std::string& s, bool translate) {
  // Convert first: in a double-byte OEM name a trail byte may look like "\".
  return SlashToDelim(translate ? OemToSystem(s) : s);
}

std::string NameToArchive(const std::string& s, bool translate) {
  const std::string stored = DelimToSlash(s);
  return translate ? SystemToOem(stored) : stored;
}

std::string AnsiToOem(const std::string& s, bool translate) {
  return translate ? SystemToOem(s) : s;
}

std::string NormaliseSeparators(const std::string& s) {
  std::string out = s;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto b = static_cast<unsigned char>(out[i]);
    if ((b >= 0x80 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFD)) {
      ++i;  // trail byte of a double-byte character: never a separator
    } else if (b == '/' || b == kBackslash || b == 0xFF) {
      out[i] = kPathDelim;
    }
  }
  std::size_t first = 0;
  while (first < out.size() && static_cast<unsigned char>(out[first]) <= ' ') ++first;
  std::size_t last = out.size();
  while (last > first && static_cast<unsigned char>(out[last - 1]) <= ' ') --last;
  return out.substr(first, last - first);
}

std::size_t FirstDotPos(const std::string& s) {
  const std::size_t p = s.find('.');
  return p == std::string::npos ? s.size() : p;
}

std::string ReplaceExtension(const std::string& s, const std::string& ext) {
  return s.substr(0, FirstDotPos(s)) + ext;
}

std::string SplitToken(std::string& s, const std::string& separator) {
  const std::size_t p = separator.empty() ? std::string::npos : s.find(separator);
  std::string token;
  if (p == std::string::npos) {
    token.swap(s);
  } else {
    token = s.substr(0, p);
    s.erase(0, p + separator.size());
  }
  return token;
}

bool IsDrivePath(const std::string& s) {
  // A drive letter and colon are required: on this platform a relative path
  // such as "ab/cd" must not be mistaken for one.
  return s.size() >= 4 && !(IsSeparator(s[0]) && IsSeparator(s[1])) && s[1] == ':' &&
         IsSeparator(s[2]);
}

bool IsUncPath(const std::string& s) {
  return s.size() > 2 && IsSeparator(s[0]) && IsSeparator(s[1]);
}

std::string ChangeFileExt(const std::string& s, const std::string& ext) {
  return s.substr(0, s.size() - ExtractFileExt(s).size()) + ext;
}

// --- files and directories

bool DirectoryExists(const std::string& path) {
  return !path.empty() && IsDirectory(path);
}

bool FileExistsWild(const std::string& name) {
  const std::string mask = ExtractFileName(name);
  if (mask.empty()) return false;
  if (mask.find_first_of("*?") == std::string::npos) return PathExists(name);
  const std::string dir = ExtractFilePath(name);
  std::vector<TSearchRec> entries;
  if (!ListDirectory(dir.empty() ? std::string(".") : dir, entries)) return false;
  const TInternalMask matcher(mask);
  for (const TSearchRec& e : entries)
    if (matcher.Matches(e.Name)) return true;
  return false;
}

bool IsWriteableFile(const std::string& name) {
  const std::int32_t attr = FileGetAttr(name);
  if (attr < 0) return false;
  return (static_cast<std::uint32_t>(attr) & (faDirectory | faReadOnly | faSysFile | faHidden)) ==
         0;
}

bool DirHoldsNoFiles(const std::string& dir) {
  std::vector<TSearchRec> entries;
  if (!ListDirectory(dir, entries)) return false;
  for (const TSearchRec& e : entries) {
    // A link is content of its own; following it could loop.
    if (e.IsLink || e.Attr != faDirectory) return false;
    if (!DirHoldsNoFiles(JoinPath(dir, e.Name))) return false;
  }
  return true;
}

std::string SystemTempDirPath() {
  std::string dir = SystemTempDir();
  return dir.size() > 259 ? std::string() : dir;
}

// --- numbers and dates

int Percent(std::int64_t total, std::int64_t done) {
  if (total <= 0) return 0;
  return ClampPercent(DivRoundHalfEven(static_cast<__int128>(done) * 100, total));
}

int Ratio(std::int64_t size, std::int64_t packed) {
  if (size <= 0 || packed >= size) return 0;
  const __int128 saved = static_cast<__int128>(size) - packed;
  return ClampPercent(DivRoundHalfEven(saved * 100, size));
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second) {
  // Months outside 1..12 roll into neighbouring years rather than misindex.
  std::int64_t y = year;
  std::int64_t m0 = static_cast<std::int64_t>(month) - 1;
  y += m0 >= 0 ? m0 / 12 : (m0 - 11) / 12;
  m0 = ((m0 % 12) + 12) % 12;
  const std::int64_t days =
      DaysFromCivil(y, static_cast<int>(m0 + 1), 1) + (day - 1) + kUnixEpochDays;
  const double secs = hour * 3600.0 + minute * 60.0 + second;
  return static_cast<double>(days) + secs / 86400.0;
}

TDateTime DosDateToDateTime(std::uint32_t packed) {
  if (packed == 0) packed = kDefaultDosDate;
  const int year = 1980 + static_cast<int>(packed >> 25);
  const int month = static_cast<int>((packed >> 21) & 0x0F);
  const int day = static_cast<int>((packed >> 16) & 0x1F);
  const int hour = static_cast<int>((packed >> 11) & 0x1F);
  const int minute = static_cast<int>((packed >> 5) & 0x3F);
  const int second = static_cast<int>(packed & 0x1F) * 2;
  const bool valid = month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month) &&
                     hour <= 23 && minute <= 59 && second <= 59;
  if (!valid) return EncodeDateTime(1980, 1, 1, 0, 1, 0);
  return EncodeDateTime(year, month, day, hour, minute, second);
}

std::uint32_t DateTimeToDosDate(TDateTime dt) {
  if (!std::isfinite(dt) || dt < static_cast<double>(DaysFromCivil(1980, 1, 1) + kUnixEpochDays))
    return PackDos(1980, 1, 1, 0, 0, 0);
  if (dt >= static_cast<double>(DaysFromCivil(2108, 1, 1) + kUnixEpochDays))
    return PackDos(2107, 12, 31, 23, 59, 58);
  auto days = static_cast<std::int64_t>(std::floor(dt));
  // Nearest millisecond first, so 0.000694444... reads as exactly one minute.
  auto ms =
      static_cast<std::int64_t>(std::llround((dt - static_cast<double>(days)) * kMSecsPerDay));
  if (ms >= kMSecsPerDay) {
    ++days;
    ms -= kMSecsPerDay;
  }
  std::int64_t year;
  int month, day;
  CivilFromDays(days - kUnixEpochDays, year, month, day);
  if (year > 2107) return PackDos(2107, 12, 31, 23, 59, 58);
  const int secs = static_cast<int>(ms / 1000);
  return PackDos(static_cast<int>(year), month, day, secs / 3600, secs / 60 % 60, secs % 60);
}

std::uint32_t SwapHalves(std::uint32_t v) {
  return (v << 16) | (v >> 16);
}

bool IsCompressedStreamSignature(std::uint16_t v) {
  return v == 0x1E1F || v == 0x8B1F || v == 0x9D1F || v == 0x9E1F || v == 0xA01F;
}

}  // namespace qmx
