#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "tests/discovery/harness.h"

namespace kestrune::testing {
namespace {

// A family-A drive with a header page at page 0, so identification runs to the end.
ScriptedDrive& AttachFamilyA(Bench& b, char letter, const std::string& text, PageStore& store) {
  ScriptedDrive& drive = AttachDrive(b.volumes, letter, text);
  drive.Reply(0xF2, ConfigReplyA({}));
  store.pageSize = 2048;
  store.Put(0, MakeHeaderPage({}));
  ServePages(drive, store);
  return drive;
}

TEST(ResetSlot, FillsWithCdKeepsLetterAndClearsFlagsAndTexts) {
  Bench b;
  DriveSlot& slot = b.slot(3);
  slot.letter = 'G';
  slot.hasFlashId = 1;
  slot.ispFound = 1;
  slot.cisCount = 2;
  slot.cis[1].present = 1;
  slot.vendorId[0] = 'X';
  slot.volumeHandle = 7;
  ResetSlot(b.p, 3);

  EXPECT_EQ(Val(slot.letter), 'G');
  EXPECT_EQ(Val(slot.controllerId), 0xCDCD);
  EXPECT_EQ(Val(slot.sectorCount), kNoSectorCount);
  EXPECT_EQ(Val(slot.pageSize), 0xCDCDCDCDu);
  EXPECT_EQ(Val(slot.cis[0].ispOffset), kUnsetOffset);
  EXPECT_EQ(Val(slot.volumeHandle), device::kNoVolume);
  for (uint8_t flag : {slot.hasFlashId, slot.geometryValid, slot.needsCodeInit, slot.ispFound,
                       slot.capacityRead, slot.extraInfoRead, slot.cisCount, slot.cis[0].present,
                       slot.cis[1].present, slot.cis[2].present}) {
    EXPECT_EQ(flag, 0);
  }
  EXPECT_EQ(std::string(slot.vendorId, sizeof slot.vendorId), std::string(9, '\0'));
  EXPECT_EQ(std::string(slot.productId, sizeof slot.productId), std::string(17, '\0'));
  EXPECT_EQ(std::string(slot.inquiryText, sizeof slot.inquiryText), std::string(17, '\0'));
  for (uint8_t byte : b.p.extraInfo[3]) EXPECT_EQ(byte, 0xCD);
}

TEST(CheckDriveExist, TriesCThroughZThenBAndNeverA) {
  Bench b;
  b.volumes.Attach('A');  // present, but never scanned
  EXPECT_EQ(CheckDriveExist(b.p), 0);

  const std::string expected = "CDEFGHIJKLMNOPQRSTUVWXYZB";
  EXPECT_EQ(std::string(b.volumes.openAttempts.begin(), b.volumes.openAttempts.end()), expected);
  std::vector<std::string> lines;
  for (const std::string& line : b.platform.debug) {
    if (line.rfind("CheckDriveExist", 0) == 0) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 25u);
  EXPECT_EQ(lines.front(), "CheckDriveExist : DriverIndex -> 0");
  EXPECT_EQ(lines.back(), "CheckDriveExist : DriverIndex -> 24");
}

TEST(CheckDriveExist, StopsAtTheFirstDriveAndKeepsItInSlotZero) {
  Bench b;
  PageStore e, f;
  AttachFamilyA(b, 'E', HealthyText("UT0"), e);
  AttachFamilyA(b, 'F', HealthyText("UT2"), f);
  b.p.ispOffsets[2] = 77;  // a leftover of an earlier scan

  EXPECT_EQ(CheckDriveExist(b.p), 1);
  EXPECT_EQ(Val(b.slot(0).letter), 'E');
  EXPECT_EQ(Val(b.slot(0).controllerId), kCtrl161);
  EXPECT_TRUE(b.volumes.Find('F')->seen.empty());
  EXPECT_EQ(Val(b.slot(1).controllerId), 0xCDCD);
  EXPECT_EQ(b.p.ispOffsets[2], -1);
  EXPECT_EQ(b.link.OpenVolumeCount(), 0u);
}

TEST(CheckDriveExist, FindsADriveOnBAfterZ) {
  Bench b;
  PageStore store;
  AttachFamilyA(b, 'B', HealthyText("UT0"), store);
  AttachDrive(b.volumes, 'Z', "NOTHING KNOWN HERE");
  EXPECT_EQ(CheckDriveExist(b.p), 1);
  EXPECT_EQ(Val(b.slot(0).letter), 'B');
  EXPECT_TRUE(b.platform.SawDebug("ParseInquiryData FAIL"));
}

// A 0x168 drive reads no flash id; one found after a letter that failed late
// must not inherit that letter's id, which would choose its image.
TEST(CheckDriveExist, EachLetterStartsFromAnEmptySlot) {
  Bench b;
  // C: fails after reading its flash id: its working code loads (from code
  // images put by hand, which the catalogue does not hold) but its flash
  // does not initialise.
  AttachDrive(b.volumes, 'C', HealthyText("Utff U163"), {0x98, 0xD7, 0x95, 0x32, 0x7A});
  for (const char* name : {"\\BAUS.BIN", "\\DAUS.BIN"}) {
    b.platform.File(WorkFolder(b.platform) + name) = std::string(8192, '\x5A');
  }
  PageStore store;
  AttachFamilyA(b, 'D', HealthyText("Qzv"), store);

  EXPECT_EQ(CheckDriveExist(b.p), 1);
  const DriveSlot& slot = b.slot(0);
  EXPECT_EQ(Val(slot.letter), 'D');
  EXPECT_EQ(Val(slot.controllerId), kCtrl168);
  EXPECT_EQ(Val(slot.needsCodeInit), 0);
  for (uint8_t byte : slot.flashId) EXPECT_EQ(byte, 0xCD);
  EXPECT_EQ(Val(slot.hasFlashId), 1);
  EXPECT_EQ(b.volumes.Find('D')->CountOf(0xFD, 0x10), 0u);
  EXPECT_TRUE(b.platform.SawDebug("Init Flash fail "));
}

// A drive whose working code this run cannot load (no code image) is listed
// with what it told without it, sends no flash command, and says why.
TEST(CheckDriveExist, KeepsADriveWhoseCodeCannotBeLoaded) {
  Bench b;
  AttachDrive(b.volumes, 'C', BrokenText("Utff U163"), {0x98, 0xD7, 0x95, 0x32, 0x7A});

  EXPECT_EQ(CheckDriveExist(b.p), 1);
  const DriveSlot& slot = b.slot(0);
  EXPECT_EQ(Val(slot.letter), 'C');
  EXPECT_EQ(Val(slot.controllerId), kCtrl163);
  EXPECT_EQ(Val(slot.geometryValid), 0);
  EXPECT_EQ(slot.flashId[1], 0xD7);
  EXPECT_NE(b.p.codeNotLoaded[0].find("cannot be opened"), std::string::npos)
      << b.p.codeNotLoaded[0];
  // No code load, no flash initialisation, no configuration probe.
  for (const uint8_t sub : {device::kSubPrepareCodeLoad, device::kSubInitFlash}) {
    EXPECT_EQ(b.volumes.Find('C')->CountOf(0xFD, sub), 0u);
  }
  EXPECT_EQ(b.volumes.Find('C')->CountOf(device::kOpReadFlashConfig), 0u);
  EXPECT_EQ(b.p.reports->Snapshot().front().codeNotLoaded, b.p.codeNotLoaded[0]);
}

struct ControllerCase {
  const char* text;
  ControllerId id;
  uint8_t needsCodeInit;
};

class ControllerText : public ::testing::TestWithParam<ControllerCase> {};

TEST_P(ControllerText, FirstMatchingTestDecides) {
  Bench b;
  AttachDrive(b.volumes, 'E', HealthyText(GetParam().text));
  b.Open('E');
  ParseInquiryData(b.p, 0);  // code drives fail later, at the code load
  EXPECT_EQ(Val(b.slot().controllerId), GetParam().id) << GetParam().text;
  EXPECT_EQ(Val(b.slot().needsCodeInit), GetParam().needsCodeInit) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Precedence, ControllerText,
    ::testing::Values(
        ControllerCase{"Qzv UT0", kCtrl168, 0}, ControllerCase{"UT0", kCtrl161, 0},
        ControllerCase{"UT2", kCtrl169, 0}, ControllerCase{"UT0 Utff", kCtrl161, 0},
        ControllerCase{"UT2 U190 Utff", kCtrl169, 0}, ControllerCase{"Utff U163", kCtrl163, 1},
        ControllerCase{"Utff 0163", kCtrl163, 1}, ControllerCase{"Utff U165", kCtrl165, 1},
        ControllerCase{"Utff U190", kCtrl190, 1}, ControllerCase{"Utff 0162", kCtrl162, 1},
        ControllerCase{"Utff U163U190", kCtrl163, 1}, ControllerCase{"Utff U190U162", kCtrl190, 1},
        ControllerCase{"xUTx", kCtrl161, 0},
        // "Utff" alone keeps the reset value and no "UT" test follows.
        ControllerCase{"Utff UT", 0xCDCD, 0}));

TEST(ParseInquiryData, UnknownTextIsNoDrive) {
  Bench b;
  AttachDrive(b.volumes, 'E', "SOMETHING ELSE  1234");
  b.Open('E');
  EXPECT_FALSE(ParseInquiryData(b.p, 0));
  EXPECT_TRUE(b.view.boxes.empty());
}

TEST(ParseInquiryData, FailedInquiryIsNoDrive) {
  Bench b;
  AttachDrive(b.volumes, 'E', HealthyText("UT0")).Fail(0x12);
  b.Open('E');
  EXPECT_FALSE(ParseInquiryData(b.p, 0));
  EXPECT_TRUE(b.view.boxes.empty());
}

TEST(IdentifyDrive, UtffWithoutCodeIsFoundButNotProbed) {
  Bench b;
  ScriptedDrive& drive = AttachDrive(b.volumes, 'E', HealthyText("Utff"));
  b.slot().letter = 'E';
  EXPECT_TRUE(IdentifyDrive(b.p, 0));
  EXPECT_EQ(Val(b.slot().controllerId), 0xCDCD);
  EXPECT_EQ(drive.CountOf(0xF2), 0u);
  EXPECT_TRUE(b.platform.SawDebug("ID = cdcd"));
  EXPECT_EQ(b.link.OpenVolumeCount(), 0u);
}

struct MemoryCase {
  bool readSucceeds;
  uint8_t firstByte;
  ControllerId id;
};

class MemoryTest165 : public ::testing::TestWithParam<MemoryCase> {};

TEST_P(MemoryTest165, MemoryByteBTurnsA165Into162) {
  Bench b;
  ScriptedDrive& drive = AttachDrive(b.volumes, 'E', HealthyText("Utff U165"));
  std::vector<uint8_t> memory(512, 0);
  memory[0] = GetParam().firstByte;
  if (GetParam().readSucceeds) {
    drive.Reply(MatchCdb({0xFD, 0x00, 0x00}), memory);
  } else {
    drive.Fail(MatchCdb({0xFD, 0x00, 0x00}));
  }
  b.Open('E');
  ParseInquiryData(b.p, 0);
  EXPECT_EQ(Val(b.slot().controllerId), GetParam().id);
  EXPECT_EQ(Val(b.slot().needsCodeInit), 1);
  auto reads = drive.SeenWith(0xFD, 0x00);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].cdb,
            (std::vector<uint8_t>{0xFD, 0x00, 0x00, 0x10, 0x64, 0xFF, 0x00, 0x02, 0x00, 0x00}));
  EXPECT_EQ(reads[0].transferLength, 512u);
}

