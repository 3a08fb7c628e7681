// The traditional ZIP stream cipher, which BH entries use too: password
// keys, the 12-byte encryption header in front of an encrypted entry's
// data, and the fixed header key that enciphers local and central headers.
//
// The cipher state lives in the object, so each entry being read or written
// owns one and two entries may be processed on two threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "archive/codec/entry_cipher.h"

namespace qmx {

// The three 32-bit key words of the cipher.
struct TZipKeys {
  std::uint32_t Key0 = 0;
  std::uint32_t Key1 = 0;
  std::uint32_t Key2 = 0;
  constexpr bool operator==(const TZipKeys&) const = default;
};

inline constexpr TZipKeys kZipInitialKeys{0x12345678u, 0x23456789u, 0x34567890u};

// Fixed state for enciphered headers, derived from the initial key words; it
// does not depend on any password.
inline constexpr TZipKeys kZipHeaderKey{kZipInitialKeys.Key0 & kZipInitialKeys.Key2,
                                        kZipInitialKeys.Key0& kZipInitialKeys.Key1,
                                        kZipInitialKeys.Key1& kZipInitialKeys.Key2};

inline constexpr std::size_t kZipEncryptionHeaderSize = 12;
using TZipEncryptionHeader = std::array<std::uint8_t, kZipEncryptionHeaderSize>;

// General-purpose flag bit 3: sizes and CRC follow the data, so the check
// byte of the encryption header comes from the DOS time instead of the CRC.
inline constexpr std::uint16_t kZipFlagDataDescriptor = 0x0008;

class TZipCrypt : public TEntryCipher {
 public:
  TZipCrypt() = default;

  // State := initial key words, then UpdateKeys with each password byte.
  void InitKeys(const std::string& password);
  void UpdateKeys(std::uint8_t b);
  // Next keystream byte; the state is not changed.
  std::uint8_t KeystreamByte() const;
  // Encrypts one byte and advances the state with the plain byte.
  std::uint8_t EncryptByte(std::uint8_t b);
  std::uint8_t DecryptByte(std::uint8_t c);

  // In place, continuing from the current state.
  void EncryptBuffer(std::uint8_t* buf, std::size_t n) override;
  void DecryptBuffer(std::uint8_t* buf, std::size_t n) override;

  // Writer side: 10 random bytes, CRC bits 16-23 and CRC bits 24-31, all
  // encrypted under password. The state is left ready for the entry's data.
  TZipEncryptionHeader MakeEncryptionHeader(const std::string& password, std::uint32_t crc);

  // Reader side: true when password decrypts header to the expected check
  // byte (high byte of dosTime with flag bit 3, else CRC bits 24-31). An
  // empty password never matches. On a match the state is left ready for
  // the entry's data.
  bool CheckEncryptionHeader(std::span<const std::uint8_t, kZipEncryptionHeaderSize> header,
                             std::uint16_t flags, std::uint32_t crc, const std::string& password,
                             std::uint16_t dosTime);

  // Loads the fixed header key; done before each enciphered header record.
  void LoadHeaderKey() { keys_ = kZipHeaderKey; }
  static constexpr const TZipKeys& HeaderKey() { return kZipHeaderKey; }

  const TZipKeys& Keys() const { return keys_; }
  void SetKeys(const TZipKeys& keys) { keys_ = keys; }

 private:
  TZipKeys keys_ = kZipInitialKeys;
};

}  // namespace qmx
