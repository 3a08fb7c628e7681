#include "archive/formats/uu/uu_reader.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>

#include "archive/base/names.h"
#include "archive/platform/files.h"
#include "archive/platform/paths.h"

namespace qmx {
namespace {

constexpr std::int64_t kBlock = 32768;
constexpr std::size_t kHeaderLine = 80;
// uu and xx lines are at most 1 + 84 characters; anything longer is noise.
constexpr std::size_t kUuLine = 256;
// Base64 lines may be of any length: longer ones arrive in pieces.
constexpr std::size_t kBase64Piece = 4096;
constexpr int kInvalid = -2;
constexpr std::uint32_t kFileAttr = 0x20;

constexpr char kUuAlphabet[] = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
constexpr char kXxAlphabet[] = "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

constexpr std::array<int, 256> MakeBase64Table() {
  std::array<int, 256> t{};
  for (int& v : t) v = -1;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = c - 'A';
  for (int c = 'a'; c <= 'z'; ++c) t[c] = c - 'a' + 26;
  for (int c = '0'; c <= '9'; ++c) t[c] = c - '0' + 52;
  t['+'] = 62;
  t['/'] = 63;
  return t;
}
constexpr std::array<int, 256> kBase64Table = MakeBase64Table();

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

bool IsEndLine(const std::string& line) {
  return line == "end" || StartsWith(line, "end ");
}

// Whether line is a whole uu/xx data line under table: its length
// character's count needs exactly that many groups of four.
bool FitsLine(const std::string& line, const std::array<int, 256>& table) {
  if (line.empty()) return false;
  const int n = table[static_cast<unsigned char>(line[0])];
  if (n < 0) return false;
  const std::size_t want = 1 + static_cast<std::size_t>((n + 2) / 3) * 4;
  // Some encoders add a check character.
  if (line.size() != want && line.size() != want + 1) return false;
  for (std::size_t i = 1; i < want; ++i)
    if (table[static_cast<unsigned char>(line[i])] < 0) return false;
  return true;
}

std::array<int, 256> MakeTable(const std::string& alphabet) {
  std::array<int, 256> t;
  t.fill(kInvalid);
  for (std::size_t i = 0; i < alphabet.size() && i < 64; ++i) {
    auto& v = t[static_cast<unsigned char>(alphabet[i])];
    if (v == kInvalid) v = static_cast<int>(i);  // the first occurrence wins
  }
  // Mailers turn trailing graves into blanks and some encoders write them.
  t[' '] = 0;
  return t;
}

bool IsBase64Line(const std::string& line) {
  if (line.size() < 4) return false;
  for (unsigned char c : line)
    if (Base64Value(c) < 0 && c != '=') return false;
  return true;
}

}  // namespace

// --------------------------------------------------------------- text input

// Block reader over the encoded text: lines end at a line feed, carriage
// returns are dropped, so CR LF and LF texts read alike.
class TUUDecode::TTextInput {
 public:
  enum TLine { lnEnd, lnLine, lnPiece };

  TTextInput(TStream& s, std::function<void(std::int64_t)> progress)
      : s_(s), progress_(std::move(progress)), buf_(static_cast<std::size_t>(kBlock)) {}

  // Reads up to the next line feed into line, keeping at most keep
  // characters. With pieces, a longer line is handed out keep characters
  // at a time (lnPiece: more of the same line follows); otherwise the rest
  // is skipped.
  TLine Read(std::string& line, std::size_t keep, bool pieces) {
    line.clear();
    bool any = false;
    for (;;) {
      if (pos_ == len_ && !Refill()) return any ? Done(line, lnLine) : lnEnd;
      const char* p = reinterpret_cast<const char*>(buf_.data()) + pos_;
      const std::size_t avail = len_ - pos_;
      const auto* lf = static_cast<const char*>(std::memchr(p, '\n', avail));
      const std::size_t upto = lf ? static_cast<std::size_t>(lf - p) : avail;
      any = true;
      const std::size_t room = keep > line.size() ? keep - line.size() : 0;
      if (upto > room && pieces) {
        line.append(p, room);
        pos_ += room;
        return Done(line, lnPiece);
      }
      line.append(p, std::min(upto, room));
      pos_ += upto;
      if (lf) {
        ++pos_;
        return Done(line, lnLine);
      }
    }
  }

  std::int64_t Consumed() const { return consumed_ - static_cast<std::int64_t>(len_ - pos_); }

 private:
  static TLine Done(std::string& line, TLine how) {
    if (line.find('\r') != std::string::npos) std::erase(line, '\r');
    return how;
  }

