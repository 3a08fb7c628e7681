#include "archive/formats/arc/arc_reader.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "archive/codec/arc_decoders.h"
#include "archive/codec/byte_order.h"
#include "archive/codec/crc.h"
#include "archive/codec/legacy_io.h"
#include "archive/codec/window_decoder.h"

namespace qmx {
namespace {

constexpr std::uint8_t kMarker = 0x1A;
constexpr std::uint32_t kFileAttr = 0x20;
constexpr int kNameBytes = 13;
constexpr std::int64_t kHeaderSize = 29;
constexpr std::int64_t kOldHeaderSize = 25;  // method 1 has no original size
// ARC itself looks this far for a lost header.
constexpr std::int64_t kHeaderSearch = 65536;
// A self-unpacking archive may start with a 3-byte jump.
constexpr std::int64_t kQuietSkip = 3;

enum TArcStep { asHeader, asEnd, asNoMarker, asShort };

// Methods ARC wrote, decodable or not: what a lost header is recognised by.
bool PlausibleMethod(int m) {
  return m >= 1 && m <= 9;
}

TArcStep ReadArcHeader(TStream& archive, std::int64_t pos, std::int64_t size, TArcHeader& h) {
  if (pos >= size) return asEnd;  // no end marker: the entries are all there
  std::uint8_t b[kHeaderSize];
  archive.Seek(pos, soFromBeginning);
  const std::int64_t got = archive.Read(b, std::min<std::int64_t>(kHeaderSize, size - pos));
  if (got < 1 || b[0] != kMarker) return asNoMarker;
  if (got < 2 || b[1] == 0) return asEnd;
  h = TArcHeader{};
  h.Method = b[1];
  const std::int64_t len = h.Method == 1 ? kOldHeaderSize : kHeaderSize;
  if (got < len) return asShort;
  const char* name = reinterpret_cast<const char*>(b + 2);
  h.Name.assign(name, std::find(name, name + kNameBytes, '\0'));
  h.PackedSize = GetLE32(b + 15);
  h.Date = GetLE16(b + 19);
  h.Time = GetLE16(b + 21);
  h.Crc = GetLE16(b + 23);
  h.OriginalSize = h.Method == 1 ? h.PackedSize : GetLE32(b + 25);
  h.HeaderAt = pos;
  h.DataAt = pos + len;
  return asHeader;
}

// The next byte from `from` on where a whole header with a known method
// and data inside the file starts; -1 when there is none within the search.
std::int64_t FindArcHeader(TStream& archive, std::int64_t from, std::int64_t size,
                           const bool* cancel) {
  const std::int64_t end = std::min(size, from + kHeaderSearch);
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(std::max<std::int64_t>(0, end - from)));
  archive.Seek(from, soFromBeginning);
  const std::int64_t got = archive.Read(buf.data(), static_cast<std::int64_t>(buf.size()));
  for (std::int64_t i = 0; i + 1 < got; ++i) {
    if (cancel && *cancel) return -1;
    if (buf[i] != kMarker || !PlausibleMethod(buf[i + 1])) continue;
    TArcHeader h;
    if (ReadArcHeader(archive, from + i, size, h) == asHeader && h.Next() <= size) return from + i;
  }
  return -1;
}

int FailCode(int r) {
  return r == wrWriteError ? E_WRITE_FILE : r == wrBadData ? E_CORRUPT_INPUT : E_READ_FILE;
}

// ARC keeps bare file names; anything that could leave the target
// directory is hostile.
bool SafeArcName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of("/\\:") == std::string::npos;
}

}  // namespace

void TUnArc::ReadArchive(std::unique_ptr<TFileStream32>& archive) {
  FEntries.clear();
  if (!archive) return;
  ListEntries(*archive);
  for (const TArcHeader& h : FEntries) {
    if (GetCancel()) break;
    ExtractEntry(*archive, h);
  }
}

