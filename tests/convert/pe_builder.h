// Builds small Windows executables for the detection tests: a DOS header
// whose page counts end the image where asked, a PE header, and one
// resource section holding string block 1 (ids 0-15).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "archive/zip/zip_records.h"

namespace qmx::petest {

using TBytes = std::vector<std::uint8_t>;

// The stub is always this long, so string values may name offsets past it.
inline constexpr std::size_t kStubSize = 0x400;

struct TPeOptions {
  std::map<int, std::u16string> Strings;  // id 0..15 -> text
  std::int64_t ImageEnd = kStubSize;      // what the DOS page counts say
  bool Pe32Plus = false;
  std::uint32_t LanguageId = 0x409;
};

inline TBytes BuildPe(const TPeOptions& o) {
  TBytes b(kStubSize, 0);
  std::uint8_t* p = b.data();
  p[0] = 'M';
  p[1] = 'Z';
  PutLE16(p + 2, static_cast<std::uint16_t>(o.ImageEnd % 512));
  PutLE16(p + 4, static_cast<std::uint16_t>(o.ImageEnd / 512 + 1));
  PutLE32(p + 0x3C, 0x40);

  const std::size_t pe = 0x40;
  const std::uint16_t optSize = o.Pe32Plus ? 240 : 224;
  PutLE32(p + pe, 0x00004550);
  PutLE16(p + pe + 4, 0x14C);
  PutLE16(p + pe + 6, 1);
  PutLE16(p + pe + 20, optSize);
  PutLE16(p + pe + 22, 0x0102);
  std::uint8_t* opt = p + pe + 24;
  PutLE16(opt, o.Pe32Plus ? 0x20B : 0x10B);
  const std::size_t countAt = o.Pe32Plus ? 108 : 92;
  const std::size_t dirsAt = o.Pe32Plus ? 112 : 96;
  PutLE32(opt + countAt, 16);
  PutLE32(opt + dirsAt + 16, 0x1000);  // resource directory RVA
  PutLE32(opt + dirsAt + 20, 0x200);

  std::uint8_t* sec = opt + optSize;
  std::copy_n(".rsrc", 5, sec);
  PutLE32(sec + 8, 0x200);    // virtual size
  PutLE32(sec + 12, 0x1000);  // virtual address
  PutLE32(sec + 16, 0x200);   // raw size
  PutLE32(sec + 20, 0x200);   // raw offset

  std::uint8_t* r = p + 0x200;
  auto dir = [&](std::size_t at, std::uint32_t id, std::uint32_t target) {
    PutLE16(r + at + 14, 1);  // one entry with a numeric id
    PutLE32(r + at + 16, id);
    PutLE32(r + at + 20, target);
  };
  dir(0x00, 6, 0x80000000u | 0x18);  // RT_STRING
  dir(0x18, 1, 0x80000000u | 0x30);  // block 1: ids 0-15
  dir(0x30, o.LanguageId, 0x48);     // first language: a data entry
  std::size_t s = 0x58;
  for (int id = 0; id < 16; ++id) {
    auto it = o.Strings.find(id);
    std::u16string text = it == o.Strings.end() ? std::u16string() : it->second;
    PutLE16(r + s, static_cast<std::uint16_t>(text.size()));
    s += 2;
    for (char16_t c : text) {
      PutLE16(r + s, static_cast<std::uint16_t>(c));
      s += 2;
    }
  }
  PutLE32(r + 0x48, 0x1000 + 0x58);
  PutLE32(r + 0x4C, static_cast<std::uint32_t>(s - 0x58));
  return b;
}

inline std::u16string U16(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace qmx::petest
