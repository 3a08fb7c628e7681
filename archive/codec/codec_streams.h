// Streams that drive raw Deflate (zlib, window bits -15) and the CRCs: data
// written to a TCompressStream comes out deflated on the wrapped stream,
// a TDecompressStream inflates its source on Read, TStoreStream copies with
// CRC and encryption, TCalcStreamCRC only sums. Every one keeps a bounded
// I/O buffer, re-seeks the wrapped stream before using it (others may move
// it between calls) and polls the owner's cancel flag.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>

#include "archive/codec/buffer_pool.h"
#include "archive/codec/entry_cipher.h"
#include "archive/codec/streams.h"

namespace qmx {

using TCodecAlloc = void* (*)(std::uint32_t Opaque, std::uint32_t Items, std::uint32_t Size);
using TCodecFree = void (*)(std::uint32_t Opaque, void* Address);

void* CodecAlloc(std::uint32_t Opaque, std::uint32_t Items, std::uint32_t Size);  // zero-filled
void CodecFree(std::uint32_t Opaque, void* Address);

// The record through which the streams drive the codecs. With zlib the
// stream keeps a z_stream beside it and copies the four pointer/length
// fields in and out around each call; the 64-bit totals are ours.
struct TCodecRec {
  std::uint8_t* NextIn = nullptr;
  std::uint32_t AvailIn = 0;
  std::uint64_t TotalIn = 0;
  std::uint8_t* NextOut = nullptr;
  std::uint32_t AvailOut = 0;
  std::uint64_t TotalOut = 0;
  void* State = nullptr;
  TCodecAlloc Allocate = CodecAlloc;
  TCodecFree Free = CodecFree;
  std::uint32_t Opaque = 0;
  std::uint32_t DataType = 0;
  std::uint32_t Adler = 0;
  std::uint32_t Reserved = 0;
  std::uint32_t Crc = 0xFFFFFFFFu;  // CRC-32 accumulator of the uncompressed data
  std::int64_t* BytesToDo = nullptr;
  bool* Cancel = nullptr;
  std::uint8_t EndOfData = 0;
  std::uint8_t Encryption = 0;  // TEncryptionMethod ordinal
};

// The CRC values of the entry being processed; the owning component keeps
// one and hands its address to the streams.
struct TEntryCrc {
  std::uint32_t Crc32 = 0xFFFFFFFFu;
  std::uint16_t Crc16 = 0;
};

struct TCodecParams {
  std::uint32_t InitialCrc = 0xFFFFFFFFu;
  std::int64_t* BytesToDo = nullptr;
  bool* Cancel = nullptr;
  std::uint8_t EndOfData = 0;
  std::uint8_t Encryption = 0;  // 1..3 AES, 4 traditional: buffers go through Cipher
  TEntryCipher* Cipher = nullptr;
  TEntryCrc* EntryCrc = nullptr;
};

// Codec results.
inline constexpr int kCodecOk = 0;
inline constexpr int kCodecStreamEnd = 1;
inline constexpr int kCodecStreamError = -2;
inline constexpr int kCodecDataError = -3;
inline constexpr int kCodecMemError = -4;
inline constexpr int kCodecBufError = -5;
inline constexpr int kCodecVersionError = -6;

class TCustomStream : public TStream32 {
 public:
  static constexpr std::uint32_t kBufferSize = 131070;

  explicit TCustomStream(TStream32& Strm);
  ~TCustomStream() override;
  TCustomStream(const TCustomStream&) = delete;
  TCustomStream& operator=(const TCustomStream&) = delete;

  // Copies InitialCrc, counters, flags and cipher into the record. Throws
  // std::invalid_argument for an encrypted entry without a cipher, which
  // would otherwise go out in plain text.
  void SetParams(const TCodecParams& Params);

  TCodecRec& CodecRec() { return rec_; }
  const TCodecRec& CodecRec() const { return rec_; }
  TEntryCipher* Cipher() const { return cipher_; }

  std::uint8_t CrcKind = 0;        // 16, 32, anything else: none
  std::uint8_t EncryptMethod = 0;  // for the decoder

 protected:
  bool Cancelled() const { return rec_.Cancel && *rec_.Cancel; }
  bool Encrypted() const { return rec_.Encryption >= 1 && rec_.Encryption <= 4; }
  void EncryptBuf(std::uint8_t* P, std::size_t N);
  void DecryptBuf(std::uint8_t* P, std::size_t N);
  void RestoreStrmPos() { strm_.Seek(strm_pos_, soFromBeginning); }
  void SaveStrmPos() { strm_pos_ = strm_.Position(); }
  // Runs one codec call (deflate or inflate) over rec_ via zs_ and adds the
  // consumed/produced counts to the 64-bit totals.
  int RunCodec(int (*Codec)(z_streamp, int), int Flush);

