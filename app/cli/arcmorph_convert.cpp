#include "app/cli/arcmorph_convert.h"

#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "app/cli/cli_common.h"
#include "archive/base/errors.h"
#include "archive/base/format_registry.h"
#include "archive/base/names.h"
#include "archive/convert/arc_morph.h"
#include "archive/platform/ascii.h"
#include "archive/platform/files.h"

namespace qmx::cli {
namespace {

constexpr const char* kProgram = "arcmorph";

constexpr const char* kConvertUsage =
    "usage: arcmorph convert SOURCE DEST [--type bh|cab|lzh|zip|tar|tgz|jar] [--no-test]\n"
    "                        [--overwrite] [-p PASSWORD]... [--codepage CP] [-q]\n"
    "  rebuild SOURCE as an archive of the given type (default: from DEST's extension;\n"
    "  a BH archive when the extension names no type, \".BH\" added to a name without one),\n"
    "  then test the new archive unless --no-test\n"
    "  --codepage CP    code page of SOURCE's names stored without the UTF-8 flag\n"
    "                   (936, 866, 932 ... or an iconv name), and of names written\n";

std::optional<TOutArcType> TypeFromName(const std::string& name) {
  const TWriterRow* row = TFormatRegistry::Instance().WriterByName(name);
  if (!row) return std::nullopt;
  return row->Type;
}

std::optional<TOutArcType> TypeFromDest(const std::string& dest) {
  const TWriterRow* row = TFormatRegistry::Instance().WriterForFile(dest);
  if (!row) return std::nullopt;
  return row->Type;
}

int Usage(const std::string& complaint) {
  std::cerr << kProgram << ": " << complaint << "\n" << kConvertUsage;
  return kExitUnusable;
}

}  // namespace

int RunConvert(const std::vector<std::string>& args) {
  TArgParser parser({"-q", "-h", "--help", "--no-test", "--overwrite"},
                    {"-p", "--type", "--codepage"});
  std::string error;
  if (!parser.Parse(args, error)) return Usage(error);
  if (parser.Has("-h") || parser.Has("--help")) {
    std::cout << kConvertUsage;
    return kExitOk;
  }
  const auto& pos = parser.Positional();
  if (pos.size() != 3) return Usage("convert needs SOURCE and DEST");
  std::string source = pos[1];
  const std::string& dest = pos[2];

  // Without a type and a telling extension the converter's own default holds.
  std::optional<TOutArcType> type = parser.Has("--type") ? TypeFromName(parser.Value("--type"))
                                                         : TypeFromDest(dest).value_or(tyBh);
  if (!type) return Usage("unknown type " + parser.Value("--type"));

  if (parser.Has("--codepage") && !ChooseOemCodePage(parser.Value("--codepage"), error))
    return Usage(error);

  const bool quiet = parser.Has("-q");
  const bool interactive = StdinIsTerminal();
  TProgressBar bar(!quiet && StderrIsTerminal(), std::cerr);
  TErrorPrinter errors(kProgram, std::cerr, &bar);
  errors.FallbackFile = source;
  TVolumeFinder volumes(kProgram, errors, interactive, &bar);
  SetUserPrompt(std::make_shared<TTerminalPrompt>(kProgram, std::cerr, interactive));

  if (!volumes.FindSet(source)) return kExitUnusable;
  if (!FileExists(source)) {
    errors.Print(source, "", "0", E_FILE_NOT_FOUND);
    return kExitUnusable;
  }

  TArcMorph morph;
  morph.ShareCancel(SignalCancelFlag());
  morph.SetArchiveFile(source);
  if (!TZipCommon::IsRealArchive(morph.ArcType())) {
    errors.Print(source, ArcTypeName(morph.ArcType()), "0", E_UNSUPPORTED_TYPE);
    return kExitUnusable;
  }
  morph.SetNewArchive(dest);
  morph.SetOutArcType(*type);
  morph.SetOutArcMethod(amCreateNew);
  morph.IntegrityCheck = !parser.Has("--no-test");
  morph.SetPasswords(parser.Values("-p"));
  morph.OnError = errors.Handler();
  morph.OnNextVolume = volumes.Handler();

  auto log = [&](const std::string& what, const std::string& name) {
    if (quiet) return;
    bar.Clear();
    std::cerr << kProgram << ": " << what << ' ' << Printable(name) << '\n';
  };
  int passed = 0, failed = 0, compressed = 0;
  bool refused = false;

  morph.OnFileExists = [&](TZipCommon&, const std::string& fileName, TOverwriteMode& mode) {
    if (parser.Has("--overwrite")) {
      mode = omOverwrite;
      return;
    }
    if (interactive) {
      bar.Clear();
      std::string answer;
      ReadTerminalLine(std::string(kProgram) + ": " + fileName + " exists. Replace it? [y/N] ",
                       false, answer);
      if (!answer.empty() && (answer[0] == 'y' || answer[0] == 'Y')) {
        mode = omOverwrite;
        return;
      }
    }
    mode = omSkip;
    refused = true;
    errors.Note(fileName, "exists, not replaced (use --overwrite)");
  };
  if (bar.Enabled()) {
    morph.OnProgress = [&](TZipCommon& sender, std::uint8_t, std::uint8_t byArchive) {
      bar.Update(byArchive, ExtractFileName(sender.FileName()));
    };
  }
  // A gzip file of a tar converts as the tar's entries, as tar xzf gives them.
  morph.OnNestedTarFile = [](TZipCommon&, const std::string&, bool& doUnTar) { doUnTar = true; };
  morph.OnExtractBegin = [&](TZipCommon&, const std::string& name, int, bool&) {
    log("extracting", DelimToSlash(name));
  };
  morph.OnCompressBegin = [&](TZipCommon&, const std::string& path, int, bool&) {
    const std::string dir = AppendSlash(morph.WorkDir());
    log("adding", path.compare(0, dir.size(), dir) == 0 ? path.substr(dir.size()) : path);
  };
  morph.OnCompressEnd = [&](TZipCommon&, const std::string&, bool pass) {
    if (pass) ++compressed;
  };
  morph.OnIntegrityStatus = [&](TZipCommon&, const std::string& name, bool pass) {
    (pass ? passed : failed)++;
    if (!pass || !quiet) {
      bar.Clear();
      std::cerr << kProgram << ": " << (pass ? "OK      " : "FAILED  ")
                << Printable(DelimToSlash(name)) << '\n';
    }
  };

  morph.Activate();
  bar.Clear();

  if (refused) return kExitFailed;
  // Nothing written: refused, cancelled, failed before the end, or the
  // source is a split set with a volume missing.
  if (morph.Cancel() || compressed == 0 || !volumes.Missing().empty()) return kExitUnusable;
  const std::string written = morph.NewArchive();
  if (!quiet) {
    std::cerr << kProgram << ": " << compressed << " files written to " << written;
    if (morph.IntegrityCheck)
      std::cerr << ", " << passed + failed << " tested, " << failed << " failed";
    std::cerr << '\n';
  }
  return failed > 0 || !errors.Codes().empty() ? kExitFailed : kExitOk;
}

}  // namespace qmx::cli
