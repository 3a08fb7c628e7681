// TUUDecode extracts the file carried by a uuencoded, xxencoded or Base64
// ("begin-base64") text, following a file that goes on in further parts
// (x.uue, x.uu2, ...). Encoded text carries no checksum: an entry passes
// unless the run was cancelled.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "archive/base/extract_framework.h"

namespace qmx {

enum TAlgorithm : std::uint8_t { uudecode, xxdecode, base64decode };
enum TNextVolumeName : std::uint8_t { nvChangeFilename, nvChangeExt };

class TUUDecode : public TUnBase {
 public:
  TUUDecode();
  ~TUUDecode() override;

  // Set from the data found; not an input.
  TAlgorithm Algorithm() const { return FAlgorithm; }
  // Lines before the "begin" line that are examined.
  int MaxHeaderLines = 100;
  TNextVolumeName NextVolumeName = nvChangeExt;
  // With nvChangeFilename: the part number is appended to the name instead
  // of replacing its last characters (the 8.3 rule).
  bool VolumeLongFilenames = false;
  std::uint8_t VolumeStartNum() const { return FVolumeStartNum; }
  // At most 10.
  void SetVolumeStartNum(std::uint8_t v) { FVolumeStartNum = v > 10 ? 10 : v; }

  // The name of part `number` of the set whose first part is `first`.
  std::string PartName(const std::string& first, int number) const;

 protected:
  void ReadArchive(std::unique_ptr<TFileStream32>& archive) override;

 private:
  class TTextInput;
  enum TBodyResult { brFinished, brContinues, brFailed };

  bool ParseHeader(std::string& name, std::int64_t& size);
  void DetectAlgorithm(const std::string& firstLine, bool base64Header);
  void UseAlphabet(const char* alphabet);
  TBodyResult DecodeBody();
  bool DecodeLine(const std::string& line);
  void DecodeUULine(const std::string& line);
  void DecodeBase64(const std::string& text);
  void FinishBase64();
  void Put(const std::uint8_t* p, std::size_t n);
  bool Flush();
  bool OpenPart(int number, std::unique_ptr<TFileStream32>& archive);
  bool ParseContinuation(std::string& newName);
  bool StartOutput(const std::string& name, bool ask);
  void CloseCurrent();
  void DescribeEntry(const std::string& name, std::int64_t size);

  TAlgorithm FAlgorithm = uudecode;
  std::uint8_t FVolumeStartNum = 1;
  // uu/xx: value of each character, -2 when not in the alphabet.
  std::array<int, 256> FTable{};
  bool FCustomAlphabet = false;
  std::string FCustom;
  // A data line read ahead (the one that chose the algorithm).
  std::string FPending;
  bool FHasPending = false;
  bool FPendingPiece = false;  // more of that line follows
  // Base64 state across lines: a group is not bound to a line.
  std::uint32_t FGroup = 0;
  int FGroupChars = 0;
  bool FPadded = false;

  std::unique_ptr<TTextInput> FIn;
  std::unique_ptr<TFileStream32> FOut;
  std::string FOutName;
  std::uint32_t FDosDate = 0;
  std::string FBuf;  // decoded bytes not yet written
  bool FWriteFailed = false;
  std::int64_t FDone = 0;
};

}  // namespace qmx
