#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "device/commands.h"
#include "operations/isp_areas.h"
#include "operations/messages.h"
#include "operations/operations.h"
#include "tests/support/host_fault_platform.h"
#include "tests/support/ops_harness.h"

namespace kestrune {
namespace {

using testing::OpsFlash;
using testing::OpsHarness;

std::vector<uint8_t> Pattern(uint32_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 9));
  return bytes;
}

struct DownloadRow {
  uint32_t pageSize;
  uint32_t pagesPerRead;
  uint32_t reads;  // both reads of the area
};

class DownloadShapeTest : public ::testing::TestWithParam<DownloadRow> {};

// Up to 4 KiB a page, one read of whole pages; above, each page holds the
// next 4 KiB of code at its start, as the update writes it, and the backup
// takes those 4 KiB of each of twelve pages.
TEST_P(DownloadShapeTest, BothReadsLandTheCodeInTheFile) {
  const DownloadRow row = GetParam();
  OpsHarness h;
  OpsFlash flash(h.drive, row.pageSize, 64);
  h.SetUpSlot(kCtrl162, row.pageSize, 64, 64);
  const std::vector<uint8_t> code = Pattern(kIspPayloadBytes, 3);
  if (row.pageSize <= 4096) {
    flash.Put(192, code);
  } else {
    for (uint32_t k = 0; k < 12; ++k) {
      std::vector<uint8_t> page = Pattern(row.pageSize, static_cast<uint8_t>(k));
      std::copy_n(code.begin() + k * 4096, 4096, page.begin());
      flash.Put(192 + k, page);
    }
  }

  DownloadIsp(h.p, "C:\\ISP0_Before.bin", 192);

  // The area is read twice and written only when both reads agree.
  const auto reads = h.Seen(device::kOpReadFlashPages);
  ASSERT_EQ(reads.size(), row.reads);
  for (uint32_t i = 0; i < row.reads; ++i) {
    const uint32_t step = i % (row.reads / 2);
    EXPECT_EQ(reads[i].pageAddress(), 192u + step * row.pagesPerRead);
    EXPECT_EQ(reads[i].at(7) << 8 | reads[i].at(8), static_cast<int>(row.pagesPerRead));
  }
  EXPECT_EQ(h.HostFile("ISP0_Before.bin"), code);
  EXPECT_TRUE(h.view.boxes.empty());
  EXPECT_EQ(h.LogText(),
            "Start\r\nDownLoad ISP  to file -> C:\\ISP0_Before.bin \r\n\r\n"
            "DownLoad ISP  to file -> C:\\ISP0_Before.bin --->OK\r\n\r\n");
  EXPECT_EQ(h.link.OpenVolumeCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(PageSizes, DownloadShapeTest,
                         ::testing::Values(DownloadRow{512, 96, 2}, DownloadRow{2048, 24, 2},
                                           DownloadRow{4096, 12, 2}, DownloadRow{8192, 1, 24},
                                           DownloadRow{32768, 1, 24}));

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h.SetUpSlot(kCtrl162, 2048, 64, 64);
    flash.Put(64, Pattern(kIspPayloadBytes, 9));
  }
  OpsHarness h;
  OpsFlash flash{h.drive, 2048, 64};
};

TEST_F(DownloadTest, ExistingFileIsReplaced) {
  h.folder.Write("ISP1_After.bin", std::string(100000, 'x'));
  DownloadIsp(h.p, "C:\\ISP1_After.bin", 64);
  EXPECT_EQ(h.HostFile("ISP1_After.bin"), Pattern(kIspPayloadBytes, 9));
}

TEST_F(DownloadTest, ReadFailureLeavesNoFile) {
  h.drive.Fail(testing::MatchOpcode(device::kOpReadFlashPages));
  DownloadIsp(h.p, "C:\\ISP0_Before.bin", 64);
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{"Read ISP code from flash fail"});
  EXPECT_EQ(h.view.boxes[0].style, kMbIconError);
  EXPECT_FALSE(h.HostFileExists("ISP0_Before.bin"));
  EXPECT_EQ(h.LogText().find("--->OK"), std::string::npos);
  EXPECT_EQ(h.link.OpenVolumeCount(), 0u);
}

