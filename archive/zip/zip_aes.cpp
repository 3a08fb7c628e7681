#include "archive/zip/zip_aes.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

#include "archive/codec/pbkdf2.h"
#include "archive/codec/streams.h"

namespace qmx {
namespace {

constexpr std::size_t kBlock = 16;
// Key stream made per cipher call; the counter blocks are independent, so
// many are encrypted at once.
constexpr std::size_t kStreamBlocks = 256;

bool IsAesKind(TEncryptionMethod m) {
  return m == emAES2_128 || m == emAES2_192 || m == emAES2_256;
}

const EVP_CIPHER* CipherFor(std::size_t keyLength) {
  switch (keyLength) {
    case 16:
      return EVP_aes_128_ecb();
    case 24:
      return EVP_aes_192_ecb();
    default:
      return EVP_aes_256_ecb();
  }
}

// Adds one to the counter as a little-endian number over its first 8 bytes.
void Increment(std::uint8_t* counter) {
  for (int i = 0; i < 8; ++i)
    if (++counter[i] != 0) break;
}

}  // namespace

struct TqmxAES::TState {
  EVP_CIPHER_CTX* Cipher = nullptr;
  EVP_MAC* Mac = nullptr;
  EVP_MAC_CTX* MacCtx = nullptr;
  std::array<std::uint8_t, kBlock> Counter{};
  std::array<std::uint8_t, kBlock * kStreamBlocks> Stream{};
  std::array<std::uint8_t, kBlock * kStreamBlocks> Counters{};
  std::size_t Pos = 0;
  std::size_t Avail = 0;

  ~TState() {
    EVP_CIPHER_CTX_free(Cipher);
    EVP_MAC_CTX_free(MacCtx);
    EVP_MAC_free(Mac);
    OPENSSL_cleanse(Stream.data(), Stream.size());
  }

  // Refills the key stream with the next blocks of counter values; the
  // first block used after key setup is counter 1.
  bool Refill(std::size_t wanted) {
    const std::size_t blocks =
        std::clamp<std::size_t>((wanted + kBlock - 1) / kBlock, 1, kStreamBlocks);
    for (std::size_t b = 0; b < blocks; ++b) {
      Increment(Counter.data());
      std::memcpy(Counters.data() + b * kBlock, Counter.data(), kBlock);
    }
    int outLen = 0;
    if (EVP_EncryptUpdate(Cipher, Stream.data(), &outLen, Counters.data(),
                          static_cast<int>(blocks * kBlock)) != 1)
      return false;
    Pos = 0;
    Avail = blocks * kBlock;
    return true;
  }
};

std::size_t TqmxAES::KeyLength(TEncryptionMethod method) {
  return IsAesKind(method) ? 8 * static_cast<std::size_t>(method) + 8 : 0;
}

std::size_t TqmxAES::SaltLength(TEncryptionMethod method) {
  return IsAesKind(method) ? 4 * static_cast<std::size_t>(method) + 4 : 0;
}

TqmxAES::TqmxAES(TStream* source, TStream* dest) : FSource(source), FDest(dest) {}

TqmxAES::~TqmxAES() {
  Forget();
}

void TqmxAES::Forget() {
  FState.reset();
  if (!FPassword.empty()) OPENSSL_cleanse(FPassword.data(), FPassword.size());
  FPassword.clear();
}

bool TqmxAES::DeriveKeys() {
  FState.reset();
  const std::size_t keyLength = KeyLength(FMethod);
  std::array<std::uint8_t, 2 * 32 + kVerifierLength> derived{};
  const std::size_t derivedLength = 2 * keyLength + kVerifierLength;
  if (!Pbkdf2HmacSha1({reinterpret_cast<const std::uint8_t*>(FPassword.data()), FPassword.size()},
                      {FSalt.data(), FSaltLength}, kIterations, {derived.data(), derivedLength}))
    return false;
  std::memcpy(FVerifier.data(), derived.data() + 2 * keyLength, kVerifierLength);

  auto state = std::make_unique<TState>();
  bool ok = (state->Cipher = EVP_CIPHER_CTX_new()) != nullptr &&
            EVP_EncryptInit_ex(state->Cipher, CipherFor(keyLength), nullptr, derived.data(),
                               nullptr) == 1 &&
            EVP_CIPHER_CTX_set_padding(state->Cipher, 0) == 1;
  if (ok) {
    char digest[] = "SHA1";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    ok = (state->Mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr)) != nullptr &&
         (state->MacCtx = EVP_MAC_CTX_new(state->Mac)) != nullptr &&
         EVP_MAC_init(state->MacCtx, derived.data() + keyLength, keyLength, params) == 1;
  }
  OPENSSL_cleanse(derived.data(), derived.size());
  if (ok) FState = std::move(state);
  return ok;
}

