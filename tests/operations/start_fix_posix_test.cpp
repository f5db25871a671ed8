#include <gtest/gtest.h>

#include <span>

#include "device/commands.h"
#include "images/images.h"
#include "operations/isp_areas.h"
#include "operations/messages.h"
#include "operations/operations.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "tests/support/ops_harness.h"

namespace kestrune {
namespace {

using testing::OpsFlash;
using testing::OpsHarness;

constexpr const char* kConfirm = "Are you sure to update new ISP code ?";
constexpr const char* kSuccess =
    "Update ISP code Success, please replug device to ensure it normal.";

std::vector<uint8_t> Pattern(uint32_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 17 + seed + (i >> 10));
  return bytes;
}

std::string Sha256Hex(const std::vector<uint8_t>& bytes) {
  const std::span<const uint8_t> piece(bytes);
  const auto digest = platform::Sha256({&piece, 1});
  return digest ? platform::HexText(digest->data(), digest->size()) : std::string();
}

std::string Dump(std::vector<uint8_t> page, const std::vector<uint8_t>& spare) {
  page.insert(page.end(), spare.begin(), spare.end());
  return FormatHexDump(static_cast<uint32_t>(page.size()), page.data());
}

// A family-B drive with 2,048-byte pages, 64 device pages per block and 32
// CIS pages per block, so every offset must be converted to be found.
class StartFixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h.SetUpSlot(kCtrl162, 2048, 64, 32);
    h.AddCopy(0, 40);            // device page 72
    h.AddCopy(1, 72);            // device page 136
    h.p.cisPageOffsets[0] = 32;  // device page 64
    h.p.cisPageOffsets[1] = 64;  // device page 128
    h.p.ispOffsets[0] = 40;
    h.p.ispOffsets[1] = 72;
    flash.Put(64, Pattern(2048, 1));
    flash.Put(128, Pattern(2048, 2));
    flash.Put(72, Pattern(kIspPayloadBytes, 3));
    flash.Put(136, Pattern(kIspPayloadBytes, 4));
    image = h.WriteImage("US.BIN", 0x10000);
  }
  size_t Count(const std::string& text) const {
    const std::string log = h.LogText();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }

  OpsHarness h;
  OpsFlash flash{h.drive, 2048, 64};
  std::vector<uint8_t> image;
};

TEST_F(StartFixTest, RepairLogsBacksUpUpdatesAndBacksUpAgain) {
  h.p.ispOffsets[2] = 500;  // left from an earlier search; no copy of this drive
  const std::string path = ChooseUpdateImage(h.p.platform, TraitsOf(h.p.Selected()), kCtrl162);
  OnStartFix(h.p, h.dialog);

  ASSERT_EQ(h.view.BoxTexts(), (std::vector<std::string>{kConfirm, kSuccess}));
  EXPECT_EQ(h.view.boxes[0].caption, "Update ISP Warning");
  EXPECT_EQ(h.view.boxes[0].style, 0x40031u);

  // Backups hold the areas the update overwrote, read at the converted pages.
  EXPECT_EQ(h.HostFile("ISP0_Before.bin"), Pattern(kIspPayloadBytes, 3));
  EXPECT_EQ(h.HostFile("ISP1_Before.bin"), Pattern(kIspPayloadBytes, 4));
  const std::vector<uint8_t> payload(image.begin() + kIspFileOffset, image.end());
  EXPECT_EQ(h.HostFile("ISP0_After.bin"), payload);
  EXPECT_EQ(h.HostFile("ISP1_After.bin"), payload);
  EXPECT_FALSE(h.HostFileExists("ISP2_Before.bin"));

  const std::string expected =
      "Start\r\n"
      "Check Before Update CIS0 -> ok\r\n\r\n" +
      Dump(Pattern(2048, 1), flash.spare) + std::string(79, '-') + "\r\n" +
      "Check Before Update CIS1 -> ok\r\n\r\n" + Dump(Pattern(2048, 2), flash.spare) +
      std::string(79, '-') + "\r\n" + "Update ISP File --> " + path +
      " \r\n\r\n"
      // The image, named before anything is saved: by its digest, the one
      // `kestrune images` and SHA256SUMS give it, and by its chooser row.
      "ISP image: US.BIN, SHA-256 " +
      Sha256Hex(image) +
      " (update, controller 0x162, row 12: flash id byte 2 & 0x0C = 0)\r\n"
      "DownLoad ISP  to file -> C:\\ISP0_Before.bin \r\n\r\n"
      "DownLoad ISP  to file -> C:\\ISP0_Before.bin --->OK\r\n\r\n"
      "DownLoad ISP  to file -> C:\\ISP1_Before.bin \r\n\r\n"
      "DownLoad ISP  to file -> C:\\ISP1_Before.bin --->OK\r\n\r\n"
      "ISP Update success \r\n"
      "DownLoad ISP  to file -> C:\\ISP0_After.bin \r\n\r\n"
      "DownLoad ISP  to file -> C:\\ISP0_After.bin --->OK\r\n\r\n"
      "DownLoad ISP  to file -> C:\\ISP1_After.bin \r\n\r\n"
      "DownLoad ISP  to file -> C:\\ISP1_After.bin --->OK\r\n\r\n";
  EXPECT_EQ(h.LogText(), expected);
  EXPECT_EQ(h.platform.SleptMilliseconds(), 1000u);
  EXPECT_EQ(h.dialog.calls, (std::vector<std::string>{"disable", "enable", "hide status"}));
  EXPECT_EQ(h.link.OpenVolumeCount(), 0u);
  EXPECT_FALSE(h.p.pageBuffer);
}

