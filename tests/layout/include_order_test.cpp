// scripts/check-includes keeps the library's folders in layers: run on the
// real tree and on small made-up trees with one planted include each.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace qmx {
namespace {

using test::TempDir;

struct TCheckRun {
  int status = 0;
  std::string output;
};

TCheckRun CheckIncludes(const std::string& root) {
  TempDir out;
  const std::string log = out / "log";
  const int status = test::Run("python3 " + std::string(QMX_SOURCE_DIR) +
                               "/scripts/check-includes '" + root + "' > '" + log + "' 2>&1");
  return {status, test::ReadFile(log)};
}

// A tree whose files include only downwards and within their own folder.
void WriteCleanTree(const std::string& root) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"archive/platform/files.h", "#include <string>\n"},
      {"archive/codec/streams.h", "#include \"archive/platform/files.h\"\n"},
      {"archive/scan/mask.h", "#include \"archive/codec/streams.h\"\n"},
      {"archive/base/root.h", "#include \"archive/scan/mask.h\"\n#include \"root_detail.h\"\n"},
      {"archive/zip/reader.h", "#include \"archive/base/root.h\"\n"},
      {"archive/formats/tar.h", "#include \"archive/base/root.h\"\n"},
      {"archive/convert/morph.cpp",
       "#include \"archive/zip/reader.h\"\n#include \"archive/formats/tar.h\"\n"},
  };
  for (const auto& [name, text] : files) {
    std::filesystem::create_directories(std::filesystem::path(root + name).parent_path());
    test::WriteFile(root + name, text);
  }
}

TEST(IncludeOrder, RealTreeIncludesOnlyDownwards) {
  const TCheckRun r = CheckIncludes(QMX_SOURCE_DIR);
  EXPECT_EQ(r.status, 0) << r.output;
}

TEST(IncludeOrder, DownwardAndOwnFolderIncludesPass) {
  TempDir d;
  WriteCleanTree(d.path());
  const TCheckRun r = CheckIncludes(d.path());
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "");
}

TEST(IncludeOrder, EachWrongWayIncludeIsNamed) {
  struct TCase {
    std::string file, text, expected;
  };
  const std::vector<TCase> cases = {
      {"archive/codec/x.h", "// leading line\n#include \"archive/zip/y.h\"\n",
       "archive/codec/x.h:2: #include \"archive/zip/y.h\""},
      {"archive/platform/p.cpp", "#include <archive/base/root.h>\n",
       "archive/platform/p.cpp:1: #include \"archive/base/root.h\""},
      {"archive/zip/side.cpp", "#include \"archive/formats/tar.h\"\n",
       "archive/zip/side.cpp:1: #include \"archive/formats/tar.h\""},
      {"archive/formats/side.cpp", "  #  include \"archive/zip/reader.h\"\n",
       "archive/formats/side.cpp:1: #include \"archive/zip/reader.h\""},
      {"archive/base/gui.cpp", "#include \"app/gui/window.h\"\n",
       "archive/base/gui.cpp:1: #include \"app/gui/window.h\""},
      {"archive/scan/rel.cpp", "#include \"../convert/morph.h\"\n",
       "archive/scan/rel.cpp:1: #include \"../convert/morph.h\""},
      {"archive/extra/new.h", "#include <string>\n", "archive/extra/new.h"},
  };
  for (const TCase& c : cases) {
    TempDir d;
    WriteCleanTree(d.path());
    std::filesystem::create_directories(std::filesystem::path(d / c.file).parent_path());
    test::WriteFile(d / c.file, c.text);
    const TCheckRun r = CheckIncludes(d.path());
    EXPECT_EQ(r.status, 1) << c.file << "\n" << r.output;
    EXPECT_NE(r.output.find(c.expected), std::string::npos) << c.file << "\n" << r.output;
    // Only the planted file is blamed.
    EXPECT_EQ(r.output.find("archive/convert/morph.cpp"), std::string::npos) << r.output;
  }
}

TEST(IncludeOrder, MissingTreeIsAnErrorNotAPass) {
  TempDir d;
  EXPECT_EQ(CheckIncludes(d.path()).status, 2);
}

}  // namespace
}  // namespace qmx
