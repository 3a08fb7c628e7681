// Data, streams and a cipher shared by the codec tests.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "archive/codec/entry_cipher.h"
#include "archive/codec/streams.h"
#include "archive/platform/ui_hooks.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

namespace qmx::codectest {

// English-like words: compresses well, as text entries do.
inline std::string TextLike(std::size_t n, std::uint32_t seed = 1) {
  static const char* kWords[] = {"the",  "archive", "of",   "entry", "and",   "stream",
                                 "data", "to",      "file", "name",  "which", "header"};
  std::mt19937 rng(seed);
  std::string out;
  while (out.size() < n) out += std::string(kWords[rng() % 12]) + (rng() % 11 ? " " : "\n");
  out.resize(n);
  return out;
}

// Noise mixed with runs and counters: mostly incompressible.
inline std::string BinaryMix(std::size_t n, std::uint32_t seed = 2) {
  std::mt19937 rng(seed);
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n;) {
    const unsigned kind = rng() % 3;
    for (std::size_t k = 0, run = 64 + rng() % 4096; k < run && i < n; ++k, ++i)
      out[i] = static_cast<char>(kind == 0 ? rng() : kind == 1 ? k : 0);
  }
  return out;
}

// A memory stream that remembers the size of every write and read.
class TSpyStream : public TMemoryStream32 {
 public:
  std::int64_t Write(const void* Buffer, std::int64_t Count) override {
    writes.push_back(Count);
    return TMemoryStream32::Write(Buffer, Count);
  }
  std::int64_t Read(void* Buffer, std::int64_t Count) override {
    reads.push_back(Count);
    return TMemoryStream32::Read(Buffer, Count);
  }
  std::vector<std::int64_t> writes, reads;
};

inline void Fill(TMemoryStream32& s, const std::string& data) {
  s.SetSize(0);
  s.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
  s.SetPosition(0);
}

inline std::string ContentsOf(TMemoryStream32& s) {
  return std::string(static_cast<const char*>(s.Memory()), static_cast<std::size_t>(s.Size()));
}

// XOR with a rolling key; records the length of every buffer it sees.
class TXorCipher : public TEntryCipher {
 public:
  void EncryptBuffer(std::uint8_t* buf, std::size_t n) override { Apply(buf, n, enc_sizes); }
  void DecryptBuffer(std::uint8_t* buf, std::size_t n) override { Apply(buf, n, dec_sizes); }
  std::vector<std::size_t> enc_sizes, dec_sizes;

 private:
  void Apply(std::uint8_t* buf, std::size_t n, std::vector<std::size_t>& log) {
    log.push_back(n);
    for (std::size_t i = 0; i < n; ++i) buf[i] ^= static_cast<std::uint8_t>(0x5A + pos_++ % 7);
  }
  std::uint64_t pos_ = 0;
};

// Installs a message pump for one scope.
struct TPumpGuard {
  explicit TPumpGuard(std::function<void()> fn) { SetMessagePump(std::move(fn)); }
  ~TPumpGuard() { SetMessagePump(nullptr); }
};

}  // namespace qmx::codectest
