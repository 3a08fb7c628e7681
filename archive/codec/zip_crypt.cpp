#include "archive/codec/zip_crypt.h"

#include <openssl/rand.h>

#include <algorithm>
#include <random>

#include "archive/codec/crc.h"

namespace qmx {
namespace {

// The buffer loops keep the three words in locals so the compiler can hold
// them in registers; a member access per byte would force a store each time.
struct TKeyRegs {
  std::uint32_t k0, k1, k2;
  const std::uint32_t* crc;

  explicit TKeyRegs(const TZipKeys& k)
      : k0(k.Key0), k1(k.Key1), k2(k.Key2), crc(CRC32TABLE.data()) {}

  std::uint8_t Stream() const {
    std::uint32_t t = (k2 & 0xFFFFu) | 2u;
    return static_cast<std::uint8_t>((t * (t ^ 1u)) >> 8);
  }

  void Update(std::uint8_t b) {
    k0 = crc[(k0 ^ b) & 0xFFu] ^ (k0 >> 8);
    k1 = (k1 + (k0 & 0xFFu)) * 134775813u + 1u;
    k2 = crc[(k2 ^ (k1 >> 24)) & 0xFFu] ^ (k2 >> 8);
  }

  void Store(TZipKeys& k) const {
    k.Key0 = k0;
    k.Key1 = k1;
    k.Key2 = k2;
  }
};

// Ten random plain bytes for the encryption header. The header only needs
// them unpredictable; a failing CSPRNG falls back to the OS source.
void RandomBytes(std::uint8_t* out, std::size_t n) {
  if (RAND_bytes(out, static_cast<int>(n)) == 1) return;
  std::random_device rd;
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(rd());
}

}  // namespace

void TZipCrypt::InitKeys(const std::string& password) {
  TKeyRegs r(kZipInitialKeys);
  for (unsigned char c : password) r.Update(c);
  r.Store(keys_);
}

void TZipCrypt::UpdateKeys(std::uint8_t b) {
  TKeyRegs r(keys_);
  r.Update(b);
  r.Store(keys_);
}

std::uint8_t TZipCrypt::KeystreamByte() const {
  return TKeyRegs(keys_).Stream();
}

std::uint8_t TZipCrypt::EncryptByte(std::uint8_t b) {
  TKeyRegs r(keys_);
  std::uint8_t c = r.Stream() ^ b;
  r.Update(b);
  r.Store(keys_);
  return c;
}

std::uint8_t TZipCrypt::DecryptByte(std::uint8_t c) {
  TKeyRegs r(keys_);
  std::uint8_t b = r.Stream() ^ c;
  r.Update(b);
  r.Store(keys_);
  return b;
}

void TZipCrypt::EncryptBuffer(std::uint8_t* buf, std::size_t n) {
  TKeyRegs r(keys_);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t b = buf[i];
    buf[i] = b ^ r.Stream();
    r.Update(b);
  }
  r.Store(keys_);
}

void TZipCrypt::DecryptBuffer(std::uint8_t* buf, std::size_t n) {
  TKeyRegs r(keys_);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t b = buf[i] ^ r.Stream();
    buf[i] = b;
    r.Update(b);
  }
  r.Store(keys_);
}

TZipEncryptionHeader TZipCrypt::MakeEncryptionHeader(const std::string& password,
                                                     std::uint32_t crc) {
  TZipEncryptionHeader h{};
  RandomBytes(h.data(), kZipEncryptionHeaderSize - 2);
  h[10] = static_cast<std::uint8_t>(crc >> 16);
  h[11] = static_cast<std::uint8_t>(crc >> 24);
  InitKeys(password);
  EncryptBuffer(h.data(), h.size());
  return h;
}

bool TZipCrypt::CheckEncryptionHeader(
    std::span<const std::uint8_t, kZipEncryptionHeaderSize> header, std::uint16_t flags,
    std::uint32_t crc, const std::string& password, std::uint16_t dosTime) {
  if (password.empty()) return false;
  InitKeys(password);
  TZipEncryptionHeader h;
  std::copy(header.begin(), header.end(), h.begin());
  DecryptBuffer(h.data(), h.size());
  std::uint8_t expected = (flags & kZipFlagDataDescriptor) ? static_cast<std::uint8_t>(dosTime >> 8)
                                                           : static_cast<std::uint8_t>(crc >> 24);
  return h[11] == expected;
}

}  // namespace qmx
