#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "images/images.h"
#include "resources/image_list.h"
#include "tests/images/images_fixture.h"

namespace kestrune {
namespace {

constexpr int kEntries = static_cast<int>(std::size(kCatalogue));

// Bytes of entry `i` as the given folder holds them: unlike every other
// entry and unlike the built-in payload.
std::vector<uint8_t> GivenBytes(int i, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t k = 0; k < size; ++k) bytes[k] = static_cast<uint8_t>(k * 13 + i * 71 + (k >> 9));
  return bytes;
}

class ImageFolderTest : public ImagesTest {
 public:
  std::filesystem::path Given() const { return platform.hostFolder() / "given"; }
  std::string GivenText() const { return testing::ImagesProgramSpelling(Given()); }

  // Writes entry `i` with `size` bytes under its catalogue name, in lower
  // case when asked, as a technician's copy might be named.
  void WriteGiven(int i, size_t size, bool lowerCase = false) {
    std::string relative = kCatalogue[i].pathFormat + 3;
    for (char& c : relative) {
      if (c == '\\') c = '/';
      if (lowerCase) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const std::filesystem::path file = Given() / relative;
    std::filesystem::create_directories(file.parent_path());
    const std::vector<uint8_t> bytes = GivenBytes(i, size);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
  }
  void WriteAllGiven(bool lowerCase = false) {
    for (int i = 0; i < kEntries; ++i) WriteGiven(i, kCatalogue[i].size, lowerCase);
  }
};

struct FolderCase {
  const char* label;
  std::function<void(ImageFolderTest&)> fill;
  const char* problem;  // after "The image folder <DIR> "; "" when the folder is taken
};
void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.label; }

class ImageFolderCheck : public ImageFolderTest,
                         public ::testing::WithParamInterface<FolderCase> {};

TEST_P(ImageFolderCheck, TakesOnlyAllImagesWithTheirSizes) {
  std::filesystem::create_directories(Given());
  GetParam().fill(*this);
  std::string problem;

  const auto set = LoadImageFolder(platform, GivenText(), problem);

  if (*GetParam().problem == '\0') {
    ASSERT_NE(set, nullptr) << problem;
    EXPECT_EQ(set->folder, GivenText());
    ASSERT_EQ(set->payloads.size(), std::size(kCatalogue));
    for (int i = 0; i < kEntries; ++i) {
      EXPECT_EQ(set->payloads[i], GivenBytes(i, kCatalogue[i].size)) << kCatalogue[i].pathFormat;
    }
  } else {
    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(problem, "The image folder <" + GivenText() + "> " + GetParam().problem);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Folders, ImageFolderCheck,
    ::testing::Values(
        FolderCase{"all_in_lower_case", [](ImageFolderTest& t) { t.WriteAllGiven(true); }, ""},
        FolderCase{"missing_short_and_long",
                   [](ImageFolderTest& t) {
                     for (int i = 0; i < kEntries; ++i) {
                       if (i == 20) continue;  // 163A2C\US.BIN
                       const size_t size = i == 10 ? 1000 : i == 4 ? 65537 : kCatalogue[i].size;
                       t.WriteGiven(i, size);
                     }
                   },
                   "does not hold the 31 ISP images:\n"
                   "wrong size: US1.BIN has more than 65536 bytes, expected 65536\n"
                   "wrong size: CUS.BIN has 1000 bytes, expected 131072\n"
                   "missing: 163A2C\\US.BIN"},
        FolderCase{"empty", [](ImageFolderTest&) {}, "holds none of the 31 ISP images."}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ImageFolderTest, GivenImagesAreWrittenNamedAndCheckedAgainst) {
  if (resources::PayloadsAreStandIns()) {
    EXPECT_EQ(DescribeImages(platform, nullptr), "stand-in images");
  }
  WriteAllGiven();
  std::string problem;
  p.images = LoadImageFolder(platform, GivenText(), problem);
  ASSERT_NE(p.images, nullptr) << problem;

  ExtractImages(p);
  std::vector<std::vector<uint8_t>> files;
  for (int i = 0; i < kEntries; ++i) {
    const auto bytes = platform.ReadWholeFile(ComposePath(kCatalogue[i].pathFormat, Work("")));
    ASSERT_TRUE(bytes.has_value()) << kCatalogue[i].pathFormat;
    EXPECT_EQ(*bytes, GivenBytes(i, kCatalogue[i].size)) << kCatalogue[i].pathFormat;
    files.push_back(*bytes);
  }

  std::vector<std::span<const uint8_t>> pieces(files.begin(), files.end());
  const auto digest = platform::Sha256(pieces);
  ASSERT_TRUE(digest.has_value());
  char hex[13];
  std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x%02x%02x", (*digest)[0], (*digest)[1],
                (*digest)[2], (*digest)[3], (*digest)[4], (*digest)[5]);
  EXPECT_EQ(DescribeImages(platform, p.images.get()),
            std::string("images: ") + hex + " (from " + GivenText() + ")");
  EXPECT_FALSE(ImagesAreStandIns(p.images.get()));

  // The work folder's files are now checked against the given images, so
  // the built-in payload no longer passes there.
  const auto builtIn = platform.FindResource(kResourceType, kCatalogue[4].resourceId);
  ASSERT_TRUE(builtIn.has_value());
  ASSERT_TRUE(platform.WriteWholeFile(Work("\\US1.BIN"), {builtIn->begin(), builtIn->end()}));
  std::vector<uint8_t> read;
  EXPECT_EQ(ReadImageFile(p, Work("\\US1.BIN"), read), ImageFileRead::kDiffers);
}

}  // namespace
}  // namespace kestrune
