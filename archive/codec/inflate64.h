// Table-driven Deflate decoder with a Deflate64 mode (64 KiB window, length
// code 285 = 3 + 16 extra bits, distance codes 30 and 31). The ZIP reader
// uses it for method 9; plain Deflate goes through zlib (raw_inflate.h),
// and plain mode is kept so the tests can hold the tables against zlib.
//
// Input comes through a TLegacyInput (packed size, decrypting reads, cancel
// polling); output goes to a caller-supplied write function, so the caller's
// WriteBlock keeps CRC and progress up to date. The window is handed over
// whenever it fills and at the end.
#pragma once

#include <cstdint>

#include "archive/codec/window_decoder.h"

namespace qmx {

class TInflater {
 public:
  // Limit (not negative) caps the output; decoding stops once it is reached.
  TInflater(TLegacyInput& In, TLegacyWriteFunc Write, bool Deflate64, std::int64_t Limit = -1,
            const bool* Cancel = nullptr);

  // Decodes one Deflate stream up to the end of its final block and hands
  // the window over. Returns a TWindowResult.
  int Run();
  // Bytes following the stream (a GZip member trailer, the next header).
  bool ReadByte(std::uint8_t& b) { return bits_.Byte(b); }
  std::int64_t Total() const { return out_.Total(); }

 private:
  int Block();
  int Stored();
  int Dynamic();
  int Codes(const TCodeTable& Lit, const TCodeTable& Dist);
  bool Stop(int& r);

  TPeekBitReader bits_;
  TWindowWriter out_;
  bool deflate64_;
  const bool* cancel_;
  TCodeTable fixedLit_, fixedDist_;
  bool fixedBuilt_ = false;
};

// Decodes one entry; Deflate64 selects the mode. Returns a TWindowResult.
int InflateEntry(TLegacyInput& In, TLegacyWriteFunc Write, bool Deflate64, std::int64_t Limit = -1,
                 const bool* Cancel = nullptr);

}  // namespace qmx
