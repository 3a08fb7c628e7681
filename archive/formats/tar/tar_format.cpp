#include "archive/formats/tar/tar_format.h"

#include <memory>
#include <string>

#include "archive/base/format_registry.h"
#include "archive/formats/tar/tar_reader.h"
#include "archive/formats/tar/tar_writer.h"

namespace qmx {

namespace {

std::string TarMethodName(int method, std::uint16_t, bool, const std::string& name, int) {
  if (method == 0) return "Tarred";
  // Directory entries may come from Windows writers, ending in "\".
  if (name.empty() || name.back() == '/' || name.back() == '\\') return kMethodDir;
  return kMethodUnsupported;
}

}  // namespace

void RegisterTarFormats() {
  TFormatRegistry& reg = TFormatRegistry::Instance();

  reg.Add(ReaderRow<TUnTar>(atTar, "Tar archive", {".tar"}, "TUnTar", TarMethodName));

  TWriterRow writer;
  writer.Type = tyTar;
  writer.Names = {"tar"};
  writer.WriterName = "TTar";
  writer.Method = cmTarred;
  writer.DefaultExt = ".TAR";
  writer.Create = [] { return std::make_unique<TTar>(); };
  reg.AddWriter(writer);

  // The tar, then a gzip file of it beside it.
  writer.Type = tyTarGzip;
  writer.Names = {"tgz", "tar.gz"};
  writer.Method = cmTarGzip;
  reg.AddWriter(writer);
}

}  // namespace qmx
