// PBKDF2 with HMAC-SHA1 as the AES entries of ZIP archives use it.
#pragma once

#include <cstdint>
#include <span>

namespace qmx {

// Fills out with the key material for password and salt. False only when
// iterations is 0 or the output is empty.
bool Pbkdf2HmacSha1(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                    unsigned iterations, std::span<std::uint8_t> out);

}  // namespace qmx
