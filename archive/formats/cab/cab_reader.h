// TUnCab reads Microsoft Cabinet files through libmspack: plain cabinets,
// self-extracting ones (the cabinet behind the stub), and sets that span
// several cabinets (the others are looked for beside the first, then asked
// for through OnNextVolume). MSZIP, LZX, Quantum and stored folders; the
// library checks each data block's checksum, and an entry whose data fails
// to decode fails its verdict. Cabinets carry no per-file CRC.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "archive/base/extract_framework.h"

struct mscabd_cabinet;
struct mscabd_file;

namespace qmx {

class TCabLibrary;

// DOS date and time of a cabinet entry.
std::uint32_t CabEntryDosDate(const mscabd_file& file);
// The entry's name in platform form: UTF-8 names as they are, others from
// the OEM code page when translate is set; "\" becomes the delimiter.
std::string CabPlatformName(const mscabd_file& file, bool translate);

class TUnCab : public TUnBase {
 public:
  TUnCab();
  ~TUnCab() override;

 protected:
  void ReadArchive(std::unique_ptr<TFileStream32>& archive) override;

 private:
  // Opens the cabinet and joins the rest of its set; the first cabinet of
  // what could be joined, nullptr when nothing opened.
  mscabd_cabinet* OpenSet(TCabLibrary& lib);
  // Path of a cabinet of the set named in a header, beside ArchiveFile
  // (case ignored, as the names come from DOS); empty when not there.
  std::string FindBeside(const std::string& cabinetName) const;
  // Asks for a missing next cabinet; its path, or empty when refused.
  std::string AskNextCabinet(const std::string& cabinetName, int volumeId);
  void DescribeEntry(const mscabd_file& file, const std::string& name);
  void ExtractEntry(TCabLibrary& lib, mscabd_file& file, const std::string& name);
};

}  // namespace qmx
