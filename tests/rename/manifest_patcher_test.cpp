// The manifest patcher: which bytes it finds, what the label shows and
// which bytes it rewrites, for the line ends and values real suites carry.
#include "app/rename/manifest_patcher.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace {

using qmx::FindText;
using qmx::PatchManifestBytes;

std::string Patch(const std::string& manifest, const std::string& name, std::string* old = nullptr,
                  bool* found = nullptr) {
  return PatchManifestBytes(manifest, name, old, found);
}

TEST(FindTextTest, SkipsFromAndFoldsOnlyAsciiLetters) {
  const std::string data = "abcABCabc";
  EXPECT_EQ(FindText(data, "abc", 0), 3);  // offset From itself is never a candidate
  EXPECT_EQ(FindText(data, "ABC", -1), 0);
  EXPECT_EQ(FindText(data, "abc", 3), 6);
  EXPECT_EQ(FindText(data, "abc", 6), -1);
  EXPECT_EQ(FindText(data, "", 0), -1);
  EXPECT_EQ(FindText("ab", "abc", -1), -1);
  // Bytes above 0x7F compare exactly.
  EXPECT_EQ(FindText("x\xC3\xA9", "\xC3\x89", -1), -1);
  EXPECT_EQ(FindText("x\xC3\xA9", "\xC3\xA9", -1), 1);
}

TEST(ManifestPatchTest, ReplacesOnlyTheValueForEveryLineEnd) {
  for (const std::string eol : {"\r\n", "\r", "\n"}) {
    const std::string before = "Manifest-Version: 1.0" + eol;
    const std::string after = eol + "MIDlet-Vendor: V" + eol;
    std::string old;
    bool found = false;
    const std::string out = Patch(before + "MIDlet-Name: Game" + after, "新游戏", &old, &found);
    EXPECT_TRUE(found);
    EXPECT_EQ(old, " Game");
    EXPECT_EQ(out, before + "MIDlet-Name: \xE6\x96\xB0\xE6\xB8\xB8\xE6\x88\x8F" + after);
  }
}

TEST(ManifestPatchTest, AttributeNameMatchesAnyCaseAndStaysAsWritten) {
  std::string old;
  const std::string out = Patch("A: 1\nmidlet-name:Old\nB: 2\n", "New", &old);
  EXPECT_EQ(out, "A: 1\nmidlet-name: New\nB: 2\n");
  EXPECT_EQ(old, "Old");
}

TEST(ManifestPatchTest, ContinuationLinesAreReplacedWhole) {
  const std::string m =
      "Manifest-Version: 1.0\r\nMIDlet-Name: A very long name that goes on\r\n  and on\r\n"
      "MIDlet-Version: 1.0\r\n";
  std::string old;
  EXPECT_EQ(Patch(m, "Short", &old),
            "Manifest-Version: 1.0\r\nMIDlet-Name: Short\r\nMIDlet-Version: 1.0\r\n");
  EXPECT_EQ(old, " A very long name that goes on and on");
}

TEST(ManifestPatchTest, OnlyAnAttributeAtTheStartOfALineCounts) {
  const std::string m = "Manifest-Version: 1.0\nX-MIDlet-Name: other\nMIDlet-Name: Real\n";
  EXPECT_EQ(Patch(m, "N"), "Manifest-Version: 1.0\nX-MIDlet-Name: other\nMIDlet-Name: N\n");
  // Not found in the first two bytes, and not found at all here.
  bool found = true;
  EXPECT_EQ(Patch("MIDlet-Name: A\n", "N", nullptr, &found), "MIDlet-Name: A\n");
  EXPECT_FALSE(found);
  EXPECT_EQ(Patch("Manifest-Version: 1.0\n", "N", nullptr, &found), "Manifest-Version: 1.0\n");
  EXPECT_FALSE(found);
}

TEST(ManifestPatchTest, UnusualValuesStayInsideTheFile) {
  // An empty value, a value on the last line without a line end.
  EXPECT_EQ(Patch("V: 1\nMIDlet-Name:\nB: 2\n", "N"), "V: 1\nMIDlet-Name: N\nB: 2\n");
  EXPECT_EQ(Patch("V: 1\nMIDlet-Name: Old", "N"), "V: 1\nMIDlet-Name: N");
  // An empty new name writes a single blank.
  EXPECT_EQ(Patch("V: 1\nMIDlet-Name: Old\n", ""), "V: 1\nMIDlet-Name: \n");
  // A line break in the new name cannot start a new attribute.
  EXPECT_EQ(Patch("V: 1\nMIDlet-Name: Old\n", "A\nMIDlet-Jar-Size: 1"),
            "V: 1\nMIDlet-Name: AMIDlet-Jar-Size: 1\n");
}

