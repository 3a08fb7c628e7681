// Helpers for the window decoder tests: corpus access, a minimal ZIP
// directory walk, a bit packer and a decode runner over memory.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/codec/streams.h"
#include "archive/codec/window_decoder.h"
#include "tests/support/raw_zip.h"

namespace qmx::wintest {

using test::Bytes;
using test::Le;
using test::ListZip;
using test::Load;
using test::TBitWriter;
using test::TEntry;

struct TRun {
  int Result;
  Bytes Out;
  std::int64_t SourceEnd = 0;  // source position after the run
};

using TDecodeFunc = std::function<int(TLegacyInput&, TLegacyWriteFunc)>;

// Runs Decode over Packed bytes of Data from At, collecting the output.
inline TRun RunDecoder(const Bytes& data, std::int64_t at, std::int64_t packed,
                       const TDecodeFunc& decode, const bool* cancel = nullptr) {
  TMemoryStream32 src;
  src.Write(data.data(), static_cast<std::int64_t>(data.size()));
  src.SetPosition(at);
  TRun run;
  TLegacyInput in(src, packed, {}, cancel);
  run.Result = decode(in, [&](const void* p, std::int64_t n) {
    EXPECT_GT(n, 0);
    EXPECT_LE(n, 65536);
    run.Out.insert(run.Out.end(), static_cast<const std::uint8_t*>(p),
                   static_cast<const std::uint8_t*>(p) + n);
    return n;
  });
  run.SourceEnd = src.Position();
  return run;
}

}  // namespace qmx::wintest
