// Deflate and inflate through the codec streams against zlib driven
// directly with the same parameters and buffer sizes, on 64 MiB of
// text-like and of mixed binary data at level 6.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "archive/base/types.h"
#include "archive/codec/codec_streams.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kInputSize = 64u << 20;
constexpr std::size_t kInChunk = 131072;   // what CopyFrom feeds the encoder
constexpr std::size_t kCodecBuf = 131070;  // the codec streams' buffer

Bytes MakeText(std::size_t n) {
  static const char* kWords[] = {
      "the",    "archive",    "of",       "entry",     "and",    "stream",  "data",
      "to",     "compressed", "file",     "name",      "is",     "which",   "header",
      "with",   "a",          "central",  "directory", "method", "deflate", "window",
      "table",  "length",     "distance", "literal",   "code",   "tree",    "block",
      "stored", "bits",       "size",     "offset",    "record"};
  std::mt19937 rng(12345);
  Bytes out;
  out.reserve(n);
  while (out.size() < n) {
    // Zipf-like choice: common words far more often than rare ones.
    const std::size_t k = std::size(kWords);
    const std::size_t i = std::min<std::size_t>(k - 1, (rng() % k) * (rng() % k) / k);
    for (const char* c = kWords[i]; *c; ++c) out.push_back(static_cast<std::uint8_t>(*c));
    const unsigned r = rng() % 16;
    out.push_back(r == 0 ? '\n' : r == 1 ? ',' : ' ');
  }
  out.resize(n);
  return out;
}

Bytes MakeBinary(std::size_t n) {
  std::mt19937 rng(54321);
  Bytes out(n);
  for (std::size_t i = 0; i < n;) {
    const std::size_t run = std::min<std::size_t>(n - i, 256 + rng() % 8192);
    const unsigned kind = rng() % 4;
    const std::uint32_t base = rng();
    for (std::size_t k = 0; k < run; ++k, ++i) {
      switch (kind) {
        case 0:  // noise
          out[i] = static_cast<std::uint8_t>(rng());
          break;
        case 1:  // little-endian counters, like tables of offsets
          out[i] = static_cast<std::uint8_t>((base + k / 4) >> (8 * (k % 4)));
          break;
        case 2:  // small values with noise, like samples
          out[i] = static_cast<std::uint8_t>(128 + static_cast<int>(rng() % 9) - 4);
          break;
        default:  // repeated records
          out[i] = static_cast<std::uint8_t>("RECORD\x01\x02\x00\x00\x10\x20"[k % 12] ^ (base & 3));
          break;
      }
    }
  }
  return out;
}

const Bytes& Input(int kind) {
  static const Bytes text = MakeText(kInputSize);
  static const Bytes binary = MakeBinary(kInputSize);
  return kind == 0 ? text : binary;
}

Bytes RawDeflate(const Bytes& in) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, in.size()));
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

const Bytes& Packed(int kind) {
  static const Bytes text = RawDeflate(Input(0));
  static const Bytes binary = RawDeflate(Input(1));
  return kind == 0 ? text : binary;
}

// Takes writes and positions like a file, keeps nothing.
class TNullStream : public qmx::TStream32 {
 public:
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void* buf, std::int64_t n) override {
    benchmark::DoNotOptimize(buf);
    pos_ += n;
    size_ = std::max(size_, pos_);
    return n;
  }
  std::int64_t Seek(std::int64_t off, int origin) override {
    pos_ = origin == qmx::soFromBeginning ? off
           : origin == qmx::soFromCurrent ? pos_ + off
                                          : size_ + off;
    return pos_;
  }
  std::int64_t size_ = 0;

 private:
  std::int64_t pos_ = 0;
};

void SetLabel(benchmark::State& state, int kind, std::size_t packed) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputSize));
  state.SetLabel(std::string(kind == 0 ? "text" : "binary") + ", ratio " +
                 std::to_string(100 * packed / kInputSize) + "%");
}

