// TUn7z: 7z archives, plain, behind a self-extractor stub, and split into
// numbered volumes (x.7z.001 ...). The header is read here; when every
// folder is a chain of coders this library has, the entries are decoded
// here too, otherwise (BCJ2, PPMd, encryption) the run goes to libarchive.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/formats/libarchive/libarchive_reader.h"
#include "archive/formats/sevenzip/sevenzip_header.h"

namespace qmx {

class TUn7z : public TLibArchiveReader {
 public:
  // Whether the last run decoded the archive itself rather than through
  // libarchive.
  bool ReadNatively() const { return FNative; }

 protected:
  void ReadArchive(std::unique_ptr<TFileStream32>& archive) override;
  void EnableFormats(struct archive* a) const override;
  // A name ending in a number (".001") starts a split set: the following
  // numbers, asking for any the start header says the set still needs.
  bool CollectVolumes(std::vector<std::string>& files) override;
  // A header with no entries in it is not one 7-Zip writes: damaged.
  void AfterLastEntry(int entries) override;

 private:
  // What becomes of a sub-stream's bytes.
  enum TSink : std::uint8_t { skDiscard, skWrite, skLink };
  struct TOpenEntry {
    const T7zFile* File = nullptr;
    TSink Sink = skDiscard;
    std::unique_ptr<TFileStream32> Out;
    std::uint64_t Done = 0;
    std::string Target;  // a link's
  };

  bool FindVolumes(std::vector<std::string>& files);
  void ExtractNative(TVolumeChain& chain, const T7zArchive& a);
  // Decodes one folder, handing its sub-streams to files (in folder order).
  void ExtractFolder(TVolumeChain& chain, const T7zArchive& a, std::size_t folder,
                     const std::vector<const T7zFile*>& files);
  void ExtractEmpty(const T7zFile& f);
  bool Selected(const T7zFile& f);
  void Describe(const T7zFile& f, const T7zArchive& a);
  void OpenEntry(TOpenEntry& e, const T7zArchive& a);
  void FeedEntry(TOpenEntry& e, const void* buf, std::int64_t n);
  void CloseEntry(TOpenEntry& e);
  void RefuseLink(const std::string& target);
  void FailEntry(TOpenEntry& e, int code, const std::string& reason);

  std::vector<std::string> FVolumes;
  bool FVolumesKnown = false;
  bool FNative = false;
};

}  // namespace qmx
