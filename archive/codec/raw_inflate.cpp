#include "archive/codec/raw_inflate.h"

#include <zlib.h>

#include <cstring>

#include "archive/codec/buffer_pool.h"

namespace qmx {
namespace {

constexpr std::size_t kOutSize = 65536;

}  // namespace

struct TRawInflater::TState {
  z_stream Zs{};
  bool Ready = false;
  TPoolBuffer Out = MakePoolBuffer(kOutSize);
  ~TState() {
    if (Ready) inflateEnd(&Zs);
  }
};

TRawInflater::TRawInflater(TLegacyInput& In, TLegacyWriteFunc Write, const bool* Cancel)
    : in_(In), write_(std::move(Write)), cancel_(Cancel), state_(std::make_unique<TState>()) {}

TRawInflater::~TRawInflater() = default;

int TRawInflater::Run() {
  TState& s = *state_;
  total_ = 0;
  if (!s.Ready) {
    if (inflateInit2(&s.Zs, -15) != Z_OK) return wrBadData;
    s.Ready = true;
  } else if (inflateReset(&s.Zs) != Z_OK) {
    return wrBadData;
  }
  z_stream& zs = s.Zs;
  for (;;) {
    if (cancel_ && *cancel_) return wrCanceled;
    const std::uint8_t* p = nullptr;
    const std::int64_t avail = in_.Peek(p);
    if (avail == 0) return in_.Canceled() ? wrCanceled : wrInputShort;
    const auto take = static_cast<uInt>(avail);
    zs.next_in = const_cast<Bytef*>(p);
    zs.avail_in = take;
    int r = Z_OK;
    // Drain the output this input gives before asking for more.
    do {
      zs.next_out = s.Out.get();
      zs.avail_out = kOutSize;
      r = inflate(&zs, Z_NO_FLUSH);
      const auto made = static_cast<std::int64_t>(kOutSize - zs.avail_out);
      if (made > 0) {
        if (write_(s.Out.get(), made) != made) return wrWriteError;
        total_ += made;
      }
      if (r == Z_STREAM_END) {
        in_.Consume(take - zs.avail_in);
        return wrOk;
      }
      if (r != Z_OK && r != Z_BUF_ERROR) return wrBadData;
    } while (zs.avail_out == 0);
    in_.Consume(take - zs.avail_in);
  }
}

}  // namespace qmx
