// The ARJ reader over arbitrary files: main and local headers, extended
// headers, the search behind a stub, every method and the garble (with a
// password, so garbled entries are decoded too), in a test run that writes
// nothing. The input lives in a memory file (memfd).
//
// Every basic header is guarded by a CRC-32 that random changes almost
// never keep right: for inputs whose first byte is odd the CRC of every
// plausible header is set right first, so changed header fields reach the
// parser and the entry walk.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/codec/byte_order.h"
#include "archive/codec/crc.h"
#include "archive/formats/arj/arj_reader.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qmx::fuzz::TMemoryFile file("fuzz-arj.arj");
  std::vector<std::uint8_t> input(data, data + size);
  if (size > 0 && (data[0] & 1)) {
    for (std::size_t i = 0; i + 4 <= size; ++i) {
      if (input[i] != 0x60 || input[i + 1] != 0xEA) continue;
      const std::size_t basic = qmx::GetLE16(&input[i + 2]);
      if (basic < 30 || basic > 2600 || i + 4 + basic + 4 > size) continue;
      qmx::PutLE32(&input[i + 4 + basic], qmx::Crc32(&input[i + 4], basic));
    }
  }
  if (!file.Fill(input.data(), input.size())) return 0;
  qmx::TUnARJ arj;
  arj.SetArchiveFile(file.Path());
  if (arj.ArchiveFile().empty()) return 0;
  arj.SetFileSpec({"*.*"});
  arj.SetPasswords({"secret"});
  arj.OnError = [](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                   int) {};
  arj.Test();
  return 0;
}
