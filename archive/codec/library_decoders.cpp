#include "archive/codec/library_decoders.h"

#include <bzlib.h>
#include <lzma.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace qmx {
namespace {

constexpr std::size_t kInChunk = 1 << 16;
constexpr std::size_t kOutChunk = 1 << 17;
// A hostile header must not make a decoder reserve gigabytes.
constexpr std::uint64_t kMemoryLimit = 512ull << 20;

bool Cancelled(const bool* cancel) {
  return cancel && *cancel;
}

// The input side every adapter shares: refills from read when empty.
struct TInput {
  const TLibraryRead& Read;
  std::vector<std::uint8_t> Buf = std::vector<std::uint8_t>(kInChunk);
  std::size_t Pos = 0;
  std::size_t Len = 0;
  bool Ended = false;
  // Makes bytes available; false when the packed data has ended.
  bool Fill() {
    if (Pos < Len) return true;
    if (Ended) return false;
    const std::int64_t got = Read(Buf.data(), static_cast<std::int64_t>(Buf.size()));
    Pos = 0;
    Len = got > 0 ? static_cast<std::size_t>(got) : 0;
    if (Len == 0) Ended = true;
    return Len > 0;
  }
};

TLibraryResult DecodeBZip2(TInput& in, const TLibraryWrite& write, const bool* cancel) {
  bz_stream s{};
  if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) return lrBadData;
  std::unique_ptr<bz_stream, void (*)(bz_stream*)> guard(
      &s, [](bz_stream* p) { BZ2_bzDecompressEnd(p); });
  std::vector<char> out(kOutChunk);
  for (;;) {
    if (Cancelled(cancel)) return lrStopped;
    const bool more = in.Fill();
    s.next_in = reinterpret_cast<char*>(in.Buf.data() + in.Pos);
    s.avail_in = static_cast<unsigned>(in.Len - in.Pos);
    s.next_out = out.data();
    s.avail_out = static_cast<unsigned>(out.size());
    const int r = BZ2_bzDecompress(&s);
    in.Pos = in.Len - s.avail_in;
    const std::size_t made = out.size() - s.avail_out;
    if (made > 0 && !write(out.data(), static_cast<std::int64_t>(made))) return lrStopped;
    if (r == BZ_STREAM_END) return lrDone;
    if (r != BZ_OK) return lrBadData;
    if (!more && made == 0) return lrShort;
  }
}

// Runs a set-up liblzma decoder to its end. sizeEnds: the data may lack an
// end marker, so reaching unpackedSize ends it.
TLibraryResult RunLzma(TInput& in, lzma_stream& s, bool sizeEnds, std::uint64_t unpackedSize,
                       const TLibraryWrite& write, const bool* cancel) {
  std::vector<std::uint8_t> out(kOutChunk);
  std::uint64_t total = 0;
  for (;;) {
    if (Cancelled(cancel)) return lrStopped;
    const bool more = in.Fill();
    s.next_in = in.Buf.data() + in.Pos;
    s.avail_in = in.Len - in.Pos;
    s.next_out = out.data();
    s.avail_out = out.size();
    const lzma_ret r = lzma_code(&s, more ? LZMA_RUN : LZMA_FINISH);
    in.Pos = in.Len - s.avail_in;
    const std::size_t made = out.size() - s.avail_out;
    total += made;
    if (made > 0 && !write(out.data(), static_cast<std::int64_t>(made))) return lrStopped;
    if (r == LZMA_STREAM_END) return lrDone;
    if (sizeEnds && total >= unpackedSize && (r == LZMA_OK || r == LZMA_BUF_ERROR)) return lrDone;
    if (r != LZMA_OK) return r == LZMA_BUF_ERROR ? lrShort : lrBadData;
    if (!more && made == 0) return lrShort;
  }
}

using TLzmaGuard = std::unique_ptr<lzma_stream, void (*)(lzma_stream*)>;
void EndLzma(lzma_stream* p) {
  lzma_end(p);
}

// Sets up a raw decoder for one LZMA1 or LZMA2 filter whose properties
// come from the container; false on bad or oversized properties. No match
// reaches back past the start, so output known to end at dictCap bytes
// needs no larger dictionary, whatever the properties claim.
bool InitRawLzma(lzma_stream& s, lzma_vli id, const std::uint8_t* props, std::size_t propsSize,
                 std::uint64_t dictCap) {
  lzma_filter filters[2] = {{id, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, props, propsSize) != LZMA_OK) return false;
  std::unique_ptr<void, void (*)(void*)> owner(filters[0].options, free);
  auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
  options->dict_size = static_cast<std::uint32_t>(std::min<std::uint64_t>(
      options->dict_size, std::max<std::uint64_t>(dictCap, LZMA_DICT_SIZE_MIN)));
  if (options->dict_size > kMemoryLimit) return false;
  return lzma_raw_decoder(&s, filters) == LZMA_OK;
}