INSTANTIATE_TEST_SUITE_P(Cases, MemoryTest165,
                         ::testing::Values(MemoryCase{true, 'b', kCtrl162},
                                           MemoryCase{true, 'a', kCtrl165},
                                           MemoryCase{true, 'B', kCtrl165},
                                           MemoryCase{false, 'b', kCtrl165}));

// A view that notes the log at the moment a box is shown.
class OrderView : public RecordingView {
 public:
  explicit OrderView(MemoryPlatform& platform) : platform_(platform) {}
  int ShowMessage(const std::string& text, const std::string& caption, unsigned style) override {
    logAtBox = platform_.File(kIspLogPath);
    return RecordingView::ShowMessage(text, caption, style);
  }
  std::string logAtBox;

 private:
  MemoryPlatform& platform_;
};

TEST(IspVerdict, ZerosInCharactersTwelveToFifteenMeanBroken) {
  MemoryPlatform platform;
  ScriptedVolumes volumes;
  device::DeviceLink link(volumes);
  IspLog log(platform);
  OrderView view(platform);
  Program p(platform, link, log, view);
  platform.File(kIspLogPath) = "";
  log.StartLog();
  ResetSlot(p, 0);
  PageStore store;
  ScriptedDrive& drive = AttachDrive(volumes, 'E', BrokenText("UT0"));
  drive.Reply(0xF2, ConfigReplyA({}));
  store.Put(0, MakeHeaderPage({}));
  ServePages(drive, store);
  p.ispHealthy = 1;
  p.Slot(0).letter = 'E';

  EXPECT_TRUE(IdentifyDrive(p, 0));
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].text, "ISP was borken!");
  EXPECT_EQ(view.boxes[0].caption, "Check ISP");
  EXPECT_EQ(view.boxes[0].style, 0u);
  EXPECT_EQ(view.visible[kIdcStatus], false);
  EXPECT_EQ(view.texts[kIdcStatus], "ISP Fail");
  EXPECT_EQ(p.ispHealthy, 0);
  // The log line follows the box.
  EXPECT_EQ(view.logAtBox.find("ISP is borken"), std::string::npos);
  EXPECT_NE(platform.File(kIspLogPath).find("ISP is borken !!! \r\n\r\n"), std::string::npos);
  EXPECT_EQ(Val(p.Slot(0).ispFound), 1);
}

