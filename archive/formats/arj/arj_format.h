// The ARJ rows of the format table.
#pragma once

namespace qmx {

void RegisterArjFormats();

}  // namespace qmx
