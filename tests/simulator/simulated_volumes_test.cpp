// Two runs on one virtual-drive file, in one process as two openers: the
// one that opened the drive first keeps it, the other neither opens it nor
// writes its flash file, and takes it over only once the first is gone,
// with what the first left.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>
#include <vector>

#include "simulator/virtual_drive.h"
#include "tests/simulator/drive_file_fixture.h"

namespace kestrune::sim {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kPage = 64 * 500;

using DriveFileLock = DriveFileTest;

TEST_F(DriveFileLock, TheFirstRunKeepsTheDriveAndTheOtherTakesItOverWithItsFlash) {
  std::vector<uint8_t> written(2048);
  for (size_t i = 0; i < written.size(); ++i) written[i] = static_cast<uint8_t>(i * 7);
  // Both load the drive before either opens it, as two runs started together.
  auto firstDrive = Load();
  auto secondDrive = Load();
  ASSERT_TRUE(firstDrive && secondDrive);
  auto first = std::make_unique<SimulatedVolumes>();
  SimulatedVolumes second;
  first->AttachLocked('E', *firstDrive, path);
  second.AttachLocked('E', *secondDrive, path);

  ASSERT_NE(first->Open('E'), nullptr);
  firstDrive->WriteRawPage(kPage, written);
  const device::OpenResult held = second.Open('E');
  EXPECT_EQ(held, nullptr);
  EXPECT_EQ(held.holder, path);
  // The run left out ends: it must not put its stale flash over the file.
  EXPECT_TRUE(secondDrive->Save());
  const std::vector<uint8_t> inFile = Load()->ReadRawPage(kPage);
  EXPECT_EQ(std::vector<uint8_t>(inFile.begin(), inFile.begin() + written.size()), written);

  first.reset();
  const device::OpenResult opened = second.Open('E');
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(opened.holder, "");
  const std::vector<uint8_t> seen = secondDrive->ReadRawPage(kPage);
  EXPECT_EQ(std::vector<uint8_t>(seen.begin(), seen.begin() + written.size()), written);
}

}  // namespace
}  // namespace kestrune::sim
