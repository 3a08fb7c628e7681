#include "app/rename/jad_descriptor.h"

#include "app/rename/manifest_patcher.h"
#include "archive/platform/ascii.h"

namespace qmx {

std::string RewriteDescriptor(const std::string& jad, const TDescriptorEdit& edit,
                              bool& signedSuite) {
  std::string out;
  std::size_t i = 0;
  bool skippingContinuation = false;
  while (i < jad.size()) {
    const std::size_t end = jad.find_first_of("\r\n", i);
    std::size_t next = end == std::string::npos ? jad.size() : end;
    if (next < jad.size())
      next += (jad[next] == '\r' && next + 1 < jad.size() && jad[next + 1] == '\n') ? 2 : 1;
    const std::string line = jad.substr(i, (end == std::string::npos ? jad.size() : end) - i);
    const std::string lineEnd = jad.substr(i + line.size(), next - i - line.size());
    i = next;
    // A replaced or dropped attribute takes its continuation lines along.
    if (skippingContinuation && !line.empty() && line[0] == ' ') continue;
    skippingContinuation = false;
    const std::size_t colon = line.find(':');
    const std::string key =
        colon == std::string::npos ? std::string() : LowerAscii(line.substr(0, colon));
    std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
    while (!value.empty() && value[0] == ' ') value.erase(0, 1);
    const bool signature = key == "midlet-jar-rsa-sha1";
    if (signature) signedSuite = true;
    if (edit.Unsign && (signature || key.rfind("midlet-certificate-", 0) == 0)) {
      skippingContinuation = true;
      continue;
    }
    std::string replaced;
    if (key == "midlet-name")
      replaced = line.substr(0, colon + 1) + NewValueBytes(edit.NewName);
    else if (key == "midlet-jar-size")
      replaced = line.substr(0, colon + 1) + " " + std::to_string(edit.JarSize);
    else if (key == "midlet-jar-url" && value.find_first_of("/:\\") == std::string::npos)
      replaced = line.substr(0, colon + 1) + " " + edit.JarFileName;
    if (replaced.empty()) {
      out += line + lineEnd;
    } else {
      out += replaced + lineEnd;
      skippingContinuation = true;
    }
  }
  return out;
}

}  // namespace qmx