TEST(IspVerdict, OtherCharactersMeanHealthy) {
  Bench b;
  AttachDrive(b.volumes, 'E', HealthyText("UT0"));
  b.Open('E');
  EXPECT_TRUE(ParseInquiryData(b.p, 0));
  ASSERT_EQ(b.view.boxes.size(), 1u);
  EXPECT_EQ(b.view.boxes[0].text, "ISP is OK!");
  EXPECT_EQ(b.view.boxes[0].caption, "Check ISP");
  EXPECT_EQ(b.p.ispHealthy, 1);
  EXPECT_EQ(b.view.visible.count(kIdcStatus), 0u);
  EXPECT_EQ(b.LogText().find("borken"), std::string::npos);
}

// Too short a text cannot show the verdict characters; it is not taken as healthy.
TEST(IspVerdict, ShortTextIsReportedBroken) {
  Bench b;
  AttachDrive(b.volumes, 'E', "UT0 12345");
  b.Open('E');
  b.p.ispHealthy = 1;
  EXPECT_TRUE(ParseInquiryData(b.p, 0));
  EXPECT_TRUE(b.view.Saw("ISP was borken!"));
  EXPECT_EQ(b.p.ispHealthy, 0);
}

TEST(ParseInquiryData, CopiesTextsAndWorksOutTheRevision) {
  Bench b;
  ScriptedDrive& drive = b.volumes.Attach('E');
  std::vector<uint8_t> reply =
      InquiryReply("UT0F56789AB12345EXTRA", "ACME    ", "FLASH DISK 2GB  ");
  drive.Reply(0x12, reply);
  drive.Reply(MatchCdb({0xFD, 0x10}), {0x2C, 0x75, 0, 0, 0});
  b.Open('E');
  ASSERT_TRUE(ParseInquiryData(b.p, 0));
  const DriveSlot& slot = b.slot();
  EXPECT_EQ(Val(slot.revision), 15);  // byte 39 'F'
  EXPECT_STREQ(slot.inquiryText, "UT0F56789AB12345");
  EXPECT_STREQ(slot.vendorId, "ACME    ");
  EXPECT_STREQ(slot.productId, "FLASH DISK 2GB  ");
  EXPECT_EQ(Val(slot.flashId[0]), 0x2C);
  EXPECT_EQ(Val(slot.flashId[1]), 0x75);
  EXPECT_EQ(Val(slot.hasFlashId), 1);
  auto inquiries = drive.SeenWith(0x12);
  ASSERT_EQ(inquiries.size(), 1u);
  EXPECT_EQ(inquiries[0].at(4), 0xB4);
  EXPECT_EQ(inquiries[0].transferLength, 180u);
}

