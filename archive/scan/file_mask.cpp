#include "archive/scan/file_mask.h"

#include "archive/platform/ascii.h"

namespace qmx {

TInternalMask::TInternalMask(const std::string& mask) : FText(mask) {
  // A mask is C text to its users; anything after a NUL would never match.
  const std::string text = mask.substr(0, mask.find('\0'));
  bool star = false;
  for (char c : text) {
    if (c == '*') {
      star = true;
    } else if (c == '?') {
      // "*?" is kept as plain "*": the star already covers that character.
      if (!star) FSteps.push_back({false, 1, 0});
    } else {
      FSteps.push_back({star, 0, UpperAscii(c)});
      star = false;
    }
  }
  FSteps.push_back({star, 0, 0});
  FEndsWithDot = !text.empty() && text.back() == '.';
}

bool TInternalMask::Matches(const std::string& name) const {
  // "*." stands for names without an extension.
  if (FEndsWithDot && name.find('.') == std::string::npos) return MatchText(name + ".");
  return MatchText(name);
}

bool TInternalMask::MatchText(const std::string& name) const {
  // Only the most recent star needs a resume point: a later star can absorb
  // whatever an earlier one would have, so the work stays within
  // name length times mask length for any mask.
  const std::size_t n = name.size();
  const std::size_t last = FSteps.size() - 1;
  std::size_t pos = 0;
  std::size_t step = 0;
  bool resumable = false;
  std::size_t resumePos = 0;
  std::size_t resumeStep = 0;
  for (;;) {
    const TStep& s = FSteps[step];
    if (s.AfterStar) {
      if (s.Ch == 0) {
        pos = n;
      } else {
        while (pos < n && UpperAscii(name[pos]) != s.Ch) ++pos;
      }
      if (pos < n) {
        resumable = true;
        resumePos = pos + 1;
        resumeStep = step;
      }
    }
    bool ok;
    if (s.Kind == 1)
      ok = pos < n;
    else if (s.Ch == 0)
      ok = pos == n;
    else
      ok = pos < n && UpperAscii(name[pos]) == s.Ch;
    if (ok) {
      if (step == last) return true;
      ++pos;
      ++step;
      continue;
    }
    if (!resumable) return false;
    pos = resumePos;
    step = resumeStep;
    resumable = false;
  }
}

TMultiMask& TMaskCollection::Add(const std::string& mask) {
  FItems.push_back(std::make_unique<TMultiMask>(mask));
  return *FItems.back();
}

void TMaskCollection::AddMaskString(const std::string& masks) {
  for (const std::string& m : SplitMaskString(masks)) Add(m);
}

bool TMaskCollection::Matches(const std::string& name) const {
  for (const auto& m : FItems)
    if (m->Matches(name)) return true;
  return false;
}

TStrings SplitMaskString(const std::string& masks) {
  TStrings out;
  std::string cur;
  auto flush = [&] {
    while (!cur.empty() && cur.back() == ' ') cur.pop_back();
    if (!cur.empty()) out.push_back(cur);
    cur.clear();
  };
  for (char c : masks) {
    if (c == ',')
      flush();
    else if (c != ' ' || !cur.empty())
      cur += c;
  }
  flush();
  return out;
}

}  // namespace qmx
