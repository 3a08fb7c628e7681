// Code page conversion through iconv, standing in for OemToChar/CharToOem.
#include "archive/platform/codepage.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

#include "archive/platform/ascii.h"

namespace qmx {

namespace {

std::mutex gNamesMutex;
bool gNamesValid = false;
std::string gOem;
std::string gSystem;
std::string gOemChosen;  // SetOemCodePage's name, empty when unset

bool IsAsciiCodeset(const std::string& cs) {
  const std::string u = UpperAscii(cs);
  return u.empty() || u == "ANSI_X3.4-1968" || u == "ASCII" || u == "US-ASCII" || u == "646" ||
         u == "POSIX";
}

// A bare number names a Windows code page.
std::string WindowsCodePageName(std::string cp) {
  if (cp.find_first_not_of("0123456789") == std::string::npos) cp = "CP" + cp;
  return cp;
}

std::string DetectOem() {
  if (!gOemChosen.empty()) return gOemChosen;
  if (const char* env = std::getenv("QMX_OEM_CODEPAGE"); env && *env)
    return WindowsCodePageName(env);
  const char* locale = nullptr;
  for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) {
      locale = v;
      break;
    }
  }
  if (locale) {
    const std::string l = locale;
    if (l.rfind("zh", 0) == 0) return "CP936";
    if (l.rfind("ja", 0) == 0) return "CP932";
    if (l.rfind("ko", 0) == 0) return "CP949";
  }
  return "CP437";
}

std::string DetectSystem() {
  std::string cs = ::nl_langinfo(CODESET);
  if (IsAsciiCodeset(cs)) {
    // The program never called setlocale: take the environment's codeset.
    if (locale_t loc = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr))) {
      cs = ::nl_langinfo_l(CODESET, loc);
      ::freelocale(loc);
    }
  }
  // A plain C locale on Linux still means UTF-8 names on disk.
  if (IsAsciiCodeset(cs)) cs = "UTF-8";
  return cs;
}

void EnsureNames() {
  if (gNamesValid) return;
  gOem = DetectOem();
  gSystem = DetectSystem();
  gNamesValid = true;
}

std::pair<std::string, std::string> Names() {
  std::lock_guard<std::mutex> lock(gNamesMutex);
  EnsureNames();
  return {gOem, gSystem};
}

// iconv descriptors are not thread-safe, so each thread keeps its own.
class TIconvCache {
 public:
  ~TIconvCache() {
    for (auto& [key, cd] : map_)
      if (cd != reinterpret_cast<iconv_t>(-1)) ::iconv_close(cd);
  }
  iconv_t Get(const std::string& from, const std::string& to) {
    auto key = std::make_pair(from, to);
    auto it = map_.find(key);
    if (it != map_.end()) return it->second;
    iconv_t cd = ::iconv_open(to.c_str(), from.c_str());
    map_.emplace(std::move(key), cd);  // a failure is remembered too
    return cd;
  }

 private:
  std::map<std::pair<std::string, std::string>, iconv_t> map_;
};

thread_local TIconvCache tCache;

bool IsAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

bool SameCodePage(const std::string& a, const std::string& b) {
  auto norm = [](const std::string& s) {
    std::string u = UpperAscii(s);
    std::string out;
    for (char c : u)
      if (c != '-' && c != '_') out += c;
    return out;
  };
  return norm(a) == norm(b);
}

std::string Convert(const std::string& s, bool toSystem, bool* ok) {
  if (ok) *ok = true;
  if (IsAscii(s)) return s;
  auto [oem, sys] = Names();
  if (SameCodePage(oem, sys)) return s;
  std::string out;
  if (ConvertCodePage(toSystem ? oem : sys, toSystem ? sys : oem, s, out)) return out;
  // Never substitute: keep the bytes and tell the caller.
  if (ok) *ok = false;
  return s;
}

}  // namespace

std::string OemCodePage() {
  return Names().first;
}

std::string SystemCodePage() {
  return Names().second;
}

bool ConvertCodePage(const std::string& from, const std::string& to, const std::string& in,
                     std::string& out) {
  // out may alias in: it is written only once the input has been read.
  if (in.empty()) {
    out.clear();
    return true;
  }
  iconv_t cd = tCache.Get(from, to);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    out.clear();
    return false;
  }
  ::iconv(cd, nullptr, nullptr, nullptr, nullptr);  // initial shift state

  std::string buf(in.size() * 3 / 2 + 16, '\0');  // grown on E2BIG
  char* inPtr = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  size_t used = 0;
  bool failed = false;
  for (;;) {
    char* outPtr = buf.data() + used;
    size_t outLeft = buf.size() - used;
    // Once the input is consumed, a null input flushes a trailing shift
    // sequence (stateful encodings).
    size_t r =
        ::iconv(cd, inLeft ? &inPtr : nullptr, inLeft ? &inLeft : nullptr, &outPtr, &outLeft);
    used = buf.size() - outLeft;
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) {
        buf.resize(buf.size() * 2);
        continue;
      }
      failed = true;  // EILSEQ, or an incomplete sequence at the end
      break;
    }
    if (inLeft == 0) {
      outPtr = buf.data() + used;
      outLeft = buf.size() - used;
      if (::iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
        if (errno == E2BIG) {
          buf.resize(buf.size() * 2);
          continue;
        }
        failed = true;
      }
      used = buf.size() - outLeft;
      break;
    }
  }
  if (failed) {
    out.clear();
    return false;
  }
  buf.resize(used);
  out = std::move(buf);
  return true;
}

std::string OemToSystem(const std::string& s, bool* ok) {
  return Convert(s, true, ok);
}

std::string SystemToOem(const std::string& s, bool* ok) {
  return Convert(s, false, ok);
}

bool RepresentableInOem(const std::string& s) {
  if (IsAscii(s)) return true;
  auto [oem, sys] = Names();
  if (SameCodePage(oem, sys)) return true;
  std::string encoded, back;
  return ConvertCodePage(sys, oem, s, encoded) && ConvertCodePage(oem, sys, encoded, back) &&
         back == s;
}

void ResetCodePages() {
  std::lock_guard<std::mutex> lock(gNamesMutex);
  gNamesValid = false;
  EnsureNames();
}

bool SystemIsUtf8() {
  std::string up;
  for (char c : SystemCodePage())
    if (c != '-' && c != '_') up += UpperAscii(c);
  return up == "UTF8";
}

bool HasNonAscii(const std::string& s) {
  return std::any_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) > 0x7F; });
}

bool IsValidUtf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    if (c >= 0x80) {
      if (c >= 0xC2 && c <= 0xDF)
        n = 1;
      else if ((c >> 4) == 0x0E)
        n = 2;
      else if (c >= 0xF0 && c <= 0xF4)
        n = 3;
      else
        return false;
    }
    if (s.size() - i <= n) return false;
    for (std::size_t k = 1; k <= n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    i += n + 1;
  }
  return true;
}

bool LooksLikeUtf8Name(const std::string& s) {
  if (!HasNonAscii(s) || !IsValidUtf8(s) || !SystemIsUtf8()) return false;
  {
    std::lock_guard<std::mutex> lock(gNamesMutex);
    if (!gOemChosen.empty()) return false;
  }
  const char* env = std::getenv("QMX_OEM_CODEPAGE");
  return !(env && *env);
}

void SetOemCodePage(const std::string& name) {
  std::lock_guard<std::mutex> lock(gNamesMutex);
  gOemChosen = name.empty() ? std::string() : WindowsCodePageName(name);
  gNamesValid = false;
}

}  // namespace qmx
