#include "simulator/flash_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "simulator/virtual_drive.h"
#include "tests/simulator/sim_commands.h"

namespace kestrune::sim {
namespace {

using namespace cmd;
namespace fs = std::filesystem;

class FlashFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("kestrune-flash-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    fs::copy_file(fs::path(KESTRUNE_TEST_DRIVES) / "ctrl163_broken.json", dir / "drive.json");
    path = (dir / "drive.json").string();
  }
  void TearDown() override { fs::remove_all(dir); }
  std::unique_ptr<VirtualDrive> Load() {
    std::string error;
    auto drive = VirtualDrive::FromFile(path, &error);
    EXPECT_TRUE(drive) << error;
    return drive;
  }
  fs::path dir;
  std::string path;
};

TEST_F(FlashFile, ASecondRunSeesWhatTheFirstWrote) {
  std::vector<uint8_t> written(2048);
  for (size_t i = 0; i < written.size(); ++i) written[i] = static_cast<uint8_t>(i * 3);
  uint32_t area = 0;
  {
    auto drive = Load();
    ASSERT_TRUE(drive);
    EXPECT_FALSE(drive->IspHealthy());
    ASSERT_TRUE(StartWorkingCode(*drive));
    ASSERT_TRUE(WritePages(*drive, 64 * 500, 1, written).ok());
    // Repair every copy.
    std::vector<uint8_t> image(65536, 0);
    const auto payload = MakeIspPayload("US.BIN");
    std::copy(payload.begin(), payload.end(), image.begin());
    for (uint32_t page : drive->IspAreaPages()) {
      ASSERT_TRUE(Erase(*drive, page).ok());
      ASSERT_TRUE(WritePages(*drive, page, 32, image).ok());
    }
    area = drive->IspAreaPages().at(0);
    // Closing the volume saves the flash.
    MakeTransport(*drive).reset();
    EXPECT_TRUE(fs::exists(FlashPathFor(path)));
  }
  auto again = Load();
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->IspHealthy());
  EXPECT_EQ(TextOf(Inquiry(*again)).substr(12, 4), "1100");
  ASSERT_TRUE(StartWorkingCode(*again));
  EXPECT_EQ(ReadPages(*again, 64 * 500, 1, 2048).data, written);
  EXPECT_EQ(ReadPages(*again, area, 1, 2048).data.at(0), 'K');
}

TEST_F(FlashFile, AnUntouchedDriveStartsFromItsDescriptionEachTime) {
  { auto drive = Load(); }
  auto drive = Load();
  EXPECT_FALSE(drive->IspHealthy());
  ASSERT_TRUE(StartWorkingCode(*drive));
  EXPECT_EQ(ReadPages(*drive, 2 * 64, 1, 2048).data.at(0), 'C');
}

TEST_F(FlashFile, DamagedOrForeignFilesAreRefused) {
  {
    auto drive = Load();
    ASSERT_TRUE(drive->Save());
  }
  const std::string flash = FlashPathFor(path);
  ASSERT_TRUE(fs::exists(flash));
  std::string error;
  NandFlash other(4096, 16, 64, 16);
  EXPECT_FALSE(LoadFlashFile(flash, other, &error));
  EXPECT_NE(error.find("geometry"), std::string::npos) << error;

  // One flipped byte is caught by the CRC.
  {
    std::fstream f(flash, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(40);
    f.put('\x5A');
  }
  EXPECT_EQ(VirtualDrive::FromFile(path, &error), nullptr);
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;

  // A truncated file is refused too.
  fs::resize_file(flash, 30);
  EXPECT_EQ(VirtualDrive::FromFile(path, &error), nullptr);
}

TEST(FlashFileFormat, RoundTripKeepsEveryStoredPageAndSpare) {
  const fs::path file =
      fs::temp_directory_path() / ("kestrune-nand-" + std::to_string(std::random_device{}()));
  NandFlash a(512, 16, 32, 8);
  std::vector<uint8_t> raw(528);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i);
  a.Store(3, raw.data());
  a.Store(255, raw.data());
  std::string error;
  ASSERT_TRUE(SaveFlashFile(file.string(), a, &error)) << error;
  NandFlash b(512, 16, 32, 8);
  ASSERT_TRUE(LoadFlashFile(file.string(), b, &error)) << error;
  EXPECT_EQ(b.StoredPages(), 2u);
  std::vector<uint8_t> back(528);
  b.Read(255, back.data());
  EXPECT_EQ(back, raw);
  b.Read(4, back.data());
  EXPECT_EQ(back, std::vector<uint8_t>(528, 0xFF));
  fs::remove(file);
}

}  // namespace
}  // namespace kestrune::sim
