#include "archive/codec/branch_filters.h"

#include <bit>

#include "archive/codec/byte_order.h"

namespace qmx {
namespace {

std::uint32_t GetBE32(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}
void PutBE32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// The high byte of a near call or jump target: small displacements either
// way have it all zeros or all ones.
bool NearHigh(std::uint8_t b) {
  return b == 0 || b == 0xFF;
}

class TBranchDecoder : public TByteFilter {
 public:
  TBranchDecoder(TBranchArch arch, std::uint32_t startOffset) : arch_(arch), pc_(startOffset) {}

  std::size_t Convert(std::uint8_t* data, std::size_t size) override {
    const std::size_t done = Dispatch(data, size);
    pc_ += static_cast<std::uint32_t>(done);
    return done;
  }

 private:
  std::size_t Dispatch(std::uint8_t* data, std::size_t size) {
    switch (arch_) {
      case baX86:
        return X86(data, size);
      case baPowerPc:
        return PowerPc(data, size);
      case baIa64:
        return Ia64(data, size);
      case baArm:
        return Arm(data, size);
      case baArmThumb:
        return ArmThumb(data, size);
      case baSparc:
        return Sparc(data, size);
      case baArm64:
        return Arm64(data, size);
      case baRiscV:
        return RiscV(data, size);
    }
    return 0;
  }

  std::uint32_t At(std::size_t i) const { return pc_ + static_cast<std::uint32_t>(i); }

  // E8 (call) and E9 (jmp) with a 32-bit displacement. Bytes E8/E9 that
  // were not converted in the three positions before an opcode make it
  // doubtful (it may sit inside another instruction's operand); x86Mask_
  // remembers them across calls, bit k for the byte k+1 before the next
  // unprocessed one.
  std::size_t X86(std::uint8_t* d, std::size_t size) {
    if (size < 5) return 0;
    std::uint32_t mask = x86Mask_;
    std::size_t maskAt = 0;  // the position mask is relative to
    std::size_t i = 0;
    while (i + 5 <= size) {
      if ((d[i] & 0xFE) != 0xE8) {
        ++i;
        continue;
      }
      const std::size_t gap = i - maskAt;
      mask = gap >= 3 ? 0 : (mask << gap) & 7;
      const int oldest = std::bit_width(mask);  // 1..3 bytes back, 0 for none
      bool convert = NearHigh(d[i + 4]);
      // Only one earlier opcode is tolerated, and only when the byte of
      // this operand it overlaps could not be a displacement's high byte.
      if (mask != 0 && (!std::has_single_bit(mask) || NearHigh(d[i + 4 - oldest]))) convert = false;
      if (!convert) {
        mask = ((mask << 1) | 1) & 7;
        maskAt = ++i;
        continue;
      }
      std::uint32_t src = GetLE32(d + i + 1);
      std::uint32_t dest = 0;
      const std::uint32_t next = At(i + 5);
      for (;;) {
        dest = src - next;
        if (mask == 0) break;
        const int bits = 8 * oldest;
        if (!NearHigh(static_cast<std::uint8_t>(dest >> (24 - bits)))) break;
        src = dest ^ ((1u << (32 - bits)) - 1);
      }
      d[i + 1] = static_cast<std::uint8_t>(dest);
      d[i + 2] = static_cast<std::uint8_t>(dest >> 8);
      d[i + 3] = static_cast<std::uint8_t>(dest >> 16);
      d[i + 4] = (dest >> 24) & 1 ? 0xFF : 0x00;
      i += 5;
      mask = 0;
      maskAt = i;
    }
    const std::size_t gap = i - maskAt;
    x86Mask_ = gap >= 3 ? 0 : (mask << gap) & 7;
    return i;
  }

  // Big-endian "bl": opcode 18 with AA=0, LK=1.
  std::size_t PowerPc(std::uint8_t* d, std::size_t size) {
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
      if ((d[i] >> 2) != 0x12 || (d[i + 3] & 3) != 1) continue;
      const std::uint32_t dest = (GetBE32(d + i) & 0x03FFFFFC) - At(i);
      d[i] = static_cast<std::uint8_t>(0x48 | ((dest >> 24) & 3));
      d[i + 1] = static_cast<std::uint8_t>(dest >> 16);
      d[i + 2] = static_cast<std::uint8_t>(dest >> 8);
      d[i + 3] = static_cast<std::uint8_t>((d[i + 3] & 3) | (dest & 0xFC));
    }
    return i;
  }

