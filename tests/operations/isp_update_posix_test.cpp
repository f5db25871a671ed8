#include <gtest/gtest.h>

#include <cstring>

#include "device/commands.h"
#include "operations/isp_areas.h"
#include "operations/messages.h"
#include "operations/operations.h"
#include "tests/support/ops_harness.h"

namespace kestrune {
namespace {

using testing::OpsFlash;
using testing::OpsHarness;

constexpr const char* kSuccess =
    "Update ISP code Success, please replug device to ensure it normal.";

// The 64 KiB area the update should leave: file bytes 16384..65535, then zeros.
std::vector<uint8_t> ExpectedArea(const std::vector<uint8_t>& file) {
  std::vector<uint8_t> area(kIspAreaBytes, 0);
  for (uint32_t i = 0; i < kIspPayloadBytes && kIspFileOffset + i < file.size(); ++i) {
    area[i] = file[kIspFileOffset + i];
  }
  return area;
}

struct SchemeRow {
  uint32_t pageSize;
  uint16_t pagesPerBlock;
  size_t writesPerCopy;
  uint32_t pagesPerWrite;
  uint32_t bytesPerWrite;
  std::vector<uint32_t> erases;  // pages, relative to the ISP page
};

class UpdateSchemeTest : public ::testing::TestWithParam<SchemeRow> {};

// Each page size gets its transfer shape, and the flash ends up holding the
// image as the read-back expects it.
TEST_P(UpdateSchemeTest, CommandShapesAndFlashContents) {
  const SchemeRow row = GetParam();
  OpsHarness h;
  OpsFlash flash(h.drive, row.pageSize, row.pagesPerBlock);
  h.SetUpSlot(kCtrl163, row.pageSize, row.pagesPerBlock, row.pagesPerBlock);
  const uint32_t ispOffset = 2u * row.pagesPerBlock;
  h.AddCopy(0, ispOffset);
  const std::vector<uint8_t> file = h.WriteImage("US1.BIN", 0x10000);

  UpdateIspCode(h.p, "C:\\US1.BIN", false);

  ASSERT_EQ(h.view.BoxTexts(), std::vector<std::string>{kSuccess});
  EXPECT_EQ(h.view.boxes[0].caption, "SUCCESS");
  EXPECT_EQ(h.view.boxes[0].style, kMbIconInformation | kBoxTellsReplug);
  const auto writes = h.Seen(device::kOpWriteFlashPages);
  const auto reads = h.Seen(device::kOpReadFlashPages);
  ASSERT_EQ(writes.size(), row.writesPerCopy);
  ASSERT_EQ(reads.size(), row.writesPerCopy);
  for (size_t k = 0; k < writes.size(); ++k) {
    EXPECT_EQ(writes[k].pageAddress(), ispOffset + k * row.pagesPerWrite);
    EXPECT_EQ(writes[k].at(7) << 8 | writes[k].at(8), static_cast<int>(row.pagesPerWrite));
    EXPECT_EQ(writes[k].transferLength, row.bytesPerWrite);
    EXPECT_EQ(reads[k].pageAddress(), writes[k].pageAddress());
    EXPECT_EQ(reads[k].transferLength, row.bytesPerWrite);
  }
  // Every block the area reaches is erased before it is programmed.
  std::vector<uint32_t> erased;
  for (const auto& c : h.Seen(device::kOpEraseFlashBlock))
    erased.push_back(c.pageAddress() - ispOffset);
  EXPECT_EQ(erased, row.erases);
  EXPECT_EQ(h.drive.CountOf(device::kOpController, device::kSubInitFlash), 1u);

  const std::vector<uint8_t> area = ExpectedArea(file);
  if (row.pageSize <= kLargePageThreshold) {
    EXPECT_EQ(flash.Bytes(ispOffset, kIspAreaBytes), area);
  } else {
    for (uint32_t k = 0; k < 16; ++k) {
      std::vector<uint8_t> page(row.pageSize, 0);
      std::memcpy(page.data(), area.data() + size_t{k} * 4096, 4096);
      EXPECT_EQ(flash.Page(ispOffset + k), page) << "page " << k;
    }
  }
  EXPECT_NE(h.LogText().find("ISP Update success \r\n"), std::string::npos);
  EXPECT_EQ(h.link.OpenVolumeCount(), 0u);
  EXPECT_EQ(h.p.Slot(0).capacityRead, 1);
}

INSTANTIATE_TEST_SUITE_P(PageSizes, UpdateSchemeTest,
                         ::testing::Values(SchemeRow{512, 32, 1, 128, 65536, {0, 32, 64, 96}},
                                           SchemeRow{2048, 64, 1, 32, 65536, {0}},
                                           SchemeRow{4096, 64, 1, 16, 65536, {0}},
                                           SchemeRow{8192, 64, 16, 1, 8192, {0}},
                                           SchemeRow{8192, 8, 16, 1, 8192, {0, 8}}));

class UpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h.SetUpSlot(kCtrl162, 2048, 64, 64);
    file = h.WriteImage("US1.BIN", 0x10000);
  }
  std::vector<uint32_t> Pages(uint8_t opcode) {
    std::vector<uint32_t> pages;
    for (const auto& c : h.Seen(opcode)) pages.push_back(c.pageAddress());
    return pages;
  }
  bool SawSuccess() const { return h.view.Saw(kSuccess) || h.view.Saw("Destory ISP Success"); }

