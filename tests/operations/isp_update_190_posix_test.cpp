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

constexpr const char* kReadySuccess =
    "Update ISP code Success, please replug device to ensure it normal.";
constexpr const char* kReplugSuccess = "Update ISP code Success, please replug the device";
constexpr uint32_t kIspPage = 64;
constexpr uint32_t kAuxPage = 256;  // clear of the ISP area at every page size

// Buffer image of one area: `size` file bytes from `offset`, zeros behind.
std::vector<uint8_t> AreaBuffer(const std::vector<uint8_t>& file, uint32_t offset, uint32_t size) {
  std::vector<uint8_t> buffer(kIspAreaBytes, 0);
  for (uint32_t i = 0; i < size && offset + i < file.size(); ++i) buffer[i] = file[offset + i];
  return buffer;
}

struct ChunkRow {
  uint32_t pageSize;
  uint32_t pagesPerCommand;
  uint32_t bytesPerCommand;
};

class Update190SchemeTest : public ::testing::TestWithParam<ChunkRow> {};

TEST_P(Update190SchemeTest, ChunkedPassesWriteBothAreas) {
  const ChunkRow row = GetParam();
  OpsHarness h;
  OpsFlash flash(h.drive, row.pageSize, 64);
  h.SetUpSlot(kCtrl190, row.pageSize, 64, 64);
  h.AddCopy(0, kIspPage, kAuxPage);
  const std::vector<uint8_t> file = h.WriteImage("CUS.BIN", 0x20000);

  UpdateIspCode190(h.p, "C:\\CUS.BIN");

  ASSERT_EQ(h.view.BoxTexts(), std::vector<std::string>{kReadySuccess});
  EXPECT_EQ(h.view.boxes[0].caption, "SUCCESS");
  EXPECT_EQ(h.view.boxes[0].style, kMbOk | kBoxTellsReplug);
  const auto writes = h.Seen(device::kOpWriteFlashPages);
  ASSERT_EQ(writes.size(), 16u);  // twelve ISP chunks, four auxiliary ones
  for (size_t k = 0; k < writes.size(); ++k) {
    const uint32_t base = k < 12 ? kIspPage : kAuxPage;
    const uint32_t chunk = k < 12 ? k : k - 12;
    EXPECT_EQ(writes[k].pageAddress(), base + chunk * row.pagesPerCommand) << k;
    EXPECT_EQ(writes[k].at(7) << 8 | writes[k].at(8), static_cast<int>(row.pagesPerCommand));
    EXPECT_EQ(writes[k].transferLength, row.bytesPerCommand);
  }
  EXPECT_EQ(h.drive.CountOf(device::kOpReadFlashPages), 16u);
  // 48 KiB of 512-byte pages reach a second 64-page block.
  EXPECT_EQ(h.drive.CountOf(device::kOpEraseFlashBlock), row.pageSize == 512 ? 3u : 2u);

  const std::vector<uint8_t> isp = AreaBuffer(file, kIspFileOffset, kIspPayloadBytes);
  const std::vector<uint8_t> aux = AreaBuffer(file, kAuxFileOffset, kAuxAreaBytes);
  if (row.pageSize <= kChunkBytes) {
    EXPECT_EQ(flash.Bytes(kIspPage, kIspPayloadBytes),
              std::vector<uint8_t>(isp.begin(), isp.begin() + kIspPayloadBytes));
    EXPECT_EQ(flash.Bytes(kAuxPage, kAuxAreaBytes),
              std::vector<uint8_t>(aux.begin(), aux.begin() + kAuxAreaBytes));
  } else {
    // Each page carries the pageSize buffer bytes from its chunk on.
    for (uint32_t k = 0; k < 12; ++k) {
      const auto from = isp.begin() + static_cast<ptrdiff_t>(k) * 4096;
      std::vector<uint8_t> page(from, from + row.pageSize);
      EXPECT_EQ(flash.Page(kIspPage + k), page) << "page " << k;
    }
  }
  EXPECT_EQ(h.p.Slot(0).capacityRead, 1);
  EXPECT_EQ(h.link.OpenVolumeCount(), 0u);
  EXPECT_EQ(h.LogText(), "Start\r\n");
}

INSTANTIATE_TEST_SUITE_P(PageSizes, Update190SchemeTest,
                         ::testing::Values(ChunkRow{512, 8, 4096}, ChunkRow{2048, 2, 4096},
                                           ChunkRow{4096, 1, 4096}, ChunkRow{8192, 1, 8192}));

class Update190Test : public ::testing::Test {
 protected:
  void SetUp() override {
    h.SetUpSlot(kCtrl190, 2048, 64, 64);
    file = h.WriteImage("CUS.BIN", 0x20000);
  }
  // Index in the trace of the first command matching, or the trace size.
  size_t FirstAt(uint8_t opcode, uint32_t page) {
    for (size_t i = 0; i < h.drive.seen.size(); ++i) {
      if (h.drive.seen[i].opcode() == opcode && h.drive.seen[i].pageAddress() == page) return i;
    }
    return h.drive.seen.size();
  }
  size_t CodeLoads() { return h.drive.CountOf(device::kOpController, device::kSubPrepareCodeLoad); }

  OpsHarness h;
  OpsFlash flash{h.drive, 2048, 64};
  std::vector<uint8_t> file;
};

