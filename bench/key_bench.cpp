// Key setup of one AES-256 ZIP entry (66 bytes of PBKDF2-HMAC-SHA1, 1000
// iterations): ours against OpenSSL's PKCS5 routine. Archives with many
// small entries pay this once per entry.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>

#include "archive/codec/pbkdf2.h"

namespace {

constexpr std::array<std::uint8_t, 6> kPassword = {'S', 'E', 'C', 'R', 'E', 'T'};
constexpr std::array<std::uint8_t, 16> kSalt = {1, 2,  3,  4,  5,  6,  7,  8,
                                                9, 10, 11, 12, 13, 14, 15, 16};
constexpr int kIterations = 1000;

void BM_Pbkdf2Ours(benchmark::State& state) {
  std::array<std::uint8_t, 66> out{};
  for (auto _ : state) {
    qmx::Pbkdf2HmacSha1(kPassword, kSalt, kIterations, out);
    benchmark::DoNotOptimize(out);
  }
}

void BM_Pbkdf2OpenSsl(benchmark::State& state) {
  std::array<std::uint8_t, 66> out{};
  for (auto _ : state) {
    PKCS5_PBKDF2_HMAC_SHA1(reinterpret_cast<const char*>(kPassword.data()), kPassword.size(),
                           kSalt.data(), kSalt.size(), kIterations, out.size(), out.data());
    benchmark::DoNotOptimize(out);
  }
}

}  // namespace

BENCHMARK(BM_Pbkdf2Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Pbkdf2OpenSsl)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
