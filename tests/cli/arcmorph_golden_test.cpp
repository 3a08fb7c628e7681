// "arcmorph list" on every ZIP and JAR file of the corpus, compared byte for
// byte with golden/corpus_zip_list.txt: a restructuring of the library must
// not change a single listed figure, name, message or exit status. When a
// change to the listing is intended, golden/update_list_golden.sh rewrites it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli_run.h"
#include "support/corpus.h"
#include "support/temp_dir.h"

namespace qmx::test {
namespace {

struct TGoldenListing {
  std::string File;
  int Code = -1;
  std::string Out, Err;
};

// Reads "== FILE", "exit N", "-- stdout BYTES", the bytes, "-- stderr
// BYTES", the bytes; the byte counts let listings hold any text.
std::vector<TGoldenListing> ParseGolden(const std::string& text) {
  std::vector<TGoldenListing> all;
  std::size_t pos = 0;
  auto line = [&]() {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string l = text.substr(pos, end - pos);
    pos = end + 1;
    return l;
  };
  auto block = [&](const std::string& header) {
    std::string l = line();
    if (l.rfind(header, 0) != 0) throw std::runtime_error("golden file: expected " + header);
    const std::size_t n = std::stoul(l.substr(header.size()));
    std::string bytes = text.substr(pos, n);
    pos += n;
    return bytes;
  };
  while (pos < text.size()) {
    TGoldenListing g;
    std::string l = line();
    if (l.rfind("== ", 0) != 0) throw std::runtime_error("golden file: expected a file line");
    g.File = l.substr(3);
    l = line();
    g.Code = std::stoi(l.substr(5));
    g.Out = block("-- stdout ");
    g.Err = block("-- stderr ");
    all.push_back(g);
  }
  return all;
}

std::string ReplaceAll(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

TEST(ArcmorphGolden, CorpusZipListingsAreUnchanged) {
  const std::string golden =
      ReadFile(std::string(QMX_SOURCE_DIR) + "/tests/cli/golden/corpus_zip_list.txt");
  ASSERT_FALSE(golden.empty()) << "golden listing missing";
  const std::vector<TGoldenListing> listings = ParseGolden(golden);
  // The corpus holds about two hundred ZIP and JAR files; far fewer means
  // the golden file was cut short.
  ASSERT_GT(listings.size(), 150u);

  const std::string corpus = CorpusDir();
  TempDir tmp;
  for (const TGoldenListing& g : listings) {
    if (::access(CorpusFile(g.File).c_str(), R_OK) != 0) continue;  // CorpusFile said so
    const std::string cmd = "cd '" + corpus + "' && '" + ArcmorphBinary() + "' list '" + g.File +
                            "' >'" + tmp.path() + "out' 2>'" + tmp.path() + "err' </dev/null";
    const int code = ::qmx::test::Run(cmd);
    const std::string out = ReplaceAll(ReadFile(tmp.path() + "out"), corpus + "/", "@CORPUS@/");
    const std::string err = ReplaceAll(ReadFile(tmp.path() + "err"), corpus + "/", "@CORPUS@/");
    EXPECT_EQ(code, g.Code) << g.File;
    EXPECT_EQ(out, g.Out) << g.File;
    EXPECT_EQ(err, g.Err) << g.File;
  }
}

}  // namespace
}  // namespace qmx::test