  // 128-bit bundles; the template says which of the three 41-bit slots
  // hold branch-unit instructions, whose IP-relative calls carry a 21-bit
  // bundle offset.
  std::size_t Ia64(std::uint8_t* d, std::size_t size) {
    static constexpr std::uint8_t kBranchSlots[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                      0, 0, 0, 0, 0, 4, 4, 6, 6, 0, 0,
                                                      7, 7, 4, 4, 0, 0, 4, 4, 0, 0};
    std::size_t i = 0;
    for (; i + 16 <= size; i += 16) {
      const unsigned slots = kBranchSlots[d[i] & 0x1F];
      for (unsigned slot = 0; slot < 3; ++slot) {
        if (((slots >> slot) & 1) == 0) continue;
        const unsigned bitPos = 5 + 41 * slot;
        std::uint8_t* p = d + i + bitPos / 8;
        const unsigned shift = bitPos % 8;
        std::uint64_t raw = 0;
        for (int k = 0; k < 6; ++k) raw |= static_cast<std::uint64_t>(p[k]) << (8 * k);
        std::uint64_t inst = raw >> shift;
        if (((inst >> 37) & 0xF) != 5 || ((inst >> 9) & 7) != 0) continue;
        std::uint32_t target = static_cast<std::uint32_t>((inst >> 13) & 0xFFFFF);
        target |= static_cast<std::uint32_t>((inst >> 36) & 1) << 20;
        const std::uint32_t dest = ((target << 4) - At(i)) >> 4;
        inst &= ~(std::uint64_t{0x8FFFFF} << 13);
        inst |= static_cast<std::uint64_t>(dest & 0xFFFFF) << 13;
        inst |= static_cast<std::uint64_t>(dest & 0x100000) << (36 - 20);
        raw = (raw & ((std::uint64_t{1} << shift) - 1)) | (inst << shift);
        for (int k = 0; k < 6; ++k) p[k] = static_cast<std::uint8_t>(raw >> (8 * k));
      }
    }
    return i;
  }

  // "bl": condition always, a 24-bit word offset from the address + 8.
  std::size_t Arm(std::uint8_t* d, std::size_t size) {
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
      if (d[i + 3] != 0xEB) continue;
      const std::uint32_t src = (GetLE32(d + i) & 0x00FFFFFF) << 2;
      const std::uint32_t dest = (src - At(i + 8)) >> 2;
      d[i] = static_cast<std::uint8_t>(dest);
      d[i + 1] = static_cast<std::uint8_t>(dest >> 8);
      d[i + 2] = static_cast<std::uint8_t>(dest >> 16);
    }
    return i;
  }

  // Thumb "bl": two 16-bit halves with 11 offset bits each.
  std::size_t ArmThumb(std::uint8_t* d, std::size_t size) {
    std::size_t i = 0;
    while (i + 4 <= size) {
      if ((d[i + 1] & 0xF8) != 0xF0 || (d[i + 3] & 0xF8) != 0xF8) {
        i += 2;
        continue;
      }
      const std::uint32_t src = (((static_cast<std::uint32_t>(d[i + 1]) & 7) << 19) |
                                 (static_cast<std::uint32_t>(d[i]) << 11) |
                                 ((static_cast<std::uint32_t>(d[i + 3]) & 7) << 8) | d[i + 2])
                                << 1;
      const std::uint32_t dest = (src - At(i + 4)) >> 1;
      d[i + 1] = static_cast<std::uint8_t>(0xF0 | ((dest >> 19) & 7));
      d[i] = static_cast<std::uint8_t>(dest >> 11);
      d[i + 3] = static_cast<std::uint8_t>(0xF8 | ((dest >> 8) & 7));
      d[i + 2] = static_cast<std::uint8_t>(dest);
      i += 4;
    }
    return i;
  }

  // "call" with a 30-bit word displacement; only small ones (the top bits
  // a sign extension) are converted, and written back sign-extended.
  std::size_t Sparc(std::uint8_t* d, std::size_t size) {
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
      if (!((d[i] == 0x40 && (d[i + 1] & 0xC0) == 0) ||
            (d[i] == 0x7F && (d[i + 1] & 0xC0) == 0xC0)))
        continue;
      std::uint32_t dest = ((GetBE32(d + i) << 2) - At(i)) >> 2;
      dest = (((0u - ((dest >> 22) & 1)) << 22) & 0x3FFFFFFF) | (dest & 0x3FFFFF) | 0x40000000;
      PutBE32(d + i, dest);
    }
    return i;
  }

  // "bl" (26-bit word offset) and "adrp" (21-bit page offset; only those
  // within +-512 MiB, as the encoder converts no others).
  std::size_t Arm64(std::uint8_t* d, std::size_t size) {
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
      std::uint32_t inst = GetLE32(d + i);
      const std::uint32_t pc = At(i);
      if ((inst >> 26) == 0x25) {
        const std::uint32_t dest = (inst & 0x03FFFFFF) - (pc >> 2);
        PutLE32(d + i, 0x94000000 | (dest & 0x03FFFFFF));
      } else if ((inst & 0x9F000000) == 0x90000000) {
        const std::uint32_t page = ((inst >> 29) & 3) | ((inst >> 3) & 0x001FFFFC);
        if (((page + 0x00020000) & 0x001C0000) != 0) continue;
        const std::uint32_t dest = page - (pc >> 12);
        inst &= 0x9000001F;
        inst |= (dest & 3) << 29;
        inst |= (dest & 0x0003FFFC) << 3;
        inst |= (0u - (dest & 0x00020000)) & 0x00E00000;
        PutLE32(d + i, inst);
      }
    }
    return i;
  }

  std::size_t RiscV(std::uint8_t* d, std::size_t size);

  TBranchArch arch_;
  std::uint32_t pc_;  // address of the next unprocessed byte
  std::uint32_t x86Mask_ = 0;
};