  bool Refill() {
    const std::int64_t got = s_.Read(buf_.data(), kBlock);
    if (got <= 0) return false;
    pos_ = 0;
    len_ = static_cast<std::size_t>(got);
    consumed_ += got;
    if (progress_) progress_(got);
    return true;
  }

  TStream& s_;
  std::function<void(std::int64_t)> progress_;
  std::vector<std::uint8_t> buf_;
  std::size_t pos_ = 0, len_ = 0;
  std::int64_t consumed_ = 0;
};

// ---------------------------------------------------------------- component

TUUDecode::TUUDecode() {
  FArcType = atUUE;
}

TUUDecode::~TUUDecode() = default;

std::string TUUDecode::PartName(const std::string& first, int number) const {
  const std::string num = std::to_string(number);
  const std::string dir = ExtractFilePath(first);
  std::string name = ExtractFileName(first);
  const std::string ext = ExtractFileExt(name);
  std::string stem = name.substr(0, name.size() - ext.size());
  if (NextVolumeName == nvChangeExt) {
    // x.uue, x.uu2 ... x.u10 ... x.100: the number replaces the end of the
    // extension.
    std::string e = ext.empty() ? "." : ext;
    if (e.size() - 1 < num.size()) e.resize(num.size() + 1, '_');
    e.replace(e.size() - num.size(), num.size(), num);
    return dir + stem + e;
  }
  // nvChangeFilename: x.uue, x2.uue, ...; an 8.3 name keeps its eight
  // characters by giving up its last ones.
  if (!VolumeLongFilenames && stem.size() + num.size() > 8) stem.resize(8 - num.size());
  return dir + stem + num + ext;
}

void TUUDecode::UseAlphabet(const char* alphabet) {
  FTable = MakeTable(FCustomAlphabet ? FCustom : std::string(alphabet));
}

bool TUUDecode::ParseHeader(std::string& name, std::int64_t& size) {
  std::string line;
  for (int n = 0; n < MaxHeaderLines; ++n) {
    if (FIn->Read(line, kHeaderLine, false) == TTextInput::lnEnd) return false;
    if (StartsWith(line, "begin ") || StartsWith(line, "begin-")) {
      const bool base64 = line.find("base64 ") != std::string::npos;
      std::string rest = line.substr(std::min<std::size_t>(line.size(), base64 ? 13 : 6));
      std::size_t i = 0;
      while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') ++i;
      if (rest.substr(0, i) == "999") FArcType = atZipMV;
      if (i < rest.size() && rest[i] == ' ') ++i;
      rest = rest.substr(i);
      name = rest.substr(0, rest.find(' '));
      // The first data line tells the algorithm; it is decoded after.
      const TTextInput::TLine got = FIn->Read(FPending, kBase64Piece, base64);
      FHasPending = got != TTextInput::lnEnd;
      FPendingPiece = got == TTextInput::lnPiece;
      DetectAlgorithm(FHasPending ? FPending : std::string(), base64);
      return true;
    }
    if (StartsWith(line, "size")) {
      size = 0;
      // Only a hint for progress and listings: a number too large for any
      // file is ignored.
      for (std::size_t i = 5; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        if (size > (INT64_MAX - 9) / 10) {
          size = 0;
          break;
        }
        size = size * 10 + (line[i] - '0');
      }
    } else if (StartsWith(line, "table")) {
      std::string a, b;
      FIn->Read(a, kHeaderLine, false);
      FIn->Read(b, 48, false);
      FCustom = a.substr(0, 32) + b.substr(0, 32);
      FCustomAlphabet = FCustom.size() == 64;
    } else if (StartsWith(line, "charmap")) {
      // "charmap" and the 64 characters of the alphabet on the same line.
      const std::string a = line.size() > 8 ? line.substr(8) : std::string();
      if (a.size() >= 64) {
        FCustom = a.substr(0, 64);
        FCustomAlphabet = true;
      }
    }
  }
  return false;
}

void TUUDecode::DetectAlgorithm(const std::string& first, bool base64Header) {
  // A "begin-base64" header settles it: Base64 data may start with any
  // letter, "M" and "h" included.
  if (base64Header) {
    FAlgorithm = base64decode;
    return;
  }
  // A whole line tells uu from xx by its length, short files included; the
  // first character alone ("M" or "h", full lines) decides otherwise.
  const std::array<int, 256> uu = MakeTable(FCustomAlphabet ? FCustom : kUuAlphabet);
  const std::array<int, 256> xx = MakeTable(FCustomAlphabet ? FCustom : kXxAlphabet);
  if (!FCustomAlphabet && FitsLine(first, uu)) {
    FAlgorithm = uudecode;
  } else if (!FCustomAlphabet && FitsLine(first, xx)) {
    FAlgorithm = xxdecode;
  } else if (!first.empty() && first[0] == 'M') {
    FAlgorithm = uudecode;
  } else if (!first.empty() && first[0] == 'h') {
    FAlgorithm = xxdecode;
  } else if (FCustomAlphabet || IsBase64Line(first) == false) {
    // Not Base64 either: read it as uuencode, whose lines it most resembles.
    FAlgorithm = FCustomAlphabet ? xxdecode : uudecode;
  } else {
    FAlgorithm = base64decode;
  }
  if (FAlgorithm == uudecode) UseAlphabet(kUuAlphabet);
  if (FAlgorithm == xxdecode) UseAlphabet(kXxAlphabet);
}

// ----------------------------------------------------------------- decoding

void TUUDecode::Put(const std::uint8_t* p, std::size_t n) {
  FBuf.append(reinterpret_cast<const char*>(p), n);
  if (FBuf.size() >= static_cast<std::size_t>(kBlock)) Flush();
}

bool TUUDecode::Flush() {
  if (FBuf.empty() || FWriteFailed) return !FWriteFailed;
  const auto n = static_cast<std::int64_t>(FBuf.size());
  if (WriteBlock(FOut.get(), FBuf.data(), false, n, 32) < n) FWriteFailed = true;
  FDone += n;
  FBuf.clear();
  return !FWriteFailed;
}

void TUUDecode::DecodeUULine(const std::string& line) {
  if (line.empty()) return;
  const int n = FTable[static_cast<unsigned char>(line[0])];
  if (n <= 0) return;  // not a data line, or an empty one
  std::uint8_t out[64 + 3];
  int made = 0;
  // Characters missing at the end (blanks a mailer stripped) count as 0.
  auto at = [&](std::size_t i) {
    if (i >= line.size()) return 0;
    const int v = FTable[static_cast<unsigned char>(line[i])];
    return v < 0 ? 0 : v;
  };
  const std::size_t groups = static_cast<std::size_t>(n + 2) / 3;
  const auto* p = reinterpret_cast<const unsigned char*>(line.data()) + 1;
  std::size_t i = 1;
  if (line.size() >= 1 + groups * 4) {
    // The whole line is there: no character can be missing.
    for (std::size_t g = 0; g < groups; ++g, p += 4) {
      const int a = FTable[p[0]], b = FTable[p[1]], c = FTable[p[2]], d = FTable[p[3]];
      if ((a | b | c | d) < 0) break;
      out[made++] = static_cast<std::uint8_t>(a << 2 | b >> 4);
      out[made++] = static_cast<std::uint8_t>((b & 15) << 4 | c >> 2);
      out[made++] = static_cast<std::uint8_t>((c & 3) << 6 | d);
      i += 4;
    }
  }
  for (; made < n; i += 4) {
    const int a = at(i), b = at(i + 1), c = at(i + 2), d = at(i + 3);
    out[made++] = static_cast<std::uint8_t>(a << 2 | b >> 4);
    out[made++] = static_cast<std::uint8_t>((b & 15) << 4 | c >> 2);
    out[made++] = static_cast<std::uint8_t>((c & 3) << 6 | d);
  }
  Put(out, static_cast<std::size_t>(n));
}

void TUUDecode::DecodeBase64(const std::string& text) {
  if (FPadded) return;
  std::uint8_t out[3 * (kBase64Piece / 4 + 1)];
  std::size_t made = 0;
  std::uint32_t group = FGroup;
  int chars = FGroupChars;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p < end) {
    // Whole groups of valid characters, the common case, four at a time.
    if (chars == 0) {
      while (end - p >= 4 && made + 3 <= sizeof out) {
        const int a = kBase64Table[p[0]], b = kBase64Table[p[1]], c = kBase64Table[p[2]],
                  d = kBase64Table[p[3]];
        if ((a | b | c | d) < 0) break;
        const auto v = static_cast<std::uint32_t>(a << 18 | b << 12 | c << 6 | d);
        out[made++] = static_cast<std::uint8_t>(v >> 16);
        out[made++] = static_cast<std::uint8_t>(v >> 8);
        out[made++] = static_cast<std::uint8_t>(v);
        p += 4;
      }
      if (p >= end) break;
    }
    const unsigned char ch = *p++;
    if (ch == '=') {
      // Padding ends the data: what the group holds is its last bytes.
      Put(out, made);
      FGroup = group;
      FGroupChars = chars;
      FinishBase64();
      FPadded = true;
      return;
    }
    const int v = kBase64Table[ch];
    if (v < 0) continue;  // blanks and stray characters
    group = group << 6 | static_cast<std::uint32_t>(v);
    if (++chars == 4) {
      out[made++] = static_cast<std::uint8_t>(group >> 16);
      out[made++] = static_cast<std::uint8_t>(group >> 8);
      out[made++] = static_cast<std::uint8_t>(group);
      group = 0;
      chars = 0;
    }
  }
  FGroup = group;
  FGroupChars = chars;
  Put(out, made);
}

