// RAR 4 and RAR 5 archives, plain, self-extracting and in volume sets,
// read through libarchive; and the RAR rows of the format table.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "archive/formats/libarchive/libarchive_reader.h"

namespace qmx {

class TUnRar : public TLibArchiveReader {
 protected:
  void EnableFormats(struct archive* a) const override;
  // A volume set: the following volumes by the RAR volume naming (".partN.rar",
  // or ".rar", ".r00", ".r01" ...), asking for any the last one found says
  // must follow.
  bool CollectVolumes(std::vector<std::string>& files) override;
  std::string NextVolumeName(int index) const;
  // libarchive 3.6 does not see RAR 5 encryption: the file headers say it.
  bool DataEncrypted(struct archive_entry* entry, const std::string& name) const override;

 private:
  std::set<std::string> FEncryptedNames;
};

void RegisterRarFormats();

}  // namespace qmx