  OpsHarness h;
  OpsFlash flash{h.drive, 2048, 64};
  std::vector<uint8_t> file;
};

TEST_F(UpdateTest, ThreeCopiesAreWrittenThenReadBackInCopyOrder) {
  h.AddCopy(0, 64);
  h.AddCopy(1, 320);
  h.AddCopy(2, 640);
  UpdateIspCode(h.p, "C:\\US1.BIN", false);
  EXPECT_EQ(Pages(device::kOpEraseFlashBlock), (std::vector<uint32_t>{64, 320, 640}));
  EXPECT_EQ(Pages(device::kOpWriteFlashPages), (std::vector<uint32_t>{64, 320, 640}));
  EXPECT_EQ(Pages(device::kOpReadFlashPages), (std::vector<uint32_t>{64, 320, 640}));
  // Every write precedes every read.
  size_t lastWrite = 0;
  size_t firstRead = h.drive.seen.size();
  for (size_t i = 0; i < h.drive.seen.size(); ++i) {
    if (h.drive.seen[i].opcode() == device::kOpWriteFlashPages) lastWrite = i;
    if (h.drive.seen[i].opcode() == device::kOpReadFlashPages) firstRead = std::min(firstRead, i);
  }
  EXPECT_LT(lastWrite, firstRead);
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{kSuccess});
}

TEST_F(UpdateTest, IspOffsetIsConvertedToTheDevicePage) {
  // 32 CIS pages per block against 64 device pages: CIS page 40 is block 1, page 8.
  h.p.Slot(0).cisPagesPerBlock = 32;
  h.AddCopy(0, 40);
  UpdateIspCode(h.p, "C:\\US1.BIN", false);
  EXPECT_EQ(Pages(device::kOpWriteFlashPages), std::vector<uint32_t>{72});
  EXPECT_EQ(flash.Bytes(72, kIspAreaBytes), ExpectedArea(file));
}

TEST_F(UpdateTest, WriteFailureOnSecondCopyStopsBeforeTheThirdAndBeforeAnyRead) {
  h.AddCopy(0, 64);
  h.AddCopy(1, 320);
  h.AddCopy(2, 640);
  h.drive.Fail(testing::MatchPage(device::kOpWriteFlashPages, 320));
  UpdateIspCode(h.p, "C:\\US1.BIN", false);
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{"Write ISP code to flash fail"});
  EXPECT_EQ(h.view.boxes[0].style, kMbIconError);
  EXPECT_EQ(flash.Bytes(64, kIspAreaBytes), ExpectedArea(file));
  EXPECT_FALSE(flash.Written(640));
  EXPECT_EQ(h.drive.CountOf(device::kOpReadFlashPages), 0u);
  EXPECT_EQ(h.LogText().find("ISP Update success"), std::string::npos);
  EXPECT_EQ(h.link.OpenVolumeCount(), 0u);
}

