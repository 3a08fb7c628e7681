#pragma once

namespace qmx {

// Rows of atCab, atCabExe and the tyCab writer.
void RegisterCabFormats();

}  // namespace qmx
