// The ZIP and JAR rows of the format table.
#pragma once

namespace qmx {

void RegisterZipFormats();

}  // namespace qmx
