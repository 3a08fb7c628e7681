// Building tar archives byte by byte, and running a reader over a file
// while recording what it reports.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "archive/base/extract_framework.h"
#include "support/temp_dir.h"

namespace qmx::test {

struct TCraftedTarEntry {
  std::string Name;
  char Type = '0';
  std::string Data;
  unsigned Mode = 0644;
  std::int64_t MTime = 1700000000;
  // The POSIX magic; GNU writes "ustar  \0".
  std::string Magic = std::string(
      "ustar\0"
      "00",
      8);
  std::string Prefix;
  std::string LinkName;
  // Overrides of the size field: raw text, or the base-256 form of a value.
  std::string SizeText;
  std::int64_t Base256Size = -1;
  bool BadChecksum = false;
  bool ZeroChecksum = false;
};

inline std::string TarBlock(const TCraftedTarEntry& h) {
  std::string b(512, '\0');
  auto put = [&](std::size_t at, const std::string& s, std::size_t max) {
    std::memcpy(&b[at], s.data(), std::min(s.size(), max));
  };
  auto octal = [&](std::size_t at, std::size_t width, std::uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llo", static_cast<int>(width - 1),
                  static_cast<unsigned long long>(v));
    put(at, buf, width - 1);
  };
  put(0, h.Name, 100);
  octal(100, 8, h.Mode);
  octal(108, 8, 1000);
  octal(116, 8, 1000);
  if (h.Base256Size >= 0) {
    b[124] = static_cast<char>(0x80);
    for (int i = 0; i < 8; ++i) b[135 - i] = static_cast<char>((h.Base256Size >> (8 * i)) & 0xFF);
  } else if (!h.SizeText.empty()) {
    put(124, h.SizeText, 12);
  } else {
    octal(124, 12, h.Data.size());
  }
  octal(136, 12, static_cast<std::uint64_t>(h.MTime));
  b[156] = h.Type;
  put(157, h.LinkName, 100);
  put(257, h.Magic, 8);
  put(345, h.Prefix, 155);
  std::memset(&b[148], ' ', 8);
  unsigned sum = 0;
  for (unsigned char c : b) sum += c;
  if (h.BadChecksum) sum += 1;
  if (h.ZeroChecksum)
    std::memset(&b[148], 0, 8);
  else
    octal(148, 7, sum);
  std::string data = h.Data;
  data.resize((data.size() + 511) / 512 * 512, '\0');
  return b + data;
}

inline std::string TarEnd() {
  return std::string(1024, '\0');
}

// A pax extended header holding the records given.
inline std::string PaxBlock(const std::vector<std::pair<std::string, std::string>>& records) {
  std::string body;
  for (const auto& [key, value] : records) {
    const std::string rest = " " + key + "=" + value + "\n";
    std::size_t len = rest.size() + 1;
    while (std::to_string(len).size() + rest.size() != len) ++len;
    body += std::to_string(len) + rest;
  }
  TCraftedTarEntry h;
  h.Name = "PaxHeaders/x";
  h.Type = 'x';
  h.Data = body;
  return TarBlock(h);
}

inline std::string GnuLongName(const std::string& name) {
  TCraftedTarEntry h;
  h.Name = "././@LongLink";
  h.Type = 'L';
  h.Data = name + std::string(1, '\0');
  h.Magic = std::string("ustar  \0", 8);
  return TarBlock(h);
}

// What a run reported.
struct TReaderLog {
  int Count = 0;
  std::vector<std::string> Begun, Passed, Failed;
  std::vector<std::pair<int, std::string>> Errors;
  bool HasError(int code) const {
    for (const auto& e : Errors)
      if (e.first == code) return true;
    return false;
  }
  std::string ErrorText() const {
    std::string s;
    for (const auto& e : Errors) s += std::to_string(e.first) + " " + e.second + "\n";
    return s;
  }
};

inline void Attach(TUnBase& r, TReaderLog& log) {
  r.OnBegin = [&log](TZipCommon&, const std::string& name, int, bool&) {
    log.Begun.push_back(name);
  };
  r.OnEnd = [&log](TZipCommon&, const std::string& name, bool pass) {
    (pass ? log.Passed : log.Failed).push_back(name);
  };
  r.OnError = [&log](TZipCommon&, const std::string& file, const std::string& msg,
                     const std::string&, int code) {
    log.Errors.push_back({code, file + ": " + msg});
  };
  r.ConfirmOverwrites = false;
  r.OverwriteMode = omOverwrite;
  r.UseStoredDirs = true;
  r.CreateStoredDirs = true;
}

inline unsigned FileMode(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

inline std::int64_t FileMTime(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return -1;
  return st.st_mtime;
}

inline unsigned Umasked(unsigned mode) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mode & ~mask;
}

}  // namespace qmx::test
