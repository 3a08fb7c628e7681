// The Python prelude of tests that build lying archives by hand: it makes
// the record writers of zip_craft.py (beside this file) available.
#pragma once

#include <string>

namespace qmx::test {

inline std::string ZipCraftPrelude() {
  return std::string("import struct, sys, zlib\nsys.path.insert(0, '") + QMX_SOURCE_DIR +
         "/tests/support')\nfrom zip_craft import *\n";
}

}  // namespace qmx::test
