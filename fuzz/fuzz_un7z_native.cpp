// The native 7z header parser and folder decoding over arbitrary bytes:
// the start header, the (encoded) header, folder graphs, sub-streams and
// file records (the CRCs set to match, so that mutations reach them),
// then each folder decoded with its output capped; and the
// reader's test run over the same bytes as a file where the native path
// takes it (libarchive's side has fuzz_unrar7z).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "archive/codec/crc.h"
#include "archive/formats/sevenzip/sevenzip_format.h"
#include "archive/formats/sevenzip/sevenzip_header.h"
#include "fuzz/fuzz_support.h"

namespace {

// Mutations would rarely get past the header CRCs: they are set right
// here, so the parser behind them sees the changed bytes.
void FixCrcs(std::vector<std::uint8_t>& b) {
  if (b.size() < 32 || std::memcmp(b.data(), "7z\xBC\xAF\x27\x1C", 6) != 0) return;
  std::uint64_t offset = 0, length = 0;
  for (int i = 7; i >= 0; --i) {
    offset = offset << 8 | b[12 + i];
    length = length << 8 | b[20 + i];
  }
  if (offset <= b.size() - 32 && length <= b.size() - 32 - offset) {
    const std::uint32_t crc = qmx::Crc32(b.data() + 32 + offset, static_cast<std::size_t>(length));
    for (int i = 0; i < 4; ++i) b[28 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  }
  const std::uint32_t start = qmx::Crc32(b.data() + 12, 20);
  for (int i = 0; i < 4; ++i) b[8 + i] = static_cast<std::uint8_t>(start >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* raw, std::size_t size) {
  std::vector<std::uint8_t> bytes(raw, raw + size);
  FixCrcs(bytes);
  const std::uint8_t* data = bytes.data();
  const qmx::T7zReadAt readAt = [&](std::uint64_t pos, void* buf,
                                    std::int64_t count) -> std::int64_t {
    if (pos >= size) return 0;
    const auto n = static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(count), size - pos));
    std::memcpy(buf, data + pos, n);
    return static_cast<std::int64_t>(n);
  };
  qmx::T7zArchive a;
  std::string why;
  if (qmx::Load7zArchive(readAt, size, a, why, nullptr) != qmx::s7Ok) return 0;
  bool native = true;
  for (std::size_t i = 0; i < a.Streams.Folders.size(); ++i) {
    if (!a.Streams.Folders[i].Native()) {
      native = false;
      continue;
    }
    if (i >= 16) continue;
    std::uint64_t out = 0;
    qmx::Decode7zFolder(
        a.Streams, i, readAt,
        [&out](const void*, std::int64_t n) {
          out += static_cast<std::uint64_t>(n);
          return out < (std::uint64_t{1} << 24);
        },
        nullptr);
  }
  if (!native) return 0;
  static const qmx::fuzz::TMemoryFile file("fuzz-un7z-native");
  if (!file.Fill(data, size)) return 0;
  qmx::TUn7z reader;
  reader.SetArchiveFile(file.Path());
  if (reader.ArchiveFile().empty()) return 0;
  reader.SetFileSpec({"*.*"});
  reader.OnError = [](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                      int) {};
  reader.Test();
  return 0;
}