TEST_F(StartFixTest, WithoutAdministratorRightsNothingHappens) {
  h.p.isAdmin = false;
  OnStartFix(h.p, h.dialog);
  EXPECT_TRUE(h.view.boxes.empty());
  EXPECT_TRUE(h.dialog.calls.empty());
  EXPECT_TRUE(h.drive.seen.empty());
  EXPECT_EQ(h.LogText(), "Start\r\n");
}

TEST_F(StartFixTest, CancelWritesNoBackupAndDoesNotUpdate) {
  h.view.answers.push_back(kIdCancel);
  OnStartFix(h.p, h.dialog);
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{kConfirm});
  EXPECT_FALSE(h.HostFileExists("ISP0_Before.bin"));
  EXPECT_EQ(h.drive.CountOf(device::kOpWriteFlashPages), 0u);
  EXPECT_EQ(h.drive.CountOf(device::kOpEraseFlashBlock), 0u);
  EXPECT_EQ(Count("Update ISP File"), 0u);
  EXPECT_EQ(h.dialog.calls, (std::vector<std::string>{"enable", "hide status"}));
}

TEST_F(StartFixTest, MissingCisCopiesWarnOnceAndAreStillDumped) {
  h.p.Slot(0).cis[0].present = 0;
  h.p.Slot(0).cis[1].present = 0;
  h.view.answers = {kIdOk, kIdCancel};
  OnStartFix(h.p, h.dialog);
  ASSERT_EQ(h.view.BoxTexts(),
            (std::vector<std::string>{"CIS broken ! Maybe can't fix !!!", kConfirm}));
  EXPECT_EQ(h.view.boxes[0].caption, kAppTitle);
  EXPECT_EQ(h.view.boxes[0].style, kMbIconExclamation);
  EXPECT_EQ(Count(" Check Before Update CIS0 -> fail\r\n\r\n"), 1u);
  EXPECT_EQ(Count("\r\nCheck Before Update CIS1 -> fail\r\n\r\n"), 1u);
  EXPECT_EQ(Count(Dump(Pattern(2048, 1), flash.spare)), 1u);
  EXPECT_EQ(Count(Dump(Pattern(2048, 2), flash.spare)), 1u);
}

TEST_F(StartFixTest, OnlySecondCopyPresentGivesNoWarning) {
  h.p.Slot(0).cis[0].present = 0;
  h.view.answers = {kIdCancel};
  OnStartFix(h.p, h.dialog);
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{kConfirm});
  EXPECT_EQ(Count(" Check Before Update CIS0 -> fail\r\n"), 1u);
  EXPECT_EQ(Count("Check Before Update CIS1 -> ok\r\n"), 1u);
}

