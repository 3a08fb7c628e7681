// The string list the scanner's masks and the components' properties use.
#pragma once

#include <string>
#include <vector>

namespace qmx {

using TStrings = std::vector<std::string>;

}  // namespace qmx
