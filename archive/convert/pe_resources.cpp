#include "archive/convert/pe_resources.h"

#include <algorithm>
#include <array>
#include <exception>

#include "archive/zip/zip_locate.h"
#include "archive/zip/zip_records.h"

namespace qmx {
namespace {

constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint32_t kResourceDirIndex = 2;
// The Windows loader refuses images with more sections than this.
constexpr std::uint16_t kMaxSections = 96;
constexpr std::uint32_t kSubdirBit = 0x80000000u;
// A string block holds 16 strings of at most 65535 UTF-16 units each.
constexpr std::int64_t kMaxStringBlock = 16 * (2 + 2 * 65535);

}  // namespace

std::int64_t TPeStringTable::ReadAt(std::int64_t pos, void* buf, std::int64_t n) {
  if (!stream_ || pos >= size_) return 0;
  return ReadStreamAt(*stream_, pos, buf, n);
}

bool TPeStringTable::Open(TStream& s) {
  stream_ = &s;
  sections_.clear();
  try {
    size_ = s.Size();
  } catch (const std::exception&) {
    size_ = 0;
  }
  auto fail = [this] {
    stream_ = nullptr;
    sections_.clear();
    return false;
  };

  std::array<std::uint8_t, 64> dos{};
  if (ReadAt(0, dos.data(), 64) != 64 || dos[0] != 'M' || dos[1] != 'Z') return fail();
  const std::int64_t pe = GetLE32(dos.data() + 0x3C);
  std::array<std::uint8_t, 24> coff{};
  if (ReadAt(pe, coff.data(), 24) != 24 || GetLE32(coff.data()) != kPeSignature) return fail();
  const std::uint16_t sectionCount = std::min(GetLE16(coff.data() + 6), kMaxSections);
  const std::uint16_t optSize = GetLE16(coff.data() + 20);

  std::vector<std::uint8_t> opt(optSize);
  if (ReadAt(pe + 24, opt.data(), optSize) != optSize || optSize < 2) return fail();
  std::size_t countAt, dirsAt;
  switch (GetLE16(opt.data())) {
    case kPe32Magic:
      countAt = 92, dirsAt = 96;
      break;
    case kPe32PlusMagic:
      countAt = 108, dirsAt = 112;
      break;
    default:
      return fail();
  }
  const std::size_t dirEnd = dirsAt + 8 * (kResourceDirIndex + 1);
  if (optSize < dirEnd || GetLE32(opt.data() + countAt) <= kResourceDirIndex) return fail();
  const std::uint32_t resRva = GetLE32(opt.data() + dirsAt + 8 * kResourceDirIndex);
  if (resRva == 0) return fail();

  std::vector<std::uint8_t> table(std::size_t{40} * sectionCount);
  const std::int64_t tableAt = pe + 24 + optSize;
  const std::int64_t got = ReadAt(tableAt, table.data(), static_cast<std::int64_t>(table.size()));
  for (std::int64_t i = 0; (i + 1) * 40 <= got; ++i) {
    const std::uint8_t* e = table.data() + i * 40;
    sections_.push_back({GetLE32(e + 12), GetLE32(e + 8), GetLE32(e + 16), GetLE32(e + 20)});
  }

  root_ = RvaToOffset(resRva, 16);
  if (root_ < 0) return fail();
  // Directory offsets are relative to the root and stay in its section.
  root_limit_ = size_;
  for (const TSection& sec : sections_) {
    std::int64_t start = sec.RawOffset;
    std::int64_t end = start + sec.RawSize;
    if (root_ >= start && root_ < end) root_limit_ = std::min(end, size_);
  }
  return true;
}

std::int64_t TPeStringTable::RvaToOffset(std::uint32_t rva, std::uint32_t n) const {
  for (const TSection& sec : sections_) {
    const std::uint64_t va = sec.VirtualAddress;
    const std::uint64_t span = std::max(sec.VirtualSize, sec.RawSize);
    if (rva < va || rva >= va + span) continue;
    const std::uint64_t delta = rva - va;
    // The bytes must be in the file, inside the section's raw data.
    if (delta + n > sec.RawSize) return -1;
    const std::uint64_t off = static_cast<std::uint64_t>(sec.RawOffset) + delta;
    if (off + n > static_cast<std::uint64_t>(size_)) return -1;
    return static_cast<std::int64_t>(off);
  }
  return -1;
}

std::vector<std::uint8_t> TPeStringTable::ReadEntries(std::int64_t dirOffset, bool namedToo) {
  std::array<std::uint8_t, 16> head{};
  const std::int64_t at = root_ + dirOffset;
  if (at + 16 > root_limit_ || ReadAt(at, head.data(), 16) != 16) return {};
  const std::int64_t named = GetLE16(head.data() + 12);
  const std::int64_t ids = GetLE16(head.data() + 14);
  // Entries with names come first.
  const std::int64_t first = at + 16 + (namedToo ? 0 : 8 * named);
  const std::int64_t last = std::min(at + 16 + 8 * (named + ids), root_limit_);
  if (last - first < 8) return {};
  std::vector<std::uint8_t> entries(static_cast<std::size_t>((last - first) / 8 * 8));
  const std::int64_t got = ReadAt(first, entries.data(), static_cast<std::int64_t>(entries.size()));
  entries.resize(static_cast<std::size_t>(got / 8 * 8));
  return entries;
}

std::int64_t TPeStringTable::FindEntry(std::int64_t dirOffset, std::uint32_t id, bool subdir) {
  const std::vector<std::uint8_t> entries = ReadEntries(dirOffset, false);
  for (std::size_t p = 0; p < entries.size(); p += 8) {
    const std::uint32_t name = GetLE32(entries.data() + p);
    const std::uint32_t target = GetLE32(entries.data() + p + 4);
    if ((name & kSubdirBit) || name != id) continue;
    if (static_cast<bool>(target & kSubdirBit) != subdir) return -1;
    return target & ~kSubdirBit;
  }
  return -1;
}

std::int64_t TPeStringTable::FirstDataEntry(std::int64_t dirOffset) {
  const std::vector<std::uint8_t> entries = ReadEntries(dirOffset, true);
  for (std::size_t p = 0; p < entries.size(); p += 8) {
    const std::uint32_t target = GetLE32(entries.data() + p + 4);
    if (!(target & kSubdirBit)) return target;
  }
  return -1;
}

std::string TPeStringTable::LoadString(std::uint32_t id, std::size_t maxChars) {
  if (!stream_ || id > 0xFFFF) return {};
  const std::int64_t types = FindEntry(0, kRtString, true);
  if (types < 0) return {};
  const std::int64_t block = FindEntry(types, id / 16 + 1, true);
  if (block < 0) return {};
  const std::int64_t dataEntry = FirstDataEntry(block);
  if (dataEntry < 0) return {};

  std::array<std::uint8_t, 16> de{};
  const std::int64_t deAt = root_ + dataEntry;
  if (deAt + 16 > root_limit_ || ReadAt(deAt, de.data(), 16) != 16) return {};
  const std::uint32_t dataRva = GetLE32(de.data());
  const std::uint32_t dataSize =
      static_cast<std::uint32_t>(std::min<std::int64_t>(GetLE32(de.data() + 4), kMaxStringBlock));
  const std::int64_t dataAt = RvaToOffset(dataRva, dataSize);
  if (dataAt < 0) return {};

  // Walk the length-prefixed strings up to the one asked for.
  std::int64_t p = dataAt;
  const std::int64_t end = dataAt + dataSize;
  std::array<std::uint8_t, 2> w{};
  for (std::uint32_t i = 0; i < id % 16; ++i) {
    if (p + 2 > end || ReadAt(p, w.data(), 2) != 2) return {};
    p += 2 + 2 * static_cast<std::int64_t>(GetLE16(w.data()));
  }
  if (p + 2 > end || ReadAt(p, w.data(), 2) != 2) return {};
  const std::int64_t len = std::min<std::int64_t>(GetLE16(w.data()), maxChars);
  p += 2;
  if (p + 2 * len > end) return {};
  std::vector<std::uint8_t> chars(static_cast<std::size_t>(2 * len));
  if (ReadAt(p, chars.data(), 2 * len) != 2 * len) return {};
  std::string out;
  for (std::int64_t i = 0; i < len; ++i) {
    std::uint16_t c = GetLE16(chars.data() + 2 * i);
    out += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return out;
}

}  // namespace qmx