TEST_F(StartFixTest, PageBufferThatCannotBeHadEndsBeforeAnyRead) {
  h.link.failAllocation = [](size_t size) { return size == kPageBufferSize; };
  OnStartFix(h.p, h.dialog);
  ASSERT_EQ(h.view.BoxTexts(), std::vector<std::string>{"Can't allocate databuffer..."});
  EXPECT_EQ(h.view.boxes[0].caption, "Allocate Fail Warning");
  EXPECT_EQ(h.view.boxes[0].style, 0x30u);
  EXPECT_TRUE(h.drive.seen.empty());
  EXPECT_EQ(h.LogText(),
            "Start\r\nWhy: no command to the drive failed (none was sent for this)\r\n");
  EXPECT_EQ(h.dialog.calls, (std::vector<std::string>{"enable", "hide status"}));
}

TEST_F(StartFixTest, UnconvertiblePagesAreDumpedAsBlankAndNeverBackedUp) {
  h.p.Slot(0).geometryValid = 0;
  OnStartFix(h.p, h.dialog);
  const std::vector<std::string> boxes = h.view.BoxTexts();
  ASSERT_GE(boxes.size(), 3u);
  EXPECT_EQ(boxes[0], "Read physical data fail");
  EXPECT_EQ(boxes[1], "Read physical data fail");
  EXPECT_EQ(boxes[2], kConfirm);
  EXPECT_FALSE(h.view.Saw("Open handle fail"));
  EXPECT_FALSE(h.view.Saw(kSuccess));
  EXPECT_TRUE(h.view.Saw(FormatText(kBackupSkipped, 0, "C:\\ISP0_Before.bin")));
  EXPECT_TRUE(h.view.Saw(FormatText(kBackupSkipped, 1, "C:\\ISP1_After.bin")));
  EXPECT_EQ(Count(Dump(std::vector<uint8_t>(2048, 0xFF), std::vector<uint8_t>(16, 0xFF))), 2u);
  EXPECT_FALSE(h.HostFileExists("ISP0_Before.bin"));
  EXPECT_EQ(h.drive.CountOf(device::kOpWriteFlashPages), 0u);
}

TEST_F(StartFixTest, FailedCisReadShowsItsBoxesAndGoesOn) {
  h.drive.present = false;
  h.view.answers = {kIdOk, kIdOk, kIdOk, kIdOk, kIdCancel};
  OnStartFix(h.p, h.dialog);
  EXPECT_EQ(h.view.BoxTexts(),
            (std::vector<std::string>{"Open handle fail", "Read physical data fail",
                                      "Open handle fail", "Read physical data fail", kConfirm}));
}

// The dialog asks nothing before a 0x190 update, but keeps its areas first.
TEST_F(StartFixTest, Controller190GoesStraightToItsOwnUpdateAfterItsBackups) {
  h.p.Slot(0).controllerId = kCtrl190;
  h.p.Slot(0).cis[0].auxAreaOffset = 96;   // device page 192
  h.p.Slot(0).cis[1].auxAreaOffset = 160;  // device page 320
  h.WriteImage("CUS.BIN", 0x20000);
  OnStartFix(h.p, h.dialog);
  EXPECT_EQ(h.view.BoxTexts(),
            std::vector<std::string>{
                "Update ISP code Success, please replug device to ensure it normal."});
  EXPECT_EQ(h.view.boxes[0].style, kMbOk | kBoxTellsReplug);
  EXPECT_EQ(Count("Check Before Update CIS0 -> ok"), 1u);
  EXPECT_EQ(Count("Update ISP File"), 0u);
  EXPECT_TRUE(h.HostFileExists("ISP0_Before.bin"));
  EXPECT_TRUE(h.HostFileExists("ISP1_AuxBefore.bin"));
  EXPECT_TRUE(h.HostFileExists("ISP1_AuxAfter.bin"));
  EXPECT_EQ(h.dialog.calls, (std::vector<std::string>{"disable", "enable", "hide status"}));
}

}  // namespace
}  // namespace kestrune
