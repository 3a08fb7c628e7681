// The tar rows of the format table.
#pragma once

namespace qmx {

void RegisterTarFormats();

}  // namespace qmx
