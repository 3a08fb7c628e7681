// Decoders of the filters 7z puts above a compressor: the branch
// converters, which turn the absolute call targets an executable was
// stored with back into relative ones, and Delta. They work in place on
// whatever the decompressor hands them; a converter that needs bytes past
// the end of a piece to decide leaves them for the next call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qmx {

enum TBranchArch : std::uint8_t {
  baX86,
  baPowerPc,
  baIa64,
  baArm,
  baArmThumb,
  baSparc,
  baArm64,
  baRiscV
};

class TByteFilter {
 public:
  virtual ~TByteFilter() = default;
  // Decodes a leading part of data in place and returns its length; the
  // rest is to be offered again, with the following bytes behind it.
  // Bytes never converted (fewer than an instruction at the end of the
  // stream) stay as they are.
  virtual std::size_t Convert(std::uint8_t* data, std::size_t size) = 0;
};

// startOffset is the address the stream's first byte had when encoded.
std::unique_ptr<TByteFilter> MakeBranchDecoder(TBranchArch arch, std::uint32_t startOffset = 0);
// distance is 1..256.
std::unique_ptr<TByteFilter> MakeDeltaDecoder(unsigned distance);

// Streams through a filter: keeps what Convert leaves over and hands on
// the converted bytes in order.
class TFilterStage {
 public:
  explicit TFilterStage(std::unique_ptr<TByteFilter> filter) : filter_(std::move(filter)) {}

  // Adds bytes; sets out to the converted ones ready to pass on (valid
  // until the next call).
  void Push(const std::uint8_t* data, std::size_t size, const std::uint8_t*& out,
            std::size_t& outSize);
  // The unconverted tail at the end of the stream.
  void Finish(const std::uint8_t*& out, std::size_t& outSize);

 private:
  std::unique_ptr<TByteFilter> filter_;
  std::vector<std::uint8_t> buf_;
  std::size_t done_ = 0;  // bytes of buf_ already handed on
};

}  // namespace qmx
