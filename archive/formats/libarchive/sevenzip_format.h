// 7z archives, plain and split into numbered volumes (x.7z.001 ...), read
// through libarchive; and the 7z row of the format table.
#pragma once

#include <string>
#include <vector>

#include "archive/formats/libarchive/libarchive_reader.h"

namespace qmx {

class TUn7z : public TLibArchiveReader {
 protected:
  void EnableFormats(struct archive* a) const override;
  // A name ending in a number (".001") starts a split set: the following
  // numbers, asking for any the start header says the set still needs.
  bool CollectVolumes(std::vector<std::string>& files) override;
  // A header with no entries in it is not one 7-Zip writes: damaged.
  void AfterLastEntry(int entries) override;
};

void RegisterSevenZipFormats();

}  // namespace qmx
