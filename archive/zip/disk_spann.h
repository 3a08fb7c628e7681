// TDiskSpannObj asks the user for the disks of a ZIP archive spanned over
// removable disks (labelled "PKBACK# 001", "PKBACK# 002", ...) and makes
// sure the disk in the drive is the one asked for before the reader goes on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "archive/base/detect_facts.h"
#include "archive/codec/streams.h"

namespace qmx {

class TZipCommon;

class TDiskSpannObj {
 public:
  // The owner's disk events, error routines and archive name are used.
  explicit TDiskSpannObj(TZipCommon& owner) : owner_(owner) {}

  // Asks for disk N: 0 the last disk (the one holding the end record), 1 the
  // first, any other that disk. position is where the reader will read on
  // it. Closes archive first and reopens it on success; a refused or failed
  // request sets the owner's cancel flag and returns false.
  bool RequestDisk(std::unique_ptr<TFileStream32>& archive, int N, std::int64_t position);

  // Disks accepted so far.
  int DiskCounter() const { return disk_counter_; }
  // The size of the archive file on the disk last accepted.
  std::int64_t ArchiveSize() const { return archive_size_; }
  // What detection found on the last disk (valid after a request for 0).
  const TDetectFacts& LastDiskFacts() const { return last_facts_; }

 private:
  bool LastDiskPresent();
  bool DiskMatches(int N, std::int64_t position);
  bool AskForDisk(int N);

  TZipCommon& owner_;
  int disk_counter_ = 0;
  std::int64_t archive_size_ = 0;
  TDetectFacts last_facts_;
};

}  // namespace qmx
