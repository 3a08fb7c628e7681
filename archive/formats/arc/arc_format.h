#pragma once

namespace qmx {

// The ARC rows of the format registry (plain and self-extracting).
void RegisterArcFormats();

}  // namespace qmx