  TPoolBuffer buffer_;
  TStream32& strm_;
  std::int64_t strm_pos_;
  TCodecRec rec_;
  z_stream zs_{};
  TEntryCipher* cipher_ = nullptr;
};

// Deflates everything written to it onto Dest. Full buffers of exactly
// 131,070 bytes are written as they fill; the rest is written by
// FinishDeflate (called by the destructor unless done before).
class TCompressStream : public TCustomStream {
 public:
  // LevelIndex is the TDeflateType ordinal: zlib level [0, 1, -1, 9][index].
  TCompressStream(TStream32& Dest, int LevelIndex, int WindowBits);
  ~TCompressStream() override;

  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  // Returns Count, or -1 when the encoder could not be initialised.
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  // Only Seek(0, soFromCurrent) is meaningful: the input consumed so far.
  std::int64_t Seek(std::int64_t Offset, int Origin) override;

  virtual int InitDeflate(int Level, int WindowBits);
  virtual int DeflateInput();
  // Completes the Deflate data; idempotent. May throw on a write failure,
  // so callers that care call it before destruction.
  virtual int FinishDeflate();

  int InitResult() const { return init_result_; }

 private:
  void FlushBuffer(std::uint32_t N);
  int init_result_ = kCodecStreamError;
  bool finished_ = false;
};

// Inflates Source on Read. Decoder results are passed through: 1 ends the
// data (EndOfData() turns true), -3 is corrupt data, -5 a source that ran
// dry before the final block.
class TDecompressStream : public TCustomStream {
 public:
  TDecompressStream(TStream32& Source, int WindowBits, std::uint8_t Encryption = 0,
                    TEntryCipher* Cipher = nullptr);
  ~TDecompressStream() override;

  // Returns the bytes produced (Count unless the data ended), or a negative
  // decoder result.
  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  // (0, soFromBeginning) restarts at the source position the stream began
  // at; forward seeks decode and discard; others change nothing. Returns
  // the output total. The cipher is not rewound.
  std::int64_t Seek(std::int64_t Offset, int Origin) override;

  // Reads at most InSize source bytes per refill and fills up to OutSize
  // bytes; returns OutSize or a negative result. Produced bytes are
  // OutSize - AvailOut().
  std::int64_t ReadChunk(void* Buffer, std::int64_t InSize, std::int64_t OutSize);

  virtual int ResetInflate();
  virtual int EndInflate();
  virtual int InitInflate(int WindowBits);

  bool EndOfData() const { return rec_.EndOfData != 0; }
  int LastResult() const { return last_result_; }
  // Output space left unfilled by the last Read/ReadChunk.
  std::int64_t AvailOut() const { return avail_out_; }
  std::int64_t StartPosition() const { return start_pos_; }

 private:
  // Fills Out; returns 0/1 or a negative result and leaves the unfilled
  // space in avail_out_.
  int Decode(std::uint8_t* Out, std::int64_t OutSize, std::int64_t InSize);
  int init_result_ = kCodecStreamError;
  int last_result_ = kCodecOk;
  std::int64_t avail_out_ = 0;
  std::int64_t start_pos_ = 0;
  bool initialised_ = false;
};

// Stored entries: CRC (when plain) or encryption, bytes-to-do and progress
// on the way to Dest.
class TStoreStream : public TCustomStream {
 public:
  static constexpr std::int64_t kStoreChunk = 102400;

  TStoreStream(TStream32& Dest, const TCodecParams& Params, int CrcKind);

  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, int Origin) override;

  // CopyFrom with 102,400-byte chunks; progress goes to Source's handler.
  virtual std::int64_t StoreFrom(TStream32& Source, std::int64_t Count);

  std::uint32_t Crc32Acc() const { return rec_.Crc; }
  std::uint16_t Crc16Acc() const { return crc16_; }

 private:
  TStream32* progress_sender_ = nullptr;
  std::uint16_t crc16_ = 0;
};

// Sums the CRC of what is copied into it; stores nothing.
class TCalcStreamCRC : public TCustomStream {
 public:
  TCalcStreamCRC(TStream32& Source, const TStreamProgress& Progress, bool* Cancel,
                 const TCodecParams& Params, int CrcKind, std::int64_t Count);

  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, int Origin) override;

  std::uint32_t Crc32Acc() const { return rec_.Crc; }
  std::uint16_t Crc16Acc() const { return crc16_; }
  std::int64_t Copied() const { return copied_; }

 private:
  std::uint16_t crc16_ = 0;
  std::int64_t copied_ = 0;
};

// Deflates all of Source onto Dest. Crc receives the final CRC-32 when the
// entry is not encrypted. False when cancelled.
bool DeflateFile(TStream32& Source, TStream32& Dest, TCodecParams Params,
                 const TStreamProgress& Progress, int LevelIndex, int WindowBits,
                 std::uint32_t& Crc);

// Copies all of Source onto Dest as a stored entry; the final CRC of a plain
// entry goes to Params.EntryCrc. True when every byte was copied.
bool StoreFile(const TStreamProgress& OwnerProgress, TStream32& Source, TCodecParams Params,
               int CrcKind, TStream32& Dest);

// Raw CRC-32 accumulator of Count bytes of Source (0: all of it); the caller
// applies the final xor. Source is rewound afterwards.
std::uint32_t CalcFileCrc32(TStream32& Source, TCodecParams Params, bool* Cancel,
                            const TStreamProgress& Progress, std::int64_t Count);

}  // namespace qmx
