// The gzip (and Unix compress) rows of the format table.
#pragma once

namespace qmx {

void RegisterGZipFormats();

}  // namespace qmx
