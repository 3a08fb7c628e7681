#include "archive/codec/lha_coder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace qmx {

namespace {

constexpr int kNC = 510;  // literals, then match lengths 3..256 as 256..509
constexpr int kNT = 19;
constexpr int kTBit = 5;
constexpr int kCBit = 9;
constexpr int kMaxNP = 17;
constexpr int kMaxMatch = 256;
constexpr int kThreshold = 3;
constexpr int kMaxBits = 16;
constexpr int kBlockBuf = 32768;  // symbols of one block
constexpr int kOutBuf = 32768;    // packed bytes between writes
constexpr int kHashBits = 15;
// Bytes the window moves at a time: sliding rewrites the hash tables, so it
// is done rarely, not once per dictionary.
constexpr int kSlideSpan = 1 << 18;
// Chain steps per search. Behind a match of kGoodLength or more a shorter
// walk is enough: the next match rarely beats it.
constexpr int kMaxChain = 96;
constexpr int kGoodLength = 24;

// --- Huffman code lengths and canonical codes

// Lengths (at most 16 bits) for Freq[0..N); returns how many symbols occur.
// With fewer than two the lengths stay 0: the block has a short form then.
int MakeLengths(const std::uint32_t* Freq, int N, std::uint8_t* Len) {
  std::fill_n(Len, N, 0);
  std::pair<std::uint32_t, int> leaves[kNC];
  int m = 0;
  for (int i = 0; i < N; ++i)
    if (Freq[i]) leaves[m++] = {Freq[i], i};
  if (m < 2) return m;
  std::sort(leaves, leaves + m);

  // Two queues: leaves in frequency order and merged nodes in creation
  // order, which is also frequency order.
  std::uint64_t w[2 * kNC];
  int parent[2 * kNC];
  for (int i = 0; i < m; ++i) w[i] = leaves[i].first;
  int li = 0, ni = m, next = m;
  auto pick = [&] { return li < m && (ni >= next || w[li] <= w[ni]) ? li++ : ni++; };
  while (next < 2 * m - 1) {
    const int a = pick();
    const int b = pick();
    w[next] = w[a] + w[b];
    parent[a] = parent[b] = next;
    ++next;
  }
  int depth[2 * kNC];
  depth[2 * m - 2] = 0;
  int count[kMaxBits + 1] = {};
  for (int k = 2 * m - 3; k >= 0; --k) depth[k] = depth[parent[k]] + 1;
  for (int k = 0; k < m; ++k) ++count[std::min(depth[k], kMaxBits)];

  // Over-long codes were cut to 16 bits; push codes down until the lengths
  // fit the code space again.
  std::uint32_t total = 0;
  for (int l = 1; l <= kMaxBits; ++l)
    total += static_cast<std::uint32_t>(count[l]) << (kMaxBits - l);
  while (total > (1u << kMaxBits)) {
    --count[kMaxBits];
    for (int l = kMaxBits - 1; l > 0; --l) {
      if (count[l]) {
        --count[l];
        count[l + 1] += 2;
        break;
      }
    }
    --total;
  }
  // The most frequent symbols get the shortest codes.
  int k = m - 1;
  for (int l = 1; l <= kMaxBits; ++l)
    for (int c = 0; c < count[l]; ++c) Len[leaves[k--].second] = static_cast<std::uint8_t>(l);
  return m;
}

void MakeCodes(const std::uint8_t* Len, int N, std::uint16_t* Code) {
  int count[kMaxBits + 1] = {};
  for (int i = 0; i < N; ++i) ++count[Len[i]];
  std::uint32_t next[kMaxBits + 2] = {};
  count[0] = 0;
  for (int l = 1; l <= kMaxBits; ++l) next[l + 1] = (next[l] + count[l]) << 1;
  for (int i = 0; i < N; ++i)
    if (Len[i]) Code[i] = static_cast<std::uint16_t>(next[Len[i]]++);
}

int BitLength(std::uint32_t v) {
  return static_cast<int>(std::bit_width(v));
}

// Length of the common prefix of a and b, at most Limit.
int MatchLength(const std::uint8_t* a, const std::uint8_t* b, int Limit) {
  int n = 0;
  if constexpr (std::endian::native == std::endian::little) {
    while (n + 8 <= Limit) {
      std::uint64_t x, y;
      std::memcpy(&x, a + n, 8);
      std::memcpy(&y, b + n, 8);
      if (x != y) return n + std::countr_zero(x ^ y) / 8;
      n += 8;
    }
  }
  while (n < Limit && a[n] == b[n]) ++n;
  return n;
}

// --- MSB-first bit output in 32768-byte writes

class TBitOut {
 public:
  explicit TBitOut(const TLegacyWriteFunc& Write) : write_(Write), buf_(kOutBuf) {}

