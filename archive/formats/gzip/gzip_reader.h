// TUnGZip extracts the file held in a gzip file (all its members, as one
// file) or in a Unix compress (.Z) file. A member that turns out to be a
// tar archive can be handed to TUnTar instead (OnNestedTarFile).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/base/extract_framework.h"

namespace qmx {

class TUnGZip : public TUnBase {
 public:
  // What the first member's header says, for event handlers.
  struct TMemberInfo {
    std::uint8_t Magic[2] = {0, 0};
    std::uint8_t Method = 0;
    std::uint8_t Flags = 0;
    std::uint8_t ExtraFlags = 0;
    std::string Name;
    std::uint32_t DosDate = 0;
    std::int64_t DataStart = 0;
    std::int64_t PackedSize = 0;
    std::int64_t UnpackedSize = 0;  // the trailer's, modulo 2^32
    std::uint32_t Crc = 0;          // the trailer's
    bool IsGZip() const { return Magic[1] == 0x8B || Magic[1] == 0x9E; }
    bool IsCompress() const { return Magic[1] == 0x9D; }
  };

 protected:
  void ReadArchive(std::unique_ptr<TFileStream32>& archive) override;

  bool ReadMemberInfo(TStream& archive, TMemberInfo& info);
  std::string MemberName(const std::string& stored, std::uint8_t flags) const;
  void ExtractGZip(TStream& archive);
  void DescribeEntry();

  // Decoders; both deliver through Deliver and return the verdict.
  bool DecodeMembers(TStream& archive);
  bool DecodeCompress(TStream& archive);

  // The output wrapper: holds back the first 512 bytes until it is known
  // whether they start a tar archive, then writes to the member's output
  // or to the diverted tar file. False when the output failed.
  bool Deliver(const void* buf, std::int64_t count);
  bool Decide();
  bool WriteOut(const void* buf, std::int64_t count, bool open = false);
  void ExtractNestedTar();

  TMemberInfo FInfo;
  std::unique_ptr<TFileStream32> FOut;
  bool FOutOpened = false;
  bool FOutFailed = false;
  bool FDecided = false;
  std::vector<std::uint8_t> FHead;
  std::string FDiverted;  // the nested tar's temporary file
  std::int64_t FDone = 0;
};

}  // namespace qmx
