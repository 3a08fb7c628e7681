// The MIDlet name patcher: reads the MIDlet-Name: value of a JAR manifest
// and rewrites the manifest file with a new value, leaving every other byte
// as it was. It never talks to the user; the caller shows what it returns.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qmx {

// The attribute the patcher looks for (matched ignoring ASCII case).
inline constexpr std::string_view kMidletNameAttr = "MIDlet-Name:";

// A J2ME manifest is a few KiB; a larger file is refused before it is read,
// so a hostile suite cannot make the patcher hold it in memory.
inline constexpr std::int64_t kMaxManifestSize = 1 << 20;

// Offset of the first match of Text in Data at an offset above From, with
// a-z and A-Z compared alike (no other byte is folded); -1 when none.
std::int64_t FindText(std::string_view Data, std::string_view Text, std::int64_t From);

enum TPatchStatus : std::uint8_t {
  psPatched,    // the value was replaced and the file saved
  psNoName,     // no MIDlet-Name: attribute; the file is unchanged
  psReadError,  // the file could not be loaded, or is over kMaxManifestSize
  psWriteError  // the file could not be saved
};

struct TPatchResult {
  TPatchStatus Status = psNoName;
  // The old value as the old-name label shows it: with its leading blank,
  // continuation lines joined, cut to 99 characters.
  std::string OldName;
  // What the user should be told when Status is not psPatched.
  std::string Message;
};

// Where the MIDlet-Name: value lies in a manifest: [ValueStart, ValueEnd)
// covers the value and any continuation lines, not the final line end.
struct TManifestValue {
  bool Found = false;
  std::size_t AttrStart = 0;
  std::size_t ValueStart = 0;
  std::size_t ValueEnd = 0;
};
TManifestValue LocateMidletName(std::string_view Manifest);

// The value's bytes with continuation line breaks (line end + one blank) removed.
std::string UnfoldValue(std::string_view RawValue);

// The old-name label text for a raw value: at most its first 100 bytes,
// decoded as UTF-8 into at most 99 UTF-16 code units, stopping at the first
// malformed sequence.
std::string OldNameLabel(std::string_view Value);

// The bytes written as the new value: " " + NewName, at most 99 UTF-16
// code units and 99 UTF-8 bytes, cut at a character boundary. Line breaks
// in NewName are dropped (they would end the attribute) and the name ends
// at a NUL byte.
std::string NewValueBytes(const std::string& NewName);

// Rewrites the manifest bytes with the new name; Found is false (and the
// result equals the input) when there is no MIDlet-Name: attribute.
std::string PatchManifestBytes(std::string_view Manifest, const std::string& NewName,
                               std::string* OldName, bool* Found);

// Loads the manifest at Path, reads its old name and saves it with the new one.
TPatchResult PatchManifest(const std::string& Path, const std::string& NewName);

}  // namespace qmx