  void Put(int Count, std::uint32_t Value) {
    acc_ = acc_ << Count | (Value & ((1u << Count) - 1));
    count_ += Count;
    if (count_ >= 32) {
      while (count_ >= 8) {
        count_ -= 8;
        Byte(static_cast<std::uint8_t>(acc_ >> count_));
      }
    }
  }
  // Ends the stream: 7 zero bits complete a partial last byte; whatever
  // is left is padding and not sent (a whole zero byte after a stream
  // that ended on a byte boundary is rejected by some decoders).
  void Finish() {
    Put(7, 0);
    while (count_ >= 8) {
      count_ -= 8;
      Byte(static_cast<std::uint8_t>(acc_ >> count_));
    }
    count_ = 0;
  }
  bool Flush() {
    if (len_ > 0 && write_(buf_.data(), len_) != len_) failed_ = true;
    written_ += len_;
    len_ = 0;
    return !failed_;
  }
  std::int64_t Total() const { return written_ + len_ + count_ / 8; }
  bool Failed() const { return failed_; }

 private:
  void Byte(std::uint8_t b) {
    buf_[static_cast<std::size_t>(len_++)] = b;
    if (len_ == kOutBuf) Flush();
  }

  const TLegacyWriteFunc& write_;
  std::vector<std::uint8_t> buf_;
  std::int64_t len_ = 0;
  std::int64_t written_ = 0;
  std::uint64_t acc_ = 0;
  int count_ = 0;
  bool failed_ = false;
};

class TEncoder {
 public:
  TEncoder(const TLhaReadFunc& Read, const TLegacyWriteFunc& Write, std::int64_t SourceSize,
           const TLhaCoderParams& Params, const bool* Cancel)
      : read_(Read),
        out_(Write),
        source_size_(SourceSize),
        dict_(1 << Params.DictBits),
        np_(Params.NP),
        pbit_(Params.PBit),
        cancel_(Cancel),
        buf_size_(dict_ + std::max(dict_, kSlideSpan) + kMaxMatch + 1),
        text_(static_cast<std::size_t>(buf_size_) + 16),
        prev_(static_cast<std::size_t>(buf_size_)),
        head_(std::size_t{1} << kHashBits, -1),
        block_(kBlockBuf) {}

  TLhaCoderResult Run();

 private:
  struct TMatch {
    int Len = 0;
    int At = 0;
  };

  bool Canceled() const { return cancel_ && *cancel_; }
  bool Fill();
  bool Ensure();
  void Slide();
  void Insert(int p) {
    if (p + kThreshold > filled_) return;
    std::uint32_t v = static_cast<std::uint32_t>(text_[p]) << 16 |
                      static_cast<std::uint32_t>(text_[p + 1]) << 8 | text_[p + 2];
    const std::uint32_t h = (v * 2654435761u) >> (32 - kHashBits);
    prev_[static_cast<std::size_t>(p)] = head_[h];
    head_[h] = p;
  }
  TMatch Find(int p, int Chain) const;
  void Output(int C, std::uint32_t Pos);
  void SendBlock();
  void WriteLengths(const std::uint8_t* Len, int N, int NBit, int Special);
  void WriteCodeLengths();

  const TLhaReadFunc& read_;
  TBitOut out_;
  std::int64_t source_size_;
  int dict_;
  int np_;
  int pbit_;
  const bool* cancel_;

  // Window: dict_ bytes of history, dict_ more and a maximum match ahead.
  int buf_size_;
  std::vector<std::uint8_t> text_;
  std::vector<int> prev_;
  std::vector<int> head_;
  int filled_ = 0;
  int pos_ = 0;
  TMatch cur_, last_;
  std::int64_t read_total_ = 0;
  bool eof_ = false;
  bool read_error_ = false;

