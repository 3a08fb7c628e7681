// TqmxAES encrypts and decrypts the data of an AES-encrypted ZIP entry: salt
// and 2-byte password verifier in front of the data, AES in little-endian
// counter mode over it, and a 10-byte HMAC-SHA1 code after it. Keys come
// from PBKDF2-HMAC-SHA1 (1000 iterations) over password and salt.
//
// One object serves one entry; the state lives in the object, so entries on
// two threads do not share anything.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "archive/base/types.h"
#include "archive/codec/entry_cipher.h"

namespace qmx {

class TStream;

class TqmxAES : public TEntryCipher {
 public:
  static constexpr std::size_t kMaxPasswordLength = 128;
  static constexpr std::size_t kVerifierLength = 2;
  static constexpr std::size_t kCodeLength = 10;
  static constexpr int kIterations = 1000;

  // Key length 16/24/32 and salt length 8/12/16 for emAES2_128..256; 0 for
  // any other kind.
  static std::size_t KeyLength(TEncryptionMethod method);
  static std::size_t SaltLength(TEncryptionMethod method);
  // Whether BeginEncrypt/BeginDecrypt can take this password at all.
  static bool PasswordUsable(const std::string& password) {
    return !password.empty() && password.size() <= kMaxPasswordLength;
  }

  // source: where BeginDecrypt/EndDecrypt read; dest: where BeginEncrypt,
  // RestartEncrypt and EndEncrypt write. Either may be null when unused.
  TqmxAES(TStream* source, TStream* dest);
  ~TqmxAES() override;
  TqmxAES(const TqmxAES&) = delete;
  TqmxAES& operator=(const TqmxAES&) = delete;

  void SetSource(TStream* source) { FSource = source; }
  void SetDest(TStream* dest) { FDest = dest; }

  // Writes a fresh salt and the verifier to dest and sets up the keys.
  // False, with nothing written, for an empty or too long password or a
  // kind that is not AES; false too when dest takes fewer bytes.
  bool BeginEncrypt(const std::string& password, TEncryptionMethod method);
  // The entry is rewritten from its start: dest moves back over salt and
  // verifier, which are written again with a new salt and new keys.
  bool RestartEncrypt();
  void EncryptBuffer(std::uint8_t* buf, std::size_t n) override;
  // Writes the 10-byte code to dest and forgets the keys.
  bool EndEncrypt();

  // Reads salt and verifier from source and checks the password against
  // them. True: headerBytes grows by salt + verifier + code, source is at
  // the encrypted data. False: source is back where it was, so another
  // password can be tried.
  bool BeginDecrypt(const std::string& password, std::int64_t& headerBytes,
                    TEncryptionMethod method);
  void DecryptBuffer(std::uint8_t* buf, std::size_t n) override;
  // Reads the stored code from source; true when all of it arrived and it
  // equals the code of the data seen. Forgets the keys.
  bool EndDecrypt();
  // The same with a stored code the caller read (it may be short).
  bool EndDecrypt(std::span<const std::uint8_t> storedCode);

  // Salt and verifier of the last Begin*, for inspection.
  std::span<const std::uint8_t> Salt() const { return {FSalt.data(), FSaltLength}; }
  std::array<std::uint8_t, kVerifierLength> Verifier() const { return FVerifier; }

 private:
  struct TState;
  // Derives the keys from password and the salt held; false on a failure
  // of the primitives.
  bool DeriveKeys();
  bool WriteSaltAndVerifier();
  void Crypt(std::uint8_t* buf, std::size_t n);
  // The first 10 bytes of the HMAC over everything seen so far.
  bool FinishCode(std::array<std::uint8_t, kCodeLength>& code);
  void Forget();

  TStream* FSource;
  TStream* FDest;
  std::unique_ptr<TState> FState;
  std::string FPassword;
  TEncryptionMethod FMethod = emNone;
  std::array<std::uint8_t, 16> FSalt{};
  std::size_t FSaltLength = 0;
  std::array<std::uint8_t, kVerifierLength> FVerifier{};
};

}  // namespace qmx
