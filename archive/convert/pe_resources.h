// String resources of a Windows executable, read from the file without
// running it: the PE headers, the section table, the resource directory
// (type, name, language) and the RT_STRING blocks of 16 strings each.
//
// The image is untrusted input: every offset and size is checked against
// the file, the directory is walked at its three fixed levels only, and
// nothing is allocated beyond what the file can hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/codec/streams.h"

namespace qmx {

inline constexpr std::uint32_t kRtString = 6;

class TPeStringTable {
 public:
  // Reads the headers of the image in s (which must outlive this object);
  // false when s holds no PE image with a resource directory.
  bool Open(TStream& s);
  bool IsOpen() const { return stream_ != nullptr; }

  // String id: at most maxChars characters, each as ASCII ('?' for any
  // other character). Empty when the string is missing or empty.
  std::string LoadString(std::uint32_t id, std::size_t maxChars = 5);

 private:
  struct TSection {
    std::uint32_t VirtualAddress, VirtualSize, RawSize, RawOffset;
  };
  // File offset of an RVA, or -1 when no section holds n bytes there.
  std::int64_t RvaToOffset(std::uint32_t rva, std::uint32_t n) const;
  // The 8-byte entries of the directory at dirOffset, as far as the section
  // holds them; those with names are left out unless namedToo.
  std::vector<std::uint8_t> ReadEntries(std::int64_t dirOffset, bool namedToo);
  // Offset (from the resource root) of the entry with id in the directory
  // at dirOffset; -1 when missing. subdir: the entry must be a directory.
  std::int64_t FindEntry(std::int64_t dirOffset, std::uint32_t id, bool subdir);
  // Offset of the first data entry of a language directory, or -1.
  std::int64_t FirstDataEntry(std::int64_t dirOffset);
  std::int64_t ReadAt(std::int64_t pos, void* buf, std::int64_t n);

  TStream* stream_ = nullptr;
  std::int64_t size_ = 0;
  std::int64_t root_ = 0;        // file offset of the resource directory
  std::int64_t root_limit_ = 0;  // end of the section that holds it
  std::vector<TSection> sections_;
};

}  // namespace qmx
