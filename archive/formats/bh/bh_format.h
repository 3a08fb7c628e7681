// The BH rows of the format table.
#pragma once

namespace qmx {

void RegisterBhFormats();

}  // namespace qmx