TEST_F(DownloadTest, OpenAndFileFailuresHaveTheirBoxes) {
  h.drive.present = false;
  DownloadIsp(h.p, "C:\\ISP0_Before.bin", 64);
  EXPECT_EQ(h.view.BoxTexts(),
            std::vector<std::string>{"Download ISP fail because open handle fail ..."});

  h.drive.present = true;
  h.view.boxes.clear();
  // Drive Q: maps to nothing on this host, so the file cannot be made.
  DownloadIsp(h.p, "Q:\\ISP0_Before.bin", 64);
  ASSERT_EQ(h.view.boxes.size(), 1u);
  EXPECT_EQ(h.view.boxes[0].text,
            "The file <Q:\\ISP0_Before.bin> cannot be opened, please check.\n"
            "No such file or directory");
  EXPECT_EQ(h.view.boxes[0].caption, "Fail");
  EXPECT_EQ(h.view.boxes[0].style, 0x40010u);

  h.view.boxes.clear();
  h.link.failAllocation = [](size_t size) { return size == kIspPayloadBytes; };
  DownloadIsp(h.p, "C:\\ISP0_Before.bin", 64);
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{"Can't allocate databuffer..."});
  EXPECT_FALSE(h.HostFileExists("ISP0_Before.bin"));
}

TEST_F(DownloadTest, ShortWriteIsReportedAndLeavesNoFile) {
  testing::HostFaultPlatform shortPlatform(h.platform.options());
  shortPlatform.Arm(testing::HostFault::kShortWrite, "ISP0_Before.bin");
  Program p(shortPlatform, h.link, h.log, h.view);
  p.slots[0] = h.p.slots[0];
  EXPECT_EQ(DownloadIsp(p, "C:\\ISP0_Before.bin", 64), DownloadOutcome::kHostFailed);
  ASSERT_EQ(h.view.boxes.size(), 1u);
  EXPECT_EQ(h.view.boxes[0].text,
            "Fail to write 48k ISP code to <C:\\ISP0_Before.bin>\n"
            "Only 16384 of 49152 bytes were written.");
  EXPECT_EQ(h.view.boxes[0].caption, "Fail");
  EXPECT_EQ(h.view.boxes[0].style, 0x40010u);
  // Neither the name nor a temporary file keeps the short copy.
  for (const auto& entry : std::filesystem::directory_iterator(h.folder.path())) {
    EXPECT_EQ(entry.path().filename(), "ISP.log");
  }
  EXPECT_EQ(h.LogText().find("--->OK"), std::string::npos);
}

class DestroyTest : public ::testing::Test {
 protected:
  OpsHarness h;
  OpsFlash flash{h.drive, 2048, 64};
};

TEST_F(DestroyTest, NothingHappensWithoutAdministratorRights) {
  h.SetUpSlot(kCtrl161, 2048, 64, 64);
  h.AddCopy(0, 64);
  h.p.isAdmin = false;
  OnDestroyIsp(h.p, h.dialog);
  EXPECT_TRUE(h.drive.seen.empty());
  EXPECT_TRUE(h.view.boxes.empty());
  EXPECT_TRUE(h.dialog.calls.empty());
}

// A destroy saves what it overwrites first, as a fix does, and what it
// left after.
constexpr const char* kSavedAroundDestroy =
    "Start\r\nDownLoad ISP  to file -> C:\\ISP0_Before.bin \r\n\r\nDownLoad ISP  to file -> "
    "C:\\ISP0_Before.bin --->OK\r\n\r\nDownLoad ISP  to file -> C:\\ISP0_After.bin \r\n\r\n"
    "DownLoad ISP  to file -> C:\\ISP0_After.bin --->OK\r\n\r\n";

