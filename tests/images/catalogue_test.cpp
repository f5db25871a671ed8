#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <stdexcept>

#include "images/images.h"
#include "resources/image_list.h"
#include "tests/images/images_fixture.h"

namespace kestrune {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<uint8_t> ResourceBytes(platform::Platform& platform, uint16_t id) {
  const auto resource = platform.FindResource("BinaryFile", id);
  if (!resource) return {};
  return {resource->begin(), resource->end()};
}

// The program's table and the list the build embedded must pair the same
// ids with the same files, or an update would write the wrong image.
TEST(CatalogueTable, AgreesWithTheBuildList) {
  const auto listed = resources::ListedImages();
  ASSERT_EQ(listed.size(), std::size(kCatalogue));
  std::set<uint16_t> ids;
  for (size_t i = 0; i < listed.size(); ++i) {
    SCOPED_TRACE(listed[i].path);
    EXPECT_EQ(kCatalogue[i].resourceId, listed[i].id);
    EXPECT_EQ(kCatalogue[i].size, listed[i].size);
    EXPECT_EQ(std::string(kCatalogue[i].pathFormat), std::string("%s\\") + listed[i].path);
    EXPECT_TRUE(ids.insert(kCatalogue[i].resourceId).second) << "duplicate id";
    const bool inSubFolder = std::strncmp(listed[i].path, "163A2C\\", 7) == 0;
    EXPECT_EQ(inSubFolder, static_cast<int>(i) >= kFirstSubFolderEntry);
  }
}

TEST_F(ImagesTest, EveryImageIsEmbeddedWithItsListedSize) {
  uint64_t total = 0;
  for (const CatalogueEntry& entry : kCatalogue) {
    SCOPED_TRACE(entry.pathFormat);
    const auto resource = platform.FindResource("BinaryFile", entry.resourceId);
    ASSERT_TRUE(resource.has_value());
    EXPECT_EQ(resource->size(), entry.size);
    // The type is looked up without regard to case.
    const auto upper = platform.FindResource("BINARYFILE", entry.resourceId);
    ASSERT_TRUE(upper.has_value());
    EXPECT_EQ(upper->data(), resource->data());
    total += resource->size();
  }
  EXPECT_EQ(total, kCatalogueBytes);
  EXPECT_FALSE(platform.FindResource("BinaryFile", 129).has_value());
}

TEST_F(ImagesTest, ExtractionWritesEveryImageWithItsExactBytes) {
  ExtractImages(p.platform, p.images.get());
  EXPECT_EQ(platform.writeCalls, 31u) << "one write per image, straight from the resource";
  for (const CatalogueEntry& entry : kCatalogue) {
    const std::string path = ComposePath(entry.pathFormat, platform.tempText());
    SCOPED_TRACE(path);
    const auto bytes = platform.ReadWholeFile(path);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(bytes->size(), entry.size);
    EXPECT_TRUE(*bytes == ResourceBytes(platform, entry.resourceId));
  }
}

TEST_F(ImagesTest, PathsComposeTheWorkFolderWithADoubledBackslash) {
  ExtractImages(p.platform, p.images.get());
  ASSERT_EQ(platform.writes.size(), 31u);
  // On the POSIX host the temporary folder reads "T:\", so the first target
  // is "T:\\CAUS.BIN".
  EXPECT_EQ(platform.writes[0], Work("\\CAUS.BIN"));
  EXPECT_EQ(platform.writes[19], Work("\\CUS8.BIN"));
  EXPECT_EQ(platform.writes[20], Work("\\163A2C\\US.BIN"));
  EXPECT_EQ(platform.writes[30], Work("\\163A2C\\UST.BIN"));
  EXPECT_THAT(platform.createdFolders, ElementsAre(Work("\\163A2C")));
  EXPECT_TRUE(platform.FindFile(Work("\\CAUS.BIN")));
}

TEST_F(ImagesTest, ReadOnlyHiddenEarlierCopyIsReplaced) {
  const std::string us1 = Work("\\US1.BIN");
  ASSERT_TRUE(platform.WriteWholeFile(us1, std::vector<uint8_t>(100, 0x11)));
  ASSERT_TRUE(platform.SetFileAttributes(
      us1, platform::kFileAttributeReadOnly | platform::kFileAttributeHidden));

  ExtractImages(p.platform, p.images.get());

  const auto bytes = platform.ReadWholeFile(us1);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_TRUE(*bytes == ResourceBytes(platform, 141));
  const auto attributes = platform.GetFileAttributes(us1);
  ASSERT_TRUE(attributes.has_value());
  EXPECT_EQ(*attributes & (platform::kFileAttributeReadOnly | platform::kFileAttributeHidden), 0u);
}

TEST_F(ImagesTest, ExistingSubFolderAndEarlierRunsDoNotStopTheWrites) {
  ASSERT_TRUE(platform.CreateDirectory(Work("\\163A2C")));
  ExtractImages(p.platform, p.images.get());
  ExtractImages(p.platform, p.images.get());  // a second start replaces every file again
  for (int i = kFirstSubFolderEntry; i < 31; ++i) {
    const auto bytes = platform.ReadWholeFile(ComposePath(kCatalogue[i].pathFormat, Work("")));
    ASSERT_TRUE(bytes.has_value()) << kCatalogue[i].pathFormat;
    EXPECT_EQ(bytes->size(), kCatalogue[i].size);
  }
}

TEST_F(ImagesTest, FilesOutsideTheCatalogueAreLeftAlone) {
  const std::vector<uint8_t> own(4096, 0x42);
  ASSERT_TRUE(platform.WriteWholeFile(Work("\\BAUS.BIN"), own));
  ExtractImages(p.platform, p.images.get());
  EXPECT_TRUE(platform.ReadWholeFile(Work("\\BAUS.BIN")) == own);
  EXPECT_FALSE(platform.FindFile(Work("\\165A9.BIN")));
  for (const std::string& deleted : platform.deletes) {
    EXPECT_THAT(deleted, ::testing::Not(HasSubstr("BAUS")));
  }
}

TEST_F(ImagesTest, MissingResourceLeavesNoFileInsteadOfAnEmptyOne) {
  ASSERT_TRUE(platform.WriteWholeFile(Work("\\US1.BIN"), std::vector<uint8_t>(65536, 0x11)));
  platform.hiddenResources = {141};
  ExtractImages(p.platform, p.images.get());
  EXPECT_FALSE(platform.FindFile(Work("\\US1.BIN")));
  // The entries after it are still written.
  EXPECT_TRUE(platform.FindFile(Work("\\US4.BIN")));
  EXPECT_TRUE(platform.FindFile(Work("\\163A2C\\UST.BIN")));
}

TEST_F(ImagesTest, CutOffWriteLeavesNoFile) {
  platform.writeLimit = 1000;
  ExtractImages(p.platform, p.images.get());
  EXPECT_EQ(platform.writes.size(), 31u);
  EXPECT_FALSE(platform.FindFile(Work("\\CAUS.BIN")));
  EXPECT_FALSE(platform.FindFile(Work("\\163A2C\\US.BIN")));
}

TEST_F(ImagesTest, WorkFolderFallsBackToTheWindowsFolder) {
  char windows[260] = {};
  ASSERT_NE(platform.GetWindowsDirectory(windows, sizeof windows), 0u);

  EXPECT_EQ(WorkFolder(platform), platform.tempText());
  platform.tempPath = "";  // the query fails
  EXPECT_EQ(WorkFolder(platform), windows);
  // An answer too long for the buffer is a failure too, whatever was copied.
  platform.tempPath = "C:\\PARTIAL\\";
  platform.tempPathResult = 300;
  EXPECT_EQ(WorkFolder(platform), windows);
}

TEST_F(ImagesTest, ExeFolderIsTheTextBeforeTheLastBackslash) {
  platform.moduleFileName = "\\usr\\lib\\kestrune\\kestrune";
  EXPECT_EQ(BinRes::GetExeFolder(platform), "\\usr\\lib\\kestrune");
  platform.moduleFileName = "C:\\kestrune.exe";
  EXPECT_EQ(BinRes::GetExeFolder(platform), "C:");

  // Only the first 127 characters are looked at.
  std::string longName = "C:\\" + std::string(130, 'a') + "\\kestrune.exe";
  platform.moduleFileName = longName;
  EXPECT_EQ(BinRes::GetExeFolder(platform), "C:");

  platform.moduleFileName = "kestrune";
  try {
    BinRes::GetExeFolder(platform);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unable to get exe location");
  }
}

TEST_F(ImagesTest, RelativeTargetsGoBesideTheExecutable) {
  const std::string exeFolder = testing::ImagesProgramSpelling(platform.hostFolder());
  platform.moduleFileName = exeFolder + "\\kestrune.exe";
  BinRes::ResourceToFile(platform, "BinaryFile", 176, "relative.bin");
  ASSERT_EQ(platform.writes.size(), 1u);
  EXPECT_EQ(platform.writes[0], exeFolder + "\\relative.bin");
  const auto bytes = platform.ReadWholeFile(exeFolder + "\\relative.bin");
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(bytes->size(), 65536u);
}

TEST_F(ImagesTest, NoExecutableFolderSkipsEachEntryWithoutStopping) {
  platform.tempPath = "nodrive\\";
  platform.moduleFileName = "kestrune";
  EXPECT_NO_THROW(ExtractImages(p.platform, p.images.get()));
  EXPECT_TRUE(platform.writes.empty());
  EXPECT_EQ(platform.createdFolders.size(), 1u);
}

}  // namespace
}  // namespace kestrune