void TUUDecode::FinishBase64() {
  // Two characters carry one byte, three carry two; the padding may be
  // missing.
  std::uint8_t out[2];
  std::size_t n = 0;
  if (FGroupChars == 2) {
    out[n++] = static_cast<std::uint8_t>(FGroup >> 4);
  } else if (FGroupChars == 3) {
    out[n++] = static_cast<std::uint8_t>(FGroup >> 10);
    out[n++] = static_cast<std::uint8_t>(FGroup >> 2);
  }
  FGroup = 0;
  FGroupChars = 0;
  Put(out, n);
}

bool TUUDecode::DecodeLine(const std::string& line) {
  if (FAlgorithm == base64decode) {
    DecodeBase64(line);
  } else {
    DecodeUULine(line);
  }
  return !FWriteFailed;
}

TUUDecode::TBodyResult TUUDecode::DecodeBody() {
  std::string line;
  const bool base64 = FAlgorithm == base64decode;
  bool lineStart = true;
  for (;;) {
    if (GetCancel()) return brContinues;
    TTextInput::TLine got;
    if (FHasPending) {
      line.swap(FPending);
      FHasPending = false;
      got = FPendingPiece ? TTextInput::lnPiece : TTextInput::lnLine;
    } else {
      got = FIn->Read(line, base64 ? kBase64Piece : kUuLine, base64);
    }
    if (got == TTextInput::lnEnd) return brContinues;
    if (lineStart && (IsEndLine(line) || (base64 && line == "===="))) {
      if (base64) FinishBase64();
      return brFinished;
    }
    if (!DecodeLine(line)) return brFailed;
    lineStart = got == TTextInput::lnLine;
  }
}