TEST_F(DestroyTest, CodeInitDriveIsZeroedThroughTheUpdate) {
  h.SetUpSlot(kCtrl162, 2048, 64, 64);
  h.p.Slot(0).needsCodeInit = 1;
  h.WriteImage("162.BIN", 0x10000);  // working code for the load before InitFlash
  h.AddCopy(0, 64);
  flash.Put(64, Pattern(kIspAreaBytes, 1));
  OnDestroyIsp(h.p, h.dialog);
  EXPECT_EQ(flash.Bytes(64, kIspAreaBytes), std::vector<uint8_t>(kIspAreaBytes, 0));
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{"Destory ISP Success"});
  // What is destroyed was saved first; then working code is loaded before
  // InitFlash, and no new search follows.
  const auto firstWrite =
      std::find_if(h.drive.seen.begin(), h.drive.seen.end(),
                   [](const auto& cdb) { return cdb.at(0) != device::kOpReadFlashPages; });
  ASSERT_NE(firstWrite, h.drive.seen.end());
  EXPECT_EQ(firstWrite->at(1), device::kSubPrepareCodeLoad);
  EXPECT_TRUE(h.dialog.calls.empty());
  EXPECT_EQ(h.LogText(), kSavedAroundDestroy);
}

TEST_F(DestroyTest, FamilyADriveErasesItsIspBlockSearchesAndIsIdentifiedAgain) {
  h.SetUpSlot(kCtrl161, 2048, 64, 32);
  h.AddCopy(0, 32);  // block 1 in CIS numbering: device page 64
  OnDestroyIsp(h.p, h.dialog);
  const auto erases = h.Seen(device::kOpEraseFlashBlock);
  ASSERT_EQ(erases.size(), 1u);
  EXPECT_EQ(erases[0].pageAddress(), 64u);
  // The CodeMark search read the first page of blocks, found nothing, and the
  // slot was reset and identified again (the fake drive answers no INQUIRY).
  EXPECT_GT(h.drive.CountOf(device::kOpReadFlashPages), 0u);
  EXPECT_GT(h.drive.CountOf(device::kOpInquiry), 0u);
  EXPECT_EQ(h.dialog.calls, std::vector<std::string>{"fill"});
  EXPECT_EQ(h.view.boxes.back().text, "Destory ISP Success");
  EXPECT_EQ(h.view.boxes.back().caption, "Success");
  EXPECT_EQ(h.view.boxes.back().style, 0u);
  EXPECT_EQ(h.LogText(), kSavedAroundDestroy);
}

TEST_F(DestroyTest, UnknownIspPlaceErasesNothingAndClaimsNothing) {
  h.SetUpSlot(kCtrl168, 2048, 64, 64);
  h.AddCopy(0, kUnsetOffset);
  h.p.Slot(0).cis[1].ispOffset = 128;  // stale offset of an absent copy
  OnDestroyIsp(h.p, h.dialog);
  EXPECT_EQ(h.drive.CountOf(device::kOpEraseFlashBlock), 0u);
  EXPECT_EQ(h.view.BoxTexts(),
            (std::vector<std::string>{FormatText(kBackupSkipped, 0, "C:\\ISP0_Before.bin"),
                                      kNothingToDestroy}));
  EXPECT_FALSE(h.view.Saw("Destory ISP Success"));
  EXPECT_EQ(h.link.OpenVolumeCount(), 0u);
}

TEST_F(DestroyTest, FailedEraseAndFailedOpenAreReported) {
  h.SetUpSlot(kCtrl169, 2048, 64, 64);
  h.AddCopy(0, 64);
  h.drive.Fail(testing::MatchOpcode(device::kOpEraseFlashBlock));
  OnDestroyIsp(h.p, h.dialog);
  EXPECT_EQ(h.view.boxes.back().text, FormatText(kDestroyEraseFailed, "0"));
  EXPECT_FALSE(h.view.Saw("Destory ISP Success"));

  h.view.boxes.clear();
  h.drive.present = false;
  OnDestroyIsp(h.p, h.dialog);
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{"Open handle fail"});
}

}  // namespace
}  // namespace kestrune
