#include "app/cli/cli_common.h"

#include <gtest/gtest.h>

#include <sstream>

#include "archive/base/errors.h"

namespace qmx::cli {
namespace {

TArgParser Parser() {
  return TArgParser({"-q", "--overwrite"}, {"-p", "-d"});
}

TEST(ArgParser, AcceptsEveryOptionFormAndKeepsPositionalOrder) {
  TArgParser p = Parser();
  std::string error;
  ASSERT_TRUE(p.Parse(
      {"extract", "-q", "a.zip", "-p", "one", "-ptwo", "--overwrite", "*.txt", "--", "-d"}, error))
      << error;
  EXPECT_TRUE(p.Has("-q"));
  EXPECT_TRUE(p.Has("--overwrite"));
  EXPECT_EQ(p.Values("-p"), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(p.Positional(), (std::vector<std::string>{"extract", "a.zip", "*.txt", "-d"}))
      << "after -- an option-like word is positional";
  EXPECT_FALSE(p.Has("-d"));
  EXPECT_EQ(p.Value("-d", "fallback"), "fallback");
  // "-" alone names standard input by convention and stays positional.
  TArgParser dash = Parser();
  ASSERT_TRUE(dash.Parse({"-"}, error));
  EXPECT_EQ(dash.Positional(), (std::vector<std::string>{"-"}));
}

TEST(ArgParser, RejectsUnknownOptionsAndMissingValues) {
  std::string error;
  TArgParser unknown = Parser();
  EXPECT_FALSE(unknown.Parse({"-x"}, error));
  EXPECT_NE(error.find("-x"), std::string::npos);
  TArgParser missing = Parser();
  EXPECT_FALSE(missing.Parse({"list", "-d"}, error));
  EXPECT_NE(error.find("-d"), std::string::npos);
  // A flag does not take an attached value.
  TArgParser attached = Parser();
  EXPECT_FALSE(attached.Parse({"-qq"}, error));
}

TEST(ErrorPrinter, NamesTheFileFromTheBestSourceAvailable) {
  std::ostringstream out;
  TErrorPrinter e("arcmorph", out);
  e.FallbackFile = "the.zip";
  EXPECT_EQ(e.Format("entry.txt", "", "vol.zip", E_CRC_FAIL),
            "arcmorph: entry.txt: Error#: 25151 File fails CRC check");
  EXPECT_EQ(e.Format("", "OnStatus", "vol.zip", E_EVENT_NOT_ASSIGNED),
            "arcmorph: vol.zip: Error#: 25270 Required event not assigned (OnStatus)");
  // "0" is the library's "no volume".
  EXPECT_EQ(e.Format("", "", "0", E_UNSUPPORTED_TYPE),
            "arcmorph: the.zip: Error#: 25244 Invalid or unsupported archive type for this "
            "operation");
  e.Print("x", "", "0", E_CRC_FAIL);
  e.Print("y", "", "0", E_INVALID_NAME);
  EXPECT_EQ(out.str(),
            "arcmorph: x: Error#: 25151 File fails CRC check\n"
            "arcmorph: y: Error#: 25245 Invalid file name\n");
  EXPECT_TRUE(e.Reported(E_INVALID_NAME));
  EXPECT_FALSE(e.Reported(E_OPEN_FILE));
}

TEST(FormatDosDateTime, DecodesThePackedFields) {
  // 2024-02-29 13:05:58: date (44 << 9 | 2 << 5 | 29), time (13 << 11 | 5 << 5 | 29).
  const std::uint32_t packed = ((44u << 9 | 2u << 5 | 29u) << 16) | (13u << 11 | 5u << 5 | 29u);
  EXPECT_EQ(FormatDosDateTime(packed), "2024-02-29 13:05");
  EXPECT_EQ(FormatDosDateTime(0x00210000), "1980-01-01 00:00");
}

}  // namespace
}  // namespace qmx::cli
