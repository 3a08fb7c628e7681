// The cipher of the entry being read or written, as the codec streams see
// it: whole buffers are encrypted before they are written and decrypted
// after they are read. The traditional ZIP cipher and AES implement it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qmx {

class TEntryCipher {
 public:
  virtual ~TEntryCipher() = default;
  virtual void EncryptBuffer(std::uint8_t* buf, std::size_t n) = 0;
  virtual void DecryptBuffer(std::uint8_t* buf, std::size_t n) = 0;
};

}  // namespace qmx
