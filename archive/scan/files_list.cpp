#include "archive/scan/files_list.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "archive/platform/ascii.h"

namespace qmx {

namespace {

std::string ExtensionOf(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

template <typename T>
int Sign(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

int TFilesList::Add(std::unique_ptr<TFileObject> item) {
  int index = Count();
  if (FSortOption != soUnsort) Find(*item, index);
  FItems.insert(FItems.begin() + index, std::move(item));
  FSeq.insert(FSeq.begin() + index, FNextSeq++);
  return index;
}

void TFilesList::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  FItems.erase(FItems.begin() + index);
  FSeq.erase(FSeq.begin() + index);
}

void TFilesList::Clear() {
  std::vector<std::unique_ptr<TFileObject>>().swap(FItems);
  std::vector<std::uint64_t>().swap(FSeq);
  FNextSeq = 0;
}

int TFilesList::CompareText(const std::string& a, const std::string& b) const {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    // Folded to upper case: '_' and the like sort after the letters.
    const auto ca = static_cast<unsigned char>(FCaseSensitive ? a[i] : UpperAscii(a[i]));
    const auto cb = static_cast<unsigned char>(FCaseSensitive ? b[i] : UpperAscii(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return Sign(a.size(), b.size());
}

int TFilesList::Compare(const TFileObject& a, const TFileObject& b) const {
  switch (FSortOption) {
    case soByName:
      return CompareText(a.FileName, b.FileName);
    case soByType:
      return CompareText(ExtensionOf(a.FileName), ExtensionOf(b.FileName));
    case soByPath:
      return CompareText(a.Dir, b.Dir);
    case soBySize:
      // Whole 64-bit sizes: files of 2 GiB and more must not sort first.
      return Sign(a.Size(), b.Size());
    case soByTime:
      // Unsigned, so that dates from 2044 on stay after older ones.
      return Sign(a.DosDateTime, b.DosDateTime);
    case soUnsort:
      break;
  }
  return 0;
}

bool TFilesList::Find(const TFileObject& item, int& index) const {
  int lo = 0;
  int hi = Count();
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (Compare(*FItems[static_cast<std::size_t>(mid)], item) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  index = lo;
  return lo < Count() && Compare(*FItems[static_cast<std::size_t>(lo)], item) == 0;
}

void TFilesList::SetSortOption(TqmxSortOptions option) {
  if (option == FSortOption) return;
  FSortOption = option;
  Sort();
}

void TFilesList::Sort() {
  if (FItems.size() < 2) return;
  if (FSortOption == soUnsort) {
    // Back to the order of arrival.
    std::vector<std::size_t> order(FItems.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [this](std::size_t x, std::size_t y) { return FSeq[x] < FSeq[y]; });
    std::vector<std::unique_ptr<TFileObject>> items;
    std::vector<std::uint64_t> seq;
    items.reserve(order.size());
    seq.reserve(order.size());
    for (std::size_t i : order) {
      items.push_back(std::move(FItems[i]));
      seq.push_back(FSeq[i]);
    }
    FItems.swap(items);
    FSeq.swap(seq);
    return;
  }
  QuickSort(0, static_cast<std::ptrdiff_t>(FItems.size()) - 1);
}

void TFilesList::QuickSort(std::ptrdiff_t lo, std::ptrdiff_t hi) {
  // Recurse into the smaller part and loop over the larger one, so the
  // stack stays logarithmic even for unlucky input.
  while (lo < hi) {
    std::ptrdiff_t i = lo;
    std::ptrdiff_t j = hi;
    const TFileObject* pivot = FItems[static_cast<std::size_t>(lo + (hi - lo) / 2)].get();
    do {
      while (Compare(*FItems[static_cast<std::size_t>(i)], *pivot) < 0) ++i;
      while (Compare(*FItems[static_cast<std::size_t>(j)], *pivot) > 0) --j;
      if (i <= j) {
        std::swap(FItems[static_cast<std::size_t>(i)], FItems[static_cast<std::size_t>(j)]);
        std::swap(FSeq[static_cast<std::size_t>(i)], FSeq[static_cast<std::size_t>(j)]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (j - lo < hi - i) {
      if (lo < j) QuickSort(lo, j);
      lo = i;
    } else {
      if (i < hi) QuickSort(i, hi);
      hi = j;
    }
  }
}

}  // namespace qmx
