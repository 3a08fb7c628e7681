// Wildcard masks as the file scanner applies them: "*" for any run of
// characters, "?" for one character, everything else literal and compared
// without ASCII case. A mask always has to cover the whole name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/scan/string_list.h"

namespace qmx {

class TInternalMask {
 public:
  explicit TInternalMask(const std::string& mask);

  bool Matches(const std::string& name) const;

  const std::string& Text() const { return FText; }

 private:
  // One compiled position of the mask.
  struct TStep {
    bool AfterStar = false;  // a "*" precedes this step
    std::uint8_t Kind = 0;   // 0 literal, 1 any single character
    char Ch = 0;             // literal, upper-cased; 0 ends the name
  };

  bool MatchText(const std::string& name) const;

  std::string FText;
  std::vector<TStep> FSteps;  // always ends with the terminating literal 0
  bool FEndsWithDot = false;
};

// One member of a mask collection.
class TMultiMask {
 public:
  explicit TMultiMask(const std::string& mask) : FMask(mask) {}

  const TInternalMask& Mask() const { return FMask; }
  const std::string& Text() const { return FMask.Text(); }
  bool Matches(const std::string& name) const { return FMask.Matches(name); }

 private:
  TInternalMask FMask;
};

class TMaskCollection {
 public:
  TMultiMask& Add(const std::string& mask);
  // Adds every mask of a comma-separated mask string.
  void AddMaskString(const std::string& masks);
  void Clear() { FItems.clear(); }

  std::size_t Count() const { return FItems.size(); }
  bool Empty() const { return FItems.empty(); }
  const TMultiMask& Items(std::size_t i) const { return *FItems[i]; }

  // True when at least one mask matches, tested in collection order.
  bool Matches(const std::string& name) const;

 private:
  std::vector<std::unique_ptr<TMultiMask>> FItems;
};

// Splits "a, b ,c" into its masks: leading and trailing spaces of each mask
// are dropped, inner ones kept; empty masks are left out.
TStrings SplitMaskString(const std::string& masks);

}  // namespace qmx
