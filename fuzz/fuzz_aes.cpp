// AES entries through the ZIP reader's test run. The first byte picks how
// the input becomes an archive:
//   mode 0: the rest is a whole archive;
//   mode 1: the rest is the body (salt, verifier, data, code) of one AES
//           entry in a well-formed archive;
//   mode 2: the rest is the plain packed data of such an entry, sealed here
//           with a password the reader knows, then optionally damaged, so
//           the decoders behind a valid code run on arbitrary data.
// Strength (including invalid ones), real method and a packed-size error
// also come from the first bytes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/codec/streams.h"
#include "archive/zip/zip_aes.h"
#include "archive/zip/zip_reader.h"
#include "archive/zip/zip_records.h"

namespace {

using namespace qmx;

const char* const kPasswords[] = {"secret", "password", "test"};

const std::string& TempName() {
  static const std::string name = "/tmp/qmx-fuzz-aes-" + std::to_string(::getpid()) + ".zip";
  return name;
}

void Append(std::vector<std::uint8_t>& v, const std::uint8_t* p, std::size_t n) {
  v.insert(v.end(), p, p + n);
}

// One entry "f" with an AES field; packed size may be off by delta.
std::vector<std::uint8_t> Archive(const std::vector<std::uint8_t>& body, std::uint8_t strength,
                                  std::uint16_t method, int delta) {
  const auto extra = MakeAesExtra(static_cast<TEncryptionMethod>(strength), method);
  const std::uint32_t packed =
      static_cast<std::uint32_t>(static_cast<std::int64_t>(body.size()) + delta);
  std::vector<std::uint8_t> z;
  std::uint8_t l[30] = {};
  PutLE32(l, kZipLocalSig);
  PutLE16(l + 4, 51);
  PutLE16(l + 6, 1);
  PutLE16(l + 8, 99);
  PutLE32(l + 18, packed);
  PutLE32(l + 22, static_cast<std::uint32_t>(body.size()) * 3);
  PutLE16(l + 26, 1);
  PutLE16(l + 28, static_cast<std::uint16_t>(extra.size()));
  Append(z, l, sizeof l);
  z.push_back('f');
  Append(z, extra.data(), extra.size());
  Append(z, body.data(), body.size());

  const std::uint32_t central = static_cast<std::uint32_t>(z.size());
  std::uint8_t c[46] = {};
  PutLE32(c, kZipCentralSig);
  PutLE16(c + 4, 51);
  PutLE16(c + 6, 51);
  PutLE16(c + 8, 1);
  PutLE16(c + 10, 99);
  PutLE32(c + 20, packed);
  PutLE32(c + 24, static_cast<std::uint32_t>(body.size()) * 3);
  PutLE16(c + 28, 1);
  PutLE16(c + 30, static_cast<std::uint16_t>(extra.size()));
  PutLE32(c + 38, 0x20);
  Append(z, c, sizeof c);
  z.push_back('f');
  Append(z, extra.data(), extra.size());

  std::uint8_t e[22] = {};
  PutLE32(e, kZipEndSig);
  PutLE16(e + 8, 1);
  PutLE16(e + 10, 1);
  PutLE32(e + 12, static_cast<std::uint32_t>(z.size()) - central);
  PutLE32(e + 16, central);
  Append(z, e, sizeof e);
  return z;
}

std::vector<std::uint8_t> Seal(std::vector<std::uint8_t> data, std::uint8_t strength) {
  TMemoryStream32 out;
  TqmxAES aes(nullptr, &out);
  if (!aes.BeginEncrypt(kPasswords[strength % 3], static_cast<TEncryptionMethod>(strength)))
    return {};
  if (!data.empty()) aes.EncryptBuffer(data.data(), data.size());
  out.Write(data.data(), static_cast<std::int64_t>(data.size()));
  aes.EndEncrypt();
  const auto* p = static_cast<const std::uint8_t*>(out.Memory());
  return std::vector<std::uint8_t>(p, p + out.Size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t sel = data[0];
  const int mode = (sel & 3) % 3;
  std::vector<std::uint8_t> rest(data + 3, data + size);
  std::vector<std::uint8_t> file;
  if (mode == 0) {
    file.assign(data + 1, data + size);
  } else {
    // Strengths 0 and 4 are invalid and must be refused cleanly.
    const std::uint8_t strength = static_cast<std::uint8_t>(((sel >> 2) & 7) % 5);
    const std::uint16_t method = (sel & 0x20) ? (data[1] & 0x0F) : ((sel & 0x40) ? 8 : 0);
    const int delta = (sel & 0x80) ? static_cast<int>(data[2] % 32) - 16 : 0;
    if (mode == 2 && strength >= 1 && strength <= 3) {
      rest = Seal(std::move(rest), strength);
      // Damage one byte when asked, anywhere in the sealed body.
      if ((data[1] & 0x80) && !rest.empty()) rest[data[2] % rest.size()] ^= 0x5A;
    }
    file = Archive(rest, strength, method, delta);
  }

  const std::string& name = TempName();
  if (std::FILE* f = std::fopen(name.c_str(), "wb")) {
    if (!file.empty()) std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
  } else {
    return 0;
  }
  TUnZip unzip;
  unzip.SetArchiveFile(name);
  if (unzip.ArchiveFile().empty()) return 0;
  unzip.SetFileSpec({"*.*"});
  unzip.SetPasswords({kPasswords[0], kPasswords[1], kPasswords[2]});
  unzip.PasswordAttempts = 1;
  unzip.OnError = [](TZipCommon&, const std::string&, const std::string&, const std::string&, int) {
  };
  unzip.Test();
  return 0;
}