// liblzma for XZ streams and for ZIP's LZMA: a 4-byte header (SDK version,
// properties size), the 5 properties bytes, then raw LZMA1 data.
TLibraryResult DecodeLzma(TInput& in, bool xz, std::uint64_t unpackedSize,
                          const TLibraryWrite& write, const bool* cancel) {
  lzma_stream s = LZMA_STREAM_INIT;
  TLzmaGuard guard(&s, EndLzma);
  if (xz) {
    if (lzma_stream_decoder(&s, kMemoryLimit, LZMA_CONCATENATED) != LZMA_OK) return lrBadData;
  } else {
    std::uint8_t head[9];
    std::size_t got = 0;
    while (got < sizeof head) {
      if (!in.Fill()) return lrShort;
      const std::size_t n = std::min(sizeof head - got, in.Len - in.Pos);
      std::memcpy(head + got, in.Buf.data() + in.Pos, n);
      in.Pos += n;
      got += n;
    }
    if (head[2] != 5 || head[3] != 0) return lrBadData;
    // ZIP's sizes may be missing or wrong: the properties alone count.
    if (!InitRawLzma(s, LZMA_FILTER_LZMA1, head + 4, 5, UINT64_MAX)) return lrBadData;
  }
  return RunLzma(in, s, !xz, unpackedSize, write, cancel);
}

TLibraryResult DecodeZstd(TInput& in, const TLibraryWrite& write, const bool* cancel) {
  std::unique_ptr<ZSTD_DStream, std::size_t (*)(ZSTD_DStream*)> d(ZSTD_createDStream(),
                                                                  ZSTD_freeDStream);
  if (!d) return lrBadData;
  // Windows beyond 128 MiB (the format's default limit) are refused.
  ZSTD_DCtx_setParameter(d.get(), ZSTD_d_windowLogMax, 27);
  std::vector<std::uint8_t> out(kOutChunk);
  std::size_t pending = 1;  // 0 once a frame is complete
  for (;;) {
    if (Cancelled(cancel)) return lrStopped;
    if (!in.Fill()) return pending == 0 ? lrDone : lrShort;
    ZSTD_inBuffer input{in.Buf.data() + in.Pos, in.Len - in.Pos, 0};
    while (input.pos < input.size || pending > 0) {
      ZSTD_outBuffer output{out.data(), out.size(), 0};
      pending = ZSTD_decompressStream(d.get(), &output, &input);
      if (ZSTD_isError(pending)) return lrBadData;
      if (output.pos > 0 && !write(out.data(), static_cast<std::int64_t>(output.pos)))
        return lrStopped;
      if (output.pos == 0 && input.pos == input.size) break;
      if (Cancelled(cancel)) return lrStopped;
    }
    in.Pos += input.pos;
  }
}

}  // namespace

bool IsLibraryMethod(int method) {
  return method == kZipMethodBZip2 || method == kZipMethodLzma || method == kZipMethodZstd ||
         method == kZipMethodXz;
}

TLibraryResult DecodeLibraryMethod(int method, std::uint64_t unpackedSize, const TLibraryRead& read,
                                   const TLibraryWrite& write, const bool* cancel) {
  TInput in{read};
  switch (method) {
    case kZipMethodBZip2:
      return DecodeBZip2(in, write, cancel);
    case kZipMethodLzma:
      return DecodeLzma(in, false, unpackedSize, write, cancel);
    case kZipMethodXz:
      return DecodeLzma(in, true, unpackedSize, write, cancel);
    case kZipMethodZstd:
      return DecodeZstd(in, write, cancel);
    default:
      return lrBadData;
  }
}

TLibraryResult DecodeRawLzma(bool lzma2, const std::uint8_t* props, std::size_t propsSize,
                             std::uint64_t unpackedSize, const TLibraryRead& read,
                             const TLibraryWrite& write, const bool* cancel) {
  if (propsSize != (lzma2 ? 1u : 5u)) return lrBadData;
  lzma_stream s = LZMA_STREAM_INIT;
  TLzmaGuard guard(&s, EndLzma);
  if (!InitRawLzma(s, lzma2 ? LZMA_FILTER_LZMA2 : LZMA_FILTER_LZMA1, props, propsSize,
                   unpackedSize))
    return lrBadData;
  TInput in{read};
  return RunLzma(in, s, !lzma2, unpackedSize, write, cancel);
}

}  // namespace qmx
