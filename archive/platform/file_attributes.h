// File attributes as the components speak of them: the Windows attribute
// bits the platform layer reports, and the attribute sets the scanner and
// the components filter by.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace qmx {

enum TqmxFileAttribute : std::uint8_t {
  fsZeroAttr,
  fsReadOnly,
  fsHidden,
  fsSysFile,
  fsVolumeID,
  fsDirectory,
  fsArchive,
  fsCompressed,
  fsEncrypted
};

// Set of attributes in a 16-bit word, bit n for ordinal n.
class TqmxFileAttributes {
 public:
  constexpr TqmxFileAttributes() = default;
  constexpr TqmxFileAttributes(std::initializer_list<TqmxFileAttribute> items) {
    for (auto a : items) bits_ |= static_cast<std::uint16_t>(1u << a);
  }
  static constexpr TqmxFileAttributes FromWord(std::uint16_t w) {
    TqmxFileAttributes s;
    s.bits_ = w;
    return s;
  }
  constexpr std::uint16_t Word() const { return bits_; }
  constexpr bool Has(TqmxFileAttribute a) const { return (bits_ >> a) & 1u; }
  constexpr bool Empty() const { return bits_ == 0; }
  // Ordinals above 15 are ignored.
  constexpr void SetAttribute(int ordinal, bool on) {
    if (ordinal < 0 || ordinal > 15) return;
    if (on)
      bits_ |= static_cast<std::uint16_t>(1u << ordinal);
    else
      bits_ &= static_cast<std::uint16_t>(~(1u << ordinal));
  }
  constexpr void Include(TqmxFileAttribute a) { SetAttribute(a, true); }
  constexpr void Exclude(TqmxFileAttribute a) { SetAttribute(a, false); }
  constexpr bool operator==(const TqmxFileAttributes&) const = default;

 private:
  std::uint16_t bits_ = 0;
};

// Windows attribute bits, as the platform layer reports them.
inline constexpr std::uint32_t faReadOnly = 0x01;
inline constexpr std::uint32_t faHidden = 0x02;
inline constexpr std::uint32_t faSysFile = 0x04;
inline constexpr std::uint32_t faVolumeID = 0x08;
inline constexpr std::uint32_t faDirectory = 0x10;
inline constexpr std::uint32_t faArchive = 0x20;
inline constexpr std::uint32_t faNormal = 0x80;
inline constexpr std::uint32_t faCompressed = 0x800;
inline constexpr std::uint32_t faNotContentIndexed = 0x2000;
inline constexpr std::uint32_t faEncrypted = 0x4000;

}  // namespace qmx
