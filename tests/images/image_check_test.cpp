#include <gtest/gtest.h>

#include <string>

#include "images/images.h"
#include "tests/images/images_fixture.h"

namespace kestrune {
namespace {

// Spellings of a path must not let a changed catalogue file pass as one the
// catalogue does not hold.
struct SpellingCase {
  const char* rest;  // after the work folder text
  int entry;
};

class CatalogueSpelling : public ImagesTest, public ::testing::WithParamInterface<SpellingCase> {};

TEST_P(CatalogueSpelling, NamesTheEntryWhateverTheSpelling) {
  EXPECT_EQ(CatalogueEntryOf(platform, Work(GetParam().rest)), GetParam().entry);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CatalogueSpelling,
    ::testing::Values(SpellingCase{"\\CAUS.BIN", 0}, SpellingCase{"\\163A2C\\US.BIN", 20},
                      SpellingCase{"163a2c\\us.bin", 20}, SpellingCase{"\\\\163A2C//US.BIN", 20},
                      SpellingCase{"\\A1\\..\\US.BIN", 3}, SpellingCase{"\\.\\US1.BIN", 4},
                      SpellingCase{"\\163A2C\\..\\163A2C\\UST.BIN", 30},
                      SpellingCase{"\\A1\\US1.BIN", -1}, SpellingCase{"\\BAUS.BIN", -1},
                      SpellingCase{"\\163A2C", -1}));

// A SHA256SUMS is the folder's input like any image: the spellings
// sha256sum writes are read, a line that cannot be read makes the file
// unusable (it may have pinned a file that then goes unchecked), and a name
// outside the catalogue is told, never followed.
struct SumsCase {
  const char* name;
  std::string text;
  bool usable;
  int listed;  // the entry given the digest; -1: none
  size_t outside;
};
void PrintTo(const SumsCase& c, std::ostream* os) { *os << c.name; }

const std::string kHex(64, 'a');
const std::string kOtherHex(64, 'b');

class SumsLines : public ::testing::TestWithParam<SumsCase> {};

TEST_P(SumsLines, AreReadAsSha256sumWritesThem) {
  const SumsCase& c = GetParam();
  const ListedSums sums = ParseSums(c.text);
  EXPECT_EQ(sums.problem.empty(), c.usable) << sums.problem;
  for (int i = 0; i < static_cast<int>(sums.digests.size()); ++i) {
    EXPECT_EQ(sums.digests[i], i == c.listed ? kHex : "") << ImageName(i);
  }
  EXPECT_EQ(sums.outside.size(), c.outside);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SumsLines,
    ::testing::Values(
        SumsCase{"TwoSpaces", kHex + "  163A2C/US.BIN\n", true, 20, 0},
        SumsCase{"BinaryDotSlashCrLf", "AAAA" + kHex.substr(4) + " *./163a2c/us.bin\r\n", true, 20,
                 0},
        SumsCase{"EscapedWindowsName", "\\" + kHex + "  163A2C\\\\US.BIN\n", true, 20, 0},
        SumsCase{"CommentAndBlankLine", "# pinned\n\n" + kHex + "  CAUS.BIN", true, 0, 0},
        SumsCase{"NamesOutside", kHex + "  ../CAUS.BIN\n" + kHex + "  /etc/passwd\n", true, -1, 2},
        SumsCase{"ShortDigest", kHex.substr(1) + "  CAUS.BIN\n", false, -1, 0},
        SumsCase{"OneSpace", kHex + " CAUS.BIN\n", false, -1, 0},
        SumsCase{"TwoDigestsForOneFile", kHex + "  CAUS.BIN\n" + kOtherHex + "  caus.bin\n", false,
                 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune
