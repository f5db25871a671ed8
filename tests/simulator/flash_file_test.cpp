#include "simulator/flash_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "simulator/virtual_drive.h"
#include "tests/simulator/drive_file_fixture.h"
#include "tests/simulator/sim_commands.h"

namespace kestrune::sim {
namespace {

using namespace cmd;
namespace fs = std::filesystem;

using FlashFile = DriveFileTest;

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

// A process killed between two commands must leave what a stick would hold:
// every erase and program already in the file, read by the next run.
TEST_F(FlashFile, EachEraseAndProgramIsInTheFileWhenItCompletes) {
  auto drive = Load();
  ASSERT_TRUE(StartWorkingCode(*drive));
  const uint32_t area = drive->IspAreaPages().at(0);
  const std::vector<uint8_t> erased(2048, 0xFF);
  std::vector<uint8_t> written(size_t{4} * 2048);
  for (size_t i = 0; i < written.size(); ++i) written[i] = static_cast<uint8_t>(i * 5 + 1);

  // Nothing is saved or closed in between: `drive` lives on, as a killed
  // process's drive would have.
  ASSERT_TRUE(Erase(*drive, area).ok());
  {
    auto next = Load();
    ASSERT_TRUE(StartWorkingCode(*next));
    EXPECT_EQ(ReadPages(*next, area, 1, 2048).data, erased);
  }
  ASSERT_TRUE(WritePages(*drive, area, 4, written).ok());
  {
    auto next = Load();
    ASSERT_TRUE(StartWorkingCode(*next));
    EXPECT_EQ(ReadPages(*next, area, 4, 4 * 2048).data, written);
    EXPECT_EQ(ReadPages(*next, area + 4, 1, 2048).data, erased);
  }
}

// A kill in the middle of writing a command's record leaves a torn tail: the
// next run takes everything before it, and what that run writes is kept.
TEST_F(FlashFile, ATornLastRecordIsDroppedAndLaterWritesStay) {
  const std::vector<uint8_t> erased(2048, 0xFF);
  const std::vector<uint8_t> first(2048, 0x11);
  const std::vector<uint8_t> second(2048, 0x22);
  const std::string flash = FlashPathFor(path);
  uint32_t area = 0;
  {
    auto killed = Load();
    ASSERT_TRUE(StartWorkingCode(*killed));
    area = killed->IspAreaPages().at(0);
    ASSERT_TRUE(Erase(*killed, area).ok());
    ASSERT_TRUE(WritePages(*killed, area, 1, first).ok());
    // The file as a kill now would leave it; the drive going away saves.
    fs::copy_file(flash, flash + ".at-kill");
  }
  fs::remove(flash);
  fs::rename(flash + ".at-kill", flash);
  fs::resize_file(flash, fs::file_size(flash) - 100);

  auto next = Load();
  ASSERT_TRUE(next);
  ASSERT_TRUE(StartWorkingCode(*next));
  EXPECT_EQ(ReadPages(*next, area, 1, 2048).data, erased);
  ASSERT_TRUE(WritePages(*next, area + 1, 1, second).ok());

  auto last = Load();
  ASSERT_TRUE(last);
  ASSERT_TRUE(StartWorkingCode(*last));
  EXPECT_EQ(ReadPages(*last, area, 1, 2048).data, erased);
  EXPECT_EQ(ReadPages(*last, area + 1, 1, 2048).data, second);
}

// Only the last record can be cut short by a kill; a bad one with more after
// it is damage, and loading without the later writes would hide them.
TEST_F(FlashFile, ADamagedRecordWithOthersAfterItIsRefused) {
  auto drive = Load();
  ASSERT_TRUE(StartWorkingCode(*drive));
  const uint32_t area = drive->IspAreaPages().at(0);
  ASSERT_TRUE(Erase(*drive, area).ok());
  const auto snapshot = fs::file_size(FlashPathFor(path));
  ASSERT_TRUE(WritePages(*drive, area, 1, std::vector<uint8_t>(2048, 0x11)).ok());
  ASSERT_TRUE(WritePages(*drive, area + 1, 1, std::vector<uint8_t>(2048, 0x22)).ok());
  const std::string copy = (dir / "copy.flash").string();
  fs::copy_file(FlashPathFor(path), copy);
  {
    std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(snapshot) + 100);
    f.put('\x5A');
  }
  std::string error;
  EXPECT_EQ(VirtualDrive::FromFile(path, &error, copy), nullptr);
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
}

// A drive written again and again without closing (a long session) keeps its
// file near the size of what the flash holds, and the last write in it.
TEST_F(FlashFile, ALongSessionDoesNotGrowTheFileWithoutEnd) {
  auto drive = Load();
  ASSERT_TRUE(StartWorkingCode(*drive));
  const uint32_t area = drive->IspAreaPages().at(0);
  constexpr int kRounds = 600;  // about 40 MiB of records
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_TRUE(Erase(*drive, area).ok());
    ASSERT_TRUE(
        WritePages(*drive, area, 32, std::vector<uint8_t>(65536, static_cast<uint8_t>(i))).ok());
  }
  EXPECT_LT(fs::file_size(FlashPathFor(path)), 20u << 20);
  auto next = Load();
  ASSERT_TRUE(StartWorkingCode(*next));
  EXPECT_EQ(ReadPages(*next, area + 31, 1, 2048).data,
            std::vector<uint8_t>(2048, static_cast<uint8_t>(kRounds - 1)));
}

// Files written before records were kept hold one snapshot; they still load.
TEST(FlashFileFormat, ASnapshotOnlyFileOfTheFirstVersionLoads) {
  const fs::path file =
      fs::temp_directory_path() / ("kestrune-v1-" + std::to_string(std::random_device{}()));
  std::vector<uint8_t> raw(528);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> bytes = {'K', 'S', 'T', 'R', 'F', 'L', 'S', 'H'};
  auto put = [&](uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(v >> shift));
  };
  put(1);    // version
  put(512);  // page size
  put(16);   // spare size
  put(256);  // pages
  put(1);    // stored pages
  put(9);
  bytes.insert(bytes.end(), raw.begin(), raw.end());
  put(sim::Crc32(bytes.data(), bytes.size()));
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));

  NandFlash flash(512, 16, 32, 8);
  std::string error;
  ASSERT_TRUE(LoadFlashFile(file.string(), flash, &error)) << error;
  std::vector<uint8_t> back(528);
  flash.Read(9, back.data());
  EXPECT_EQ(back, raw);
  EXPECT_EQ(flash.StoredPages(), 1u);
  fs::remove(file);
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
