#include "archive/codec/streams.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "codec_test_util.h"

namespace qmx {
namespace {

using codectest::TSpyStream;

TEST(MemoryStream, GrowsIn8KStepsZeroFillsGapsAndReportsOutOfMemory) {
  TMemoryStream32 m;
  m.WriteBuffer("x", 1);
  EXPECT_EQ(m.Capacity(), 8192);
  m.SetPosition(20000);  // writing past the end leaves zeros, not heap leftovers
  m.WriteBuffer("yz", 2);
  EXPECT_EQ(m.Capacity(), 24576);
  EXPECT_EQ(codectest::ContentsOf(m), "x" + std::string(19999, '\0') + "yz");
  m.SetSize(10);
  EXPECT_EQ(m.Position(), 10);  // clipped to the new end
  char b[4];
  EXPECT_EQ(m.Read(b, 4), 0);
  try {
    m.SetSize(std::numeric_limits<std::int64_t>::max());
    FAIL() << "no exception";
  } catch (const EStreamError& e) {
    EXPECT_STREQ(e.what(), "Out of memory while expanding memory stream");
  }
  EXPECT_EQ(m.Size(), 10);
  m.SetPosition(8);
  EXPECT_THROW(m.ReadBuffer(b, 4), EStreamError);  // "Stream read error"
}

TEST(FileStream, FailedOpenReadHookAndTruncate) {
  test::TempDir dir;
  TFileStream32 missing(dir / "no/such/file", fmOpenRead);
  EXPECT_LT(missing.Handle(), 0);
  char b[600];
  EXPECT_EQ(missing.Read(b, 4), 0);  // an OS failure reads as nothing
  EXPECT_THROW(missing.WriteBuffer("x", 1), EStreamError);

  const std::string data = codectest::TextLike(1000);
  {
    TFileStream32 out(dir / "f", TFileStream32::kCreateMode);
    out.WriteBuffer(data.data(), 1000);
    out.SetSize(600);
  }
  TFileStream32 in(dir / "f", fmOpenRead);
  EXPECT_EQ(in.Size(), 600);
  std::int64_t todo = 1000;
  int hooks = 0;
  in.BytesToDo = &todo;
  in.ReadHook = [&](TStream32& s) { hooks += &s == &in; };
  EXPECT_EQ(in.Read(b, 500), 500);
  EXPECT_EQ(in.Read(b + 500, 500), 100);
  EXPECT_EQ(in.Read(b, 10), 0);  // end of file: no hook
  EXPECT_EQ(hooks, 2);
  EXPECT_EQ(todo, 0);  // decreased by the requested counts
  EXPECT_EQ(std::string(b, 600), data.substr(0, 600));
}

TEST(FileStream, ReadOnlyStreamServesScatteredReadsFromItsBuffer) {
  test::TempDir dir;
  const std::string data = codectest::BinaryMix(300000);
  test::WriteFile(dir / "f", data);
  TFileStream32 f(dir / "f", fmOpenRead);
  ASSERT_GE(f.Handle(), 0);
  std::mt19937 rng(7);
  std::string got;
  for (int i = 0; i < 2000; ++i) {
    // Small reads around buffer boundaries, large reads past the buffer, and
    // seeks from every origin.
    const std::int64_t len = (i % 50 == 0) ? 100000 : static_cast<std::int64_t>(rng() % 300);
    std::int64_t pos = static_cast<std::int64_t>(rng() % data.size());
    if (i % 3 == 0)
      f.Seek(pos, soFromBeginning);
    else if (i % 3 == 1)
      pos = f.Seek(-static_cast<std::int64_t>(data.size()) + pos, soFromEnd);
    else
      pos = f.Seek(0, soFromCurrent);
    got.assign(static_cast<std::size_t>(len), '\0');
    const std::int64_t n = f.Read(got.data(), len);
    const std::int64_t want =
        std::min<std::int64_t>(len, static_cast<std::int64_t>(data.size()) - pos);
    ASSERT_EQ(n, want) << "at " << pos;
    ASSERT_EQ(got.substr(0, static_cast<std::size_t>(n)),
              data.substr(static_cast<std::size_t>(pos), static_cast<std::size_t>(n)));
    ASSERT_EQ(f.Position(), pos + n);
  }
  EXPECT_EQ(f.Seek(-1, soFromBeginning), -1);
  char c;
  f.Seek(0, soFromEnd);
  EXPECT_EQ(f.Read(&c, 1), 0);
}

TEST(CopyFrom, RewindsForCountZeroCopiesInChunksAndActivatesProgress) {
  const std::string data = codectest::BinaryMix(300000);
  TMemoryStream32 src;
  codectest::Fill(src, data);
  src.SetPosition(12345);
  TSpyStream dst;
  int pumps = 0, progress = 0;
  codectest::TPumpGuard pump([&] { ++pumps; });
  dst.OwnerProgress = [&](TStream32&) { ++progress; };
  EXPECT_EQ(dst.CopyFrom(src, 0), 300000);
  EXPECT_EQ(dst.writes, (std::vector<std::int64_t>{131072, 131072, 37856}));
  EXPECT_EQ(pumps, 3);
  EXPECT_EQ(codectest::ContentsOf(dst), data);
  dst.DoProgress(dst);
  EXPECT_EQ(progress, 1);

  src.SetPosition(299990);  // an explicit count starts where the source stands
  EXPECT_THROW(dst.CopyFrom(src, 20), EStreamError);
}

TEST(CopyFrom, CancelSetWhileMessagesArePumpedStopsBeforeTheNextChunk) {
  TMemoryStream32 src, dst;
  codectest::Fill(src, codectest::TextLike(600000));
  bool cancel = false;
  dst.OwnerCancel = &cancel;
  int pumps = 0;
  codectest::TPumpGuard pump([&] { cancel = ++pumps == 3; });
  EXPECT_EQ(dst.CopyFrom(src, 0), 2 * 131072);
  EXPECT_EQ(dst.Size(), 2 * 131072);
}

}  // namespace
}  // namespace qmx
