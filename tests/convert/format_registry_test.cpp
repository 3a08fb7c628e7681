// The format table against the documented tables, row by row: the
// converter's readers and writers, the checker's readers, the type
// predicates, the self-extracting forms and the listing names of methods.
// Each expectation here is written out from the documentation, not derived
// from the table, so a row that drifts fails by name.
#include "archive/base/format_registry.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "archive/base/names.h"
#include "archive/formats/arc/arc_reader.h"
#include "archive/formats/arj/arj_reader.h"
#include "archive/formats/bh/bh_reader.h"
#include "archive/formats/cab/cab_reader.h"
#include "archive/formats/gzip/gzip_reader.h"
#include "archive/formats/lha/lha_reader.h"
#include "archive/formats/libarchive/rar_format.h"
#include "archive/formats/sevenzip/sevenzip_format.h"
#include "archive/formats/tar/tar_reader.h"
#include "archive/formats/uu/uu_reader.h"
#include "archive/zip/zip_reader.h"
#include "archive/zip/zip_writer.h"

namespace qmx {
namespace {

std::set<TArcType> AllTypes() {
  std::set<TArcType> all;
  for (int t = 0; t < kArcTypeCount; ++t) all.insert(static_cast<TArcType>(t));
  return all;
}

// The converter's reader table; every other type has none.
const std::map<TArcType, std::string> kConvertReaders = {
    {atAce, "TUnACE"},    {atArc, "TUnArc"},    {atArcExe, "TUnArc"}, {atArj, "TUnARJ"},
    {atArjExe, "TUnARJ"}, {atBh, "TUnBh"},      {atBhExe, "TUnBh"},   {atCab, "TUnCab"},
    {atGZip, "TUnGZip"},  {atJar, "TUnJar"},    {atLha, "TUnLha"},    {atLhaExe, "TUnLha"},
    {atLzh, "TUnLha"},    {atLzhExe, "TUnLha"}, {atRar, "TUnRar"},    {atRarExe, "TUnRar"},
    {atTar, "TUnTar"},    {atUUE, "TUUDecode"}, {atZip, "TUnZip"},    {atZipExe, "TUnZip"},
    {atZipMV, "TUnZip"},  {atZoo, "TUnZoo"},    {at7z, "TUn7z"}};

// The checker's inner readers, and the Cabinet types beside them (not in
// the documented table: the converter could not test its own cabinets).
const std::map<TArcType, std::string> kTestReaders = {
    {atAce, "TUnACE"},    {atAceExe, "TUnACE"}, {atArc, "TUnArc"},    {atArcExe, "TUnArc"},
    {atArj, "TUnARJ"},    {atArjExe, "TUnARJ"}, {atBh, "TUnBh"},      {atBhExe, "TUnBh"},
    {atGZip, "TUnGZip"},  {atJar, "TUnJar"},    {atJarExe, "TUnJar"}, {atLha, "TUnLha"},
    {atLhaExe, "TUnLha"}, {atLzh, "TUnLha"},    {atLzhExe, "TUnLha"}, {atRar, "TUnRar"},
    {atRarExe, "TUnRar"}, {atTar, "TUnTar"},    {atUUE, "TUUDecode"}, {atZip, "TUnZip"},
    {atZipExe, "TUnZip"}, {atZipDS, "TUnZip"},  {atZipMV, "TUnZip"},  {atZoo, "TUnZoo"},
    {atCab, "TUnCab"},    {atCabExe, "TUnCab"}, {at7z, "TUn7z"}};

const std::set<TArcType> kNotReal = {atNA, atUnsupported, atFileOpenErr, atUnknown};
const std::set<TArcType> kExtractable = {
    atAce,    atAceExe, atArc, atArcExe, atArj,    atArjExe, atBh,     atBhExe, atCab,
    atCabExe, atGZip,   atJar, atLha,    atLhaExe, atLzh,    atLzhExe, atRar,   atRarExe,
    atTar,    atUUE,    atZip, atZipExe, atZipDS,  atZipMV,  atZoo,    at7z};
const std::set<TArcType> kSelfExtractors = {atAceExe, atArcExe, atArjExe, atBhExe,
                                            atCabExe, atLhaExe, atLzhExe, atPakExe,
                                            atRarExe, atJarExe, atZipExe};

// The class a built reader really is, by the name the tables use.
std::string ReaderClass(const TUnBase* r) {
  if (!r) return "";
  if (dynamic_cast<const TUnJar*>(r)) return "TUnJar";
  if (dynamic_cast<const TUnZip*>(r)) return "TUnZip";
  if (dynamic_cast<const TUnTar*>(r)) return "TUnTar";
  if (dynamic_cast<const TUnGZip*>(r)) return "TUnGZip";
  if (dynamic_cast<const TUnBh*>(r)) return "TUnBh";
  if (dynamic_cast<const TUnLha*>(r)) return "TUnLha";
  if (dynamic_cast<const TUUDecode*>(r)) return "TUUDecode";
  if (dynamic_cast<const TUnCab*>(r)) return "TUnCab";
  if (dynamic_cast<const TUnARJ*>(r)) return "TUnARJ";
  if (dynamic_cast<const TUnRar*>(r)) return "TUnRar";
  if (dynamic_cast<const TUn7z*>(r)) return "TUn7z";
  if (dynamic_cast<const TUnArc*>(r)) return "TUnArc";
  return "another reader";
}

TEST(FormatRegistry, ReaderColumnsMatchTheDocumentedTables) {
  for (TArcType t : AllTypes()) {
    SCOPED_TRACE(ArcTypeName(t));
    const TFormatRow& row = FormatOf(t);
    EXPECT_EQ(row.Type, t);
    const auto convert = kConvertReaders.find(t);
    EXPECT_EQ(row.ConvertReaderName, convert == kConvertReaders.end() ? "" : convert->second);
    const auto test = kTestReaders.find(t);
    EXPECT_EQ(row.TestReaderName, test == kTestReaders.end() ? "" : test->second);

    // A built reader is the class its row names, with the comment buffer
    // the tables give it; an unbuilt one makes nothing (25244 follows).
    std::unique_ptr<TUnBase> c = CreateConvertReader(t);
    std::unique_ptr<TUnBase> k = CreateTestReader(t);
    if (c) {
      EXPECT_EQ(ReaderClass(c.get()), row.ConvertReaderName);
      EXPECT_EQ(c->ZipCmntBufSize(), row.ConvertReaderName == "TUnZip" ? 32000 : 2000);
    }
    if (k) {
      EXPECT_EQ(ReaderClass(k.get()), row.TestReaderName);
      EXPECT_EQ(k->ZipCmntBufSize(), 32000);
    }
    // Every reader built so far: ZIP and JAR, tar, gzip, BH, LHA, Cabinet, ARJ, ARC,
    // the text decoder, and RAR and 7z through libarchive.
    const bool zipFamily = t == atZip || t == atZipExe || t == atZipMV || t == atZipDS ||
                           t == atJar || t == atJarExe || t == atTar || t == atGZip || t == atBh ||
                           t == atBhExe || t == atLha || t == atLhaExe || t == atLzh ||
                           t == atLzhExe || t == atUUE || t == atCab || t == atCabExe ||
                           t == atArj || t == atArjExe || t == atArc || t == atArcExe ||
                           t == atRar || t == atRarExe || t == at7z;
    EXPECT_EQ(c != nullptr, zipFamily && !row.ConvertReaderName.empty());
    EXPECT_EQ(k != nullptr, zipFamily && !row.TestReaderName.empty());
  }
}

TEST(FormatRegistry, PredicatesAndSelfExtractorsMatchTheDocumentedSets) {
  for (TArcType t : AllTypes()) {
    SCOPED_TRACE(ArcTypeName(t));
    const TFormatRow& row = FormatOf(t);
    EXPECT_EQ(row.RealArchive, !kNotReal.count(t));
    EXPECT_EQ(row.CanExtract, kExtractable.count(t) == 1);
    // Testable: the extractable set plus atJarExe (the Cabinet types too, so
    // that the converter can test the cabinets it writes).
    const bool testable = kExtractable.count(t) || t == atJarExe;
    EXPECT_EQ(row.CanTest, testable);
    EXPECT_EQ(row.SelfExtractor, kSelfExtractors.count(t) == 1);
    EXPECT_EQ(TZipCommon::CanExtractType(t), row.CanExtract);
    EXPECT_EQ(TZipCommon::CanTestType(t), row.CanTest);
    EXPECT_EQ(TZipCommon::IsRealArchive(t), row.RealArchive);
    if (row.RealArchive) {
      EXPECT_FALSE(row.DisplayName.empty());
    }
  }
}

TEST(FormatRegistry, VolumeNamingAndLibraryReaders) {
  // Volume letters per family; self-extracting ACE and ARJ have none.
  const std::map<TArcType, std::pair<char, std::string>> volumes = {
      {atAce, {'C', ".Ace"}},    {atArj, {'a', ".Arj"}}, {atJar, {'j', ".Jar"}},
      {atJarExe, {'j', ".Jar"}}, {atRar, {'q', ".Rar"}}, {atRarExe, {'q', ".Rar"}}};
  const std::set<TArcType> library = {atAce, atAceExe, atCab, atCabExe, atRar, atRarExe, at7z};
  for (TArcType t : AllTypes()) {
    SCOPED_TRACE(ArcTypeName(t));
    const TFormatRow& row = FormatOf(t);
    const auto v = volumes.find(t);
    EXPECT_EQ(row.VolumeLetter, v == volumes.end() ? 0 : v->second.first);
    EXPECT_EQ(row.VolumeFamilyExt, v == volumes.end() ? "" : v->second.second);
    EXPECT_EQ(row.ReadByLibrary, library.count(t) == 1);
  }
}

TEST(FormatRegistry, WriterTableMatchesTheDocumentedOne) {
  struct TDocumented {
    TOutArcType Type;
    const char* Writer;
    TCompressMethod Method;
    const char* Ext;
    bool Built;
  };
  const TDocumented table[] = {
      {tyBh, "TBlakHole", cmDeflate, ".BH", true}, {tyCab, "TMakeCab", cmMsZip, ".CAB", true},
      {tyLzh, "TLha", cmFrozen6, ".LHA", true},    {tyZip, "TZip", cmDeflate, ".ZIP", true},
      {tyTar, "TTar", cmTarred, ".TAR", true},     {tyTarGzip, "TTar", cmTarGzip, ".TAR", true},
      {tyJar, "TJar", cmDeflate, ".JAR", true}};
  ASSERT_EQ(std::size(table), static_cast<std::size_t>(kOutArcTypeCount));
  for (const TDocumented& d : table) {
    SCOPED_TRACE(d.Writer);
    const TWriterRow* row = TFormatRegistry::Instance().Writer(d.Type);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->WriterName, d.Writer);
    EXPECT_EQ(row->Method, d.Method);
    EXPECT_EQ(row->DefaultExt, d.Ext);
    std::unique_ptr<TCompBase> w = CreateWriter(d.Type);
    EXPECT_EQ(w != nullptr, d.Built);
    if (!w) continue;
    EXPECT_EQ(w->CompressMethod(), d.Method);
    EXPECT_EQ(w->DefaultExt(), d.Ext);
    EXPECT_EQ(dynamic_cast<TJar*>(w.get()) != nullptr, d.Type == tyJar);
  }
}

TEST(FormatRegistry, WriterNamesAndDestinationEndings) {
  const TFormatRegistry& reg = TFormatRegistry::Instance();
  const std::pair<const char*, TOutArcType> names[] = {
      {"bh", tyBh},   {"CAB", tyCab},     {"lzh", tyLzh},        {"lha", tyLzh}, {"zip", tyZip},
      {"tar", tyTar}, {"tgz", tyTarGzip}, {"tar.gz", tyTarGzip}, {"Jar", tyJar}};
  for (const auto& [name, type] : names) {
    const TWriterRow* row = reg.WriterByName(name);
    ASSERT_NE(row, nullptr) << name;
    EXPECT_EQ(row->Type, type) << name;
  }
  EXPECT_EQ(reg.WriterByName("gz"), nullptr);
  EXPECT_EQ(reg.WriterByName(""), nullptr);
  // The longest ending wins, in any case; a directory's dots do not count.
  EXPECT_EQ(reg.WriterForFile("out/x.TAR.GZ")->Type, tyTarGzip);
  EXPECT_EQ(reg.WriterForFile("x.tar")->Type, tyTar);
  EXPECT_EQ(reg.WriterForFile("suite.jar")->Type, tyJar);
  EXPECT_EQ(reg.WriterForFile("x.gz"), nullptr);
  EXPECT_EQ(reg.WriterForFile("dir.zip/x"), nullptr);
  EXPECT_EQ(reg.WriterForFile("xzip"), nullptr);
}

TEST(FormatRegistry, MethodNamesMatchTheDocumentedRules) {
  struct TCase {
    TArcType Type;
    int Method;
    std::uint16_t Flags;
    bool IsDir;
    const char* Name;
    const char* Expected;
  };
  const TCase cases[] = {
      {atAce, 0, 0, false, "", "Fastest"},        {atAceExe, 4, 0, false, "", "Best"},
      {atAce, 5, 0, true, "", "Unsupported"},     {atArc, 1, 0, false, "", "Stored"},
      {atArcExe, 11, 0, false, "", "Stored"},     {atArc, 9, 0, false, "", "Pack11"},
      {atArc, 0, 0, true, "", "<Dir>"},           {atArc, 0, 0, false, "", "Unsupported"},
      {atArj, 3, 0, false, "", "2nd Fast"},       {atArjExe, 9, 0, true, "", "<Dir>"},
      {atBh, 1, 0, false, "", "Fused1"},          {atBh, 8, 2, false, "", "DeflateX"},
      {atBhExe, 3, 0, false, "", "Fused3"},       {atBh, 4, 0, true, "", "Unsupported"},
      {atCab, 0x11, 0, false, "", "MsZIP"},       {atCab, 3, 0, false, "", "Lzx"},
      {atCabExe, 0x2F, 0, false, "", "Lzx15"},    {atGZip, 144, 0, false, "", "LzwMAGIC"},
      {atGZip, 0xA01F, 0, false, "", "LzhMAGIC"}, {atGZip, 0x1E1F, 0, false, "", "PackMAGIC"},
      {atGZip, 9, 0, false, "", "Unsupported"},   {atHA, 2, 0, false, "", "HSC"},
      {atHA, 14, 0, false, "", "<Dir>"},          {atHA, 15, 0, false, "", "Special"},
      {atZip, 0, 0, false, "", "Stored"},         {atJar, 6, 0, false, "", "Imploded"},
      {atZipMV, 8, 0, false, "", "DeflateN"},     {atZipDS, 8, 6, false, "", "DeflateS"},
      {atZip, 9, 4, false, "", "Def-64F"},        {atJarExe, 10, 0, false, "", "DCL-implode"},
      {atZip, 98, 0, false, "", "Unsupported"},   {atZipExe, 98, 0, true, "", "<Dir>"},
      {atLha, '5', 0, false, "", "Frozen-5"},     {atLzhExe, '0', 0, false, "", "Stored"},
      {atLzh, 100, 0, false, "", "<Dir>"},        {atPak, 2, 0, false, "", "Stored"},
      {atPakExe, 8, 0, false, "", "Varible"},     {atPak, 11, 0, false, "", "Distill"},
      {atRar, '3', 0, false, "", "Normal"},       {atRarExe, '3', 0, true, "", "<Dir>"},
      {atTar, 0, 0, false, "a", "Tarred"},        {atTar, 1, 0, false, "a\\", "<Dir>"},
      {atTar, 1, 0, false, "a", "Unsupported"},   {atZoo, 2, 0, false, "", "Greatest"},
      {atUUE, 0, 0, false, "", "Unsupported"},    {atMsGZ, 0, 0, false, "", "Unsupported"},
      {atNA, 0, 0, false, "", "Unsupported"}};
  for (const TCase& c : cases)
    EXPECT_EQ(MethodName(c.Type, c.Method, c.Flags, c.IsDir, c.Name), c.Expected)
        << ArcTypeName(c.Type) << " method " << c.Method;
  // An AES entry is named by the method its AES field records.
  EXPECT_EQ(MethodName(atZip, 99, 2, false, "", 8), "DeflateX");
  EXPECT_EQ(MethodName(atZip, 99, 0, false, "", 99), "Unsupported");
  EXPECT_EQ(MethodName(atZip, 99, 0, false, "", -1), "Unsupported");
}

}  // namespace
}  // namespace qmx
