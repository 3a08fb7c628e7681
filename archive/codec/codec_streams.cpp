#include "archive/codec/codec_streams.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "archive/codec/buffer_pool.h"
#include "archive/codec/crc.h"
#include "archive/platform/ui_hooks.h"

namespace qmx {
namespace {

// zlib's avail fields are 32-bit; larger requests go through in slices.
constexpr std::int64_t kMaxSlice = std::int64_t{1} << 30;
constexpr std::int64_t kSeekDiscardChunk = 4096;

voidpf ZAlloc(voidpf opaque, uInt items, uInt size) {
  auto* rec = static_cast<TCodecRec*>(opaque);
  return rec->Allocate(rec->Opaque, items, size);
}

void ZFree(voidpf opaque, voidpf address) {
  auto* rec = static_cast<TCodecRec*>(opaque);
  rec->Free(rec->Opaque, address);
}

bool IsEncryption(std::uint8_t method) {
  return method >= 1 && method <= 4;
}

}  // namespace

// zlib frees without a size, so each block carries its own in front.
constexpr std::size_t kSizeHeader = alignof(std::max_align_t);

void* CodecAlloc(std::uint32_t, std::uint32_t Items, std::uint32_t Size) {
  const std::size_t n = std::size_t{Items} * Size;
  auto* p = static_cast<std::uint8_t*>(PoolAlloc(n + kSizeHeader));
  if (!p) return nullptr;
  std::memcpy(p, &n, sizeof n);
  std::memset(p + kSizeHeader, 0, n);
  return p + kSizeHeader;
}

void CodecFree(std::uint32_t, void* Address) {
  if (!Address) return;
  auto* p = static_cast<std::uint8_t*>(Address) - kSizeHeader;
  std::size_t n;
  std::memcpy(&n, p, sizeof n);
  PoolFree(p, n + kSizeHeader);
}

// ---------------------------------------------------------------- TCustomStream

TCustomStream::TCustomStream(TStream32& Strm)
    : buffer_(MakePoolBuffer(kBufferSize)), strm_(Strm), strm_pos_(Strm.Position()) {
  zs_.zalloc = ZAlloc;
  zs_.zfree = ZFree;
  zs_.opaque = &rec_;
}

TCustomStream::~TCustomStream() = default;

void TCustomStream::SetParams(const TCodecParams& Params) {
  if (IsEncryption(Params.Encryption) && !Params.Cipher)
    throw std::invalid_argument("encrypted entry without a cipher");
  rec_.Crc = Params.InitialCrc;
  rec_.BytesToDo = Params.BytesToDo;
  rec_.Cancel = Params.Cancel;
  rec_.EndOfData = Params.EndOfData;
  rec_.Encryption = Params.Encryption;
  cipher_ = Params.Cipher;
}

void TCustomStream::EncryptBuf(std::uint8_t* P, std::size_t N) {
  if (N > 0 && Encrypted() && cipher_) cipher_->EncryptBuffer(P, N);
}

void TCustomStream::DecryptBuf(std::uint8_t* P, std::size_t N) {
  if (N > 0 && Encrypted() && cipher_) cipher_->DecryptBuffer(P, N);
}

int TCustomStream::RunCodec(int (*Codec)(z_streamp, int), int Flush) {
  zs_.next_in = rec_.NextIn;
  zs_.avail_in = rec_.AvailIn;
  zs_.next_out = rec_.NextOut;
  zs_.avail_out = rec_.AvailOut;
  const int r = Codec(&zs_, Flush);
  rec_.TotalIn += rec_.AvailIn - zs_.avail_in;
  rec_.TotalOut += rec_.AvailOut - zs_.avail_out;
  rec_.NextIn = zs_.next_in;
  rec_.AvailIn = zs_.avail_in;
  rec_.NextOut = zs_.next_out;
  rec_.AvailOut = zs_.avail_out;
  rec_.Adler = static_cast<std::uint32_t>(zs_.adler);
  return r;
}

// ---------------------------------------------------------------- TCompressStream

TCompressStream::TCompressStream(TStream32& Dest, int LevelIndex, int WindowBits)
    : TCustomStream(Dest) {
  static constexpr int kLevels[4] = {0, 1, -1, 9};
  rec_.NextOut = buffer_.get();
  rec_.AvailOut = kBufferSize;
  rec_.Crc = 0xFFFFFFFFu;
  // An index outside the table is a caller error; zlib rejects level 10.
  const int level = (LevelIndex >= 0 && LevelIndex < 4) ? kLevels[LevelIndex] : 10;
  init_result_ = InitDeflate(level, WindowBits);
}

TCompressStream::~TCompressStream() {
  try {
    rec_.AvailIn = 0;
    FinishDeflate();
  } catch (...) {
    // A failed final write cannot be reported from here; DeflateFile
    // finishes explicitly so that such errors reach its caller.
  }
}

int TCompressStream::InitDeflate(int Level, int WindowBits) {
  const int r = deflateInit2_(&zs_, Level, Z_DEFLATED, WindowBits, 8, Z_DEFAULT_STRATEGY,
                              ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
  rec_.State = zs_.state;
  return r;
}

std::int64_t TCompressStream::Read(void*, std::int64_t) {
  return -1;
}

std::int64_t TCompressStream::Seek(std::int64_t Offset, int Origin) {
  if (Offset == 0 && Origin == soFromCurrent) return static_cast<std::int64_t>(rec_.TotalIn);
  return -1;
}

void TCompressStream::FlushBuffer(std::uint32_t N) {
  EncryptBuf(buffer_.get(), N);
  RestoreStrmPos();
  strm_.WriteBuffer(buffer_.get(), N);
  rec_.NextOut = buffer_.get();
  rec_.AvailOut = kBufferSize;
  SaveStrmPos();
}

std::int64_t TCompressStream::Write(const void* Buffer, std::int64_t Count) {
  if (init_result_ != Z_OK || finished_) return -1;
  if (Count <= 0) return 0;
  auto* p = static_cast<std::uint8_t*>(const_cast<void*>(Buffer));
  std::int64_t left = Count;
  while (left > 0 && !Cancelled()) {
    const auto slice = static_cast<std::uint32_t>(std::min(left, kMaxSlice));
    rec_.NextIn = p;
    rec_.AvailIn = slice;
    DeflateInput();
    const std::uint32_t consumed = slice - rec_.AvailIn;
    p += consumed;
    left -= consumed;
    if (rec_.AvailIn != 0) break;  // cancelled or the encoder failed
  }
  // The caller's buffer is not ours to keep a pointer into.
  rec_.NextIn = nullptr;
  rec_.AvailIn = 0;
  return Count;
}

int TCompressStream::DeflateInput() {
  int r = Z_OK;
  while (rec_.AvailIn > 0 && !Cancelled()) {
    if (rec_.BytesToDo) *rec_.BytesToDo -= rec_.AvailIn;
    const std::uint8_t* in = rec_.NextIn;
    const std::uint32_t before = rec_.AvailIn;
    r = RunCodec(deflate, Z_NO_FLUSH);
    // The CRC covers exactly what the encoder took, even on a cut-short call.
    if (rec_.Encryption == 0) UpdateCrc32(in, before - rec_.AvailIn, rec_.Crc);
    if (rec_.BytesToDo) *rec_.BytesToDo += rec_.AvailIn;
    if (rec_.AvailOut == 0) FlushBuffer(kBufferSize);
    DoProgress(*this);
    if (r < 0 && r != Z_BUF_ERROR) break;
    if (r == Z_BUF_ERROR && before == rec_.AvailIn) break;  // no progress possible
  }
  return r;
}

int TCompressStream::FinishDeflate() {
  if (finished_ || init_result_ != Z_OK) return init_result_ != Z_OK ? init_result_ : Z_OK;
  finished_ = true;
  struct EndGuard {
    z_stream* zs;
    ~EndGuard() { deflateEnd(zs); }
  } guard{&zs_};
  rec_.NextIn = nullptr;
  rec_.AvailIn = 0;
  int r = RunCodec(deflate, Z_FINISH);
  while (r == Z_OK && rec_.AvailOut == 0 && !Cancelled()) {
    FlushBuffer(kBufferSize);
    r = RunCodec(deflate, Z_FINISH);
  }
  if (r == Z_OK || r == Z_STREAM_END) {
    const std::uint32_t filled = kBufferSize - rec_.AvailOut;
    if (filled != 0) FlushBuffer(filled);
  }
  return r;
}

// ---------------------------------------------------------------- TDecompressStream

TDecompressStream::TDecompressStream(TStream32& Source, int WindowBits, std::uint8_t Encryption,
                                     TEntryCipher* Cipher)
    : TCustomStream(Source) {
  if (IsEncryption(Encryption) && !Cipher)
    throw std::invalid_argument("encrypted entry without a cipher");
  EncryptMethod = Encryption;
  rec_.Encryption = Encryption;
  cipher_ = Cipher;
  rec_.NextIn = buffer_.get();
  rec_.AvailIn = 0;
  start_pos_ = strm_pos_;
  init_result_ = InitInflate(WindowBits);
  initialised_ = init_result_ == Z_OK;
}

TDecompressStream::~TDecompressStream() {
  try {
    // Leave the source just after the compressed data.
    if (rec_.AvailIn > 0) strm_.Seek(strm_pos_ - rec_.AvailIn, soFromBeginning);
  } catch (...) {
  }
  EndInflate();
}

int TDecompressStream::InitInflate(int WindowBits) {
  const int r = inflateInit2_(&zs_, WindowBits, ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
  rec_.State = zs_.state;
  return r;
}

int TDecompressStream::ResetInflate() {
  if (!initialised_) return init_result_;
  rec_.TotalIn = 0;
  rec_.TotalOut = 0;
  return inflateReset(&zs_);
}

int TDecompressStream::EndInflate() {
  if (!initialised_) return Z_OK;
  initialised_ = false;
  rec_.State = nullptr;
  return inflateEnd(&zs_);
}

int TDecompressStream::Decode(std::uint8_t* Out, std::int64_t OutSize, std::int64_t InSize) {
  avail_out_ = std::max<std::int64_t>(OutSize, 0);
  if (!initialised_) return last_result_ = (init_result_ != Z_OK ? init_result_ : Z_STREAM_ERROR);
  if (OutSize <= 0) return last_result_ = Z_OK;
  if (rec_.EndOfData) return last_result_ = Z_STREAM_END;
  const std::int64_t want = std::clamp<std::int64_t>(InSize, 0, kBufferSize);
  std::int64_t left = OutSize;
  int r = Z_OK;
  while (left > 0) {
    if (rec_.AvailIn == 0) {
      std::int64_t got = 0;
      if (want > 0) {
        RestoreStrmPos();
        got = strm_.Read(buffer_.get(), want);
        SaveStrmPos();
      }
      rec_.NextIn = buffer_.get();
      rec_.AvailIn = got > 0 ? static_cast<std::uint32_t>(got) : 0;
      if (got > 0) {
        DecryptBuf(buffer_.get(), static_cast<std::size_t>(got));
        DoProgress(*this);
      }
    }
    const auto slice = static_cast<std::uint32_t>(std::min(left, kMaxSlice));
    rec_.NextOut = Out;
    rec_.AvailOut = slice;
    r = RunCodec(inflate, Z_NO_FLUSH);
    const std::uint32_t produced = slice - rec_.AvailOut;
    Out += produced;
    left -= produced;
    if (r == Z_STREAM_END) {
      rec_.EndOfData = 1;
      break;
    }
    if (r == Z_NEED_DICT) r = Z_DATA_ERROR;  // raw data never asks for one
    if (r < 0) break;
  }
  avail_out_ = left;
  return last_result_ = r;
}

std::int64_t TDecompressStream::Read(void* Buffer, std::int64_t Count) {
  const int r = Decode(static_cast<std::uint8_t*>(Buffer), Count, Count);
  if (r < 0) return r;
  return std::max<std::int64_t>(Count, 0) - avail_out_;
}

std::int64_t TDecompressStream::ReadChunk(void* Buffer, std::int64_t InSize, std::int64_t OutSize) {
  const int r = Decode(static_cast<std::uint8_t*>(Buffer), OutSize, InSize);
  if (r < 0) return r;
  return OutSize;
}

std::int64_t TDecompressStream::Write(const void*, std::int64_t) {
  return -1;
}

std::int64_t TDecompressStream::Seek(std::int64_t Offset, int Origin) {
  if (Offset == 0 && Origin == soFromBeginning) {
    ResetInflate();
    rec_.NextIn = buffer_.get();
    rec_.AvailIn = 0;
    rec_.EndOfData = 0;
    last_result_ = Z_OK;
    strm_.Seek(start_pos_, soFromBeginning);
    strm_pos_ = start_pos_;
    return static_cast<std::int64_t>(rec_.TotalOut);
  }
  const auto total = static_cast<std::int64_t>(rec_.TotalOut);
  std::int64_t target = -1;
  if (Origin == soFromCurrent && Offset > 0)
    target = total + Offset;
  else if (Origin == soFromBeginning && Offset > total)
    target = Offset;
  if (target > 0) {
    std::uint8_t discard[kSeekDiscardChunk];
    while (static_cast<std::int64_t>(rec_.TotalOut) < target) {
      const std::int64_t n =
          std::min(kSeekDiscardChunk, target - static_cast<std::int64_t>(rec_.TotalOut));
      if (Read(discard, n) <= 0) break;
    }
  }
  return static_cast<std::int64_t>(rec_.TotalOut);
}

// ---------------------------------------------------------------- TStoreStream

TStoreStream::TStoreStream(TStream32& Dest, const TCodecParams& Params, int CrcKind)
    : TCustomStream(Dest) {
  SetParams(Params);
  this->CrcKind = static_cast<std::uint8_t>(CrcKind);
  if (Encrypted()) {
    // The CRC of an encrypted entry was computed by an earlier pass.
    rec_.Crc = Params.EntryCrc ? Params.EntryCrc->Crc32 : 0xFFFFFFFFu;
    crc16_ = Params.EntryCrc ? Params.EntryCrc->Crc16 : 0;
  } else {
    rec_.Crc = 0xFFFFFFFFu;
    crc16_ = 0;
  }
  BytesToDo = Params.BytesToDo;
  OwnerCancel = Params.Cancel;
}

std::int64_t TStoreStream::Read(void*, std::int64_t) {
  return -1;
}

std::int64_t TStoreStream::Seek(std::int64_t Offset, int Origin) {
  if (Offset == 0 && Origin == soFromCurrent) return static_cast<std::int64_t>(rec_.TotalIn);
  return -1;
}

std::int64_t TStoreStream::Write(const void* Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  const auto* p = static_cast<const std::uint8_t*>(Buffer);
  if (Encrypted()) {
    // Encrypt a copy: the caller's buffer stays as it was.
    for (std::int64_t off = 0; off < Count;) {
      const auto n = static_cast<std::size_t>(std::min<std::int64_t>(Count - off, kBufferSize));
      std::memcpy(buffer_.get(), p + off, n);
      EncryptBuf(buffer_.get(), n);
      RestoreStrmPos();
      strm_.WriteBuffer(buffer_.get(), static_cast<std::int64_t>(n));
      SaveStrmPos();
      off += static_cast<std::int64_t>(n);
    }
  } else {
    if (CrcKind == 16)
      UpdateCrc16(p, Count, crc16_);
    else if (CrcKind == 32)
      UpdateCrc32(p, Count, rec_.Crc);
    RestoreStrmPos();
    strm_.WriteBuffer(p, Count);
    SaveStrmPos();
  }
  if (rec_.BytesToDo) *rec_.BytesToDo -= Count;
  rec_.TotalIn += static_cast<std::uint64_t>(Count);
  DoProgress(progress_sender_ ? *progress_sender_ : *this);
  return Count;
}

std::int64_t TStoreStream::StoreFrom(TStream32& Source, std::int64_t Count) {
  ActiveProgress = OwnerProgress;
  progress_sender_ = &Source;
  return CopyInChunks(Source, Count, kStoreChunk, BindCopyCancel());
}

bool StoreFile(const TStreamProgress& OwnerProgress, TStream32& Source, TCodecParams Params,
               int CrcKind, TStream32& Dest) {
  TStoreStream store(Dest, Params, CrcKind);
  store.OwnerProgress = OwnerProgress;
  Source.OwnerCancel = Params.Cancel;
  Source.OwnerProgress = OwnerProgress;
  Source.ActiveProgress = OwnerProgress;
  const bool plain = !IsEncryption(Params.Encryption);
  auto keep_crc = [&] {
    if (!plain || !Params.EntryCrc) return;
    if (CrcKind == 16)
      Params.EntryCrc->Crc16 = store.Crc16Acc();
    else if (CrcKind == 32)
      Params.EntryCrc->Crc32 = store.Crc32Acc() ^ 0xFFFFFFFFu;
  };
  std::int64_t copied = 0;
  try {
    copied = store.StoreFrom(Source, 0);
  } catch (...) {
    keep_crc();
    throw;
  }
  keep_crc();
  return copied == Source.Size();
}

// ---------------------------------------------------------------- TCalcStreamCRC

TCalcStreamCRC::TCalcStreamCRC(TStream32& Source, const TStreamProgress& Progress, bool* Cancel,
                               const TCodecParams& Params, int CrcKind, std::int64_t Count)
    : TCustomStream(Source) {
  (void)Progress;  // the pass reports no progress
  (void)Params;
  this->CrcKind = static_cast<std::uint8_t>(CrcKind);
  rec_.Crc = 0xFFFFFFFFu;
  crc16_ = 0;
  OwnerCancel = Cancel;
  copied_ = CopyFrom(Source, Count);
}

std::int64_t TCalcStreamCRC::Read(void*, std::int64_t) {
  return -1;
}
std::int64_t TCalcStreamCRC::Seek(std::int64_t, int) {
  return -1;
}

std::int64_t TCalcStreamCRC::Write(const void* Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  if (CrcKind == 16)
    UpdateCrc16(Buffer, Count, crc16_);
  else if (CrcKind == 32)
    UpdateCrc32(Buffer, Count, rec_.Crc);
  return Count;
}

std::uint32_t CalcFileCrc32(TStream32& Source, TCodecParams Params, bool* Cancel,
                            const TStreamProgress& Progress, std::int64_t Count) {
  TCalcStreamCRC calc(Source, Progress, Cancel, Params, 32, Count);
  Source.Seek(0, soFromBeginning);
  return calc.Crc32Acc();
}

// ---------------------------------------------------------------- DeflateFile

bool DeflateFile(TStream32& Source, TStream32& Dest, TCodecParams Params,
                 const TStreamProgress& Progress, int LevelIndex, int WindowBits,
                 std::uint32_t& Crc) {
  TCompressStream deflater(Dest, LevelIndex, WindowBits);
  deflater.SetParams(Params);
  deflater.OwnerProgress = Progress;
  deflater.OwnerCancel = Params.Cancel;
  deflater.BytesToDo = Params.BytesToDo;
  Source.OwnerProgress = Progress;
  Source.OwnerCancel = Params.Cancel;
  deflater.CopyFrom(Source, 0);
  // Finishing here rather than in the destructor lets a failed final write
  // reach the caller.
  deflater.FinishDeflate();
  if (!IsEncryption(Params.Encryption)) Crc = deflater.CodecRec().Crc ^ 0xFFFFFFFFu;
  if (Source.Size() == 0 && Params.EntryCrc && Params.EntryCrc->Crc32 == 0xFFFFFFFFu)
    Params.EntryCrc->Crc32 = 0;
  return !(Params.Cancel && *Params.Cancel);
}

}  // namespace qmx
