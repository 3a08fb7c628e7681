#include "archive/base/work_lists.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "archive/platform/ascii.h"

namespace qmx {
namespace {

TByteBlock CopyBlock(const void* data, std::size_t len) {
  if (data == nullptr || len == 0) return {};
  const auto* p = static_cast<const std::uint8_t*>(data);
  return TByteBlock(p, p + len);
}

bool SameName(const std::string& a, const std::string& b, bool ignoreCase) {
  return ignoreCase ? SameTextAscii(a, b) : a == b;
}

}  // namespace

std::size_t THeaderObj::Add(const void* record) {
  TByteBlock copy(record_size_, 0);
  if (record != nullptr && record_size_ != 0) std::memcpy(copy.data(), record, record_size_);
  records_.push_back(std::move(copy));
  return records_.size() - 1;
}

std::uint8_t* THeaderObj::Get(std::size_t index) {
  return records_.at(index).data();
}

const std::uint8_t* THeaderObj::Get(std::size_t index) const {
  return records_.at(index).data();
}

std::size_t TUnBaseHeaderObj::Add(const TUnBaseHeader& record, const void* extra,
                                  std::uint16_t extraLen) {
  // Copy before reserving: record may live in this list.
  TUnBaseHeader rec = record;
  TByteBlock copy = CopyBlock(extra, extraLen);
  extras_.reserve(extras_.size() + 1);
  records_.push_back(rec);
  extras_.push_back(std::move(copy));
  return records_.size() - 1;
}

void TUnBaseHeaderObj::Clear() {
  records_.clear();
  extras_.clear();
}

std::size_t TCompHeaderObj::Add(const TCompHeader& record, const std::string& name,
                                std::uint32_t tag, const void* block, std::size_t blockLen) {
  if (record.Extra.size() > 0xFFFF) throw std::length_error("extra field longer than 65535 bytes");
  // Copy first (the arguments may live in this list), then reserve, so that
  // a failed allocation cannot leave the parallel lists uneven.
  TCompHeader rec = record;
  std::string nameCopy = name;
  TByteBlock copy = CopyBlock(block, blockLen);
  // Room grows by doubling: reserving one more each time made every Add
  // move the whole list, quadratic in the entry count.
  auto room = [](auto& v) {
    if (v.size() == v.capacity()) v.reserve(std::max<std::size_t>(16, v.capacity() * 2));
  };
  room(records_);
  room(names_);
  room(tags_);
  room(blocks_);
  records_.push_back(std::move(rec));
  names_.push_back(std::move(nameCopy));
  tags_.push_back(tag);
  blocks_.push_back(std::move(copy));
  return records_.size() - 1;
}

std::ptrdiff_t TCompHeaderObj::IndexOfName(const std::string& name, bool ignoreCase) const {
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (SameName(names_[i], name, ignoreCase)) return static_cast<std::ptrdiff_t>(i);
  return -1;
}

void TCompHeaderObj::SetBlock(std::size_t index, const void* block, std::size_t blockLen) {
  blocks_.at(index) = CopyBlock(block, blockLen);
}

void TCompHeaderObj::Move(std::size_t from, std::size_t to) {
  if (from >= Count() || to >= Count() || from == to) return;
  auto shift = [&](auto& v) {
    const auto a = v.begin() + static_cast<std::ptrdiff_t>(from);
    const auto b = v.begin() + static_cast<std::ptrdiff_t>(to);
    if (from > to)
      std::rotate(b, a, a + 1);
    else
      std::rotate(a, a + 1, b + 1);
  };
  shift(records_);
  shift(names_);
  shift(tags_);
  shift(blocks_);
}

void TCompHeaderObj::Clear() {
  records_.clear();
  names_.clear();
  tags_.clear();
  blocks_.clear();
}

}  // namespace qmx
