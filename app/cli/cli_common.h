// Pieces shared by the command-line programs: option parsing, the stderr
// error printer, a progress bar for terminals and the terminal's answers to
// the library's questions.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "archive/base/events.h"
#include "archive/platform/ui_hooks.h"

namespace qmx::cli {

// Exit codes of the programs.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;    // some entries failed
inline constexpr int kExitUnusable = 2;  // bad usage, or the archive cannot be used

// Options are "-x", "-x VALUE", "-xVALUE", "--name", "--name VALUE" or
// "--name=VALUE"; "--" ends the options. Anything else is positional.
class TArgParser {
 public:
  TArgParser(std::set<std::string> flags, std::set<std::string> valued);
  // False with error set on an unknown option or a missing value.
  bool Parse(const std::vector<std::string>& args, std::string& error);
  bool Has(const std::string& option) const { return FValues.count(option) > 0; }
  // Every value given for option, in order.
  std::vector<std::string> Values(const std::string& option) const;
  // The last value given, or fallback.
  std::string Value(const std::string& option, const std::string& fallback = {}) const;
  const std::vector<std::string>& Positional() const { return FPositional; }

 private:
  std::set<std::string> FFlags, FValued;
  std::map<std::string, std::vector<std::string>> FValues;
  std::vector<std::string> FPositional;
};

// Text as it may reach a terminal: control characters (C0, DEL and C1 in
// UTF-8) become caret or \u escapes, so a stored name cannot drive the
// user's terminal. keepNewlines leaves LF for multi-line messages.
std::string Printable(const std::string& text, bool keepNewlines = false);

// A cancel flag for components to share (ShareCancel) that SIGINT and
// SIGTERM set: the run stops at its next check and removes its temporary
// files as on any cancel. A second signal ends the program at once. The
// flag lives as long as the program, so a late signal finds it.
bool* SignalCancelFlag();
// Whether SIGINT or SIGTERM arrived; such a run exits with kExitInterrupted.
bool SignalReceived();
inline constexpr int kExitInterrupted = 130;

bool StdinIsTerminal();
bool StderrIsTerminal();

// One line on stderr, redrawn in place, only when enabled (stderr is a
// terminal and the user did not ask for quiet).
class TProgressBar {
 public:
  explicit TProgressBar(bool enabled, std::ostream& out);
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool on) { FEnabled = on; }
  void Update(int percent, const std::string& label);
  // Erases the bar so that other output starts on a clean line.
  void Clear();

 private:
  bool FEnabled;
  std::ostream& FOut;
  bool FShown = false;
  int FLastPercent = -1;
  std::string FLastLabel;
};

// Prints the library's error reports as
// "PROGRAM: FILE: Error#: CODE MESSAGE (EXTENDED)".
class TErrorPrinter {
 public:
  TErrorPrinter(std::string program, std::ostream& out, TProgressBar* bar = nullptr);
  // FILE is FileName, else the volume, else fallbackFile.
  std::string Format(const std::string& fileName, const std::string& extendedMsg,
                     const std::string& volumeId, int code) const;
  void Print(const std::string& fileName, const std::string& extendedMsg,
             const std::string& volumeId, int code);
  // An OnError handler that prints and records the code.
  TOnError Handler();
  // A line "PROGRAM: FILE: TEXT" for the program's own complaints.
  void Note(const std::string& file, const std::string& text);

  // The next report of code only repeats a problem the program has already
  // printed in its own words: it is recorded but not printed.
  void Absorb(int code) { FAbsorbed.push_back(code); }

  std::string FallbackFile;
  const std::vector<int>& Codes() const { return FCodes; }
  bool Reported(int code) const;

 private:
  std::string FProgram;
  std::ostream& FOut;
  TProgressBar* FBar;
  std::vector<int> FCodes;
  std::vector<int> FAbsorbed;
};

// Reads a line from the terminal; echo off for secrets. False at end of input.
bool ReadTerminalLine(const std::string& prompt, bool secret, std::string& line);

// The library's questions: asked on the terminal when stdin is one,
// otherwise printed to stderr and answered No / Cancel.
class TTerminalPrompt : public TUserPrompt {
 public:
  TTerminalPrompt(std::string program, std::ostream& out, bool interactive);
  bool AskYesNo(const std::string& caption, const std::string& text) override;
  bool AskRetryCancel(const std::string& caption, const std::string& text) override;
  void ShowMessage(const std::string& caption, const std::string& text) override;

 private:
  bool Ask(const std::string& caption, const std::string& text, const std::string& choices);
  std::string FProgram;
  std::ostream& FOut;
  bool FInteractive;
};

// Answers the readers' requests for the next volume of a split set: the
// volume the reader proposes (beside the archive) when it exists; else,
// on a terminal, the path the user types, and without one an error that
// names the missing file.
class TVolumeFinder {
 public:
  TVolumeFinder(std::string program, TErrorPrinter& errors, bool interactive,
                TProgressBar* bar = nullptr);
  void SetInteractive(bool on) { FInteractive = on; }
  TOnNextVolume Handler();
  // A numbered volume of a ZIP set (NAME.z01 ...) stands for the set, which
  // is read through its last volume NAME.zip, as 7-Zip does; archive is
  // changed to that. False when the last volume is missing (reported).
  bool FindSet(std::string& archive);
  // The volume a run stopped for because it was not found and nobody
  // supplied it.
  const std::string& Missing() const { return FMissing; }

 private:
  // Cancels, or gives back in volumeName a path to try (which names the
  // volume as which, e.g. "volume 2", in messages).
  void Request(std::string& volumeName, const std::string& which, bool exists, bool& cancel);
  std::string FProgram;
  TErrorPrinter& FErrors;
  bool FInteractive;
  TProgressBar* FBar;
  std::string FProposed;    // the reader's name for the volume asked for
  std::string FLastAnswer;  // the path the user gave last
  std::string FMissing;
};

// Makes name (a Windows code page number such as "936", or an iconv name)
// the OEM code page of names stored without the UTF-8 flag. False with
// error set when iconv cannot convert between it and the system code page.
bool ChooseOemCodePage(const std::string& name, std::string& error);

// "2024-01-31 13:05" from a packed DOS date-time (date in the high half).
std::string FormatDosDateTime(std::uint32_t packed);

}  // namespace qmx::cli