// ------------------------------------------------------------------ parts

bool TUUDecode::ParseContinuation(std::string& newName) {
  // Text in front of the data (mail headers, "part 2 of 3") is skipped; the
  // data starts at a "begin" line or at the first line that is encoded
  // data, as a part cut by split starts.
  std::string line;
  for (;;) {
    const bool base64 = FAlgorithm == base64decode;
    const TTextInput::TLine got = FIn->Read(line, base64 ? kBase64Piece : kUuLine, base64);
    if (got == TTextInput::lnEnd) return false;
    if (StartsWith(line, "begin ")) {
      std::string rest = line.substr(6);
      std::size_t i = 0;
      while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') ++i;
      if (i < rest.size() && rest[i] == ' ') ++i;
      rest = rest.substr(i);
      newName = rest.substr(0, rest.find(' '));
      return true;
    }
    const bool data = base64 ? IsBase64Line(line) : FitsLine(line, FTable);
    if (data || (FAlgorithm == xxdecode && !line.empty() && line[0] == 'h')) {
      if (!line.empty() && line[0] == 'h')
        ReportError(FFileName, "line starting with 104 found before \"begin\"", FVolumeName,
                    E_LINE_BEFORE_BEGIN);
      FPending = line;
      FHasPending = true;
      FPendingPiece = got == TTextInput::lnPiece;
      return true;
    }
  }
}

bool TUUDecode::OpenPart(int number, std::unique_ptr<TFileStream32>& archive) {
  if (number > 999) {
    ReportError(FArchiveFile, "", FVolumeName, E_MAX_VOLUMES);
    return false;
  }
  std::string name = PartName(FArchiveFile, number);
  if (name.empty()) {
    ReportError(FArchiveFile, "", FVolumeName, E_INVALID_NAME);
    return false;
  }
  if (ExtractFilePath(name).empty()) name = AppendSlash(GetCurrentDir()) + name;
  if (!OnNextVolume) {
    if (!FileExists(name)) {
      ReportMissingEvent("OnNextVolume", name);
      return false;
    }
  } else {
    bool cancel = false;
    for (;;) {
      OnNextVolume(*this, name, number, FileExists(name), cancel);
      if (cancel) {
        SetCancel(true);
        return false;
      }
      if (FileExists(name)) break;
    }
  }
  FIn.reset();
  archive = std::make_unique<TFileStream32>(name, fmOpenRead);
  if (archive->Handle() < 0) {
    ReportError(name, "", std::to_string(number), E_OPEN_FILE);
    archive.reset();
    return false;
  }
  FVolumeName = name;
  FIn = std::make_unique<TTextInput>(*archive, [this](std::int64_t n) { FBytesToDo -= n; });
  return true;
}

