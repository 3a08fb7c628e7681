// "arcmorph convert": rebuilds an archive as another archive type through
// the library's converter.
#pragma once

#include <string>
#include <vector>

namespace qmx::cli {

// args[0] is "convert"; returns the program's exit status.
int RunConvert(const std::vector<std::string>& args);

}  // namespace qmx::cli
