#include "archive/formats/tar/tar_walk.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace qmx {
namespace {

constexpr std::size_t kSizeAt = 124, kModeAt = 100, kTimeAt = 136, kTypeAt = 156,
                      kLinkAt = 157, kMagicAt = 257, kPrefixAt = 345;
// GNU long names and pax records are names and a few numbers: anything
// bigger is damage, not a header to load into memory.
constexpr std::int64_t kMaxExtendedHeader = 1 << 20;
// Real writers put at most three before an entry (L, K, x); a run of them
// without end is damage too.
constexpr int kMaxExtendedHeaders = 32;

std::string Field(const std::uint8_t* p, std::size_t length) {
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(p, 0, length));
  return std::string(reinterpret_cast<const char*>(p), end ? static_cast<std::size_t>(end - p)
                                                           : length);
}

// The pax records of an extended header that matter here.
struct TPaxValues {
  bool HasPath = false, HasSize = false, HasMTime = false, HasLink = false;
  bool Sparse = false;
  std::string Path, LinkPath;
  std::int64_t Size = 0;
  std::int64_t MTime = 0;
};

// Decimal seconds may carry a fraction; a sign only on times.
bool PaxNumber(const std::string& s, std::int64_t& out) {
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && s[i] == '-') negative = true, ++i;
  if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
  std::int64_t n = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (n > (INT64_MAX - 9) / 10) return false;
    n = n * 10 + (s[i] - '0');
  }
  out = negative ? -n : n;
  return true;
}

// "length key=value\n" records; a malformed record ends the parse (the
// values before it stand).
void ParsePax(const std::string& text, TPaxValues& v) {
  std::size_t p = 0;
  while (p < text.size()) {
    const std::size_t sp = text.find(' ', p);
    if (sp == std::string::npos || sp == p || sp - p > 18) return;
    std::int64_t length = 0;
    for (std::size_t i = p; i < sp; ++i) {
      if (text[i] < '0' || text[i] > '9') return;
      length = length * 10 + (text[i] - '0');
    }
    if (length <= static_cast<std::int64_t>(sp - p + 1) ||
        length > static_cast<std::int64_t>(text.size() - p) || text[p + length - 1] != '\n')
      return;
    const std::string record = text.substr(sp + 1, p + length - 1 - (sp + 1));
    p += static_cast<std::size_t>(length);
    const std::size_t eq = record.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = record.substr(0, eq);
    // A NUL would end the name early wherever it is used.
    std::string value = record.substr(eq + 1);
    value = value.substr(0, value.find('\0'));
    if (key.rfind("GNU.sparse.", 0) == 0) v.Sparse = true;
    std::int64_t n;
    if (key == "path" || key == "GNU.sparse.name") {
      v.HasPath = true;
      v.Path = value;
    } else if (key == "linkpath") {
      v.HasLink = true;
      v.LinkPath = value;
    } else if (key == "size") {
      if (PaxNumber(value, n) && n >= 0) v.HasSize = true, v.Size = n;
    } else if (key == "mtime") {
      if (PaxNumber(value, n)) v.HasMTime = true, v.MTime = n;
    }
  }
}

bool IsZeroBlock(const TTarHeader& b) {
  return std::all_of(b.begin(), b.end(), [](std::uint8_t c) { return c == 0; });
}

}  // namespace

TTarStep ReadTarEntry(TStream& archive, std::int64_t pos, TTarEntryHead& out, std::string& why) {
  out = TTarEntryHead{};
  out.Start = pos;
  why.clear();
  const std::int64_t size = archive.Size();
  std::string longName, longLink;
  bool hasLongName = false, hasLongLink = false;
  TPaxValues pax;
  bool pending = false;
  auto damaged = [&](const std::string& what) {
    why = what + " at byte " + std::to_string(pos);
    return tsDamaged;
  };
  TTarHeader& b = out.Header;
  for (int extended = 0;; ++extended) {
    if (pos < 0 || pos > size - kTarBlock ||
        ReadStreamAt(archive, pos, b.data(), kTarBlock) != kTarBlock || IsZeroBlock(b))
      return pending ? damaged("extended header without its entry") : tsEnd;
    if (!TarChecksumMatches(b.data())) return damaged("damaged tar header");
    const char type = static_cast<char>(b[kTypeAt]);
    std::int64_t dataSize = TarNumber(&b[kSizeAt], 12);
    if (dataSize < 0) return damaged("tar header with an impossible size");
    const std::int64_t data = pos + kTarBlock;
    if (type != 'L' && type != 'K' && type != 'x' && type != 'g' && type != 'X') {
      out.HeaderAt = pos;
      out.Type = type == '\0' ? '0' : type;
      std::int64_t dataAt = data;
      // An old GNU sparse header may go on in extension blocks.
      if (type == 'S' && b[482] != 0) {
        TTarHeader ext{};
        do {
          if (ReadStreamAt(archive, dataAt, ext.data(), kTarBlock) != kTarBlock) break;
          dataAt += kTarBlock;
        } while (ext[504] != 0);
      }
      out.Data = dataAt;
      if (pax.HasSize) dataSize = pax.Size;
      out.Size = dataSize;
      out.Span = std::strchr("123465", out.Type) != nullptr ? 0 : dataSize;
      // A size past what any file holds cannot be stepped over.
      if (out.Span > INT64_MAX - dataAt - kTarBlock)
        return damaged("tar header with an impossible size");
      out.Next = dataAt + out.Span + TarPadding(out.Span);
      out.MTime = pax.HasMTime ? pax.MTime : TarNumber(&b[kTimeAt], 12);
      out.Mode = static_cast<std::uint32_t>(std::max<std::int64_t>(TarNumber(&b[kModeAt], 8), 0) &
                                            07777);
      out.UstarMagic = std::memcmp(&b[kMagicAt], "ustar\0", 6) == 0;
      if (pax.HasPath) {
        out.Name = pax.Path;
      } else if (hasLongName) {
        out.Name = longName;
      } else {
        out.Name = Field(b.data(), 100);
        // The prefix field exists only under the POSIX magic; GNU headers
        // keep times and sparse maps there.
        if (out.UstarMagic) {
          const std::string prefix = Field(&b[kPrefixAt], 155);
          if (!prefix.empty()) out.Name = prefix + "/" + out.Name;
        }
      }
      out.LinkName = pax.HasLink ? pax.LinkPath : hasLongLink ? longLink : Field(&b[kLinkAt], 100);
      out.PaxSparse = pax.Sparse;
      return tsEntry;
    }
    if (extended >= kMaxExtendedHeaders) return damaged("too many extended headers");
    if (dataSize > kMaxExtendedHeader || dataSize > size - data)
      return damaged("oversized or truncated extended header");
    std::string text(static_cast<std::size_t>(dataSize), '\0');
    if (ReadStreamAt(archive, data, text.data(), dataSize) != dataSize)
      return damaged("truncated extended header");
    if (type == 'L') {
      hasLongName = true;
      longName = text.substr(0, text.find('\0'));
    } else if (type == 'K') {
      hasLongLink = true;
      longLink = text.substr(0, text.find('\0'));
    } else if (type == 'x' || type == 'X') {
      ParsePax(text, pax);
    }
    // Global records ("g") hold defaults nobody relies on for names.
    pending = pending || type != 'g';
    pos = data + dataSize + TarPadding(dataSize);
  }
}

}  // namespace qmx
