// Raw Deflate streams decoded by zlib from a TLegacyInput, one stream per
// Run(): the input is taken a buffer at a time and what follows the stream
// (a gzip trailer, the next member) stays in the input for ReadByte.
#pragma once

#include <cstdint>
#include <memory>

#include "archive/codec/legacy_io.h"
#include "archive/codec/window_decoder.h"

namespace qmx {

class TRawInflater {
 public:
  TRawInflater(TLegacyInput& In, TLegacyWriteFunc Write, const bool* Cancel = nullptr);
  ~TRawInflater();
  TRawInflater(const TRawInflater&) = delete;
  TRawInflater& operator=(const TRawInflater&) = delete;

  // Decodes one stream to the end of its final block, handing the output
  // to Write in blocks. Returns a TWindowResult; may be called again for
  // the next stream.
  int Run();
  bool ReadByte(std::uint8_t& b) { return in_.GetByte(b); }
  // Output of the last Run.
  std::int64_t Total() const { return total_; }

 private:
  struct TState;
  TLegacyInput& in_;
  TLegacyWriteFunc write_;
  const bool* cancel_;
  std::unique_ptr<TState> state_;
  std::int64_t total_ = 0;
};

}  // namespace qmx
