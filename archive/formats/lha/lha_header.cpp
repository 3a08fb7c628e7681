#include "archive/formats/lha/lha_header.h"

#include <algorithm>
#include <cstring>

#include "archive/codec/crc.h"
#include "archive/platform/codepage.h"
#include "archive/platform/files.h"

namespace qmx {
namespace {

// Bases of the levels: the bytes before the first extended header.
constexpr std::size_t kLevel2Base = 26;
constexpr std::size_t kLevel3Base = 32;
// Sizes past 2^62 would overflow the position arithmetic; no real entry
// comes near.
constexpr std::uint64_t kMaxEntrySize = std::uint64_t{1} << 62;

std::uint32_t Le(const std::uint8_t* p, int n) {
  std::uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::uint64_t Le64(const std::uint8_t* p) {
  return Le(p, 4) | (static_cast<std::uint64_t>(Le(p + 4, 4)) << 32);
}

void PutLe(std::uint8_t* p, std::uint32_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool Fail(std::string& why, const std::string& what) {
  why = what;
  return false;
}

// Walks the chain of extended headers in raw[pos, limit): each is a type
// byte, its data, and the size of the next one in width bytes; its own size
// came from the one before.
struct TExtWalk {
  std::string Dir, File;
  bool HaveFile = false;
  std::int64_t Total = 0;
  std::int64_t HeaderCrcAt = -1;
  std::uint16_t HeaderCrc = 0;
  bool Have64 = false;
  std::uint64_t Packed64 = 0, Original64 = 0;
};

bool WalkExtensions(const std::vector<std::uint8_t>& raw, std::size_t pos, std::size_t limit,
                    std::uint32_t nextSize, int width, TLhaHeader& h, TExtWalk& w,
                    std::string& why) {
  const std::size_t start = pos;
  while (nextSize != 0) {
    if (nextSize < 1u + static_cast<unsigned>(width))
      return Fail(why, "an extended header of " + std::to_string(nextSize) + " bytes");
    if (nextSize > limit - pos) return Fail(why, "an extended header runs past the header");
    const std::uint8_t* e = raw.data() + pos;
    const std::size_t dataLen = nextSize - 1 - static_cast<std::size_t>(width);
    const std::uint8_t* d = e + 1;
    switch (e[0]) {
      case 0x00:  // CRC-16 of the whole header
        if (dataLen >= 2) {
          w.HeaderCrcAt = static_cast<std::int64_t>(pos + 1);
          w.HeaderCrc = static_cast<std::uint16_t>(Le(d, 2));
        }
        break;
      case 0x01:
        w.File.assign(reinterpret_cast<const char*>(d), dataLen);
        w.HaveFile = true;
        break;
      case 0x02:
        w.Dir.assign(reinterpret_cast<const char*>(d), dataLen);
        break;
      case 0x40:
        if (dataLen >= 1) h.Attr = d[0];
        break;
      case 0x42:
        if (dataLen >= 16) {
          w.Have64 = true;
          w.Packed64 = Le64(d);
          w.Original64 = Le64(d + 8);
        }
        break;
      case 0x50:
        if (dataLen >= 2) h.UnixMode = Le(d, 2);
        break;
      case 0x54:
        if (dataLen >= 4) h.UnixTime = Le(d, 4);
        break;
      default:
        break;
    }
    pos += nextSize;
    nextSize = Le(e + dataLen + 1, width);
  }
  w.Total = static_cast<std::int64_t>(pos - start);
  return true;
}

// Names may end in NUL padding; nothing after it is part of them.
std::string CutAtNul(const std::string& s) {
  const std::size_t z = s.find('\0');
  return z == std::string::npos ? s : s.substr(0, z);
}

}  // namespace

bool TLhaHeader::IsDirectory() const {
  return std::memcmp(Method, "-lhd-", 5) == 0;
}

std::string LhaPlatformName(const TLhaHeader& h, bool translate) {
  const std::string& raw = h.Name;
  // Unix writers store the system's bytes; so do many others in UTF-8.
  const bool system = h.OsId == 'U' || (HasNonAscii(raw) && LooksLikeUtf8Name(raw));
  // Converted first: a trail byte of a double-byte OEM name may be a "\".
  std::string name = system || !translate ? raw : OemToSystem(raw);
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

bool IsLhaMethodId(const std::uint8_t* p) {
  if (p[0] != '-' || p[4] != '-') return false;
  for (int i = 1; i < 4; ++i)
    if (p[i] < 0x20 || p[i] > 0x7E) return false;
  return true;
}

std::uint8_t LhaHeaderChecksum(const std::uint8_t* header, std::size_t headerSize) {
  std::uint32_t sum = 0;
  for (std::size_t i = 2; i < headerSize + 2; ++i) sum += header[i];
  return static_cast<std::uint8_t>(sum);
}

bool ParseLhaHeader(const std::vector<std::uint8_t>& raw, TLhaHeader& h, std::string& why) {
  const std::int64_t at = h.HeaderAt;
  const std::vector<std::uint8_t> keep = raw;
  h = TLhaHeader{};
  h.HeaderAt = at;
  h.Raw = keep;
  const std::vector<std::uint8_t>& r = h.Raw;
  const std::uint8_t* b = r.data();
  if (r.size() < 22) return Fail(why, "a header cut short");
  if (!IsLhaMethodId(b + 2)) return Fail(why, "no method id");
  std::memcpy(h.Method, b + 2, 5);
  h.Level = b[20];
  std::uint64_t packed = Le(b + 7, 4);
  std::uint64_t original = Le(b + 11, 4);
  const std::uint32_t stamp = Le(b + 15, 4);
  TExtWalk w;
  std::string baseName;
  std::size_t headerLength = 0;

  switch (h.Level) {
    case 0:
    case 1: {
      const std::size_t size = b[0];
      headerLength = size + 2;
      const std::size_t n = b[21];
      const std::size_t need = h.Level == 0 ? 22 + n : 25 + n;
      if (size < need || r.size() < headerLength)
        return Fail(why, "a level-" + std::to_string(h.Level) + " header of " +
                             std::to_string(size) + " bytes with a name of " + std::to_string(n));
      if (LhaHeaderChecksum(b, size) != b[1]) return Fail(why, "a header checksum error");
      baseName.assign(reinterpret_cast<const char*>(b + 22), n);
      h.Crc = static_cast<std::uint16_t>(Le(b + 22 + n, 2));
      h.DosDate = stamp;
      h.Attr = b[19];
      if (h.Level == 0) {
        // The generic extension of Unix writers: OS id, version, time and
        // mode.
        const std::size_t extra = headerLength - (24 + n);
        const std::uint8_t* x = b + 24 + n;
        if (extra >= 1) h.OsId = x[0];
        if (extra >= 12 && x[0] == 'U') {
          h.UnixTime = Le(x + 2, 4);
          h.UnixMode = Le(x + 6, 2);
        }
      } else {
        h.OsId = b[24 + n];
        const std::uint32_t next = Le(b + size, 2);
        if (!WalkExtensions(r, headerLength, r.size(), next, 2, h, w, why)) return false;
        // The packed size of level 1 counts its extended headers.
        if (static_cast<std::uint64_t>(w.Total) > packed)
          return Fail(why, "extended headers larger than the entry");
        packed -= static_cast<std::uint64_t>(w.Total);
        headerLength += static_cast<std::size_t>(w.Total);
      }
      break;
    }
    case 2:
    case 3: {
      const std::size_t base = h.Level == 2 ? kLevel2Base : kLevel3Base;
      if (r.size() < base) return Fail(why, "a header cut short");
      if (h.Level == 3 && Le(b, 2) != 4) return Fail(why, "a level-3 header of unknown width");
      headerLength = h.Level == 2 ? Le(b, 2) : Le(b + 24, 4);
      if (headerLength < base || headerLength > r.size())
        return Fail(why, "a level-" + std::to_string(h.Level) + " header of " +
                             std::to_string(headerLength) + " bytes");
      h.Crc = static_cast<std::uint16_t>(Le(b + 21, 2));
      h.OsId = b[23];
      h.UnixTime = stamp;
      const int width = h.Level == 2 ? 2 : 4;
      const std::uint32_t next = Le(b + base - width, width);
      if (!WalkExtensions(r, base, headerLength, next, width, h, w, why)) return false;
      if (w.HeaderCrcAt >= 0) {
        std::vector<std::uint8_t> copy(r.begin(),
                                       r.begin() + static_cast<std::ptrdiff_t>(headerLength));
        copy[static_cast<std::size_t>(w.HeaderCrcAt)] = 0;
        copy[static_cast<std::size_t>(w.HeaderCrcAt) + 1] = 0;
        if (Crc16(copy.data(), copy.size()) != w.HeaderCrc) return Fail(why, "a header CRC error");
      }
      break;
    }
    default:
      return Fail(why, "an unknown header level " + std::to_string(h.Level));
  }
  if (w.Have64) {
    packed = w.Packed64;
    original = w.Original64;
  }
  if (packed > kMaxEntrySize || original > kMaxEntrySize) return Fail(why, "an impossible size");
  h.PackedSize = static_cast<std::int64_t>(packed);
  h.OriginalSize = static_cast<std::int64_t>(original);
  h.Raw.resize(headerLength);
  h.DataAt = at + static_cast<std::int64_t>(headerLength);
  h.Next = h.DataAt + h.PackedSize;
  if (h.UnixTime >= 0) h.DosDate = UnixToDosDateTime(static_cast<std::time_t>(h.UnixTime));

  std::string file = CutAtNul(w.HaveFile ? w.File : baseName);
  std::string dir = CutAtNul(w.Dir);
  std::replace(dir.begin(), dir.end(), '\xFF', '/');
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
  // Unix writers keep a symbolic link's target after a "|".
  const bool link = (h.UnixMode & 0170000) == 0120000 || (h.OsId == 'U' && h.IsDirectory());
  const std::size_t bar = file.find('|');
  if (link && bar != std::string::npos) {
    h.LinkTarget = file.substr(bar + 1);
    file.erase(bar);
    if (h.LinkTarget.empty()) h.LinkTarget = ".";
  }
  h.Name = dir + file;
  if (h.IsDirectory() && !h.IsSymLink() && !h.Name.empty() && h.Name.back() != '/' &&
      h.Name.back() != '\\')
    h.Name += '/';
  return true;
}

TLhaStep ReadLhaHeader(TStream& archive, std::int64_t pos, std::int64_t size, TLhaHeader& h,
                       std::string& why) {
  h = TLhaHeader{};
  h.HeaderAt = pos;
  const std::int64_t left = size - pos;
  if (left < 1) return lsEnd;
  std::vector<std::uint8_t> raw(static_cast<std::size_t>(std::min<std::int64_t>(left, 32)));
  const std::int64_t got =
      ReadStreamAt(archive, pos, raw.data(), static_cast<std::int64_t>(raw.size()));
  if (got < 1) return lsEnd;
  raw.resize(static_cast<std::size_t>(got));
  // Level 2 keeps a 16-bit size, whose low byte may be 0; everything else
  // with a first byte of 0 is the end mark.
  const bool header = raw.size() >= 22 && IsLhaMethodId(raw.data() + 2);
  if (!header) {
    if (raw[0] != 0 && raw.size() >= 7 && IsLhaMethodId(raw.data() + 2)) {
      why = "a header cut short at byte " + std::to_string(pos);
      return lsDamaged;
    }
    return lsEnd;
  }
  const int level = raw[20];
  if (raw[0] == 0 && level != 2) return lsEnd;

  std::size_t length = 0;
  if (level == 0 || level == 1) {
    length = static_cast<std::size_t>(raw[0]) + 2;
  } else if (level == 2) {
    length = Le(raw.data(), 2);
  } else if (level == 3 && raw.size() >= kLevel3Base) {
    length = Le(raw.data() + 24, 4);
  } else {
    why = "a header of unknown level " + std::to_string(level) + " at byte " + std::to_string(pos);
    return lsDamaged;
  }
  if (length < 22 || length > kLhaMaxHeader || static_cast<std::int64_t>(length) > left) {
    why = "a header of " + std::to_string(length) + " bytes at byte " + std::to_string(pos);
    return lsDamaged;
  }
  raw.resize(length);
  if (ReadStreamAt(archive, pos, raw.data(), static_cast<std::int64_t>(length)) !=
      static_cast<std::int64_t>(length)) {
    why = "a header cut short at byte " + std::to_string(pos);
    return lsDamaged;
  }
  if (level == 1 && length >= 27) {
    // The extended headers of level 1 follow the base without a total:
    // gather them one by one.
    std::uint32_t next = Le(raw.data() + length - 2, 2);
    while (next != 0) {
      const std::size_t at = raw.size();
      if (next < kLhaExtOverhead || raw.size() + next > kLhaMaxHeader ||
          static_cast<std::int64_t>(at + next) > left) {
        why = "an extended header cut short at byte " +
              std::to_string(pos + static_cast<std::int64_t>(at));
        return lsDamaged;
      }
      raw.resize(at + next);
      if (ReadStreamAt(archive, pos + static_cast<std::int64_t>(at), raw.data() + at, next) !=
          static_cast<std::int64_t>(next)) {
        why = "an extended header cut short";
        return lsDamaged;
      }
      next = Le(raw.data() + raw.size() - 2, 2);
    }
  }
  h.HeaderAt = pos;
  if (!ParseLhaHeader(raw, h, why)) {
    why += " at byte " + std::to_string(pos);
    return lsDamaged;
  }
  return lsEntry;
}

std::vector<std::uint8_t> BuildLhaHeader(const TLhaNewHeader& e) {
  std::vector<std::uint8_t> h;
  auto fixed = [&](std::size_t nameLen, int level, std::uint32_t packed) {
    h.assign(22, 0);
    std::memcpy(&h[2], e.Method, 5);
    PutLe(&h[7], packed, 4);
    PutLe(&h[11], e.OriginalSize, 4);
    PutLe(&h[15], e.DosDate, 4);
    h[19] = e.Attr;
    h[20] = static_cast<std::uint8_t>(level);
    h[21] = static_cast<std::uint8_t>(nameLen);
  };
  if (e.Name.size() <= kLhaLevel0MaxName) {
    std::string name = e.Name;
    std::replace(name.begin(), name.end(), '/', '\\');
    fixed(name.size(), 0, e.PackedSize);
    h.insert(h.end(), name.begin(), name.end());
    h.push_back(static_cast<std::uint8_t>(e.Crc));
    h.push_back(static_cast<std::uint8_t>(e.Crc >> 8));
    h[0] = static_cast<std::uint8_t>(h.size() - 2);
    h[1] = LhaHeaderChecksum(h.data(), h[0]);
    return h;
  }

  // Level 1: an empty base name, the name in extended headers.
  std::string dir, file = e.Name;
  const std::size_t cut = e.Name.rfind('/');
  if (cut != std::string::npos) {
    dir = e.Name.substr(0, cut + 1);
    file = e.Name.substr(cut + 1);
    std::replace(dir.begin(), dir.end(), '/', '\xFF');
  }
  if (dir.size() + kLhaExtOverhead > 0xFFFF || file.size() + kLhaExtOverhead > 0xFFFF) return {};
  std::vector<std::pair<std::uint8_t, std::string>> exts;
  if (!file.empty()) exts.emplace_back(0x01, file);
  if (!dir.empty()) exts.emplace_back(0x02, dir);
  std::uint32_t extTotal = 0;
  for (const auto& x : exts)
    extTotal += static_cast<std::uint32_t>(x.second.size() + kLhaExtOverhead);
  if (e.PackedSize > 0xFFFFFFFFu - extTotal) return {};
  fixed(0, 1, e.PackedSize + extTotal);
  h.push_back(static_cast<std::uint8_t>(e.Crc));
  h.push_back(static_cast<std::uint8_t>(e.Crc >> 8));
  h.push_back('M');
  auto putSize = [&h](std::size_t n) {
    h.push_back(static_cast<std::uint8_t>(n));
    h.push_back(static_cast<std::uint8_t>(n >> 8));
  };
  putSize(exts.empty() ? 0 : exts[0].second.size() + kLhaExtOverhead);
  h[0] = static_cast<std::uint8_t>(h.size() - 2);
  h[1] = LhaHeaderChecksum(h.data(), h[0]);
  for (std::size_t i = 0; i < exts.size(); ++i) {
    h.push_back(exts[i].first);
    h.insert(h.end(), exts[i].second.begin(), exts[i].second.end());
    putSize(i + 1 < exts.size() ? exts[i + 1].second.size() + kLhaExtOverhead : 0);
  }
  return h;
}

}  // namespace qmx