// ------------------------------------------------------------------ the run

void TUUDecode::DescribeEntry(const std::string& name, std::int64_t size) {
  TEntryInfo& e = FEntryInfo;
  e = TEntryInfo{};
  e.Known = true;
  e.Name = name;
  e.PackedSize = static_cast<std::uint64_t>(std::max<std::int64_t>(FArchiveSize, 0));
  e.UnpackedSize = static_cast<std::uint64_t>(std::max<std::int64_t>(size, 0));
  e.DosDate = FDosDate;
  e.Attributes = kFileAttr;
  e.MethodName = FAlgorithm == base64decode ? "Base64"
                 : FAlgorithm == xxdecode   ? "XXEncoded"
                                            : "UUEncoded";
}

bool TUUDecode::StartOutput(const std::string& name, bool ask) {
  BeginEntry(name);
  if (ask && !ConfirmExtract(false)) return false;
  FOutName = FFileName;
  if (!OpenOutput(FOut, FFileName, FStoredName)) {
    ReportError(FFileName, "", FVolumeName, E_OPEN_FILE);
    return false;
  }
  return true;
}

void TUUDecode::CloseCurrent() {
  Flush();
  CloseOutput(FOut, FOutName, kFileAttr, FDosDate);
}

void TUUDecode::ReadArchive(std::unique_ptr<TFileStream32>& archive) {
  if (!archive) return;
  FArcType = atUUE;
  FAlgorithm = uudecode;
  FCustomAlphabet = false;
  FCustom.clear();
  FHasPending = false;
  FPendingPiece = false;
  FGroup = 0;
  FGroupChars = 0;
  FPadded = false;
  FBuf.clear();
  FBuf.reserve(static_cast<std::size_t>(kBlock) + 64);
  FWriteFailed = false;
  FDone = 0;
  FOut.reset();
  UseAlphabet(kXxAlphabet);
  const std::int64_t textSize = archive->Size();
  FBytesToDo = textSize;
  FIn = std::make_unique<TTextInput>(*archive, [this, textSize](std::int64_t n) {
    FBytesToDo -= n;
    UpdateProgress(textSize, textSize, FIn ? FIn->Consumed() : 0);
  });
  struct TRelease {
    std::unique_ptr<TTextInput>& in;
    ~TRelease() { in.reset(); }
  } release{FIn};

  std::string name;
  std::int64_t size = 0;
  if (!ParseHeader(name, size)) {
    ReportError(FArchiveFile, "no \"begin\" line", FVolumeName, E_HEADER_NOT_FOUND);
    return;
  }
  if (name.empty()) {
    ReportError(FArchiveFile, "the \"begin\" line names no file", FVolumeName, E_INVALID_NAME);
    return;
  }
  FDosDate = FileGetDate(FArchiveFile);
  if (FDosDate == 0) FDosDate = 0x00210020;
  if (!IsFileInSpec(name)) return;
  NoteSelectedEntry(textSize, size, FDosDate);
  DescribeEntry(name, size);
  if (!StartOutput(name, true)) {
    SkipEntry(size);
    return;
  }
  int part = FVolumeStartNum;
  TBodyResult r = brFailed;
  while (!GetCancel()) {
    r = DecodeBody();
    if (r != brContinues || GetCancel()) break;
    // The data ran out before "end": the file goes on in the next part.
    Flush();
    if (!OpenPart(++part, archive)) {
      // No further part: what was decoded stays; the entry gets no verdict.
      CloseCurrent();
      FCreatedOutput.clear();
      UncountEntry();
      return;
    }
    std::string newName;
    if (!ParseContinuation(newName)) continue;  // an empty part: on to the next
    if (FArcType == atZipMV && !newName.empty()) {
      // A "999" set: each part carries a file of its own.
      CloseCurrent();
      if (!StartOutput(newName, false)) return;
    }
  }
  if (r == brFailed) {
    CloseCurrent();
    ReportVerdict(false, E_WRITE_FILE);
    return;
  }
  if (r != brFinished) ReportError(FFileName, "", FVolumeName, E_EOL_NOT_FOUND);
  CloseCurrent();
  ReportVerdict(r == brFinished && !GetCancel());
}

}  // namespace qmx
