#include "archive/codec/temp_streams.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "archive/platform/files.h"
#include "codec_test_util.h"

namespace qmx {
namespace {

using Events = std::vector<std::string>;

// Records the protocol and does with the file what a real owner does.
class TFakeOwner : public TStreamOwner {
 public:
  bool cancel = false, cancel_in_begin = false, same_drive = false, disk_full = false;
  int move_errno = 0, progress = 0;
  std::int64_t todo = 0, archive_size = 0;
  Events events;
  TStream32* sender = nullptr;
  std::string temp_name;

  bool& CancelRef() override { return cancel; }
  std::int64_t& BytesToDoRef() override { return todo; }
  std::int64_t OwnerArchiveSize() const override { return archive_size; }
  std::string OwnerTempDir() override { return {}; }
  void DoTmpFileMoveBegin(const std::string&, const std::string&, bool& Cancel) override {
    events.push_back("begin");
    EXPECT_EQ(&Cancel, &cancel);  // the handler's answer must reach the stream
    if (cancel_in_begin) Cancel = true;
  }
  void MoveTempFile(TStream32& Sender, const std::string& ArchiveName, bool SameDrive,
                    const std::string& TempName) override {
    events.push_back("move");
    sender = &Sender;
    temp_name = TempName;
    same_drive = SameDrive;
    if (move_errno) throw std::system_error(move_errno, std::generic_category(), "move");
    if (auto* mem = dynamic_cast<TTempMemStream*>(&Sender)) {
      mem->SaveToFile(ArchiveName);
    } else if (SameDrive) {
      ASSERT_TRUE(RenameFile(TempName, ArchiveName));
    } else {
      TFileStream32 src(TempName, fmOpenRead), dst(ArchiveName, TFileStream32::kCreateMode);
      src.BytesToDo = &todo;
      todo = src.Size();
      src.ReadHook = [this](TStream32& s) { DoTmpFileProgress(s); };
      dst.CopyFrom(src, 0);
    }
  }
  void DoTmpFileMoveEnd() override { events.push_back("end"); }
  void DoTmpFileProgress(TStream32&) override { ++progress; }
  void ReportDiskFull() override { disk_full = true; }
};

// Writes data through a temporary stream in dir, destroys it and returns
// the temporary name it used.
std::string WriteTemp(TFakeOwner& owner, const std::string& final_name, const std::string& dir,
                      const std::string& data, bool discard = false) {
  TTempFileStream s(owner, TFileStream32::kCreateMode, final_name, dir);
  EXPECT_GE(s.Handle(), 0);
  s.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
  if (discard) s.Discard();
  return s.TempName();
}

TEST(MakeTempFileName, CreatesAnEmptyQmxFileInTheDirectoryElseTheSystemOne) {
  test::TempDir dir;
  const std::string name = MakeTempFileName(dir.path());
  EXPECT_EQ(name.rfind(dir / "qmx", 0), 0u) << name;
  EXPECT_EQ(name.substr(name.size() - 4), ".tmp");
  EXPECT_EQ(FileSizeByName(name), 0);
  const std::string fallback = MakeTempFileName(dir / "missing");
  EXPECT_EQ(fallback.rfind(SystemTempDir(), 0), 0u) << fallback;
  DeleteFile(fallback);
}

TEST(TempFileStream, MovesOnOneFileSystemAndRaisesMoveEndOnlyAbove64K) {
  test::TempDir dir;
  const std::string data = codectest::TextLike(70000);
  for (std::int64_t size : {65536, 65537}) {
    TFakeOwner owner;
    owner.archive_size = size;
    test::WriteFile(dir / "new.zip", "OLD");
    const std::string temp = WriteTemp(owner, dir / "new.zip", dir.path(), data);
    const Events want = size > 65536 ? Events{"begin", "move", "end"} : Events{"begin", "move"};
    EXPECT_EQ(owner.events, want);
    EXPECT_TRUE(owner.same_drive);
    EXPECT_EQ(owner.temp_name, temp);
    EXPECT_EQ(test::ReadFile(dir / "new.zip"), data);
    EXPECT_FALSE(FileExists(temp));
  }
}

TEST(TempFileStream, CopiesAcrossFileSystemsWithProgress) {
  test::TempDir dir;
  std::unique_ptr<test::TempDir> other;
  {
    test::TEnvGuard env;
    env.Set("TMPDIR", "/dev/shm");
    other = std::make_unique<test::TempDir>();
  }
  if (SameFileSystem(other->path(), dir.path())) GTEST_SKIP() << "no second file system";
  TFakeOwner owner;
  const std::string data = codectest::BinaryMix(300000);
  const std::string temp = WriteTemp(owner, dir / "new.zip", other->path(), data);
  EXPECT_FALSE(owner.same_drive);
  EXPECT_GT(owner.progress, 0);
  EXPECT_EQ(test::ReadFile(dir / "new.zip"), data);
  EXPECT_FALSE(FileExists(temp));
}

TEST(TempFileStream, CancelOrDiscardKeepsTheOldArchiveAndDeletesTheTemporary) {
  test::TempDir dir;
  const std::string final_name = dir / "old.zip";
  test::WriteFile(final_name, "OLD");

  TFakeOwner before;  // cancelled during the run: no events at all
  std::string temp;
  {
    TTempFileStream s(before, TFileStream32::kCreateMode, final_name, dir.path());
    temp = s.TempName();
    before.cancel = true;
  }
  EXPECT_TRUE(before.events.empty());
  EXPECT_FALSE(FileExists(temp));

  TFakeOwner in_begin;  // cancelled by the move-begin handler
  in_begin.cancel_in_begin = true;
  in_begin.archive_size = 1 << 20;
  EXPECT_FALSE(FileExists(WriteTemp(in_begin, final_name, dir.path(), "NEW")));
  EXPECT_EQ(in_begin.events, (Events{"begin", "end"}));

  TFakeOwner failed;  // a failed update
  EXPECT_FALSE(FileExists(WriteTemp(failed, final_name, dir.path(), "NEW", true)));
  EXPECT_TRUE(failed.events.empty());
  EXPECT_EQ(test::ReadFile(final_name), "OLD");
}

TEST(TempFileStream, DiskFullDuringTheMoveIsReportedAndNothingEscapes) {
  test::TempDir dir;
  for (int err : {ENOSPC, EACCES}) {
    TFakeOwner owner;
    owner.move_errno = err;
    std::string temp;
    EXPECT_NO_THROW(temp = WriteTemp(owner, dir / "x.zip", dir.path(), "abc"));
    EXPECT_EQ(owner.disk_full, err == ENOSPC);
    EXPECT_FALSE(FileExists(temp));
  }
}

TEST(TempFileStream, ReadHookWhileBytesRemainCopyCancelAndDirectMode) {
  test::TempDir dir;
  TFakeOwner owner;
  {
    TTempFileStream s(owner, TFileStream32::kCreateMode, dir / "f", dir.path());
    TMemoryStream32 src;
    codectest::Fill(src, codectest::TextLike(350000));
    int pumps = 0;
    {
      codectest::TPumpGuard pump([&] { owner.cancel = ++pumps == 3; });
      EXPECT_EQ(s.CopyFrom(src, 0), 200000);  // 100,000-byte chunks
    }
    s.SetPosition(0);
    owner.todo = 150;
    char buf[100];
    for (int i = 0; i < 3; ++i) EXPECT_EQ(s.Read(buf, 100), 100);
    EXPECT_EQ(owner.progress, 2);  // none once nothing is left to do
    EXPECT_EQ(owner.todo, -50);
  }
  EXPECT_FALSE(FileExists(dir / "f"));  // still cancelled

  // Any other mode writes the final file itself, with no move.
  TFakeOwner direct;
  test::WriteFile(dir / "d", "OLD");
  {
    TTempFileStream s(direct, fmOpenReadWrite, dir / "d", dir.path());
    EXPECT_FALSE(s.IsTemporary());
    s.Seek(0, soFromEnd);
    s.WriteBuffer("NEW", 3);
  }
  EXPECT_TRUE(direct.events.empty());
  EXPECT_EQ(test::ReadFile(dir / "d"), "OLDNEW");
}

TEST(TempMemStream, HandsItselfToTheOwnerAndAlwaysEndsTheMove) {
  test::TempDir dir;
  const std::string data = codectest::BinaryMix(20000);
  TFakeOwner owner;  // archive size 0: the memory stream ends the move anyway
  TTempMemStream* raw = nullptr;
  {
    TTempMemStream s(owner, TFileStream32::kCreateMode, dir / "mem.zip");
    raw = &s;
    s.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
  }
  EXPECT_EQ(owner.events, (Events{"begin", "move", "end"}));
  EXPECT_EQ(owner.sender, raw);
  EXPECT_EQ(owner.temp_name, "NoName");
  EXPECT_FALSE(owner.same_drive);
  EXPECT_EQ(test::ReadFile(dir / "mem.zip"), data);

  TFakeOwner cancelled, full;
  full.move_errno = ENOSPC;
  {
    TTempMemStream a(cancelled, TFileStream32::kCreateMode, dir / "never.zip");
    TTempMemStream b(full, TFileStream32::kCreateMode, dir / "full.zip");
    cancelled.cancel = true;
  }
  EXPECT_TRUE(cancelled.events.empty());
  EXPECT_FALSE(FileExists(dir / "never.zip"));
  EXPECT_TRUE(full.disk_full);

  TFakeOwner reader;  // reads count down whatever is left
  TTempMemStream m(reader, 0, {});
  codectest::Fill(m, "abcdef");
  char b[4];
  EXPECT_EQ(m.Read(b, 4), 4);
  EXPECT_EQ(m.Read(b, 4), 2);
  EXPECT_EQ(reader.todo, -8);
  EXPECT_EQ(reader.progress, 2);
}

}  // namespace
}  // namespace qmx