struct RevisionCase {
  const char* text;
  uint8_t revision;
};

class Revision : public ::testing::TestWithParam<RevisionCase> {};

TEST_P(Revision, EightBitArithmetic) {
  Bench b;
  AttachDrive(b.volumes, 'E', GetParam().text);
  b.Open('E');
  ParseInquiryData(b.p, 0);
  EXPECT_EQ(Val(b.slot().revision), GetParam().revision) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Bytes, Revision,
                         ::testing::Values(RevisionCase{"UT07xxxxxxxx1234", 7},
                                           RevisionCase{"UT0Axxxxxxxx1234", 10},
                                           RevisionCase{"UT0 xxxxxxxx1234", 0xF0},
                                           // Code drives take byte 46 minus 'A'.
                                           RevisionCase{"UtffU163xxCx1234", 2},
                                           RevisionCase{"UtffU163xx0x1234", 0xEF}));

TEST(ParseInquiryData, FlashIdOfZerosIsNoFlashId) {
  Bench b;
  AttachDrive(b.volumes, 'E', HealthyText("UT0"), {0, 0, 0x11, 0x22, 0x33});
  b.Open('E');
  ASSERT_TRUE(ParseInquiryData(b.p, 0));
  EXPECT_EQ(Val(b.slot().hasFlashId), 0);
}

