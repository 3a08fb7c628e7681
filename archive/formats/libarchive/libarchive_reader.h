// TLibArchiveReader: a reader whose decoding is libarchive's. It hands
// libarchive the archive's bytes (from the detected start, across all the
// volumes of a set, read in pieces, never whole) and turns what libarchive
// reports into the framework's per-entry order: selection, output paths,
// overwrite questions, verdicts and progress stay the framework's. The
// RAR and 7z readers say which formats libarchive is to take and which
// files make up the set.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/base/extract_framework.h"

struct archive;
struct archive_entry;

namespace qmx {

// The volumes of an archive as one run of bytes, starting at an offset in
// the first file.
class TVolumeChain {
 public:
  TVolumeChain(std::vector<std::string> files, std::int64_t firstOffset);
  ~TVolumeChain();
  TVolumeChain(const TVolumeChain&) = delete;
  TVolumeChain& operator=(const TVolumeChain&) = delete;

  // False, with the name of the file in Failed(), when one cannot be opened.
  bool Open();
  const std::string& Failed() const { return FFailed; }
  std::int64_t Size() const { return FTotal; }
  // The file that holds the current position.
  const std::string& CurrentFile() const;

  // What libarchive's callbacks need: bytes at the position (nullptr,
  // with count 0, at the end; -1 on a read error), and moves.
  std::int64_t Read(const void** buf);
  std::int64_t Seek(std::int64_t offset, int whence);
  std::int64_t Skip(std::int64_t count);

 private:
  struct TPart {
    std::string Name;
    int Fd = -1;
    std::int64_t Start = 0;   // position of the part's first byte in the chain
    std::int64_t Offset = 0;  // where the part's bytes begin in its file
    std::int64_t Size = 0;
  };
  std::vector<TPart> FParts;
  std::int64_t FFirstOffset;
  std::int64_t FTotal = 0;
  std::int64_t FPos = 0;
  std::string FFailed;
  std::vector<std::uint8_t> FBuffer;
};

class TLibArchiveReader : public TUnBase {
 public:
  // libarchive's name for the format of the last run ("RAR5", "7-Zip").
  const std::string& FormatName() const { return FFormatName; }

 protected:
  void ReadArchive(std::unique_ptr<TFileStream32>& archive) override;

  // The formats libarchive is to recognise.
  virtual void EnableFormats(struct archive* a) const = 0;
  // The files of the set in order, ArchiveFile first; asks OnNextVolume
  // for one that is missing. False: the run cannot start (reported).
  virtual bool CollectVolumes(std::vector<std::string>& files);

  // Whether the entry's data is encrypted (libarchive's word, which a
  // format may add to).
  virtual bool DataEncrypted(struct archive_entry* entry, const std::string& name) const;
  // After the last entry, when libarchive found the end: entries is how
  // many headers it read.
  virtual void AfterLastEntry(int entries) { (void)entries; }

 private:
  // Processes the entries after the first skip; the count to skip when
  // reading on after damaged data, -1 when the walk is over.
  int WalkEntries(struct archive* a, TVolumeChain& chain, int skip);
  // One selected entry; false when libarchive can go no further.
  bool ProcessEntry(struct archive* a, struct archive_entry* entry, TVolumeChain& chain);
  void DescribeEntry(struct archive_entry* entry, const std::string& name);
  // Decodes the current entry into out; false with the reason in error.
  bool CopyData(struct archive* a, TFileStream32* out, std::int64_t size, TVolumeChain& chain,
                std::string& error, bool& fatal);
  void RefuseEntry(int code, const std::string& reason);
  void NoteArchivePosition(struct archive* a);

  std::string FFormatName;
  // The current entry's name as libarchive gave it.
  std::string FRawName;
  std::int64_t FChainSize = 0;
};

}  // namespace qmx