TEST_F(Update190Test, PassesRunInTheirOrderThenTheDriveRestarts) {
  h.AddCopy(0, 64, 128);
  h.AddCopy(1, 256, 320);
  UpdateIspCode190(h.p, "C:\\CUS.BIN");
  const size_t ispWrite1 = FirstAt(device::kOpWriteFlashPages, 256);
  const size_t ispRead0 = FirstAt(device::kOpReadFlashPages, 64);
  const size_t ispRead1 = FirstAt(device::kOpReadFlashPages, 256);
  const size_t auxWrite0 = FirstAt(device::kOpWriteFlashPages, 128);
  const size_t auxWrite1 = FirstAt(device::kOpWriteFlashPages, 320);
  const size_t auxRead0 = FirstAt(device::kOpReadFlashPages, 128);
  EXPECT_LT(FirstAt(device::kOpWriteFlashPages, 64), ispWrite1);
  EXPECT_LT(ispWrite1, ispRead0);
  EXPECT_LT(ispRead0, ispRead1);
  EXPECT_LT(ispRead1, auxWrite0);
  EXPECT_LT(auxWrite0, auxWrite1);
  EXPECT_LT(auxWrite1, auxRead0);
  // Working code goes in before InitFlash; the restart loads block 12 and resets.
  ASSERT_EQ(h.drive.seen[0].opcode(), device::kOpController);
  EXPECT_EQ(h.drive.seen[0].at(1), device::kSubPrepareCodeLoad);
  EXPECT_EQ(CodeLoads(), 2u);
  EXPECT_EQ(h.drive.CountOf(device::kOpController, device::kSubResetController), 1u);
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{kReadySuccess});
}

TEST_F(Update190Test, FailedRestartGivesTheSecondTextAndReloadsWorkingCode) {
  h.AddCopy(0, 64, 128);
  h.drive.Fail(testing::MatchCdb({device::kOpController, device::kSubResetController}));
  UpdateIspCode190(h.p, "C:\\CUS.BIN");
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{kReplugSuccess});
  EXPECT_EQ(CodeLoads(), 3u);  // block 5, block 12, block 5 again
  EXPECT_EQ(h.p.Slot(0).capacityRead, 1);
  EXPECT_EQ(h.link.OpenVolumeCount(), 0u);
}

TEST_F(Update190Test, ImageWithoutAuxiliaryCodeWritesAndVerifiesZeros) {
  h.AddCopy(0, 64, 128);
  h.WriteImage("CUS64.BIN", 0x10000);
  flash.Put(128, std::vector<uint8_t>(kAuxAreaBytes, 0x77));
  UpdateIspCode190(h.p, "C:\\CUS64.BIN");
  EXPECT_EQ(flash.Bytes(128, kAuxAreaBytes), std::vector<uint8_t>(kAuxAreaBytes, 0));
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{kReadySuccess});
}

TEST_F(Update190Test, IspMismatchStopsBeforeAnyAuxiliaryArea) {
  h.AddCopy(0, 64, 128);
  h.drive.On(testing::MatchPage(device::kOpReadFlashPages, 70),
             [](const device::Request&, std::span<uint8_t> data) {
               data[0] = 0xEE;
               return testing::Good();
             });
  UpdateIspCode190(h.p, "C:\\CUS.BIN");
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{"Update ISP code fail"});
  EXPECT_EQ(FirstAt(device::kOpEraseFlashBlock, 128), h.drive.seen.size());
  EXPECT_EQ(FirstAt(device::kOpWriteFlashPages, 128), h.drive.seen.size());
  EXPECT_EQ(h.drive.CountOf(device::kOpController, device::kSubResetController), 0u);
  EXPECT_NE(h.p.Slot(0).capacityRead, 1);
}

struct FailureRow {
  const char* name;
  uint8_t opcode;
  uint32_t page;
  const char* text;
};

class Update190FailureTest : public Update190Test,
                             public ::testing::WithParamInterface<FailureRow> {};

TEST_P(Update190FailureTest, ShowsItsBoxAndNoSuccess) {
  const FailureRow row = GetParam();
  h.AddCopy(0, 64, 128);
  h.drive.Fail(testing::MatchPage(row.opcode, row.page));
  UpdateIspCode190(h.p, "C:\\CUS.BIN");
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{row.text});
  EXPECT_EQ(h.view.boxes[0].caption, "ERROR");
  EXPECT_EQ(h.drive.CountOf(device::kOpController, device::kSubResetController), 0u);
  EXPECT_EQ(h.link.OpenVolumeCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, Update190FailureTest,
    ::testing::Values(
        FailureRow{"IspWrite", device::kOpWriteFlashPages, 66, "Write ISP code to flash fail"},
        FailureRow{"IspRead", device::kOpReadFlashPages, 66, "Read ISP code from flash fail"},
        FailureRow{"AuxWrite", device::kOpWriteFlashPages, 130, "Write 190 ISP code to flash fail"},
        FailureRow{"AuxRead", device::kOpReadFlashPages, 130, "Read 190 ISP code from flash fail"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Update190Test, MissingFileAndUnknownAreasAreReported) {
  h.AddCopy(0, 64, 128);
  UpdateIspCode190(h.p, "C:\\NONE.BIN");
  EXPECT_EQ(h.view.BoxTexts(),
            std::vector<std::string>{"The file <C:\\NONE.BIN> cannot be opened, please check."});
  EXPECT_TRUE(h.drive.seen.empty());

  // The auxiliary offset was never set: the ISP area is written, the
  // auxiliary one is not, and the run is not called a success.
  h.view.boxes.clear();
  h.p.Slot(0).cis[0].auxAreaOffset = kUnsetOffset;
  UpdateIspCode190(h.p, "C:\\CUS.BIN");
  EXPECT_EQ(h.view.BoxTexts(), std::vector<std::string>{FormatText(kAuxCopiesSkipped, "0")});
  EXPECT_EQ(h.drive.CountOf(device::kOpWriteFlashPages), 12u);
  EXPECT_NE(h.p.Slot(0).capacityRead, 1);
}

}  // namespace
}  // namespace kestrune