TEST_F(UpdateTest, ReadBackFailureAndMismatchAreReportedNotSuccess) {
  h.AddCopy(0, 64);
  h.drive.Fail(testing::MatchOpcode(device::kOpReadFlashPages));
  UpdateIspCode(h.p, "C:\\US1.BIN", false);
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{"Read ISP code from flash fail"});

  h.view.boxes.clear();
  h.drive.On(testing::MatchOpcode(device::kOpReadFlashPages),
             [](const device::Request&, std::span<uint8_t> data) {
               data[49151] ^= 0x01;
               return testing::Good();
             });
  UpdateIspCode(h.p, "C:\\US1.BIN", false);
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{"Update ISP code fail"});
  EXPECT_EQ(h.LogText().find("ISP Update success"), std::string::npos);
}

TEST_F(UpdateTest, FailuresBeforeTheDeviceShowTheirBoxAndSendNothing) {
  h.AddCopy(0, 64);
  UpdateIspCode(h.p, "C:\\MISSING.BIN", false);
  ASSERT_EQ(h.view.boxes.size(), 1u);
  EXPECT_EQ(h.view.boxes[0].text, "The file <C:\\MISSING.BIN> cannot be opened, please check.");
  EXPECT_EQ(h.view.boxes[0].caption, "Fail");
  EXPECT_EQ(h.view.boxes[0].style, 0x40010u);

  h.link.failAllocation = [](size_t size) { return size == kIspAreaBytes; };
  UpdateIspCode(h.p, "C:\\US1.BIN", false);
  EXPECT_EQ(h.view.boxes.back().text, "Can't allocate databuffer...");
  EXPECT_EQ(h.view.boxes.back().caption, "Allocate Fail Warning");
  EXPECT_EQ(h.view.boxes.back().style, 0x30u);
  EXPECT_TRUE(h.drive.seen.empty());
  EXPECT_TRUE(h.volumes.openAttempts.empty());
}

TEST_F(UpdateTest, VolumeThatDoesNotOpenIsReported) {
  h.AddCopy(0, 64);
  h.drive.present = false;
  UpdateIspCode(h.p, "C:\\US1.BIN", false);
  EXPECT_EQ(h.view.BoxTexts(),
            std::vector<std::string>{"Update ISP fail because open handle fail ..."});
  EXPECT_EQ(h.view.boxes[0].caption, "ERROR");
}

TEST_F(UpdateTest, ShortFileIsPaddedWithZerosAndLargeFileUsesOnlyThePayload) {
  h.AddCopy(0, 64);
  std::vector<uint8_t> shortFile = h.WriteImage("SHORT.BIN", 20000);
  UpdateIspCode(h.p, "C:\\SHORT.BIN", false);
  EXPECT_EQ(flash.Bytes(64, kIspAreaBytes), ExpectedArea(shortFile));

  std::vector<uint8_t> bigFile = h.WriteImage("BIG.BIN", 0x20000);
  UpdateIspCode(h.p, "C:\\BIG.BIN", false);
  EXPECT_EQ(flash.Bytes(64, kIspAreaBytes), ExpectedArea(bigFile));
  EXPECT_EQ(h.view.BoxTexts(), (std::vector<std::string>{kSuccess, kSuccess}));
}

TEST_F(UpdateTest, DestroyModeZeroesEveryCopyWithoutAFileOrALogLine) {
  h.AddCopy(0, 64);
  h.AddCopy(1, 320);
  flash.Put(64, std::vector<uint8_t>(kIspAreaBytes, 0x33));
  UpdateIspCode(h.p, "", true);
  EXPECT_EQ(flash.Bytes(64, kIspAreaBytes), std::vector<uint8_t>(kIspAreaBytes, 0));
  EXPECT_EQ(flash.Bytes(320, kIspAreaBytes), std::vector<uint8_t>(kIspAreaBytes, 0));
  ASSERT_EQ(h.view.BoxTexts(), std::vector<std::string>{"Destory ISP Success"});
  EXPECT_EQ(h.view.boxes[0].caption, "Success");
  EXPECT_EQ(h.view.boxes[0].style, 0u);
  EXPECT_EQ(h.LogText(), "Start\r\n");
}