TEST(IdentifyDrive, FailedFlashIdReadIsNoDriveAndClosesTheVolume) {
  Bench b;
  AttachDrive(b.volumes, 'E', HealthyText("UT0")).Fail(MatchCdb({0xFD, 0x10}));
  b.slot().letter = 'E';
  EXPECT_FALSE(IdentifyDrive(b.p, 0));
  EXPECT_EQ(b.link.OpenVolumeCount(), 0u);
  EXPECT_EQ(Val(b.slot().volumeHandle), device::kNoVolume);
  EXPECT_TRUE(b.platform.SawDebug("ParseInquiryData FAIL"));
}

TEST(IdentifyDrive, VolumeThatDoesNotOpenIsNoDrive) {
  Bench b;
  b.volumes.Attach('E').present = false;
  b.slot().letter = 'E';
  EXPECT_FALSE(IdentifyDrive(b.p, 0));
  EXPECT_TRUE(b.view.boxes.empty());
}

TEST(IdentifyDrive, FailedCapacityStillFindsTheDrive) {
  Bench b;
  PageStore store;
  AttachFamilyA(b, 'E', HealthyText("UT0"), store).Fail(0x25);
  b.slot().letter = 'E';
  EXPECT_TRUE(IdentifyDrive(b.p, 0));
  EXPECT_EQ(Val(b.slot().capacityRead), 0);
  EXPECT_EQ(Val(b.slot().geometryValid), 1);
}

TEST(IdentifyDrive, FamilyAWithHeaderInBlockOne) {
  Bench b;
  ScriptedDrive& drive = AttachDrive(b.volumes, 'E', HealthyText("UT0"));
  ConfigA config;
  config.pagesPerBlock = 128;
  config.cisPagesPerBlock = 64;
  config.flags = 0x18;
  drive.Reply(0xF2, ConfigReplyA(config));
  PageStore store;
  store.pageSize = 2048;
  HeaderPage bad;
  bad.secondGroupSum = 1;
  store.Put(0, MakeHeaderPage(bad));
  store.Put(128, MakeHeaderPage({}));
  ServePages(drive, store);
  b.slot().letter = 'E';

  ASSERT_TRUE(IdentifyDrive(b.p, 0));
  const DriveSlot& slot = b.slot();
  EXPECT_EQ(Val(slot.modeByte), 0x5A);
  EXPECT_EQ(Val(slot.geometryValid), 1);
  EXPECT_EQ(Val(slot.ispFound), 1);
  EXPECT_EQ(Val(slot.cisCount), 1);
  EXPECT_EQ(Val(slot.activeCis), 0);
  EXPECT_EQ(Val(slot.cis[0].present), 1);
  EXPECT_EQ(Val(slot.cis[0].page), 128u);
  EXPECT_EQ(Val(slot.cis[0].cisPageOffset), 64u);  // block 1 in CIS numbering
  // The ISP area is the block after the header's.
  EXPECT_EQ(Val(slot.cis[0].ispOffset), 128u);
  EXPECT_EQ(Val(slot.cis[0].auxAreaOffset), kUnsetOffset);
  EXPECT_EQ(b.p.cisPageOffsets[0], 64);
  EXPECT_EQ(b.p.ispOffsets[0], 128);
  EXPECT_EQ(b.p.ispOffsets[1], -1);
  EXPECT_TRUE(b.platform.SawDebug("ID = 161"));
  EXPECT_EQ(b.LogText().find("ISP_Offset"), std::string::npos);
}

