// The scanner's own list of found files, optionally kept sorted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qmx {

enum TqmxSortOptions : std::uint8_t { soUnsort, soByName, soByType, soByPath, soBySize, soByTime };

struct TFileObject {
  std::string FileName;  // empty for a directory entry
  std::string Dir;       // with a trailing delimiter
  std::uint32_t SizeLow = 0;
  std::uint32_t SizeHigh = 0;
  std::uint32_t Attr = 0;         // Windows-style attributes
  std::uint32_t DosDateTime = 0;  // last write, local time, date in the high half

  std::int64_t Size() const {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(SizeHigh) << 32) | SizeLow);
  }
  void SetSize(std::int64_t size) {
    SizeLow = static_cast<std::uint32_t>(size);
    SizeHigh = static_cast<std::uint32_t>(static_cast<std::uint64_t>(size) >> 32);
  }
};

// A list that owns its entries.
class TBaseFilesList {
 public:
  TBaseFilesList() = default;
  TBaseFilesList(const TBaseFilesList&) = delete;
  TBaseFilesList& operator=(const TBaseFilesList&) = delete;
  virtual ~TBaseFilesList() = default;

  // Takes the entry and returns its index.
  virtual int Add(std::unique_ptr<TFileObject> item) = 0;
  virtual void Delete(int index) = 0;
  virtual void Clear() = 0;
  virtual void Sort() = 0;

  int Count() const { return static_cast<int>(FItems.size()); }
  const TFileObject& Items(int index) const { return *FItems.at(static_cast<std::size_t>(index)); }
  TFileObject& Items(int index) { return *FItems.at(static_cast<std::size_t>(index)); }

 protected:
  std::vector<std::unique_ptr<TFileObject>> FItems;
};

class TFilesList : public TBaseFilesList {
 public:
  // Appended when unsorted; otherwise inserted before the first entry that
  // does not compare below it.
  int Add(std::unique_ptr<TFileObject> item) override;
  void Delete(int index) override;
  // Frees every entry and the list's capacity.
  void Clear() override;
  void Sort() override;

  // <0, 0, >0 under the current sort option.
  int Compare(const TFileObject& a, const TFileObject& b) const;
  // Index of the first entry not below item; true when that entry compares
  // equal. Meaningful only while the list is sorted.
  bool Find(const TFileObject& item, int& index) const;

  TqmxSortOptions SortOption() const { return FSortOption; }
  // Stores the option and re-sorts when it changed.
  void SetSortOption(TqmxSortOptions option);

  bool CaseSensitive() const { return FCaseSensitive; }
  // Takes effect at the next sort or insertion.
  void SetCaseSensitive(bool on) { FCaseSensitive = on; }

 private:
  int CompareText(const std::string& a, const std::string& b) const;
  void QuickSort(std::ptrdiff_t lo, std::ptrdiff_t hi);

  TqmxSortOptions FSortOption = soUnsort;
  bool FCaseSensitive = false;
  // Insertion order, so that soUnsort can bring back the order of arrival.
  std::vector<std::uint64_t> FSeq;
  std::uint64_t FNextSeq = 0;
};

}  // namespace qmx