bool TUnArc::ListEntries(TStream& archive) {
  const std::int64_t size = archive.Size();
  std::int64_t start = std::max<std::int64_t>(FArchivePosition, 0);
  // A stub without a known size: its archive is the first whole header
  // found, and looking for it is no damage.
  if (FArcType == atArcExe && start == 0) {
    TArcHeader h;
    if (ReadArcHeader(archive, 0, size, h) != asHeader) {
      const std::int64_t found = FindArcHeader(archive, 0, size, FCancelRef);
      if (found > 0) start = found;
    }
  }
  std::int64_t pos = start;
  while (!GetCancel()) {
    TArcHeader h;
    const TArcStep step = ReadArcHeader(archive, pos, size, h);
    if (step == asEnd) return true;
    if (step == asShort) {
      ReportError(FArchiveFile, "the archive ends inside the header at byte " + std::to_string(pos),
                  FVolumeName, E_HEADER_NOT_FOUND);
      return false;
    }
    if (step == asNoMarker) {
      const std::int64_t found = FindArcHeader(archive, pos, size, FCancelRef);
      if (found < 0) {
        ReportError(FArchiveFile, "no ARC header at byte " + std::to_string(pos), FVolumeName,
                    E_HEADER_NOT_FOUND);
        return false;
      }
      if (pos != start || found - pos > kQuietSkip)
        ReportError(FArchiveFile,
                    "no header at byte " + std::to_string(pos) + ", the next one is at byte " +
                        std::to_string(found),
                    FVolumeName, E_HEADER_NOT_FOUND);
      pos = found;
      continue;
    }
    if (IsFileInSpec(h.Name)) {
      NoteSelectedEntry(h.PackedSize, h.OriginalSize, h.DosDate());
      FEntries.push_back(h);
    }
    // An entry cut short is still decoded as far as it goes (and fails);
    // nothing can follow it.
    if (h.Next() > size) {
      if (FEntries.empty() || FEntries.back().HeaderAt != h.HeaderAt)
        ReportError(FArchiveFile, "the archive ends inside " + h.Name, FVolumeName, E_READ_FILE);
      return false;
    }
    pos = h.Next();
  }
  return false;
}

void TUnArc::RefuseEntry(const TArcHeader& h, int code, const std::string& reason) {
  RefuseCurrentEntry(code, reason, h.OriginalSize);
}

void TUnArc::ExtractEntry(TStream& archive, const TArcHeader& h) {
  TEntryInfo& e = FEntryInfo;
  e = TEntryInfo{};
  e.Known = true;
  e.Name = h.Name;
  e.PackedSize = h.PackedSize;
  e.UnpackedSize = h.OriginalSize;
  e.DosDate = h.DosDate() ? h.DosDate() : 0x00210020;
  e.Attributes = kFileAttr;
  e.Crc = h.Crc;
  // The documented table is one off from method 7 on: ARC's own listing
  // calls methods 5 to 8 crunched and 9 squashed.
  e.MethodName = h.Method >= 5 && h.Method <= 8 ? "Crunched"
                 : h.Method == 9                ? "Squashed"
                                                : MethodName(h.Method, 0, false);
  BeginEntry(h.Name);
  if (!SafeArcName(h.Name)) {
    RefuseEntry(h, E_INVALID_NAME,
                "an unsafe name \"" + h.Name + "\" at byte " + std::to_string(h.HeaderAt));
    return;
  }
  if (!ArcMethodKnown(h.Method)) {
    RefuseEntry(h, E_UNSUPPORTED_METHOD, "method " + std::to_string(h.Method));
    return;
  }
  std::unique_ptr<TFileStream32> out;
  if (!StartFileEntry(out, &archive, h.OriginalSize, false)) return;
  const std::int64_t size = archive.Size();
  archive.Seek(h.DataAt, soFromBeginning);
  const std::int64_t available =
      std::max<std::int64_t>(0, std::min<std::int64_t>(h.PackedSize, size - h.DataAt));
  TLegacyInput in(archive, available, {}, FCancelRef);
  std::uint16_t crc = 0;
  std::int64_t written = 0;
  auto write = [&](const void* b, std::int64_t n) -> std::int64_t {
    UpdateCrc16(b, n, crc);
    if (WriteBlock(out.get(), b, true, n, 16) < n) return 0;
    FBytesToDo -= n;
    written += n;
    UpdateProgress(FTotalUnpacked, h.OriginalSize, written);
    return n;
  };
  int r = wrOk;
  try {
    r = ArcDecode(in, write, h.Method, h.OriginalSize, FCancelRef);
  } catch (const std::bad_alloc&) {
    r = wrBadData;
  }
  if (r == wrOk && h.Next() > size) r = wrInputShort;
  CloseOutput(out, FFileName, e.Attributes, e.DosDate);
  if (r == wrOk && written == h.OriginalSize)
    ReportVerdict(crc == h.Crc);
  else
    ReportVerdict(false, r == wrOk ? E_CRC_FAIL : FailCode(r));
}

}  // namespace qmx
