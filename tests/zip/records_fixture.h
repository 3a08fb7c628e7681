// Helpers of the record, locator and detection tests: byte buffers, memory
// streams, Python's zipfile as an oracle, and a walk over a central
// directory to reach each entry's extra field.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/zip/zip_locate.h"
#include "support/corpus.h"
#include "support/temp_dir.h"

namespace qmx::ziptest {

using TBytes = std::vector<std::uint8_t>;

inline std::string Corpus(const std::string& rel) {
  return test::CorpusFile(rel);
}
inline TBytes ToBytes(const std::string& s) {
  return TBytes(s.begin(), s.end());
}
inline TBytes FileBytes(const std::string& path) {
  return ToBytes(test::ReadFile(path));
}

inline std::unique_ptr<TMemoryStream32> MemStream(const TBytes& b) {
  auto s = std::make_unique<TMemoryStream32>();
  if (!b.empty()) s->Write(b.data(), static_cast<std::int64_t>(b.size()));
  s->Seek(0, soFromBeginning);
  return s;
}

// Runs a Python snippet and returns its output, trimmed. The system
// interpreter starts far faster than a version-manager shim.
inline std::string Python(const std::string& code) {
  static const std::string python =
      test::Run("test -x /usr/bin/python3") == 0 ? "/usr/bin/python3" : "python3";
  test::TempDir d;
  test::WriteFile(d / "s.py", code);
  if (test::Run(python + " " + d / "s.py" + " > " + d / "out") != 0) return "ERROR";
  std::string r = test::ReadFile(d / "out");
  while (!r.empty() && r.back() == '\n') r.pop_back();
  return r;
}

// Where Python's zipfile finds the central directory of a file.
inline std::int64_t PythonStartDir(const std::string& path) {
  return std::stoll(Python("import zipfile\nprint(zipfile.ZipFile('" + path + "').start_dir)"));
}
inline std::int64_t PythonStartDir(const TBytes& b) {
  test::TempDir d;
  test::WriteFile(d / "a.zip", std::string(b.begin(), b.end()));
  return PythonStartDir(d / "a.zip");
}

// Three members written by Python's zipfile, with an optional comment.
inline TBytes PythonZip(const std::string& comment = "") {
  test::TempDir d;
  EXPECT_EQ(Python("import zipfile\n"
                   "with zipfile.ZipFile('" +
                   d / "a.zip" +
                   "', 'w', zipfile.ZIP_DEFLATED) as z:\n"
                   "    z.writestr('first.txt', 'hello, world\\n' * 50)\n"
                   "    z.writestr('dir/second.bin', bytes(range(256)))\n"
                   "    z.writestr('third.txt', 'x')\n"
                   "    z.comment = b'" +
                   comment +
                   "'\n"
                   "print('ok')"),
            "ok");
  return FileBytes(d / "a.zip");
}

struct TEntry {
  std::int64_t Position = 0;
  TZipCentralHeader Header;
  std::string Name;
  TBytes Extra;
};

// The plain central headers from the located directory on.
inline std::vector<TEntry> CentralEntries(const TBytes& file) {
  std::vector<TEntry> out;
  auto s = MemStream(file);
  TZipLocation loc;
  std::int64_t pos = LocateCentralDirectory(*s, loc);
  while (pos > 0 && pos + 46 <= static_cast<std::int64_t>(file.size())) {
    TEntry e;
    e.Position = pos;
    e.Header = TZipCentralHeader::Parse(std::span<const std::uint8_t, 46>(file.data() + pos, 46));
    std::size_t name = static_cast<std::size_t>(pos) + 46, extra = name + e.Header.NameLength;
    if (e.Header.Signature != kZipCentralSig || extra + e.Header.ExtraLength > file.size()) break;
    e.Name.assign(file.begin() + name, file.begin() + extra);
    e.Extra.assign(file.begin() + extra, file.begin() + extra + e.Header.ExtraLength);
    out.push_back(e);
    pos += 46 + e.Header.NameLength + e.Header.ExtraLength + e.Header.CommentLength;
  }
  return out;
}

}  // namespace qmx::ziptest