bool TqmxAES::WriteSaltAndVerifier() {
  if (RAND_bytes(FSalt.data(), static_cast<int>(FSaltLength)) != 1) return false;
  if (!DeriveKeys() || !FDest) return false;
  return FDest->Write(FSalt.data(), static_cast<std::int64_t>(FSaltLength)) ==
             static_cast<std::int64_t>(FSaltLength) &&
         FDest->Write(FVerifier.data(), kVerifierLength) ==
             static_cast<std::int64_t>(kVerifierLength);
}

bool TqmxAES::BeginEncrypt(const std::string& password, TEncryptionMethod method) {
  Forget();
  // Refused before anything is written: a longer password could not be
  // derived the way other tools derive it.
  if (!IsAesKind(method) || !PasswordUsable(password)) return false;
  FPassword = password;
  FMethod = method;
  FSaltLength = SaltLength(method);
  return WriteSaltAndVerifier();
}

bool TqmxAES::RestartEncrypt() {
  if (!FState || !FDest) return false;
  FDest->Seek(-static_cast<std::int64_t>(FSaltLength + kVerifierLength), soFromCurrent);
  return WriteSaltAndVerifier();
}

void TqmxAES::Crypt(std::uint8_t* buf, std::size_t n) {
  TState& s = *FState;
  std::size_t i = 0;
  while (i < n) {
    if (s.Pos == s.Avail && !s.Refill(n - i)) {
      // The primitives failed: never let the data through unenciphered.
      std::memset(buf + i, 0, n - i);
      return;
    }
    const std::size_t run = std::min(n - i, s.Avail - s.Pos);
    const std::uint8_t* k = s.Stream.data() + s.Pos;
    for (std::size_t j = 0; j < run; ++j) buf[i + j] ^= k[j];
    s.Pos += run;
    i += run;
  }
}

void TqmxAES::EncryptBuffer(std::uint8_t* buf, std::size_t n) {
  if (!FState || n == 0) return;
  Crypt(buf, n);
  EVP_MAC_update(FState->MacCtx, buf, n);
}

void TqmxAES::DecryptBuffer(std::uint8_t* buf, std::size_t n) {
  if (!FState || n == 0) return;
  EVP_MAC_update(FState->MacCtx, buf, n);
  Crypt(buf, n);
}

bool TqmxAES::FinishCode(std::array<std::uint8_t, kCodeLength>& code) {
  if (!FState) return false;
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> mac{};
  std::size_t macLength = 0;
  const bool ok = EVP_MAC_final(FState->MacCtx, mac.data(), &macLength, mac.size()) == 1 &&
                  macLength >= kCodeLength;
  if (ok) std::memcpy(code.data(), mac.data(), kCodeLength);
  return ok;
}

bool TqmxAES::EndEncrypt() {
  std::array<std::uint8_t, kCodeLength> code{};
  bool ok = FinishCode(code) && FDest &&
            FDest->Write(code.data(), kCodeLength) == static_cast<std::int64_t>(kCodeLength);
  Forget();
  return ok;
}

bool TqmxAES::BeginDecrypt(const std::string& password, std::int64_t& headerBytes,
                           TEncryptionMethod method) {
  Forget();
  if (!IsAesKind(method) || !PasswordUsable(password) || !FSource) return false;
  FMethod = method;
  FSaltLength = SaltLength(method);
  const std::int64_t start = FSource->Position();
  std::array<std::uint8_t, kVerifierLength> stored{};
  bool ok =
      FSource->Read(FSalt.data(), static_cast<std::int64_t>(FSaltLength)) ==
          static_cast<std::int64_t>(FSaltLength) &&
      FSource->Read(stored.data(), kVerifierLength) == static_cast<std::int64_t>(kVerifierLength);
  if (ok) {
    FPassword = password;
    ok = DeriveKeys() && stored == FVerifier;
  }
  if (!ok) {
    // Whatever was read, the next candidate starts at the salt again.
    Forget();
    FSource->Seek(start, soFromBeginning);
    return false;
  }
  headerBytes += static_cast<std::int64_t>(FSaltLength + kVerifierLength + kCodeLength);
  return true;
}

bool TqmxAES::EndDecrypt() {
  std::array<std::uint8_t, kCodeLength> stored{};
  std::int64_t got = FSource ? FSource->Read(stored.data(), kCodeLength) : 0;
  got = std::clamp<std::int64_t>(got, 0, kCodeLength);
  return EndDecrypt(std::span<const std::uint8_t>(stored.data(), static_cast<std::size_t>(got)));
}

bool TqmxAES::EndDecrypt(std::span<const std::uint8_t> storedCode) {
  std::array<std::uint8_t, kCodeLength> code{};
  bool ok = FinishCode(code) && storedCode.size() == kCodeLength &&
            CRYPTO_memcmp(code.data(), storedCode.data(), kCodeLength) == 0;
  Forget();
  return ok;
}

}  // namespace qmx
