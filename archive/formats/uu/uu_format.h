// The encoded-text row of the format table.
#pragma once

namespace qmx {

void RegisterUuFormats();

}  // namespace qmx
