#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

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

TEST_F(ImagesTest, AFileOutsideTheWorkFolderIsNoCatalogueEntry) {
  EXPECT_EQ(CatalogueEntryOf(platform, "C:\\US1.BIN"), -1);
}

struct ReadCase {
  const char* label;
  const char* rest;
  // From the built-in payload of 163A2C\US.BIN to the file's bytes; null
  // leaves no file.
  std::function<std::vector<uint8_t>(std::vector<uint8_t>)> bytes;
  ImageFileRead expected;
};
void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.label; }

class ImageFileCheck : public ImagesTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ImageFileCheck, ACatalogueFileMustHoldItsImageExactly) {
  const ReadCase& c = GetParam();
  ExtractImages(p);
  const auto payload = platform.FindResource(kResourceType, kCatalogue[20].resourceId);
  ASSERT_TRUE(payload.has_value());
  std::vector<uint8_t> content;
  if (c.bytes) {
    content = c.bytes({payload->begin(), payload->end()});
    ASSERT_TRUE(platform.WriteWholeFile(Work(c.rest), content));
  }

  std::vector<uint8_t> read;
  EXPECT_EQ(ReadImageFile(p, Work(c.rest), read), c.expected);
  // The caller gets the very bytes that were checked.
  if (c.expected == ImageFileRead::kRead) {
    EXPECT_EQ(read, content);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Contents, ImageFileCheck,
    ::testing::Values(
        ReadCase{"the_image", "\\163A2C\\US.BIN", [](auto b) { return b; }, ImageFileRead::kRead},
        ReadCase{"one_bit_changed", "\\163A2C\\US.BIN",
                 [](auto b) {
                   b[30000] ^= 1;
                   return b;
                 },
                 ImageFileRead::kDiffers},
        ReadCase{"one_byte_short", "\\163A2C\\US.BIN",
                 [](auto b) {
                   b.pop_back();
                   return b;
                 },
                 ImageFileRead::kDiffers},
        ReadCase{"one_byte_long", "\\163A2C\\US.BIN",
                 [](auto b) {
                   b.push_back(0);
                   return b;
                 },
                 ImageFileRead::kDiffers},
        ReadCase{"zeros_of_1000_bytes", "\\163A2C\\US.BIN",
                 [](auto) { return std::vector<uint8_t>(1000, 0); }, ImageFileRead::kDiffers},
        ReadCase{"not_in_the_catalogue", "\\BAUS.BIN",
                 [](auto) { return std::vector<uint8_t>(1000, 0); }, ImageFileRead::kRead},
        ReadCase{"missing", "\\A1\\US1.BIN", nullptr, ImageFileRead::kCannotOpen}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace kestrune