void BM_DeflateStream(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& in = Input(kind);
  std::int64_t packed = 0;
  for (auto _ : state) {
    TNullStream sink;
    qmx::TCompressStream cs(sink, qmx::dtDeflateN, -15);
    for (std::size_t off = 0; off < in.size(); off += kInChunk)
      cs.WriteBuffer(in.data() + off,
                     static_cast<std::int64_t>(std::min(kInChunk, in.size() - off)));
    cs.FinishDeflate();
    benchmark::DoNotOptimize(cs.CodecRec().Crc);
    packed = sink.size_;
  }
  SetLabel(state, kind, static_cast<std::size_t>(packed));
}

void BM_DeflateZlib(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& in = Input(kind);
  Bytes out(kCodecBuf);
  std::size_t packed = 0;
  for (auto _ : state) {
    TNullStream sink;
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    z.next_out = out.data();
    z.avail_out = kCodecBuf;
    for (std::size_t off = 0; off < in.size(); off += kInChunk) {
      z.next_in = const_cast<Bytef*>(in.data() + off);
      z.avail_in = static_cast<uInt>(std::min(kInChunk, in.size() - off));
      while (z.avail_in > 0) {
        deflate(&z, Z_NO_FLUSH);
        if (z.avail_out == 0) {
          sink.Write(out.data(), kCodecBuf);
          z.next_out = out.data();
          z.avail_out = kCodecBuf;
        }
      }
    }
    int r;
    do {
      r = deflate(&z, Z_FINISH);
      sink.Write(out.data(), kCodecBuf - z.avail_out);
      z.next_out = out.data();
      z.avail_out = kCodecBuf;
    } while (r == Z_OK);
    deflateEnd(&z);
    packed = static_cast<std::size_t>(sink.size_);
  }
  SetLabel(state, kind, packed);
}

void BM_InflateStream(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& packed = Packed(kind);
  qmx::TMemoryStream32 src;
  src.WriteBuffer(packed.data(), static_cast<std::int64_t>(packed.size()));
  Bytes out(kInChunk);
  for (auto _ : state) {
    src.SetPosition(0);
    qmx::TDecompressStream ds(src, -15);
    std::int64_t total = 0;
    while (!ds.EndOfData()) {
      const std::int64_t n = ds.Read(out.data(), kInChunk);
      if (n <= 0) break;
      benchmark::DoNotOptimize(out.data());
      total += n;
    }
    if (total != static_cast<std::int64_t>(kInputSize)) state.SkipWithError("bad output size");
  }
  SetLabel(state, kind, packed.size());
}

void BM_InflateZlib(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& packed = Packed(kind);
  Bytes in(kCodecBuf), out(kInChunk);
  for (auto _ : state) {
    z_stream z{};
    inflateInit2(&z, -15);
    std::size_t off = 0, total = 0;
    int r = Z_OK;
    while (r == Z_OK) {
      z.next_out = out.data();
      z.avail_out = kInChunk;
      while (z.avail_out > 0 && r == Z_OK) {
        if (z.avail_in == 0) {
          // Copied like a read from a file into the input buffer.
          const std::size_t n = std::min<std::size_t>(kCodecBuf, packed.size() - off);
          std::memcpy(in.data(), packed.data() + off, n);
          off += n;
          z.next_in = in.data();
          z.avail_in = static_cast<uInt>(n);
        }
        r = inflate(&z, Z_NO_FLUSH);
      }
      benchmark::DoNotOptimize(out.data());
      total += kInChunk - z.avail_out;
    }
    inflateEnd(&z);
    if (total != kInputSize) state.SkipWithError("bad output size");
  }
  SetLabel(state, kind, packed.size());
}

// Ours and zlib's side by side so that drift in machine load hits both.
BENCHMARK(BM_DeflateStream)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_DeflateZlib)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_InflateStream)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_InflateZlib)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
