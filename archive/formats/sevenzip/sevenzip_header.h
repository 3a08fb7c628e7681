// The 7z container: the start header, the header behind the packed
// streams (plain, or itself packed into a folder: "encoded"), its folders
// and the files that map onto their sub-streams. Every count in it is
// checked against the bytes left before anything is sized by it, every
// size and offset against the archive's length.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/codec/sevenzip_coders.h"

namespace qmx {

// A folder: coders bound into a graph, reading packed streams.
struct T7zFolder {
  struct TCoder {
    T7zCoder Coder;
    std::uint32_t Inputs = 1;
    std::uint32_t Outputs = 1;
  };
  std::vector<TCoder> Coders;
  // Input stream index fed by output stream index.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> BindPairs;
  // The input streams that read packed streams, in pack stream order.
  std::vector<std::uint64_t> PackedInputs;
  // One per output stream of all coders.
  std::vector<std::uint64_t> UnpackSizes;
  bool HasCrc = false;
  std::uint32_t Crc = 0;

  // Filled once the streams are read.
  std::uint64_t FirstPackStream = 0;
  std::uint64_t SubStreams = 1;
  std::uint64_t UnpackSize = 0;  // the folder's own output
  std::uint64_t PackedSize = 0;
  // The coders as one chain, outermost first, with each one's output size;
  // empty when Decode7zChain cannot take the folder.
  std::vector<T7zCoder> Chain;
  std::vector<std::uint64_t> ChainSizes;
  bool Native() const { return !Chain.empty(); }
  bool Encrypted() const;
  // 7-Zip's listing of the coders ("BCJ LZMA:16").
  std::string MethodName() const;
};

struct T7zStreams {
  // Where the first packed stream starts, behind the start header.
  std::uint64_t PackPos = 0;
  std::vector<std::uint64_t> PackSizes;
  std::vector<T7zFolder> Folders;
  // The sub-streams of all folders in order.
  std::vector<std::uint64_t> SubSizes;
  std::vector<std::uint8_t> SubHasCrc;
  std::vector<std::uint32_t> SubCrcs;
};

struct T7zFile {
  std::string Name;  // UTF-8
  bool HasStream = true;
  bool IsDir = false;
  bool IsAnti = false;
  bool HasMTime = false;
  std::uint64_t MTime = 0;  // FILETIME
  bool HasAttrib = false;
  std::uint32_t Attrib = 0;
  std::uint64_t Size = 0;
  bool HasCrc = false;
  std::uint32_t Crc = 0;
  // The folder that holds the data (-1: none) and the sub-stream's index
  // within it.
  std::int64_t Folder = -1;
  std::uint64_t IndexInFolder = 0;
};

struct T7zArchive {
  T7zStreams Streams;
  std::vector<T7zFile> Files;
  // Bytes from the archive's start (its signature) to the end of its header.
  std::uint64_t PhysicalSize = 0;
  bool HeaderEncoded = false;
};

enum T7zStatus : std::uint8_t {
  s7Ok,
  s7NotArchive,   // no signature
  s7Damaged,      // a header that does not hold together
  s7Unsupported,  // sound, but beyond what is read here (external data, odd coders)
  s7Encrypted     // the header is packed with a cipher
};

// Bytes at pos of the archive (0 is its signature) into buf; the count read.
using T7zReadAt = std::function<std::int64_t(std::uint64_t pos, void* buf, std::int64_t count)>;

// Reads the start header, the header (decoding it when encoded) and maps
// the files onto the folders. size is the archive's length from its
// signature on. why says what is wrong when the result is not s7Ok.
T7zStatus Load7zArchive(const T7zReadAt& readAt, std::uint64_t size, T7zArchive& archive,
                        std::string& why, const bool* cancel);

// Decodes folder index of streams; read positions are the archive's.
TLibraryResult Decode7zFolder(const T7zStreams& streams, std::size_t index, const T7zReadAt& readAt,
                              const TLibraryWrite& write, const bool* cancel);

}  // namespace qmx
