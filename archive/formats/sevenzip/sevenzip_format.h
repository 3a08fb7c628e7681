// The 7z row of the format table.
#pragma once

#include "archive/formats/sevenzip/sevenzip_reader.h"

namespace qmx {

void RegisterSevenZipFormats();

}  // namespace qmx
