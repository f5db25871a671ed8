#include "simulator/drive_description.h"

#include <gtest/gtest.h>

#include "simulator/virtual_drive.h"
#include "tests/simulator/sim_commands.h"

namespace kestrune::sim {
namespace {

using namespace cmd;

TEST(DriveFile, ReadsEveryKindOfValue) {
  DriveDescription d;
  std::string error;
  ASSERT_TRUE(ParseDescription(R"({
    "controller": "0x165", "revision": "3", "codeImage": "165A0.BIN",
    "flashId": [152, 215, 149, 50, 122],
    "memory": [{"address": "0x1064", "text": "b"}, {"address": 16, "hex": "01:02-03 04"}],
    "geometry": {"pageSize": 4096, "pagesPerBlock": 128},
    "config": {"blocksPerZone": 256, "zoneCount": 2, "cisPagesPerBlock": "0x40"},
    "capacity": {"lastLba": 99, "blockLength": 2048},
    "isp": {"healthy": true},
    "codeMarks": {"copies": [{"block": 1, "content": "zeros"}]},
    "zoneBlockCounts": [[10, 20], [30]]
  })",
                               &d, &error))
      << error;
  EXPECT_EQ(d.controllerId, 0x165);
  EXPECT_EQ(d.revision, 3);
  EXPECT_EQ(d.flashId[0], 0x98);
  EXPECT_EQ(d.flashId[4], 0x7A);
  ASSERT_EQ(d.memory.size(), 2u);
  EXPECT_EQ(d.memory[0].first, 0x1064u);
  EXPECT_EQ(d.memory[0].second, std::vector<uint8_t>{'b'});
  EXPECT_EQ(d.memory[1].second, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(d.ReportedCisPagesPerBlock(), 0x40);
  EXPECT_EQ(d.SectorsPerPage(), 2u);  // 64 * 4096 / 128 = 2048-byte sectors
  EXPECT_EQ(d.ZoneBlockCount(0, 1), 20);
  EXPECT_EQ(d.ZoneBlockCount(1, 1), 0xFFFF);
  EXPECT_EQ(d.ZoneBlockCount(2, 0), 0xFFFF);
  EXPECT_EQ(d.codeMarks.at(0).content, IspContent::kZeros);
  auto drive = VirtualDrive::FromDescription(d, &error);
  ASSERT_TRUE(drive) << error;
  EXPECT_FALSE(drive->IspHealthy());  // its only copy holds zeros
  const Reply cap = Capacity(*drive);
  EXPECT_EQ(bytes::LoadBe32(&cap.data[0]), 99u);
  EXPECT_EQ(bytes::LoadBe16(&cap.data[6]), 2048);
}

struct BadFile {
  const char* json;
  const char* message;  // part of the error
};
class RejectedDriveFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(RejectedDriveFile, SaysWhy) {
  DriveDescription d;
  std::string error;
  EXPECT_FALSE(ParseDescription(GetParam().json, &d, &error));
  EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
  EXPECT_EQ(VirtualDrive::FromJsonText(GetParam().json, &error), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RejectedDriveFile,
    ::testing::Values(
        BadFile{"{", "JSON"}, BadFile{"[]", "object"}, BadFile{"{}", "controller"},
        BadFile{R"({"controller": "0x163", "colour": 1})", "colour"},
        BadFile{R"({"controller": "0x163", "geometry": {"pageSize": 1000}})", "page size"},
        BadFile{R"({"controller": "0x163", "geometry": {"pageSize": 0}})", "page size"},
        BadFile{R"({"controller": "0x163", "geometry": {"pagesPerBlock": 0}})", "pages per block"},
        BadFile{R"({"controller": "0x163", "config": {"zoneCount": 0}})", "block count"},
        BadFile{R"({"controller": "0x163", "geometry": {"blockCount": 4000000000}})", "block"},
        BadFile{R"({"controller": "0x163", "revision": 256})", "revision"},
        BadFile{R"({"controller": "0x163", "revision": -1})", "revision"},
        BadFile{R"({"controller": "0x163", "flashId": "98 DC"})", "5 bytes"},
        BadFile{R"({"controller": "0x163", "flashId": "9G DC 90 26 76"})", "flashId"},
        BadFile{R"({"controller": "0x170"})", "unknown controller"},
        BadFile{R"({"controller": "0x163", "memory": [{"address": "0xFFFF", "hex": "01 02"}]})",
                "64 KiB"},
        BadFile{R"({"controller": "0x163", "config": {"cisPagesPerBlock": 0}})", "CIS pages"},
        BadFile{R"({"controller": "0x163", "codeMarks": {"copies": [{"block": 99999}]}})",
                "outside"},
        BadFile{
            R"({"controller": "0x163", "codeMarks": {"copies": [{"block": 1, "marker": "Code"}]}})",
            "8 characters"},
        BadFile{R"({"controller": "0x161", "header": {"pages": [{"block": 2}]}})", "block 0 or 1"},
        BadFile{R"({"controller": "0x163", "isp": {"content": "shiny"}})", "content"},
        BadFile{R"({"controller": "0x163", "faults": [{"action": "check"}]})", "opcode"},
        BadFile{R"({"controller": "0x163", "faults": [{"opcode": 1, "nth": 0}]})", "nth"},
        BadFile{R"({"controller": "0x163", "vendor": "MUCH TOO LONG"})", "vendor"}));

TEST(DriveFile, AnyControllerWithAGivenText) {
  std::string error;
  auto drive = VirtualDrive::FromJsonText(
      R"({"controller": "0x170", "inquiryText": "UtffX", "needsCode": false})", &error);
  ASSERT_TRUE(drive) << error;
  EXPECT_EQ(TextOf(Inquiry(*drive)), "UtffX");
}

TEST(DefaultDrive, IsABroken163WithTwoCodeMarkCopies) {
  auto drive = VirtualDrive::Default();
  ASSERT_TRUE(drive);
  EXPECT_FALSE(drive->IspHealthy());
  EXPECT_EQ(drive->PageSize(), 2048u);
  EXPECT_EQ(drive->FlashPath(), "");
  const std::string text = TextOf(Inquiry(*drive));
  EXPECT_NE(text.find("Utff"), std::string::npos);
  EXPECT_NE(text.find("U163"), std::string::npos);
  EXPECT_EQ(text[10], 'C');
  EXPECT_EQ(drive->IspAreaPages(), (std::vector<uint32_t>{3 * 64, 6 * 64}));
  EXPECT_TRUE(drive->Save());  // nothing to write for a drive in memory
}

TEST(Timing, EveryCommandChargesDeviceTime) {
  auto drive = VirtualDrive::Default();
  ASSERT_TRUE(StartWorkingCode(*drive));
  uint64_t before = drive->DeviceTimeNanoseconds();
  ASSERT_TRUE(Inquiry(*drive).ok());
  const uint64_t inquiry = drive->DeviceTimeNanoseconds() - before;
  EXPECT_GT(inquiry, 100'000u);  // at least the round trip of a bulk-only command

  before = drive->DeviceTimeNanoseconds();
  ASSERT_TRUE(ReadPages(*drive, 0, 32, 65536).ok());
  const uint64_t read = drive->DeviceTimeNanoseconds() - before;
  // 64 KiB at USB 2.0 rate takes well over a millisecond.
  EXPECT_GT(read, 1'500'000u);

  before = drive->DeviceTimeNanoseconds();
  ASSERT_TRUE(Erase(*drive, 64 * 40).ok());
  EXPECT_GT(drive->DeviceTimeNanoseconds() - before, 1'500'000u);

  before = drive->DeviceTimeNanoseconds();
  ASSERT_TRUE(WritePages(*drive, 64 * 40, 32, std::vector<uint8_t>(65536, 0)).ok());
  EXPECT_GT(drive->DeviceTimeNanoseconds() - before, read);  // programming is slower than reading
  const DriveCounters c = drive->Counters();
  EXPECT_EQ(c.pagesRead, 32u);
  EXPECT_EQ(c.pagesProgrammed, 32u);
  EXPECT_EQ(c.blocksErased, 1u);
}

}  // namespace
}  // namespace kestrune::sim
