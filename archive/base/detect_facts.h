// What type detection learns about an archive file, in a form every format
// shares, and the hook through which a component reaches the detector.
// The detector itself sits above the formats (it knows all of them), so the
// components below it cannot name it: it is installed at start-up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "archive/base/types.h"
#include "archive/codec/streams.h"

namespace qmx {

// A format's own findings (for ZIP: where its directory and end record are),
// kept so its reader need not search again. Each format derives its record.
struct TFormatFacts {
  virtual ~TFormatFacts() = default;
};

struct TDetectFacts {
  TArcType Type = atNA;
  // Where the archive data begins; -1 while unknown.
  std::int64_t ArchivePosition = -1;
  std::int64_t ArchiveSize = 0;
  // Packed DOS date-time of the file.
  std::uint32_t ArchiveDate = 0x00210020;
  THeaderTypeState HeaderFlags;
  // Shared, never changed once made: a component hands it on by copying the pointer.
  std::shared_ptr<const TFormatFacts> Format;
};

// Classifies the file open in stream; archiveFile names it and may be empty.
using TArcTypeDetector = TArcType (*)(TStream32& stream, const std::string& archiveFile,
                                      TDetectFacts& facts);

// Installs the detector every component uses (nullptr removes it).
void SetArcTypeDetector(TArcTypeDetector detector);
TArcTypeDetector InstalledArcTypeDetector();

// Runs the installed detector; without one the file is atNA and facts keep
// their defaults.
TArcType DetectWithInstalledDetector(TStream32& stream, const std::string& archiveFile,
                                     TDetectFacts& facts);

}  // namespace qmx
