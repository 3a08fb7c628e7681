// arcmorph's writing commands: "add" builds or updates a ZIP or JAR archive
// from files on disk, "delete" removes entries from one. Both drive the ZIP
// writer components; the main program parses and dispatches.
#pragma once

#include <set>
#include <string>

#include "app/cli/cli_common.h"

namespace qmx::cli {

// Options only the writing commands take (besides "-p" and "-q").
const std::set<std::string>& WriteFlags();
const std::set<std::string>& WriteValuedOptions();

// The usage lines of the writing commands and their options.
extern const char* const kWriteUsage;

// What a writing command uses of the program's session.
struct TWriteSession {
  const TArgParser& Args;
  bool Quiet = false;
  bool Interactive = false;
  TProgressBar& Bar;
  TErrorPrinter& Errors;
};

int CmdAdd(TWriteSession& s);
int CmdDelete(TWriteSession& s);

}  // namespace qmx::cli
