// TZipCheck tests an archive of any type that has a reader: it runs the
// reader for the archive's type in test mode (every selected entry decoded
// and its CRC verified, nothing written) and reports a verdict per entry.
// The checker reads nothing itself; the inner reader lives for one run and
// raises the relayed events with itself as Sender.
#pragma once

#include <memory>

#include "archive/base/extract_framework.h"

namespace qmx {

class TZipCheck : public TUnBase {
 public:
  TZipCheck();
  ~TZipCheck() override;

  // Per entry: OnStatus (required), then OnEnd. This OnEnd hides the
  // reader form of TZipCommon, which the checker does not raise.
  TOnIntegrityStatus OnStatus;
  TOnIntegrityEnd OnEnd;

  // Tests the selected entries of ArchiveFile. Results arrive only through
  // the events; no exception leaves it.
  void Activate();

  // The reader that tests archives of type t, configured as the checker
  // would need it; nullptr when no reader exists for t. Programs that
  // read archives of any type use the same table.
  static std::unique_ptr<TUnBase> CreateReader(TArcType t);

 private:
  void Run();
  void ConfigureReader(TUnBase& reader);
};

}  // namespace qmx
