// Renaming a suite without the extract-and-recompress round trip, for the
// command line: the manifest is read alone, patched in memory and written
// first; every other entry is copied with its compressed bytes as they are
// (the ZIP writer's kept-entry copy); the copy is tested. The window keeps
// the converter's flow. A suite this cannot copy faithfully (spanned,
// damaged, encrypted) is left to that flow: Outcome() says so and why.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace qmx {

inline constexpr const char* kManifestEntry = "META-INF/MANIFEST.MF";

// A jar signature file: META-INF/x.SF, .RSA, .DSA or .EC (case ignored),
// directly in META-INF. With signatureOnly, .SF alone (what marks a suite
// as signed).
bool IsJarSignatureFile(const std::string& storedName, bool signatureOnly = false);

// The suite's manifest, decoded in memory and CRC-checked; nothing is
// written. Empty Problem when it was read.
struct TSuiteManifest {
  bool Found = false;  // the archive has a manifest entry
  std::string Bytes;
  std::string Problem;
};
TSuiteManifest ReadSuiteManifest(const std::string& suite, bool* cancel = nullptr);

enum TCopyOutcome : std::uint8_t {
  coRenamed,   // the copy is written and passed its test
  coFallback,  // not copied: the suite needs the converter's flow
  coFailed     // nothing written; Reason() says why
};

class TSuiteCopy {
 public:
  explicit TSuiteCopy(std::string suite);

  // Leave the jar signature files out of the copy.
  bool Unsign = false;
  // Shared with a signal handler.
  bool* Cancel = nullptr;
  // Lines for a verbose run.
  std::function<void(const std::string&)> Log;

  // Checks the suite can be copied and reads its manifest: coRenamed
  // stands for "go on" here.
  TCopyOutcome Inspect();
  // Writes out (replacing a file there) with the manifest's MIDlet-Name set
  // to newName and tests it; the manifest must have been inspected.
  TCopyOutcome Write(const std::string& out, const std::string& newName);

  const std::string& Reason() const { return FReason; }
  const std::string& Manifest() const { return FManifest; }
  bool HasName() const { return FHasName; }
  // The old value as the window's label shows it (leading blank kept).
  const std::string& OldNameLabel() const { return FOldLabel; }
  // The whole old value, continuation lines joined, leading blanks gone.
  const std::string& OldName() const { return FOldName; }
  // A signature file was in the source (left out with Unsign).
  bool Signed() const { return FSigned; }
  int Dropped() const { return FDropped; }
  int Tested() const { return FTested; }
  // The name the writer gave the copy (an extension may have been added).
  const std::string& Written() const { return FWritten; }

 private:
  TCopyOutcome Fallback(const std::string& why);
  TCopyOutcome Fail(const std::string& why);
  void Say(const std::string& line) const;

  std::string FSuite;
  std::string FReason;
  std::string FManifest;
  bool FInspected = false;
  bool FHasName = false;
  std::string FOldLabel;
  std::string FOldName;
  bool FSigned = false;
  int FDropped = 0;
  int FTested = 0;
  std::string FWritten;
};

}  // namespace qmx