  // Block: a flag byte per 8 symbols (bit 7 first, set for a match), each
  // literal as a byte, each match as length - 3 and a 16-bit position.
  std::vector<std::uint8_t> block_;
  int block_pos_ = 0;
  int flag_pos_ = 0;
  unsigned flag_bit_ = 0;
  int symbols_ = 0;
  bool forced_ = false;
  std::uint32_t c_freq_[kNC] = {};
  std::uint32_t p_freq_[kMaxNP] = {};
  std::uint32_t t_freq_[kNT] = {};
  std::uint8_t c_len_[kNC] = {};
  std::uint16_t c_code_[kNC] = {};
  std::uint8_t p_len_[kNT] = {};  // position or code-length code
  std::uint16_t p_code_[kNT] = {};
};

bool TEncoder::Fill() {
  while (filled_ < buf_size_ && !eof_) {
    if (Canceled()) return false;
    const std::int64_t want =
        std::min<std::int64_t>(buf_size_ - filled_, source_size_ - read_total_);
    if (want <= 0) {
      eof_ = true;
      break;
    }
    const std::int64_t got = read_(text_.data() + filled_, want);
    if (got <= 0) {
      eof_ = true;
      read_error_ = true;
      break;
    }
    const std::int64_t n = std::min(got, want);
    filled_ += static_cast<int>(n);
    read_total_ += n;
  }
  return true;
}

void TEncoder::Slide() {
  // Keeps a dictionary of history and the lookahead.
  const int shift = buf_size_ - dict_ - kMaxMatch - 1;
  std::memmove(text_.data(), text_.data() + shift, static_cast<std::size_t>(filled_ - shift));
  filled_ -= shift;
  pos_ -= shift;
  cur_.At -= shift;
  last_.At -= shift;
  for (int& h : head_) h = h >= shift ? h - shift : -1;
  for (int i = 0; i + shift < buf_size_; ++i) {
    const int v = prev_[static_cast<std::size_t>(i + shift)];
    prev_[static_cast<std::size_t>(i)] = v >= shift ? v - shift : -1;
  }
}

// Keeps a maximum match and one byte ahead of pos_ while the source lasts.
bool TEncoder::Ensure() {
  if (eof_ || filled_ - pos_ > kMaxMatch) return true;
  if (filled_ == buf_size_) Slide();
  return Fill();
}

TEncoder::TMatch TEncoder::Find(int p, int Chain) const {
  TMatch best;
  const int limit = std::min(kMaxMatch, filled_ - p);
  if (limit < kThreshold) return best;
  const std::uint8_t* s = text_.data() + p;
  const int lowest = std::max(0, p - dict_);
  int len = kThreshold - 1;
  for (int cand = prev_[static_cast<std::size_t>(p)]; cand >= lowest && Chain-- > 0;
       cand = prev_[static_cast<std::size_t>(cand)]) {
    const std::uint8_t* t = text_.data() + cand;
    if (t[len] != s[len] || t[0] != s[0] || t[1] != s[1]) continue;
    const int n = MatchLength(s, t, limit);
    // Only a longer match replaces one: the nearest of equals wins.
    if (n > len) {
      len = n;
      best = {n, cand};
      if (n == limit) break;
    }
  }
  return best;
}

void TEncoder::Output(int C, std::uint32_t Pos) {
  if (flag_bit_ == 0) {
    if (block_pos_ >= kBlockBuf - 24) {
      SendBlock();
      if (out_.Total() > source_size_) forced_ = true;
    }
    flag_pos_ = block_pos_++;
    block_[static_cast<std::size_t>(flag_pos_)] = 0;
    flag_bit_ = 0x80;
  }
  ++c_freq_[C];
  if (C < 256) {
    block_[static_cast<std::size_t>(block_pos_++)] = static_cast<std::uint8_t>(C);
  } else {
    block_[static_cast<std::size_t>(flag_pos_)] |= static_cast<std::uint8_t>(flag_bit_);
    block_[static_cast<std::size_t>(block_pos_++)] = static_cast<std::uint8_t>(C - 256);
    block_[static_cast<std::size_t>(block_pos_++)] = static_cast<std::uint8_t>(Pos >> 8);
    block_[static_cast<std::size_t>(block_pos_++)] = static_cast<std::uint8_t>(Pos);
    ++p_freq_[BitLength(Pos)];
  }
  flag_bit_ >>= 1;
  ++symbols_;
}

// Lengths of the code-length code (Special 3: a 2-bit count of the zero
// lengths after the third) or of the position code.
void TEncoder::WriteLengths(const std::uint8_t* Len, int N, int NBit, int Special) {
  int n = N;
  while (n > 0 && Len[n - 1] == 0) --n;
  out_.Put(NBit, static_cast<std::uint32_t>(n));
  int i = 0;
  while (i < n) {
    const int k = Len[i++];
    if (k <= 6) {
      out_.Put(3, static_cast<std::uint32_t>(k));
    } else {
      out_.Put(k - 3, (1u << (k - 3)) - 2);  // 7 and up: 111, k - 7 ones, a zero
    }
    if (i == Special) {
      while (i < 6 && Len[i] == 0) ++i;
      out_.Put(2, static_cast<std::uint32_t>(i - 3));
    }
  }
}

void TEncoder::WriteCodeLengths() {
  int n = kNC;
  while (n > 0 && c_len_[n - 1] == 0) --n;
  out_.Put(kCBit, static_cast<std::uint32_t>(n));
  for (int i = 0; i < n;) {
    const int k = c_len_[i++];
    if (k > 0) {
      out_.Put(p_len_[k + 2], p_code_[k + 2]);
      continue;
    }
    int run = 1;
    while (i < n && c_len_[i] == 0) ++i, ++run;
    if (run <= 2) {
      for (int r = 0; r < run; ++r) out_.Put(p_len_[0], p_code_[0]);
    } else if (run <= 18) {
      out_.Put(p_len_[1], p_code_[1]);
      out_.Put(4, static_cast<std::uint32_t>(run - 3));
    } else if (run == 19) {
      out_.Put(p_len_[0], p_code_[0]);
      out_.Put(p_len_[1], p_code_[1]);
      out_.Put(4, 15);
    } else {
      out_.Put(p_len_[2], p_code_[2]);
      out_.Put(kCBit, static_cast<std::uint32_t>(run - 20));
    }
  }
}

void TEncoder::SendBlock() {
  if (symbols_ == 0) return;
  const int nc = MakeLengths(c_freq_, kNC, c_len_);
  out_.Put(16, static_cast<std::uint32_t>(symbols_));
  if (nc <= 1) {
    const int only = static_cast<int>(
        std::find_if(c_freq_, c_freq_ + kNC, [](std::uint32_t f) { return f != 0; }) - c_freq_);
    out_.Put(kTBit, 0);
    out_.Put(kTBit, 0);
    out_.Put(kCBit, 0);
    out_.Put(kCBit, static_cast<std::uint32_t>(only));
  } else {
    MakeCodes(c_len_, kNC, c_code_);
    std::fill(std::begin(t_freq_), std::end(t_freq_), 0u);
    int n = kNC;
    while (n > 0 && c_len_[n - 1] == 0) --n;
    for (int i = 0; i < n;) {
      const int k = c_len_[i++];
      if (k > 0) {
        ++t_freq_[k + 2];
        continue;
      }
      int run = 1;
      while (i < n && c_len_[i] == 0) ++i, ++run;
      if (run <= 2) {
        t_freq_[0] += static_cast<std::uint32_t>(run);
      } else if (run <= 18) {
        ++t_freq_[1];
      } else if (run == 19) {
        ++t_freq_[0];
        ++t_freq_[1];
      } else {
        ++t_freq_[2];
      }
    }
    const int nt = MakeLengths(t_freq_, kNT, p_len_);
    if (nt <= 1) {
      const int only = static_cast<int>(
          std::find_if(t_freq_, t_freq_ + kNT, [](std::uint32_t f) { return f != 0; }) - t_freq_);
      out_.Put(kTBit, 0);
      out_.Put(kTBit, static_cast<std::uint32_t>(only));
    } else {
      MakeCodes(p_len_, kNT, p_code_);
      WriteLengths(p_len_, kNT, kTBit, 3);
    }
    WriteCodeLengths();
  }

  const int np = MakeLengths(p_freq_, np_, p_len_);
  if (np <= 1) {
    const int only = static_cast<int>(
        std::find_if(p_freq_, p_freq_ + np_, [](std::uint32_t f) { return f != 0; }) - p_freq_);
    out_.Put(pbit_, 0);
    out_.Put(pbit_, static_cast<std::uint32_t>(only == np_ ? 0 : only));
  } else {
    MakeCodes(p_len_, np_, p_code_);
    WriteLengths(p_len_, np_, pbit_, -1);
  }

  unsigned flags = 0;
  for (int i = 0, k = 0; k < symbols_; ++k) {
    if ((k & 7) == 0) flags = block_[static_cast<std::size_t>(i++)];
    if (flags & 0x80) {
      const int c = block_[static_cast<std::size_t>(i)] + 256;
      const std::uint32_t pos = static_cast<std::uint32_t>(block_[static_cast<std::size_t>(i + 1)])
                                    << 8 |
                                block_[static_cast<std::size_t>(i + 2)];
      i += 3;
      out_.Put(c_len_[c], c_code_[c]);
      const int b = BitLength(pos);
      out_.Put(p_len_[b], p_code_[b]);
      if (b > 1) out_.Put(b - 1, pos & ((1u << (b - 1)) - 1));
    } else {
      const int c = block_[static_cast<std::size_t>(i++)];
      out_.Put(c_len_[c], c_code_[c]);
    }
    flags <<= 1;
  }
  std::fill(std::begin(c_freq_), std::end(c_freq_), 0u);
  std::fill(std::begin(p_freq_), std::end(p_freq_), 0u);
  symbols_ = 0;
  block_pos_ = 0;
  flag_bit_ = 0;
}

TLhaCoderResult TEncoder::Run() {
  if (!Fill()) return lcCanceled;
  const int mask = dict_ - 1;
  if (filled_ > 0) {
    Insert(0);
    cur_ = Find(0, kMaxChain);
  }
  while (pos_ < filled_ && !forced_ && !out_.Failed()) {
    last_ = cur_;
    ++pos_;
    if (!Ensure()) return lcCanceled;
    Insert(pos_);
    if (last_.Len < kThreshold) {
      cur_ = Find(pos_, kMaxChain);
      Output(text_[static_cast<std::size_t>(pos_ - 1)], 0);
      continue;
    }
    cur_ = Find(pos_, last_.Len >= kGoodLength ? kMaxChain / 4 : kMaxChain);
    if (cur_.Len > last_.Len) {
      Output(text_[static_cast<std::size_t>(pos_ - 1)], 0);
      continue;
    }
    Output(last_.Len + 253, static_cast<std::uint32_t>((pos_ - last_.At - 2) & mask));
    // Positions inside the match only need to be found later; searching
    // from them would not change what is sent.
    for (int k = 1; k < last_.Len; ++k) {
      ++pos_;
      if (!Ensure()) return lcCanceled;
      Insert(pos_);
    }
    cur_ = Find(pos_, kMaxChain);
  }
  if (read_error_) return lcReadError;
  if (out_.Failed()) return lcWriteError;
  if (forced_) return lcStoreForced;
  if (Canceled()) return lcCanceled;
  SendBlock();
  out_.Finish();
  // A stream that only grew at its end is still sent whole: the caller
  // stores the file either way, and the data stays decodable.
  const bool larger = out_.Total() > source_size_;
  if (!out_.Flush() || out_.Failed()) return lcWriteError;
  return larger ? lcStoreForced : lcOk;
}

}  // namespace

TLhaCoderResult LhaCompress(const TLhaReadFunc& Read, const TLegacyWriteFunc& Write,
                            std::int64_t SourceSize, const TLhaCoderParams& Params,
                            const bool* Cancel) {
  auto enc = std::make_unique<TEncoder>(Read, Write, SourceSize, Params, Cancel);
  return enc->Run();
}

}  // namespace qmx
