// The application descriptor (.jad) that travels with a renamed suite: its
// name, size and URL follow the new jar, every other line stays byte for
// byte.
#pragma once

#include <cstdint>
#include <string>

namespace qmx {

struct TDescriptorEdit {
  std::string NewName;
  std::int64_t JarSize = 0;
  // A bare MIDlet-Jar-URL (no path, no scheme) becomes this file name.
  std::string JarFileName;
  // Drop MIDlet-Jar-RSA-SHA1 and MIDlet-Certificate-*: the copy installs as
  // an unsigned suite.
  bool Unsign = false;
};

// The rewritten descriptor; signedSuite is set when it carried a jar
// signature (MIDlet-Jar-RSA-SHA1), removed or not.
std::string RewriteDescriptor(const std::string& jad, const TDescriptorEdit& edit,
                              bool& signedSuite);

}  // namespace qmx