TEST_F(UpdateTest, LargePageReadFailureInDestroyModeIsNotTakenForZeros) {
  h.SetUpSlot(kCtrl162, 8192, 64, 64);
  OpsFlash large(h.drive, 8192, 64);
  h.AddCopy(0, 64);
  // The fifth page fails to read; the buffer still holds the zeros before it.
  h.drive.Fail(testing::MatchPage(device::kOpReadFlashPages, 68));
  UpdateIspCode(h.p, "", true);
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{"Read ISP code from flash fail"});
}

TEST_F(UpdateTest, CopiesWithoutAKnownPlaceAreNeverWrittenAndNeverCalledSuccess) {
  h.AddCopy(0, 64);
  h.AddCopy(1, kUnsetOffset);  // present, but nothing set its offset
  UpdateIspCode(h.p, "C:\\US1.BIN", false);
  EXPECT_EQ(Pages(device::kOpWriteFlashPages), std::vector<uint32_t>{64});
  EXPECT_EQ(Pages(device::kOpEraseFlashBlock), std::vector<uint32_t>{64});
  ASSERT_EQ(h.view.boxes.size(), 1u);
  EXPECT_EQ(h.view.boxes[0].text, FormatText(kIspCopiesSkipped, "1"));
  EXPECT_EQ(h.view.boxes[0].caption, "ERROR");
  EXPECT_EQ(h.LogText().find("ISP Update success"), std::string::npos);
}

TEST_F(UpdateTest, NoUsableCopyOrInvalidGeometryTouchesNothing) {
  // No copy present at all.
  UpdateIspCode(h.p, "C:\\US1.BIN", false);
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{kNoIspCopyKnown});
  // A present copy, but the geometry does not convert.
  h.AddCopy(0, 64);
  h.p.Slot(0).geometryValid = 0;
  UpdateIspCode(h.p, "", true);
  EXPECT_EQ(h.view.boxes.back().text, kNoIspCopyKnown);
  EXPECT_FALSE(SawSuccess());
  EXPECT_TRUE(h.drive.seen.empty());
}

class UnsupportedPageSizeTest : public ::testing::TestWithParam<uint32_t> {};

// Page sizes the 64 KiB buffers cannot carry, or that are no whole number
// of sectors, are refused before the drive is touched, whatever the slot
// claims.
TEST_P(UnsupportedPageSizeTest, IsRefusedBeforeTheDrive) {
  OpsHarness h;
  OpsFlash flash(h.drive, 2048, 64);
  h.SetUpSlot(kCtrl162, GetParam(), 64, 64);
  h.AddCopy(0, 64);
  h.WriteImage("US1.BIN", 0x10000);
  UpdateIspCode(h.p, "C:\\US1.BIN", false);
  UpdateIspCode190(h.p, "C:\\US1.BIN");
  DownloadIsp(h.p, "C:\\B.BIN", 64);
  ASSERT_EQ(h.view.boxes.size(), 3u);
  EXPECT_EQ(h.view.boxes[0].text, FormatText(kPageSizeUnsupported, GetParam()));
  EXPECT_EQ(h.view.boxes[1].text, FormatText(kPageSizeUnsupported, GetParam()));
  EXPECT_EQ(h.view.boxes[2].text, FormatText(kBackupPageSizeUnsupported, "C:\\B.BIN", GetParam()));
  EXPECT_EQ(h.view.boxes[2].caption, "Fail");
  EXPECT_TRUE(h.drive.seen.empty());
  EXPECT_FALSE(h.HostFileExists("B.BIN"));
}

INSTANTIATE_TEST_SUITE_P(Sizes, UnsupportedPageSizeTest,
                         ::testing::Values(0u, 256u, 3000u, 65536u, 131072u, 0xCDCDCDCDu));

}  // namespace
}  // namespace kestrune