TEST(IdentifyDrive, FamilyAWithNoHeaderIsFoundWithoutIsp) {
  Bench b;
  ScriptedDrive& drive = AttachDrive(b.volumes, 'E', HealthyText("UT2"));
  drive.Reply(0xF2, ConfigReplyA({}));
  PageStore store;
  ServePages(drive, store);  // all erased
  b.slot().letter = 'E';
  ASSERT_TRUE(IdentifyDrive(b.p, 0));
  EXPECT_EQ(Val(b.slot().ispFound), 0);
  EXPECT_EQ(Val(b.slot().cisCount), 0);
  EXPECT_EQ(b.p.ispOffsets[0], -1);
  EXPECT_EQ(drive.CountOf(0xF8), 2u);
}

// Without a CIS block size there is no block after the header to name.
TEST(IdentifyDrive, FamilyAWithZeroCisBlockLeavesTheIspUnset) {
  Bench b;
  ScriptedDrive& drive = AttachDrive(b.volumes, 'E', HealthyText("UT0"));
  ConfigA config;
  config.cisPagesPerBlock = 0;
  drive.Reply(0xF2, ConfigReplyA(config));
  PageStore store;
  store.Put(0, MakeHeaderPage({}));
  ServePages(drive, store);
  b.slot().letter = 'E';
  ASSERT_TRUE(IdentifyDrive(b.p, 0));
  EXPECT_EQ(Val(b.slot().ispFound), 1);
  EXPECT_EQ(Val(b.slot().cis[0].ispOffset), kUnsetOffset);
  EXPECT_EQ(b.p.ispOffsets[0], -1);
}

TEST(IdentifyDrive, FailedProbeLeavesGeometryInvalid) {
  Bench b;
  ScriptedDrive& drive = AttachDrive(b.volumes, 'E', HealthyText("UT0"));
  drive.Fail(0xF2);
  b.slot().letter = 'E';
  ASSERT_TRUE(IdentifyDrive(b.p, 0));
  EXPECT_EQ(Val(b.slot().geometryValid), 0);
  EXPECT_EQ(drive.CountOf(0xF8), 0u);
}

TEST(PageNumbering, ConvertsBetweenTheTwoNumberings) {
  Bench b;
  DriveSlot& slot = b.slot();
  slot.geometryValid = 1;
  slot.pagesPerBlock = 256;
  slot.cisPagesPerBlock = 128;
  EXPECT_EQ(ToCisPage(b.p, 0, 256 * 3 + 5), 128u * 3 + 5);
  EXPECT_EQ(ToDevicePage(b.p, 0, 128 * 3 + 5), 256u * 3 + 5);
  EXPECT_EQ(ToDevicePage(b.p, 0, ToCisPage(b.p, 0, 256 * 7)), 256u * 7);
}

TEST(PageNumbering, FailsWithoutGeometryOrWithAZeroBlockSize) {
  Bench b;
  DriveSlot& slot = b.slot();
  slot.pagesPerBlock = 64;
  slot.cisPagesPerBlock = 64;
  EXPECT_EQ(ToCisPage(b.p, 0, 10), kInvalidPage);
  EXPECT_EQ(ToDevicePage(b.p, 0, 10), kInvalidPage);
  slot.geometryValid = 1;
  slot.pagesPerBlock = 0;
  EXPECT_EQ(ToCisPage(b.p, 0, 10), kInvalidPage);
  EXPECT_EQ(ToDevicePage(b.p, 0, 10), kInvalidPage);
  slot.pagesPerBlock = 64;
  slot.cisPagesPerBlock = 0;
  EXPECT_EQ(ToCisPage(b.p, 0, 10), kInvalidPage);
  EXPECT_EQ(ToDevicePage(b.p, 0, 10), kInvalidPage);
}

}  // namespace
}  // namespace kestrune::testing
