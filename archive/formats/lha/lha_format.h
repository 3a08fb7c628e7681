// The LHA rows of the format table.
#pragma once

namespace qmx {

void RegisterLhaFormats();

}  // namespace qmx