TEST(ManifestValueLimitsTest, LabelShowsAtMostTheFirstHundredBytes) {
  const std::string longValue = " " + std::string(150, 'x');
  const std::string label = qmx::OldNameLabel(longValue);
  EXPECT_EQ(label, " " + std::string(98, 'x'));  // 99 code units
  // A three-byte character cut by the 100-byte limit is dropped.
  std::string cjk = " ";
  for (int i = 0; i < 40; ++i) cjk += "\xE4\xB8\xAD";  // 中
  const std::string shown = qmx::OldNameLabel(cjk);
  EXPECT_EQ(shown.size(), 1u + 33u * 3u);
  // Malformed UTF-8 ends the label.
  EXPECT_EQ(qmx::OldNameLabel(" ab\xFF"
                              "cd"),
            " ab");
  EXPECT_EQ(qmx::OldNameLabel(" a\xE4\xB8"), " a");
}

TEST(ManifestValueLimitsTest, NewValueIsCutAtACharacterBoundary) {
  // 40 CJK characters: 1 + 120 bytes, cut to 1 + 32*3 = 97 bytes.
  std::string name;
  for (int i = 0; i < 40; ++i) name += "\xE6\xB8\xB8";
  const std::string v = qmx::NewValueBytes(name);
  EXPECT_EQ(v.size(), 97u);
  EXPECT_EQ(v.substr(1), name.substr(0, 96));
  // ASCII: 99 code units including the blank.
  EXPECT_EQ(qmx::NewValueBytes(std::string(200, 'a')), " " + std::string(98, 'a'));
  // Four-byte characters count two code units and are never split.
  std::string emoji;
  for (int i = 0; i < 60; ++i) emoji += "\xF0\x9F\x8E\xAE";
  const std::string e = qmx::NewValueBytes(emoji);
  EXPECT_EQ(e.size(), 1u + 24u * 4u);
  EXPECT_EQ(e.substr(1), emoji.substr(0, 96));
  // Bytes that are not UTF-8 become U+FFFD, never raw bytes in the manifest.
  EXPECT_EQ(qmx::NewValueBytes("a\xFF"), " a\xEF\xBF\xBD");
}

TEST(ManifestPatchFileTest, RewritesTheFileOrReportsWhyNot) {
  qmx::test::TempDir dir;
  const std::string path = dir / "MANIFEST.MF";
  qmx::test::WriteFile(path, "Manifest-Version: 1.0\r\nMIDlet-Name: Game\r\nX: y\r\n");
  auto r = qmx::PatchManifest(path, "新游戏");
  EXPECT_EQ(r.Status, qmx::psPatched);
  EXPECT_EQ(r.OldName, " Game");
  EXPECT_EQ(qmx::test::ReadFile(path), "Manifest-Version: 1.0\r\nMIDlet-Name: 新游戏\r\nX: y\r\n");

  qmx::test::WriteFile(path, "Manifest-Version: 1.0\r\n");
  r = qmx::PatchManifest(path, "N");
  EXPECT_EQ(r.Status, qmx::psNoName);
  EXPECT_NE(r.Message.find(path), std::string::npos);
  EXPECT_EQ(qmx::test::ReadFile(path), "Manifest-Version: 1.0\r\n");

  r = qmx::PatchManifest(dir / "missing.MF", "N");
  EXPECT_EQ(r.Status, qmx::psReadError);
}

TEST(ManifestPatchFileTest, AManifestOverTheLimitIsRefusedUnread) {
  qmx::test::TempDir dir;
  const std::string path = dir / "MANIFEST.MF";
  const std::string head = "Manifest-Version: 1.0\r\nMIDlet-Name: Game\r\n";
  const auto limit = static_cast<std::size_t>(qmx::kMaxManifestSize);
  const std::string atLimit = head + std::string(limit - head.size(), 'x');
  qmx::test::WriteFile(path, atLimit);
  EXPECT_EQ(qmx::PatchManifest(path, "N").Status, qmx::psPatched);

  qmx::test::WriteFile(path, atLimit + "x");
  const auto r = qmx::PatchManifest(path, "N");
  EXPECT_EQ(r.Status, qmx::psReadError);
  EXPECT_NE(r.Message.find("1 MiB"), std::string::npos) << r.Message;
  EXPECT_EQ(qmx::test::ReadFile(path), atLimit + "x");
}

}  // namespace
