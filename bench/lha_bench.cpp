// The LHA coder at -lh5- and -lh6- against zlib's deflate at level 6 on the
// same file, and the -lh5- decoder. The input is the file named by
// QMX_LHA_BENCH_INPUT (bench/lha_vs_peers.sh makes a 64 MiB mixed one);
// with QMX_LHA_BENCH_ARCHIVE set, our -lh5- data is also written there as
// a level-0 archive, for timing other tools' extraction of it.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/codec/crc.h"
#include "archive/codec/lha_coder.h"
#include "archive/codec/lha_decoder.h"
#include "archive/codec/streams.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes& Input() {
  static const Bytes data = [] {
    const char* path = std::getenv("QMX_LHA_BENCH_INPUT");
    if (!path) return Bytes{};
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
  }();
  return data;
}

Bytes Pack(const qmx::TLhaCoderParams& params, qmx::TLhaCoderResult* result = nullptr) {
  const Bytes& in = Input();
  Bytes out;
  std::size_t at = 0;
  const auto r = qmx::LhaCompress(
      [&](void* buf, std::int64_t n) {
        const std::size_t k = std::min(static_cast<std::size_t>(n), in.size() - at);
        std::memcpy(buf, in.data() + at, k);
        at += k;
        return static_cast<std::int64_t>(k);
      },
      [&](const void* p, std::int64_t n) {
        out.insert(out.end(), static_cast<const std::uint8_t*>(p),
                   static_cast<const std::uint8_t*>(p) + n);
        return n;
      },
      static_cast<std::int64_t>(in.size()), params);
  if (result) *result = r;
  return out;
}

void Label(benchmark::State& state, std::size_t packed) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Input().size()));
  state.SetLabel("packed " + std::to_string(packed));
}

void BM_LhaCompress(benchmark::State& state) {
  if (Input().empty()) return state.SkipWithError("set QMX_LHA_BENCH_INPUT");
  const auto params = state.range(0) == 5 ? qmx::kLh5Params : qmx::kLh6Params;
  std::size_t packed = 0;
  for (auto _ : state) {
    qmx::TLhaCoderResult r;
    packed = Pack(params, &r).size();
    if (r != qmx::lcOk) state.SkipWithError("coder failed");
  }
  Label(state, packed);
}

void BM_DeflateZlib6(benchmark::State& state) {
  if (Input().empty()) return state.SkipWithError("set QMX_LHA_BENCH_INPUT");
  const Bytes& in = Input();
  Bytes out(compressBound(static_cast<uLong>(in.size())));
  std::size_t packed = 0;
  for (auto _ : state) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    packed = z.total_out;
    deflateEnd(&z);
  }
  Label(state, packed);
}

void BM_LhaDecode(benchmark::State& state) {
  if (Input().empty()) return state.SkipWithError("set QMX_LHA_BENCH_INPUT");
  static const Bytes packed = [] {
    Bytes p = Pack(qmx::kLh5Params);
    if (const char* arc = std::getenv("QMX_LHA_BENCH_ARCHIVE")) {
      // Level 0, one entry "big".
      const Bytes& in = Input();
      Bytes h = {25, 0, '-', 'l', 'h', '5', '-'};
      for (std::uint32_t v : {static_cast<std::uint32_t>(p.size()),
                              static_cast<std::uint32_t>(in.size()), 0x5D884000u})
        for (int i = 0; i < 4; ++i) h.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
      h.insert(h.end(), {0x20, 0, 3, 'b', 'i', 'g'});
      const std::uint16_t crc = qmx::Crc16(in.data(), in.size());
      h.push_back(static_cast<std::uint8_t>(crc));
      h.push_back(static_cast<std::uint8_t>(crc >> 8));
      unsigned sum = 0;
      for (std::size_t i = 2; i < h.size(); ++i) sum += h[i];
      h[1] = static_cast<std::uint8_t>(sum);
      std::ofstream f(arc, std::ios::binary);
      f.write(reinterpret_cast<const char*>(h.data()), static_cast<std::streamsize>(h.size()));
      f.write(reinterpret_cast<const char*>(p.data()), static_cast<std::streamsize>(p.size()));
      f.put(0);
    }
    return p;
  }();
  const std::int64_t size = static_cast<std::int64_t>(Input().size());
  qmx::TMemoryStream32 src;
  src.WriteBuffer(packed.data(), static_cast<std::int64_t>(packed.size()));
  for (auto _ : state) {
    src.SetPosition(0);
    qmx::TLegacyInput in(src, static_cast<std::int64_t>(packed.size()));
    std::uint16_t crc = 0;
    const int r = qmx::LhaDecode(
        in,
        [&](const void* p, std::int64_t n) {
          qmx::UpdateCrc16(p, n, crc);
          return n;
        },
        qmx::lmLh5, size);
    benchmark::DoNotOptimize(crc);
    if (r != qmx::wrOk) state.SkipWithError("decode failed");
  }
  Label(state, packed.size());
}

BENCHMARK(BM_LhaCompress)->Arg(5)->Arg(6)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DeflateZlib6)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LhaDecode)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
