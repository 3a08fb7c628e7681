#include "archive/zip/zip_format.h"

#include <memory>
#include <string>

#include "archive/base/format_registry.h"
#include "archive/zip/zip_reader.h"
#include "archive/zip/zip_records.h"
#include "archive/zip/zip_writer.h"

namespace qmx {

namespace {

// The converter and the checker read archive comments up to this size.
constexpr int kReaderCommentBuf = 32000;

std::string ZipMethodName(int method, std::uint16_t flags, bool isDir, const std::string& name,
                          int aesMethod) {
  static constexpr const char* kNames[] = {"Stored",   "Shrunk",   "Reduce-1", "Reduce-2",
                                           "Reduce-3", "Reduce-4", "Imploded", "Tokened"};
  if (method == 8 || method == 9) return DeflateNameByFlags(flags, method == 9);
  if (method == 10) return "DCL-implode";
  // Methods whose decoders come from their libraries.
  if (method == 12) return "BZip2";
  if (method == 14) return "LZMA";
  if (method == 93) return "Zstd";
  if (method == 95) return "XZ";
  // AES entries carry their real method in the AES field; -1 stops a field
  // that names the AES method again.
  if (method == kMethodAes && aesMethod >= 0)
    return ZipMethodName(aesMethod == kMethodAes ? -1 : aesMethod, flags, isDir, name, -1);
  const char* found = MethodFromTable(kNames, method, 0);
  if (!found && isDir) found = kMethodDir;
  return found ? found : kMethodUnsupported;
}

template <typename Reader>
TReaderFactory ReaderWithComments() {
  return [] {
    std::unique_ptr<TUnBase> r = std::make_unique<Reader>();
    r->SetZipCmntBufSize(kReaderCommentBuf);
    return r;
  };
}

TFormatRow ZipRow(TArcType type, std::string displayName, TStrings extensions) {
  TFormatRow row;
  row.Type = type;
  row.DisplayName = std::move(displayName);
  row.Extensions = std::move(extensions);
  row.RealArchive = true;
  row.MethodName = ZipMethodName;
  return row;
}

}  // namespace

void RegisterZipFormats() {
  TFormatRegistry& reg = TFormatRegistry::Instance();

  TFormatRow zip = ZipRow(atZip, "ZIP archive", {".zip"});
  zip.CanExtract = zip.CanTest = true;
  zip.ConvertReaderName = zip.TestReaderName = "TUnZip";
  zip.ConvertReader = zip.TestReader = ReaderWithComments<TUnZip>();

  TFormatRow zipExe = zip;
  zipExe.Type = atZipExe;
  zipExe.DisplayName = "self-extracting ZIP archive";
  zipExe.Extensions = {".exe"};
  zipExe.SelfExtractor = true;

  TFormatRow zipMv = zip;
  zipMv.Type = atZipMV;
  zipMv.DisplayName = "multi-volume ZIP archive";
  zipMv.Extensions = {".zip", ".z01"};

  // A spanned set on removable disks: the checker reads it, the converter
  // does not take it.
  TFormatRow zipDs = zip;
  zipDs.Type = atZipDS;
  zipDs.DisplayName = "spanned ZIP archive on disks";
  zipDs.ConvertReaderName.clear();
  zipDs.ConvertReader = nullptr;

  TFormatRow jar = ZipRow(atJar, "JAR archive", {".jar"});
  jar.VolumeLetter = 'j';
  jar.VolumeFamilyExt = ".Jar";
  jar.CanExtract = jar.CanTest = true;
  jar.ConvertReaderName = jar.TestReaderName = "TUnJar";
  jar.ConvertReader = [] { return std::unique_ptr<TUnBase>(std::make_unique<TUnJar>()); };
  jar.TestReader = ReaderWithComments<TUnJar>();

  // Type detection never gives this value for a self-extractor (that is
  // atZipExe); only the checker and a writer's update know it.
  TFormatRow jarExe = ZipRow(atJarExe, "self-extracting JAR archive", {".exe"});
  jarExe.CanTest = true;
  jarExe.SelfExtractor = true;
  jarExe.TestReaderName = "TUnJar";
  jarExe.TestReader = ReaderWithComments<TUnJar>();
  jarExe.VolumeLetter = 'j';
  jarExe.VolumeFamilyExt = ".Jar";

  for (TFormatRow* row : {&zip, &zipExe, &zipMv, &zipDs, &jar, &jarExe}) reg.Add(*row);

  TWriterRow zipWriter;
  zipWriter.Type = tyZip;
  zipWriter.Names = {"zip"};
  zipWriter.WriterName = "TZip";
  zipWriter.Method = cmDeflate;
  zipWriter.DefaultExt = ".ZIP";
  zipWriter.Create = [] { return std::unique_ptr<TCompBase>(std::make_unique<TZip>()); };
  reg.AddWriter(zipWriter);

  TWriterRow jarWriter = zipWriter;
  jarWriter.Type = tyJar;
  jarWriter.Names = {"jar"};
  jarWriter.WriterName = "TJar";
  jarWriter.DefaultExt = ".JAR";
  jarWriter.Create = [] { return std::unique_ptr<TCompBase>(std::make_unique<TJar>()); };
  reg.AddWriter(jarWriter);
}

}  // namespace qmx
