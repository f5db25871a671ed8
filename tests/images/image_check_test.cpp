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

}  // namespace
}  // namespace kestrune