class TDeltaDecoder : public TByteFilter {
 public:
  explicit TDeltaDecoder(unsigned distance) : distance_(distance) {}

  std::size_t Convert(std::uint8_t* data, std::size_t size) override {
    for (std::size_t i = 0; i < size; ++i) {
      data[i] = static_cast<std::uint8_t>(data[i] + history_[(pos_ - distance_) & 0xFF]);
      history_[pos_ & 0xFF] = data[i];
      ++pos_;
    }
    return size;
  }

 private:
  unsigned distance_;
  unsigned pos_ = 0;
  std::uint8_t history_[256] = {};
};

}  // namespace

// RISC-V: "jal" with rd = ra or t0, and "auipc" paired with the next
// instruction that uses its register (addi, jalr, loads, stores). The
// encoder stores a pair as an auipc with rd = sp (which real code does not
// pair) holding the second instruction's low bits, followed by the
// absolute target big-endian. An auipc sp that would read as such a pair
// was itself stored swapped around, with the register it would name as rd.
// Everything needs 8 bytes of lookahead.
std::size_t TBranchDecoder::RiscV(std::uint8_t* d, std::size_t size) {
  std::size_t i = 0;
  while (i + 8 <= size) {
    if (d[i] == 0xEF) {
      const std::uint32_t b1 = d[i + 1];
      if ((b1 & 0x0D) != 0) {
        i += 2;
        continue;
      }
      // The target was stored in plain bit order.
      std::uint32_t addr = ((b1 & 0xF0) << 13) | (static_cast<std::uint32_t>(d[i + 2]) << 9) |
                           (static_cast<std::uint32_t>(d[i + 3]) << 1);
      addr -= At(i);
      d[i + 1] = static_cast<std::uint8_t>((b1 & 0x0F) | ((addr >> 8) & 0xF0));
      d[i + 2] = static_cast<std::uint8_t>(((addr >> 16) & 0x0F) | ((addr >> 7) & 0x10) |
                                           ((addr << 4) & 0xE0));
      d[i + 3] = static_cast<std::uint8_t>(((addr >> 4) & 0x7F) | ((addr >> 13) & 0x80));
      i += 4;
      continue;
    }
    if ((d[i] & 0x7F) != 0x17) {
      i += 2;
      continue;
    }
    std::uint32_t inst = GetLE32(d + i);
    std::uint32_t second = 0;
    const std::uint32_t rd = (inst >> 7) & 0x1F;
    if (rd != 0 && rd != 2) {
      second = GetLE32(d + i + 4);
      const bool paired = (second & 3) == 3 && ((second >> 15) & 0x1F) == rd;
      if (!paired) {
        i += 6;
        continue;
      }
      // A swapped auipc sp: put it back.
      const std::uint32_t word = (inst & 0xFFFFF000) | (second >> 20);
      inst = 0x117 | (second << 12);
      second = word;
    } else {
      const std::uint32_t reg = inst >> 27;  // rd of the pair, where the second one keeps rs1
      if ((inst & 0x3FFF) != 0x3117 || (reg & 0x1D) == 0) {
        i += 4;
        continue;
      }
      const std::uint32_t addr = GetBE32(d + i + 4) - At(i);
      second = (inst >> 12) | (addr << 20);
      inst = 0x17 | (reg << 7) | ((addr + 0x800) & 0xFFFFF000);
    }
    PutLE32(d + i, inst);
    PutLE32(d + i + 4, second);
    i += 8;
  }
  return i;
}

std::unique_ptr<TByteFilter> MakeBranchDecoder(TBranchArch arch, std::uint32_t startOffset) {
  return std::make_unique<TBranchDecoder>(arch, startOffset);
}

std::unique_ptr<TByteFilter> MakeDeltaDecoder(unsigned distance) {
  return std::make_unique<TDeltaDecoder>(distance);
}

void TFilterStage::Push(const std::uint8_t* data, std::size_t size, const std::uint8_t*& out,
                        std::size_t& outSize) {
  buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(done_));
  buf_.insert(buf_.end(), data, data + size);
  done_ = filter_->Convert(buf_.data(), buf_.size());
  out = buf_.data();
  outSize = done_;
}

void TFilterStage::Finish(const std::uint8_t*& out, std::size_t& outSize) {
  out = buf_.data() + done_;
  outSize = buf_.size() - done_;
  done_ = buf_.size();
}

}  // namespace qmx
