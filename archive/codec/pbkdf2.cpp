#include "archive/codec/pbkdf2.h"

// The one-block SHA-1 step is only in OpenSSL's older interface; the EVP
// and PKCS5 routines copy and allocate contexts every iteration, which made
// key setup of an archive with many small entries cost more than its data.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace qmx {
namespace {

constexpr std::size_t kDigest = SHA_DIGEST_LENGTH;
constexpr std::size_t kShaBlock = SHA_CBLOCK;
// Output blocks are independent chains; running several at once keeps the
// SHA unit busy while one chain waits for its previous step.
constexpr std::size_t kLanes = 4;

void PutBigEndian(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

void PutState(const SHA_CTX& c, std::uint8_t* out) {
  PutBigEndian(out, c.h0);
  PutBigEndian(out + 4, c.h1);
  PutBigEndian(out + 8, c.h2);
  PutBigEndian(out + 12, c.h3);
  PutBigEndian(out + 16, c.h4);
}

struct TLane {
  SHA_CTX Ctx;
  // One padded SHA-1 block holding a 20-byte message that follows a full
  // key block: the digest in front, the fixed padding and length behind.
  std::array<std::uint8_t, kShaBlock> Block;
  std::array<std::uint8_t, kDigest> Sum;
};

}  // namespace

bool Pbkdf2HmacSha1(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                    unsigned iterations, std::span<std::uint8_t> out) {
  if (iterations == 0 || out.empty()) return false;

  std::array<std::uint8_t, kShaBlock> key{};
  if (password.size() > kShaBlock)
    SHA1(password.data(), password.size(), key.data());
  else if (!password.empty())
    std::memcpy(key.data(), password.data(), password.size());

  SHA_CTX inner, outer;
  std::array<std::uint8_t, kShaBlock> pad;
  for (std::size_t i = 0; i < kShaBlock; ++i) pad[i] = key[i] ^ 0x36;
  SHA1_Init(&inner);
  SHA1_Update(&inner, pad.data(), pad.size());
  for (std::size_t i = 0; i < kShaBlock; ++i) pad[i] = key[i] ^ 0x5c;
  SHA1_Init(&outer);
  SHA1_Update(&outer, pad.data(), pad.size());

  std::array<TLane, kLanes> lanes{};
  constexpr std::uint32_t kBits = (kShaBlock + kDigest) * 8;
  std::uint32_t blockIndex = 1;
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t lanesUsed = std::min(kLanes, (out.size() - done + kDigest - 1) / kDigest);
    for (std::size_t l = 0; l < lanesUsed; ++l) {
      TLane& lane = lanes[l];
      std::uint8_t index[4];
      PutBigEndian(index, blockIndex + static_cast<std::uint32_t>(l));
      SHA_CTX c = inner;
      SHA1_Update(&c, salt.data(), salt.size());
      SHA1_Update(&c, index, sizeof index);
      SHA1_Final(lane.Block.data(), &c);
      c = outer;
      SHA1_Update(&c, lane.Block.data(), kDigest);
      SHA1_Final(lane.Block.data(), &c);
      std::memcpy(lane.Sum.data(), lane.Block.data(), kDigest);
      std::fill(lane.Block.begin() + kDigest, lane.Block.end(), 0);
      lane.Block[kDigest] = 0x80;
      PutBigEndian(lane.Block.data() + kShaBlock - 4, kBits);
    }
    for (unsigned it = 1; it < iterations; ++it) {
      for (std::size_t l = 0; l < lanesUsed; ++l) {
        lanes[l].Ctx = inner;
        SHA1_Transform(&lanes[l].Ctx, lanes[l].Block.data());
      }
      for (std::size_t l = 0; l < lanesUsed; ++l) {
        PutState(lanes[l].Ctx, lanes[l].Block.data());
        lanes[l].Ctx = outer;
        SHA1_Transform(&lanes[l].Ctx, lanes[l].Block.data());
      }
      for (std::size_t l = 0; l < lanesUsed; ++l) {
        TLane& lane = lanes[l];
        PutState(lane.Ctx, lane.Block.data());
        for (std::size_t k = 0; k < kDigest; ++k) lane.Sum[k] ^= lane.Block[k];
      }
    }
    for (std::size_t l = 0; l < lanesUsed; ++l) {
      const std::size_t n = std::min(kDigest, out.size() - done);
      std::memcpy(out.data() + done, lanes[l].Sum.data(), n);
      done += n;
    }
    blockIndex += static_cast<std::uint32_t>(lanesUsed);
  }

  OPENSSL_cleanse(key.data(), key.size());
  OPENSSL_cleanse(pad.data(), pad.size());
  OPENSSL_cleanse(&inner, sizeof inner);
  OPENSSL_cleanse(&outer, sizeof outer);
  OPENSSL_cleanse(lanes.data(), sizeof lanes);
  return true;
}

}  // namespace qmx
