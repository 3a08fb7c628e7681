#include "archive/formats/arj/arj_header.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/codec/byte_order.h"
#include "archive/codec/crc.h"
#include "archive/platform/codepage.h"
#include "archive/platform/files.h"

namespace qmx {
namespace {

constexpr std::uint8_t kId0 = 0x60;
constexpr std::uint8_t kId1 = 0xEA;

// The NUL-terminated text at p of at most n bytes; an unterminated one
// ends with the header.
std::string TextAt(const std::uint8_t* p, std::size_t n, std::size_t& used) {
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(p, 0, n));
  const std::size_t len = end ? static_cast<std::size_t>(end - p) : n;
  used = end ? len + 1 : len;
  return std::string(reinterpret_cast<const char*>(p), len);
}

}  // namespace

std::uint32_t TArjHeader::DosDate() const {
  if (HostOs == ahUnix || HostOs == ahNext)
    return UnixToDosDateTime(static_cast<std::time_t>(Stamp));
  return Stamp;
}

TArjStep ReadArjHeader(TStream& s, std::int64_t pos, std::int64_t size, TArjHeader& h,
                       std::string& why) {
  h = TArjHeader{};
  h.HeaderAt = pos;
  std::uint8_t head[4];
  if (pos < 0 || pos + 4 > size || ReadStreamAt(s, pos, head, 4) != 4) {
    why = "the archive ends before the header at byte " + std::to_string(pos);
    return asDamaged;
  }
  if (head[0] != kId0 || head[1] != kId1) {
    why = "no ARJ header at byte " + std::to_string(pos);
    return asDamaged;
  }
  const std::uint16_t basic = GetLE16(head + 2);
  if (basic == 0) {
    h.Next = pos + 4;
    return asEnd;
  }
  if (basic > kArjMaxBasicHeader || basic < kArjFixedHeader) {
    why = "header at byte " + std::to_string(pos) + " has an impossible size";
    return asDamaged;
  }
  std::vector<std::uint8_t> b(basic + 4u);
  if (pos + 4 + basic + 4 > size || ReadStreamAt(s, pos + 4, b.data(), basic + 4) != basic + 4) {
    why = "the archive ends inside the header at byte " + std::to_string(pos);
    return asDamaged;
  }
  if (Crc32(b.data(), basic) != GetLE32(b.data() + basic)) {
    why = "header at byte " + std::to_string(pos) + " fails its CRC";
    return asDamaged;
  }
  const std::uint8_t first = b[0];
  if (first < kArjFixedHeader || first > basic) {
    why = "header at byte " + std::to_string(pos) + " has an impossible layout";
    return asDamaged;
  }
  h.Version = b[1];
  h.MinVersion = b[2];
  h.HostOs = b[3];
  h.Flags = b[4];
  h.Method = b[5];
  h.FileType = b[6];
  h.PasswordModifier = b[7];
  h.Stamp = GetLE32(&b[8]);
  h.PackedSize = GetLE32(&b[12]);
  h.OriginalSize = GetLE32(&b[16]);
  h.Crc = GetLE32(&b[20]);
  h.AccessMode = GetLE16(&b[26]);
  h.EncryptionVersion = b[28];
  if ((h.Flags & afExtFile) && first >= kArjFixedHeader + 4) h.ExtFilePos = GetLE32(&b[30]);
  std::size_t at = first, used = 0;
  h.Name = TextAt(b.data() + at, basic - at, used);
  at += used;
  h.Comment = TextAt(b.data() + at, basic - at, used);

  // Extended headers: each is inside the file, so the walk ends.
  std::int64_t p = pos + 4 + basic + 4;
  for (;;) {
    std::uint8_t sz[2];
    if (p + 2 > size || ReadStreamAt(s, p, sz, 2) != 2) {
      why = "the archive ends inside the extended headers at byte " + std::to_string(pos);
      return asDamaged;
    }
    const std::uint16_t ext = GetLE16(sz);
    p += 2;
    if (ext == 0) break;
    if (p + ext + 4 > size) {
      why = "the archive ends inside an extended header at byte " + std::to_string(p);
      return asDamaged;
    }
    p += ext + 4;
  }
  h.DataAt = p;
  h.Next = h.FileType == aftComment ? p : p + h.PackedSize;
  return asHeader;
}

std::int64_t FindArjHeader(TStream& s, std::int64_t from, std::int64_t limit, const bool* cancel) {
  const std::int64_t size = s.Size();
  const std::int64_t end = std::min(size, from + limit);
  constexpr std::int64_t kBlock = 65536;
  std::vector<std::uint8_t> buf(kBlock + 1);
  TArjHeader h;
  std::string why;
  for (std::int64_t block = std::max<std::int64_t>(from, 0); block < end; block += kBlock) {
    if (cancel && *cancel) return -1;
    const std::int64_t n = ReadStreamAt(s, block, buf.data(), std::min(kBlock + 1, size - block));
    for (std::int64_t i = 0; i + 1 < n && i < kBlock && block + i < end; ++i) {
      if (buf[i] != kId0 || buf[i + 1] != kId1) continue;
      if (ReadArjHeader(s, block + i, size, h, why) == asHeader && h.FileType == aftComment)
        return block + i;
    }
  }
  return -1;
}

std::string ArjPlatformName(const TArjHeader& h, bool translate) {
  const std::string& raw = h.Name;
  const bool system =
      h.HostOs == ahUnix || h.HostOs == ahNext || (HasNonAscii(raw) && LooksLikeUtf8Name(raw));
  // Converted first: a trail byte of a double-byte OEM name may be a "\".
  std::string name = system || !translate ? raw : OemToSystem(raw);
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

}  // namespace qmx
