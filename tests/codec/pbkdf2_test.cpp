#include "archive/codec/pbkdf2.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

namespace qmx {
namespace {

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string Hex(const std::vector<std::uint8_t>& v) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (auto b : v) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

std::vector<std::uint8_t> Derive(const std::string& pw, const std::string& salt, unsigned it,
                                 std::size_t n) {
  std::vector<std::uint8_t> out(n);
  EXPECT_TRUE(Pbkdf2HmacSha1(Bytes(pw), Bytes(salt), it, out));
  return out;
}

// Published PBKDF2-HMAC-SHA1 vectors (RFC 6070).
TEST(Pbkdf2, PublishedVectors) {
  EXPECT_EQ(Hex(Derive("password", "salt", 1, 20)), "0c60c80f961f0e71f3a9b524af6012062fe037a6");
  EXPECT_EQ(Hex(Derive("password", "salt", 2, 20)), "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
  EXPECT_EQ(Hex(Derive("password", "salt", 4096, 20)), "4b007901b765489abead49d926f721d065a429c1");
  EXPECT_EQ(
      Hex(Derive("passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 25)),
      "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038");
  EXPECT_EQ(Hex(Derive(std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, 16)),
            "56fa6aa75548099dcc37d7f03425e0c3");
}

// Against OpenSSL's own routine: passwords past one SHA-1 block (hashed
// first), empty ones, outputs of more blocks than run side by side.
TEST(Pbkdf2, AgreesWithOpenSsl) {
  std::mt19937 rng(7);
  for (std::size_t pwLength : {0, 1, 6, 63, 64, 65, 100, 128}) {
    for (std::size_t outLength : {1, 2, 20, 34, 50, 66, 80, 81, 101}) {
      std::string pw(pwLength, '\0'), salt(4 + rng() % 13, '\0');
      for (auto& c : pw) c = static_cast<char>(rng());
      for (auto& c : salt) c = static_cast<char>(rng());
      const unsigned iterations = 1 + rng() % 40;
      std::vector<std::uint8_t> expected(outLength);
      ASSERT_EQ(PKCS5_PBKDF2_HMAC_SHA1(pw.data(), static_cast<int>(pw.size()),
                                       reinterpret_cast<const unsigned char*>(salt.data()),
                                       static_cast<int>(salt.size()), static_cast<int>(iterations),
                                       static_cast<int>(outLength), expected.data()),
                1);
      EXPECT_EQ(Derive(pw, salt, iterations, outLength), expected)
          << "password " << pwLength << " output " << outLength;
    }
  }
}

TEST(Pbkdf2, RefusesDegenerateRequests) {
  std::vector<std::uint8_t> out(20);
  EXPECT_FALSE(Pbkdf2HmacSha1(Bytes("pw"), Bytes("salt"), 0, out));
  EXPECT_FALSE(Pbkdf2HmacSha1(Bytes("pw"), Bytes("salt"), 1000, {}));
}

}  // namespace
}  // namespace qmx
