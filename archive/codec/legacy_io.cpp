#include "archive/codec/legacy_io.h"

#include <algorithm>
#include <utility>

namespace qmx {

// --- input

TLegacyInput::TLegacyInput(TStream& Source, std::int64_t PackedSize, TLegacyReadFunc Read,
                           const bool* Cancel)
    : source_(Source),
      read_(std::move(Read)),
      cancel_(Cancel),
      remaining_(std::max<std::int64_t>(PackedSize, 0)),
      buf_(MakePoolBuffer(kBufferSize)) {}

bool TLegacyInput::Refill() {
  if (remaining_ <= 0 || short_ || canceled_) return false;
  if (cancel_ && *cancel_) {
    canceled_ = true;
    return false;
  }
  const std::int64_t want = std::min(remaining_, kBufferSize);
  std::int64_t got = read_ ? read_(source_, buf_.get(), want) : source_.Read(buf_.get(), want);
  if (got <= 0) {
    short_ = true;
    return false;
  }
  // A read function that claims more than asked must not move us past the buffer.
  got = std::min(got, want);
  remaining_ -= got;
  pos_ = 0;
  len_ = got;
  return true;
}

// --- output

TLegacyOutput::TLegacyOutput(TLegacyWriteFunc Write, std::int64_t Limit, const bool* Cancel)
    : write_(std::move(Write)), limit_(Limit), cancel_(Cancel), buf_(MakePoolBuffer(kBufferSize)) {}

bool TLegacyOutput::FlushBuffer() {
  if (failed_ || canceled_) return false;
  if (len_ > 0) {
    const std::int64_t n = len_;
    len_ = 0;
    if (!write_ || write_(buf_.get(), n) != n) {
      failed_ = true;
      return false;
    }
  }
  if (cancel_ && *cancel_) {
    canceled_ = true;
    return false;
  }
  return true;
}

}  // namespace qmx
