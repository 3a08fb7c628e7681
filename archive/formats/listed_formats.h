// Rows of the format table for the types the library names but cannot read
// or write yet: their names, method names, self-extracting forms and the
// readers and writers the converter and the checker would use. A format
// that gets its reader or writer moves its rows into its own folder.
#pragma once

namespace qmx {

void RegisterListedFormats();

}  // namespace qmx
