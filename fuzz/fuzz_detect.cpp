// Archive type detection on arbitrary bytes: the signature tables, the
// central directory search, the tar and uuencode tests, the forward scan,
// and the string table of executables. The same bytes are also walked as a
// ZIP extra field.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "archive/convert/arc_detect.h"
#include "archive/convert/pe_resources.h"
#include "archive/platform/disk_service.h"
#include "archive/zip/zip_records.h"

namespace {

// Spanned-set checks would read the mount table for every input.
class TFixedDisk : public qmx::TDiskService {
 public:
  bool DriveOf(const std::string&, qmx::TDriveInfo& info) override {
    info = qmx::TDriveInfo{};
    info.Drive = "/";
    info.Type = qmx::drvRemovable;
    info.Label = "PKBACK# 001";
    return true;
  }
  bool DiskSpace(const std::string&, std::int64_t&, std::int64_t&) override { return false; }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qmx::SetDiskService(std::make_shared<TFixedDisk>());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qmx::TMemoryStream32 stream;
  if (size) stream.Write(data, static_cast<std::int64_t>(size));
  stream.Seek(0, qmx::soFromBeginning);

  qmx::TDetectResult result;
  qmx::DetectArcType(stream, "", result);

  qmx::TPeStringTable strings;
  if (strings.Open(stream))
    for (std::uint32_t id = 0; id < 40; ++id) strings.LoadString(id, 8);

  std::span<const std::uint8_t> bytes(data, size);
  for (bool central : {false, true}) {
    qmx::TZipExtraInfo info;
    info.PackedSize = info.UnpackedSize = info.LocalOffset = 0xFFFFFFFFu;
    qmx::ParseExtraField(bytes, central, info);
  }
  qmx::EncryptionFromExtra(bytes);
  qmx::IsUUEncodedText(bytes);
  qmx::ParseOctal(bytes);
  return 0;
}
