#include "app/rename/manifest_patcher.h"

#include <fstream>
#include <iterator>

#include "archive/platform/ascii.h"
#include "archive/platform/files.h"

namespace qmx {
namespace {

// The label and the new value keep the window's buffer limits.
constexpr std::size_t kValueBufferBytes = 100;
constexpr std::size_t kMaxCodeUnits = 99;
constexpr std::size_t kMaxValueBytes = 99;

constexpr const char* kCR = "\r";
constexpr const char* kNoNameText = "清单中没有 MIDlet-Name: 属性，未作修改";
constexpr const char* kReadErrorText = "无法读取清单文件";
constexpr const char* kWriteErrorText = "无法写入清单文件";
constexpr const char* kTooLargeText = "清单文件大于 1 MiB，不是 J2ME 清单，未作修改";

bool IsLineEnd(char c) {
  return c == '\r' || c == '\n';
}

// Length of the line end at pos (CR LF counts as one line end).
std::size_t LineEndLength(std::string_view s, std::size_t pos) {
  if (s[pos] == '\r' && pos + 1 < s.size() && s[pos + 1] == '\n') return 2;
  return 1;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Decodes one UTF-8 sequence at s[i]; 0 bytes used when malformed.
// Four-byte sequences are accepted only when allowFour is set.
std::size_t DecodeUtf8(std::string_view s, std::size_t i, bool allowFour, char32_t& cp) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const std::size_t left = s.size() - i;
  const unsigned char c = b(0);
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  if ((c & 0xE0) == 0xC0 && left >= 2 && IsContinuation(b(1))) {
    cp = (char32_t(c & 0x1F) << 6) | (b(1) & 0x3F);
    return 2;
  }
  if ((c & 0xF0) == 0xE0 && left >= 3 && IsContinuation(b(1)) && IsContinuation(b(2))) {
    cp = (char32_t(c & 0x0F) << 12) | (char32_t(b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    // A surrogate cannot stand alone in UTF-16 text.
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
    return 3;
  }
  if (allowFour && (c & 0xF8) == 0xF0 && left >= 4 && IsContinuation(b(1)) &&
      IsContinuation(b(2)) && IsContinuation(b(3))) {
    cp = (char32_t(c & 0x07) << 18) | (char32_t(b(1) & 0x3F) << 12) | (char32_t(b(2) & 0x3F) << 6) |
         (b(3) & 0x3F);
    if (cp < 0x10000 || cp > 0x10FFFF) return 0;
    return 4;
  }
  return 0;
}

enum class TLoad { Ok, Failed, TooLarge };

// Reads at most one byte past the limit: the file may grow after its size
// was looked at.
TLoad LoadFile(const std::string& path, std::string& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return TLoad::Failed;
  data.resize(static_cast<std::size_t>(kMaxManifestSize) + 1);
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  if (in.bad()) return TLoad::Failed;
  data.resize(static_cast<std::size_t>(in.gcount()));
  if (static_cast<std::int64_t>(data.size()) > kMaxManifestSize) {
    data.clear();
    data.shrink_to_fit();
    return TLoad::TooLarge;
  }
  return TLoad::Ok;
}

bool SaveFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  out.close();
  return !out.fail();
}

}  // namespace

std::int64_t FindText(std::string_view Data, std::string_view Text, std::int64_t From) {
  if (Text.empty()) return -1;
  const auto size = static_cast<std::int64_t>(Data.size());
  const auto len = static_cast<std::int64_t>(Text.size());
  for (std::int64_t p = (From < -1 ? 0 : From + 1); p + len <= size; ++p) {
    bool match = true;
    for (std::int64_t k = 0; k < len && match; ++k)
      match = UpperAscii(Data[static_cast<std::size_t>(p + k)]) ==
              UpperAscii(Text[static_cast<std::size_t>(k)]);
    if (match) return p;
  }
  return -1;
}

TManifestValue LocateMidletName(std::string_view Manifest) {
  TManifestValue v;
  // Only an attribute that starts a line counts: "X-MIDlet-Name:" or the
  // text of another value must not be taken for it.
  std::int64_t a = FindText(Manifest, kMidletNameAttr, 1);
  while (a >= 0 && !IsLineEnd(Manifest[static_cast<std::size_t>(a - 1)]))
    a = FindText(Manifest, kMidletNameAttr, a);
  if (a < 0) return v;
  v.Found = true;
  v.AttrStart = static_cast<std::size_t>(a);
  v.ValueStart = v.AttrStart + kMidletNameAttr.size();
  // The value runs to the line end, over continuation lines (one blank
  // first), or to the end of a file whose last line has no line end.
  std::size_t i = v.ValueStart;
  v.ValueEnd = Manifest.size();
  while (i < Manifest.size()) {
    if (!IsLineEnd(Manifest[i])) {
      ++i;
      continue;
    }
    const std::size_t next = i + LineEndLength(Manifest, i);
    if (next < Manifest.size() && Manifest[next] == ' ') {
      i = next + 1;
      continue;
    }
    v.ValueEnd = i;
    break;
  }
  return v;
}

std::string UnfoldValue(std::string_view RawValue) {
  std::string out;
  for (std::size_t i = 0; i < RawValue.size();) {
    if (IsLineEnd(RawValue[i])) {
      const std::size_t next = i + LineEndLength(RawValue, i);
      if (next < RawValue.size() && RawValue[next] == ' ') {
        i = next + 1;
        continue;
      }
    }
    out += RawValue[i++];
  }
  return out;
}

std::string OldNameLabel(std::string_view Value) {
  std::string_view bytes = Value.substr(0, kValueBufferBytes);
  if (auto zero = bytes.find('\0'); zero != std::string_view::npos) bytes = bytes.substr(0, zero);
  std::string out;
  std::size_t units = 0;
  for (std::size_t i = 0; i < bytes.size() && units < kMaxCodeUnits;) {
    char32_t cp = 0;
    const std::size_t used = DecodeUtf8(bytes, i, false, cp);
    if (used == 0 || cp == 0) break;
    AppendUtf8(out, cp);
    ++units;
    i += used;
  }
  return out;
}

std::string NewValueBytes(const std::string& NewName) {
  std::string text = " ";
  for (char c : NewName) {
    if (c == '\0') break;
    if (!IsLineEnd(c)) text += c;
  }
  std::string out;
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    std::size_t used = DecodeUtf8(text, i, true, cp);
    if (used == 0) {
      // A byte that is not UTF-8 becomes the replacement character.
      cp = 0xFFFD;
      used = 1;
    }
    const std::size_t need = cp >= 0x10000 ? 2 : 1;
    if (units + need > kMaxCodeUnits) break;
    std::string encoded;
    AppendUtf8(encoded, cp);
    if (out.size() + encoded.size() > kMaxValueBytes) break;
    out += encoded;
    units += need;
    i += used;
  }
  return out;
}

std::string PatchManifestBytes(std::string_view Manifest, const std::string& NewName,
                               std::string* OldName, bool* Found) {
  const TManifestValue v = LocateMidletName(Manifest);
  if (Found) *Found = v.Found;
  if (!v.Found) return std::string(Manifest);
  const std::string_view raw = Manifest.substr(v.ValueStart, v.ValueEnd - v.ValueStart);
  if (OldName) *OldName = OldNameLabel(UnfoldValue(raw));
  std::string out;
  out.reserve(Manifest.size() + kMaxValueBytes);
  out.append(Manifest.substr(0, v.ValueStart));
  out += NewValueBytes(NewName);
  out.append(Manifest.substr(v.ValueEnd));
  return out;
}

TPatchResult PatchManifest(const std::string& Path, const std::string& NewName) {
  TPatchResult r;
  std::string data;
  const TLoad load =
      FileSizeByName(Path) > kMaxManifestSize ? TLoad::TooLarge : LoadFile(Path, data);
  if (load != TLoad::Ok) {
    r.Status = psReadError;
    r.Message = Path + kCR + kCR + (load == TLoad::TooLarge ? kTooLargeText : kReadErrorText);
    return r;
  }
  bool found = false;
  const std::string patched = PatchManifestBytes(data, NewName, &r.OldName, &found);
  if (!found) {
    r.Status = psNoName;
    r.Message = Path + kCR + kCR + kNoNameText;
    return r;
  }
  if (!SaveFile(Path, patched)) {
    r.Status = psWriteError;
    r.Message = Path + kCR + kCR + kWriteErrorText;
    return r;
  }
  r.Status = psPatched;
  return r;
}

}  // namespace qmx
