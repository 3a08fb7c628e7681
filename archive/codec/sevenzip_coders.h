// The coders of 7z folders that are a single chain: one main decoder
// reading the packed stream (Copy, LZMA, LZMA2, Deflate, Deflate64, BZip2,
// Zstandard) under any number of filters (the branch converters and Delta).
// Coders with several inputs (BCJ2), PPMd and the AES cipher are not among
// them: an archive that uses those is read another way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/codec/library_decoders.h"

namespace qmx {

// A coder as the folder record names it.
struct T7zCoder {
  std::uint64_t MethodId = 0;
  std::vector<std::uint8_t> Props;
};

// Whether Decode7zChain can run this coder.
bool Is7zCoderSupported(const T7zCoder& coder);
// Whether the coders (chain[0] outermost) are filters above one main
// decoder, each of them supported: what Decode7zChain accepts.
bool Is7zChainSupported(const std::vector<T7zCoder>& chain);

// The name 7-Zip lists for the coder ("LZMA:16", "LZMA2:24", "BCJ", "ARM64",
// "Delta:4", "Deflate", "BZip2", "Copy", "PPMD", "BCJ2", "7zAES"); the
// method id in hex for one it does not know.
std::string SevenZipCoderName(const T7zCoder& coder);

// Decodes a folder whose coders form one chain. chain[0] is the outermost
// coder (its output is the folder's), the last one reads the packed stream
// through read. unpackSizes[i] is coder i's declared output size; the
// folder's output stops there. write receives the folder's output in order.
TLibraryResult Decode7zChain(const std::vector<T7zCoder>& chain,
                             const std::vector<std::uint64_t>& unpackSizes,
                             const TLibraryRead& read, const TLibraryWrite& write,
                             const bool* cancel);

}  // namespace qmx
