#include "archive/formats/sevenzip/sevenzip_header.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "archive/codec/byte_order.h"
#include "archive/codec/crc.h"

namespace qmx {

namespace {

constexpr std::uint8_t k7zMark[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
constexpr std::uint64_t kMaxEncodedHeader = std::uint64_t{256} << 20;
// Headers 7-Zip writes are far smaller; one that claims more is not read whole.
constexpr std::uint64_t kMaxHeader = std::uint64_t{1} << 30;
constexpr int kMaxEncodedLevels = 4;
constexpr std::uint64_t kMaxSize = std::uint64_t{1} << 62;
constexpr std::uint32_t kMaxCoders = 64;
constexpr std::uint32_t kMaxCoderStreams = 64;

constexpr std::uint64_t kMethodAes = 0x06F10701;

enum : std::uint8_t {
  kEnd = 0x00,
  kHeader = 0x01,
  kArchiveProperties = 0x02,
  kAdditionalStreamsInfo = 0x03,
  kMainStreamsInfo = 0x04,
  kFilesInfo = 0x05,
  kPackInfo = 0x06,
  kUnPackInfo = 0x07,
  kSubStreamsInfo = 0x08,
  kSize = 0x09,
  kCrc = 0x0A,
  kFolder = 0x0B,
  kCodersUnPackSize = 0x0C,
  kNumUnPackStream = 0x0D,
  kEmptyStream = 0x0E,
  kEmptyFile = 0x0F,
  kAnti = 0x10,
  kName = 0x11,
  kMTime = 0x14,
  kWinAttributes = 0x15,
  kEncodedHeader = 0x17,
  kDummy = 0x19,
};

// A failure deep in the header.
struct TBadHeader {
  T7zStatus Status;
  std::string Why;
};

[[noreturn]] void Fail(const std::string& why, T7zStatus status = s7Damaged) {
  throw TBadHeader{status, why};
}

class THeaderReader {
 public:
  THeaderReader(const std::uint8_t* p, std::size_t n) : p_(p), end_(p + n) {}

  std::size_t Left() const { return static_cast<std::size_t>(end_ - p_); }

  std::uint8_t Byte() {
    if (p_ == end_) Fail("the header ends early");
    return *p_++;
  }

  const std::uint8_t* Take(std::uint64_t n) {
    if (n > Left()) Fail("the header ends early");
    const std::uint8_t* at = p_;
    p_ += n;
    return at;
  }

  std::uint32_t Le32() { return GetLE32(Take(4)); }
  std::uint64_t Le64() { return GetLE64(Take(8)); }

  // 7z's numbers: the leading one bits of the first byte count the bytes
  // that follow (little-endian); its other bits are the top of the value.
  std::uint64_t Number() {
    const std::uint8_t first = Byte();
    std::uint8_t mask = 0x80;
    std::uint64_t value = 0;
    int i = 0;
    for (; i < 8 && (first & mask); ++i, mask >>= 1) value |= std::uint64_t{Byte()} << (8 * i);
    if (i < 8) value |= std::uint64_t{static_cast<std::uint8_t>(first & (mask - 1))} << (8 * i);
    return value;
  }

  // A count of records that each take at least minBytes of the header.
  std::size_t Count(std::size_t minBytes = 1) {
    const std::uint64_t n = Number();
    if (n > Left() / std::max<std::size_t>(minBytes, 1))
      Fail("a count of " + std::to_string(n) + " larger than the header");
    return static_cast<std::size_t>(n);
  }

  // A count that must equal one known already.
  std::uint32_t Small(std::uint32_t limit, const char* what) {
    const std::uint64_t n = Number();
    if (n > limit) Fail(std::string("too many ") + what);
    return static_cast<std::uint32_t>(n);
  }

  std::vector<std::uint8_t> Bits(std::size_t count) {
    if ((count + 7) / 8 > Left()) Fail("the header ends early");
    std::vector<std::uint8_t> v(count);
    std::uint8_t b = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (i % 8 == 0) b = Byte();
      v[i] = (b >> (7 - i % 8)) & 1;
    }
    return v;
  }

  // An "all defined" byte, else a bit vector.
  std::vector<std::uint8_t> Defined(std::size_t count) {
    if (Byte() != 0) return std::vector<std::uint8_t>(count, 1);
    return Bits(count);
  }

  void Expect(std::uint8_t id, const char* where) {
    if (Byte() != id) Fail(std::string("a damaged ") + where);
  }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

bool AddOverflows(std::uint64_t a, std::uint64_t b, std::uint64_t& sum) {
  sum = a + b;
  return sum < a;
}

void ReadDigests(THeaderReader& r, std::size_t count, std::vector<std::uint8_t>& has,
                 std::vector<std::uint32_t>& crcs) {
  has = r.Defined(count);
  crcs.assign(count, 0);
  for (std::size_t i = 0; i < count; ++i)
    if (has[i]) crcs[i] = r.Le32();
}

void ReadPackInfo(THeaderReader& r, T7zStreams& s) {
  s.PackPos = r.Number();
  const std::size_t n = r.Count();
  s.PackSizes.assign(n, 0);
  for (;;) {
    const std::uint8_t id = r.Byte();
    if (id == kEnd) break;
    if (id == kSize) {
      for (auto& size : s.PackSizes) size = r.Number();
    } else if (id == kCrc) {
      // Checked by the folders' and entries' CRCs; 7-Zip writes none.
      std::vector<std::uint8_t> has;
      std::vector<std::uint32_t> crcs;
      ReadDigests(r, n, has, crcs);
    } else {
      Fail("an unknown record in the pack information");
    }
  }
}

void ReadFolder(THeaderReader& r, T7zFolder& f) {
  const std::uint32_t coders = r.Small(kMaxCoders, "coders in a folder");
  if (coders == 0) Fail("a folder without coders");
  std::uint64_t inputs = 0, outputs = 0;
  for (std::uint32_t i = 0; i < coders; ++i) {
    const std::uint8_t flags = r.Byte();
    if (flags & 0xC0) Fail("alternative coders", s7Unsupported);
    T7zFolder::TCoder c;
    const std::uint8_t* id = r.Take(flags & 0x0F);
    if ((flags & 0x0F) > 8) Fail("a method id longer than 8 bytes");
    for (int k = 0; k < (flags & 0x0F); ++k) c.Coder.MethodId = (c.Coder.MethodId << 8) | id[k];
    if (flags & 0x10) {
      c.Inputs = r.Small(kMaxCoderStreams, "coder streams");
      c.Outputs = r.Small(kMaxCoderStreams, "coder streams");
    }
    if (flags & 0x20) {
      const std::size_t n = r.Count();
      const std::uint8_t* p = r.Take(n);
      c.Coder.Props.assign(p, p + n);
    }
    inputs += c.Inputs;
    outputs += c.Outputs;
    f.Coders.push_back(std::move(c));
  }
  if (outputs == 0) Fail("a folder without output");
  for (std::uint64_t i = 0; i + 1 < outputs; ++i) {
    const std::uint64_t in = r.Number(), out = r.Number();
    if (in >= inputs || out >= outputs) Fail("a bind pair out of range");
    f.BindPairs.emplace_back(in, out);
  }
  if (inputs < f.BindPairs.size() + 1) Fail("a folder without packed input");
  const std::uint64_t packed = inputs - f.BindPairs.size();
  if (packed == 1) {
    for (std::uint64_t i = 0; i < inputs; ++i) {
      bool bound = false;
      for (const auto& bp : f.BindPairs) bound = bound || bp.first == i;
      if (!bound) {
        f.PackedInputs.push_back(i);
        break;
      }
    }
    if (f.PackedInputs.empty()) Fail("a folder whose inputs are all bound");
  } else {
    for (std::uint64_t i = 0; i < packed; ++i) {
      const std::uint64_t in = r.Number();
      if (in >= inputs) Fail("a packed stream out of range");
      f.PackedInputs.push_back(in);
    }
  }
}

// The coders as one chain when each has one input and one output and the
// bind pairs link them in a line onto a single packed stream.
void Normalise(T7zFolder& f) {
  f.Chain.clear();
  f.ChainSizes.clear();
  const std::size_t n = f.Coders.size();
  if (f.PackedInputs.size() != 1) return;
  for (const auto& c : f.Coders)
    if (c.Inputs != 1 || c.Outputs != 1) return;
  // Coder i has input i and output i. The folder's output is the one no
  // bind pair takes.
  std::vector<int> boundOut(n, 0), inputFrom(n, -1);
  for (const auto& [in, out] : f.BindPairs) {
    if (boundOut[out]++ || inputFrom[in] >= 0) return;
    inputFrom[in] = static_cast<int>(out);
  }
  std::size_t at = n;
  for (std::size_t i = 0; i < n; ++i)
    if (!boundOut[i]) at = at == n ? i : n + 1;
  if (at >= n) return;
  std::vector<T7zCoder> chain;
  std::vector<std::uint64_t> sizes;
  for (std::size_t step = 0; step < n; ++step) {
    chain.push_back(f.Coders[at].Coder);
    sizes.push_back(f.UnpackSizes[at]);
    if (inputFrom[at] < 0) {
      if (step + 1 != n || f.PackedInputs[0] != at) return;
      break;
    }
    at = static_cast<std::size_t>(inputFrom[at]);
  }
  if (chain.size() != n) return;
  if (!Is7zChainSupported(chain)) return;
  f.Chain = std::move(chain);
  f.ChainSizes = std::move(sizes);
}

std::uint64_t MainOutputSize(const T7zFolder& f) {
  for (std::size_t i = 0; i < f.UnpackSizes.size(); ++i) {
    bool bound = false;
    for (const auto& bp : f.BindPairs) bound = bound || bp.second == i;
    if (!bound) return f.UnpackSizes[i];
  }
  return 0;
}

void ReadUnpackInfo(THeaderReader& r, T7zStreams& s) {
  r.Expect(kFolder, "folder record");
  const std::size_t n = r.Count(2);
  if (r.Byte() != 0) Fail("folders kept outside the header", s7Unsupported);
  s.Folders.resize(n);
  for (auto& f : s.Folders) ReadFolder(r, f);
  r.Expect(kCodersUnPackSize, "folder record");
  for (auto& f : s.Folders) {
    std::uint64_t outputs = 0;
    for (const auto& c : f.Coders) outputs += c.Outputs;
    if (outputs > r.Left()) Fail("more unpack sizes than the header holds");
    f.UnpackSizes.resize(outputs);
    for (auto& size : f.UnpackSizes) {
      // Sizes go on as signed 64-bit counts.
      size = r.Number();
      if (size > kMaxSize) Fail("an unpack size of " + std::to_string(size));
    }
    f.UnpackSize = MainOutputSize(f);
  }
  for (;;) {
    const std::uint8_t id = r.Byte();
    if (id == kEnd) break;
    if (id != kCrc) Fail("an unknown record in the folder information");
    std::vector<std::uint8_t> has;
    std::vector<std::uint32_t> crcs;
    ReadDigests(r, n, has, crcs);
    for (std::size_t i = 0; i < n; ++i) {
      s.Folders[i].HasCrc = has[i] != 0;
      s.Folders[i].Crc = crcs[i];
    }
  }
}

void ReadSubStreamsInfo(THeaderReader& r, T7zStreams& s) {
  std::uint8_t id = r.Byte();
  if (id == kNumUnPackStream) {
    std::uint64_t total = 0;
    for (auto& f : s.Folders) {
      f.SubStreams = r.Number();
      // Each sub-stream but a folder's last needs a size in the header.
      if (f.SubStreams > r.Left() + 1 || AddOverflows(total, f.SubStreams, total) ||
          total > r.Left() + s.Folders.size())
        Fail("more sub-streams than the header can hold");
    }
    id = r.Byte();
  }
  std::size_t total = 0;
  for (const auto& f : s.Folders) total += static_cast<std::size_t>(f.SubStreams);
  s.SubSizes.clear();
  s.SubSizes.reserve(total);
  const bool sized = id == kSize;
  for (const auto& f : s.Folders) {
    if (f.SubStreams == 0) continue;
    std::uint64_t sum = 0;
    for (std::uint64_t i = 1; i < f.SubStreams; ++i) {
      if (!sized) Fail("sub-streams without sizes");
      const std::uint64_t size = r.Number();
      if (AddOverflows(sum, size, sum) || sum > f.UnpackSize)
        Fail("sub-streams larger than their folder");
      s.SubSizes.push_back(size);
    }
    s.SubSizes.push_back(f.UnpackSize - sum);
  }
  if (sized) id = r.Byte();
  s.SubHasCrc.assign(total, 0);
  s.SubCrcs.assign(total, 0);
  // A folder of one sub-stream with a CRC of its own lends it; the others
  // are listed here.
  std::size_t missing = 0;
  for (const auto& f : s.Folders)
    if (f.SubStreams != 1 || !f.HasCrc) missing += static_cast<std::size_t>(f.SubStreams);
  std::vector<std::uint8_t> has;
  std::vector<std::uint32_t> crcs;
  for (;;) {
    if (id == kEnd) break;
    if (id != kCrc) Fail("an unknown record in the sub-stream information");
    ReadDigests(r, missing, has, crcs);
    id = r.Byte();
  }
  std::size_t k = 0, listed = 0;
  for (const auto& f : s.Folders) {
    if (f.SubStreams == 1 && f.HasCrc) {
      s.SubHasCrc[k] = 1;
      s.SubCrcs[k++] = f.Crc;
      continue;
    }
    for (std::uint64_t i = 0; i < f.SubStreams; ++i, ++k, ++listed) {
      if (listed < has.size() && has[listed]) {
        s.SubHasCrc[k] = 1;
        s.SubCrcs[k] = crcs[listed];
      }
    }
  }
}

// StreamsInfo; also checks that the packed streams lie inside the archive.
void ReadStreamsInfo(THeaderReader& r, T7zStreams& s, std::uint64_t archiveSize) {
  bool subStreams = false;
  for (;;) {
    const std::uint8_t id = r.Byte();
    if (id == kEnd) break;
    if (id == kPackInfo)
      ReadPackInfo(r, s);
    else if (id == kUnPackInfo)
      ReadUnpackInfo(r, s);
    else if (id == kSubStreamsInfo) {
      ReadSubStreamsInfo(r, s);
      subStreams = true;
    } else
      Fail("an unknown record in the stream information");
  }
  if (!subStreams) {
    s.SubSizes.clear();
    s.SubHasCrc.clear();
    s.SubCrcs.clear();
    for (auto& f : s.Folders) {
      f.SubStreams = 1;
      s.SubSizes.push_back(f.UnpackSize);
      s.SubHasCrc.push_back(f.HasCrc);
      s.SubCrcs.push_back(f.Crc);
    }
  }
  std::uint64_t pos = 0;
  if (AddOverflows(32, s.PackPos, pos) || pos > archiveSize)
    Fail("packed streams beyond the end of the archive");
  std::vector<std::uint64_t> starts;
  for (std::uint64_t size : s.PackSizes) {
    starts.push_back(pos);
    if (AddOverflows(pos, size, pos) || pos > archiveSize)
      Fail("packed streams beyond the end of the archive");
  }
  std::uint64_t next = 0;
  for (auto& f : s.Folders) {
    f.FirstPackStream = next;
    if (f.PackedInputs.size() > s.PackSizes.size() - next)
      Fail("a folder that reads a packed stream the archive does not have");
    f.PackedSize = 0;
    for (std::size_t i = 0; i < f.PackedInputs.size(); ++i) f.PackedSize += s.PackSizes[next + i];
    next += f.PackedInputs.size();
    Normalise(f);
  }
}

void SkipArchiveProperties(THeaderReader& r) {
  while (r.Byte() != kEnd) r.Take(r.Number());
}

std::string Utf16ToUtf8(const std::uint8_t* p, std::size_t units) {
  std::string out;
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t c = GetLE16(p + 2 * i);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
      const std::uint32_t lo = GetLE16(p + 2 * i + 2);
      if (lo >= 0xDC00 && lo < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;  // a lone surrogate
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

void ReadNames(THeaderReader r, std::vector<T7zFile>& files) {
  if (r.Byte() != 0) Fail("names kept outside the header", s7Unsupported);
  for (auto& f : files) {
    const std::size_t left = r.Left() / 2;
    const std::uint8_t* start = r.Take(0);
    std::size_t units = 0;
    while (units < left && GetLE16(start + 2 * units) != 0) ++units;
    if (units == left) Fail("a name without its end");
    r.Take(2 * (units + 1));
    f.Name = Utf16ToUtf8(start, units);
  }
}

// Time and attribute records: defined bits, the external byte, values.
template <typename TSet>
void ReadValues(THeaderReader r, std::size_t count, std::size_t width, TSet set) {
  const std::vector<std::uint8_t> has = r.Defined(count);
  if (r.Byte() != 0) Fail("values kept outside the header", s7Unsupported);
  for (std::size_t i = 0; i < count; ++i)
    if (has[i]) set(i, width == 4 ? std::uint64_t{r.Le32()} : r.Le64());
}

void ReadFilesInfo(THeaderReader& r, std::vector<T7zFile>& files) {
  const std::size_t n = r.Count();
  files.assign(n, T7zFile{});
  std::vector<std::uint8_t> emptyStream, emptyFile, anti;
  std::size_t empties = 0;
  for (;;) {
    const std::uint64_t type = r.Number();
    if (type == kEnd) break;
    const std::uint64_t size = r.Number();
    THeaderReader body(r.Take(size), static_cast<std::size_t>(size));
    switch (type) {
      case kEmptyStream:
        emptyStream = body.Bits(n);
        empties = static_cast<std::size_t>(std::count(emptyStream.begin(), emptyStream.end(), 1));
        emptyFile.assign(empties, 0);
        anti.assign(empties, 0);
        break;
      case kEmptyFile:
        emptyFile = body.Bits(empties);
        break;
      case kAnti:
        anti = body.Bits(empties);
        break;
      case kName:
        ReadNames(body, files);
        break;
      case kMTime:
        ReadValues(body, n, 8, [&](std::size_t i, std::uint64_t v) {
          files[i].HasMTime = true;
          files[i].MTime = v;
        });
        break;
      case kWinAttributes:
        ReadValues(body, n, 4, [&](std::size_t i, std::uint64_t v) {
          files[i].HasAttrib = true;
          files[i].Attrib = static_cast<std::uint32_t>(v);
        });
        break;
      default:
        // Other times, start positions, padding, comments: not needed here.
        break;
    }
  }
  std::size_t e = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (emptyStream.empty() || !emptyStream[i]) continue;
    T7zFile& f = files[i];
    f.HasStream = false;
    f.IsDir = !emptyFile[e];
    f.IsAnti = anti[e] != 0;
    ++e;
  }
  for (auto& f : files)
    if (f.HasAttrib && (f.Attrib & 0x10)) f.IsDir = true;
}

// Gives each file with data its folder and sub-stream.
void MapFiles(T7zArchive& a) {
  const T7zStreams& s = a.Streams;
  std::size_t folder = 0, sub = 0, index = 0;
  for (auto& f : a.Files) {
    if (!f.HasStream) continue;
    while (folder < s.Folders.size() && index >= s.Folders[folder].SubStreams) {
      ++folder;
      index = 0;
    }
    if (folder >= s.Folders.size()) Fail("more files with data than streams");
    f.Folder = static_cast<std::int64_t>(folder);
    f.IndexInFolder = index++;
    f.Size = s.SubSizes[sub];
    f.HasCrc = s.SubHasCrc[sub] != 0;
    f.Crc = s.SubCrcs[sub];
    ++sub;
  }
}

void ReadHeader(THeaderReader& r, T7zArchive& a, std::uint64_t archiveSize) {
  std::uint8_t id = r.Byte();
  if (id == kArchiveProperties) {
    SkipArchiveProperties(r);
    id = r.Byte();
  }
  if (id == kAdditionalStreamsInfo) {
    T7zStreams unused;
    ReadStreamsInfo(r, unused, archiveSize);
    id = r.Byte();
  }
  if (id == kMainStreamsInfo) {
    ReadStreamsInfo(r, a.Streams, archiveSize);
    id = r.Byte();
  }
  if (id == kFilesInfo) {
    ReadFilesInfo(r, a.Files);
    id = r.Byte();
  }
  if (id != kEnd) Fail("an unknown record in the header");
  MapFiles(a);
}

bool ReadAll(const T7zReadAt& readAt, std::uint64_t pos, void* buf, std::uint64_t n) {
  auto* p = static_cast<std::uint8_t*>(buf);
  while (n > 0) {
    const std::int64_t got = readAt(pos, p, static_cast<std::int64_t>(n));
    if (got <= 0) return false;
    p += got;
    pos += static_cast<std::uint64_t>(got);
    n -= static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace

bool T7zFolder::Encrypted() const {
  for (const auto& c : Coders)
    if (c.Coder.MethodId == kMethodAes) return true;
  return false;
}

std::string T7zFolder::MethodName() const {
  // 7-Zip lists a chain from the folder's output inwards; other graphs in
  // the record's order, which its writer starts at the output too.
  std::string out;
  auto add = [&out](const T7zCoder& c) {
    if (!out.empty()) out += ' ';
    out += SevenZipCoderName(c);
  };
  if (Native()) {
    for (const auto& c : Chain) add(c);
  } else {
    for (const auto& c : Coders) add(c.Coder);
  }
  return out;
}

TLibraryResult Decode7zFolder(const T7zStreams& streams, std::size_t index, const T7zReadAt& readAt,
                              const TLibraryWrite& write, const bool* cancel) {
  const T7zFolder& f = streams.Folders[index];
  std::uint64_t pos = 32 + streams.PackPos;
  for (std::uint64_t i = 0; i < f.FirstPackStream; ++i) pos += streams.PackSizes[i];
  std::uint64_t left = f.PackedSize;
  TLibraryRead read = [&](void* buf, std::int64_t count) -> std::int64_t {
    const std::uint64_t want = std::min<std::uint64_t>(left, static_cast<std::uint64_t>(count));
    if (want == 0) return 0;
    const std::int64_t got = readAt(pos, buf, static_cast<std::int64_t>(want));
    if (got <= 0) return 0;
    pos += static_cast<std::uint64_t>(got);
    left -= static_cast<std::uint64_t>(got);
    return got;
  };
  return Decode7zChain(f.Chain, f.ChainSizes, read, write, cancel);
}

T7zStatus Load7zArchive(const T7zReadAt& readAt, std::uint64_t size, T7zArchive& archive,
                        std::string& why, const bool* cancel) {
  archive = T7zArchive{};
  std::uint8_t start[32];
  if (size < 32 || !ReadAll(readAt, 0, start, 32) ||
      std::memcmp(start, k7zMark, sizeof k7zMark) != 0) {
    why = "no 7z signature";
    return s7NotArchive;
  }
  if (start[6] != 0) {
    why = "format version " + std::to_string(start[6]) + "." + std::to_string(start[7]);
    return s7Unsupported;
  }
  if (Crc32(start + 12, 20) != GetLE32(start + 8)) {
    why = "the start header's CRC does not match";
    return s7Damaged;
  }
  const std::uint64_t offset = GetLE64(start + 12), length = GetLE64(start + 20);
  const std::uint32_t crc = GetLE32(start + 28);
  std::uint64_t end = 0;
  if (offset > size || AddOverflows(32 + offset, length, end) || end > size) {
    why = "the header lies beyond the end of the archive (truncated?)";
    return s7Damaged;
  }
  archive.PhysicalSize = end;
  if (length == 0) return s7Ok;  // an archive with nothing in it
  if (length > kMaxHeader) {
    why = "a header of " + std::to_string(length) + " bytes";
    return s7Unsupported;
  }
  std::vector<std::uint8_t> header;
  try {
    header.resize(static_cast<std::size_t>(length));
    if (!ReadAll(readAt, 32 + offset, header.data(), length)) {
      why = "the header cannot be read";
      return s7Damaged;
    }
    if (Crc32(header.data(), header.size()) != crc) {
      why = "the header's CRC does not match";
      return s7Damaged;
    }
    for (int level = 0;; ++level) {
      THeaderReader r(header.data(), header.size());
      const std::uint8_t id = r.Byte();
      if (id == kHeader) {
        ReadHeader(r, archive, size);
        return s7Ok;
      }
      if (id != kEncodedHeader || level >= kMaxEncodedLevels) Fail("no header record");
      archive.HeaderEncoded = true;
      T7zStreams s;
      ReadStreamsInfo(r, s, size);
      if (s.Folders.empty()) Fail("an encoded header without a folder");
      const T7zFolder& f = s.Folders[0];
      if (f.Encrypted()) Fail("the header is encrypted", s7Encrypted);
      if (!f.Native()) Fail("the header is packed with " + f.MethodName(), s7Unsupported);
      if (f.UnpackSize > kMaxEncodedHeader) Fail("an encoded header larger than 256 MiB");
      // Grown as the data comes: the size is the header's word only.
      std::vector<std::uint8_t> plain;
      const TLibraryResult res = Decode7zFolder(
          s, 0, readAt,
          [&](const void* buf, std::int64_t n) {
            if (static_cast<std::uint64_t>(n) > f.UnpackSize - plain.size()) return false;
            const auto* p = static_cast<const std::uint8_t*>(buf);
            plain.insert(plain.end(), p, p + n);
            return true;
          },
          cancel);
      if (res != lrDone || plain.size() != f.UnpackSize) Fail("the encoded header does not decode");
      if (f.HasCrc && Crc32(plain.data(), plain.size()) != f.Crc)
        Fail("the encoded header's CRC does not match");
      header = std::move(plain);
    }
  } catch (const TBadHeader& bad) {
    why = bad.Why;
    archive.Files.clear();
    return bad.Status;
  } catch (const std::bad_alloc&) {
    why = "the header is too large for memory";
    return s7Damaged;
  }
}

}  // namespace qmx
