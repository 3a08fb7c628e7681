// The formats built into the library, registered before main() runs: the
// one place that knows every format folder, as libarchive's "support all"
// list does. Adding a format is one line here plus its own folder.
//
// A static library drops objects nothing refers to, so the library's link
// interface names qmx_builtin_formats as undefined (CMake package and
// pkg-config alike): this object, and with it every registration, is
// always linked.

#include "archive/convert/arc_detect.h"
#include "archive/formats/arc/arc_format.h"
#include "archive/formats/arj/arj_format.h"
#include "archive/formats/bh/bh_format.h"
#include "archive/formats/cab/cab_format.h"
#include "archive/formats/gzip/gzip_format.h"
#include "archive/formats/lha/lha_format.h"
#include "archive/formats/libarchive/rar_format.h"
#include "archive/formats/sevenzip/sevenzip_format.h"
#include "archive/formats/listed_formats.h"
#include "archive/formats/tar/tar_format.h"
#include "archive/formats/uu/uu_format.h"
#include "archive/zip/zip_format.h"

namespace {

struct TBuiltinFormats {
  TBuiltinFormats() {
    qmx::InstallArcTypeDetector();
    qmx::RegisterListedFormats();
    qmx::RegisterZipFormats();
    qmx::RegisterTarFormats();
    qmx::RegisterGZipFormats();
    qmx::RegisterLhaFormats();
    qmx::RegisterBhFormats();
    qmx::RegisterCabFormats();
    qmx::RegisterArjFormats();
    qmx::RegisterArcFormats();
    qmx::RegisterUuFormats();
    qmx::RegisterRarFormats();
    qmx::RegisterSevenZipFormats();
  }
};

const TBuiltinFormats gBuiltinFormats;

}  // namespace

extern "C" void qmx_builtin_formats() {}
