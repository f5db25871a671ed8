#include "simulator/virtual_drive.h"

#include <gtest/gtest.h>

#include <cstring>

#include "simulator/drive_description.h"
#include "tests/simulator/sim_commands.h"

namespace kestrune::sim {
namespace {

using namespace cmd;

// The identification rules as the program applies them, written out here so
// that a text the drive derives is judged independently.
uint16_t IdFromText(const std::string& t, bool memoryB) {
  auto has = [&](const char* s) { return t.find(s) != std::string::npos; };
  if (has("Qzv")) return 0x168;
  if (has("UT0")) return 0x161;
  if (has("UT2")) return 0x169;
  if (has("Utff")) {
    if (has("U163") || has("0163")) return 0x163;
    if (has("U165") || has("0165")) return memoryB ? 0x162 : 0x165;
    if (has("U190") || has("0190")) return 0x190;
    if (has("U162") || has("0162")) return 0x162;
  }
  if (has("UT")) return 0x161;
  return 0;
}

DriveDescription FamilyA(uint16_t id = 0x161) {
  DriveDescription d;
  d.controllerId = id;
  d.revision = 2;
  d.pageSize = 2048;
  d.pagesPerBlock = 64;
  d.blocksPerZone = 64;
  d.zoneCount = 1;
  d.headerPages = {HeaderPage{}};
  return d;
}

std::unique_ptr<VirtualDrive> Make(const DriveDescription& d) {
  std::string error;
  auto drive = VirtualDrive::FromDescription(d, &error);
  EXPECT_TRUE(drive) << error;
  return drive;
}

// --- identification ---------------------------------------------------

struct TextCase {
  uint16_t controller;
  uint8_t revision;
  bool memoryB;  // 'b' at controller memory 0x1064
  uint16_t expected;
};

class IdentificationText : public ::testing::TestWithParam<TextCase> {};

TEST_P(IdentificationText, SelectsTheControllerAndCarriesRevisionAndVerdict) {
  const TextCase& c = GetParam();
  for (bool healthy : {false, true}) {
    DriveDescription d = DefaultDescription();
    d.controllerId = c.controller;
    d.revision = c.revision;
    d.ispHealthy = healthy;
    d.ispContent.reset();
    if (d.FamilyA()) {
      d.codeMarks.clear();
      d.headerPages = {HeaderPage{}};
    }
    if (c.memoryB) d.memory = {{0x1064, {'b'}}};
    auto drive = Make(d);
    const Reply inquiry = Inquiry(*drive);
    ASSERT_TRUE(inquiry.ok());
    const std::string text = TextOf(inquiry);
    ASSERT_GE(text.size(), 16u) << text;
    EXPECT_EQ(IdFromText(text, drive->ReadMemory(0x1064, 1)[0] == 'b'), c.expected) << text;
    EXPECT_EQ(text.substr(12, 4) == "0000", !healthy) << text;
    EXPECT_EQ(drive->IspHealthy(), healthy);
    const uint8_t* q = inquiry.data.data();
    if (d.FamilyA()) {
      const uint8_t b39 = q[39];
      EXPECT_EQ(b39 <= '9' ? b39 - '0' : b39 - 0x37, c.revision) << text;
    } else {
      EXPECT_EQ(q[46] - 'A', c.revision) << text;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, IdentificationText,
    ::testing::Values(TextCase{0x161, 2, false, 0x161}, TextCase{0x161, 11, false, 0x161},
                      TextCase{0x168, 3, false, 0x168}, TextCase{0x169, 5, false, 0x169},
                      TextCase{0x163, 2, false, 0x163}, TextCase{0x163, 1, false, 0x163},
                      TextCase{0x165, 2, false, 0x165}, TextCase{0x165, 2, true, 0x162},
                      TextCase{0x162, 2, false, 0x162}, TextCase{0x190, 2, false, 0x190}));

TEST(Inquiry, StandardLayoutAndAllocationLength) {
  DriveDescription d = DefaultDescription();
  d.vendor = "ACME";
  d.product = "Stick";
  auto drive = Make(d);
  const Reply r = Inquiry(*drive);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r.data[8]), 8), "ACME    ");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r.data[16]), 16), "Stick           ");
  // An allocation length of 36 stops before the identification text.
  const Reply shortReply = In(*drive, {0x12, 0, 0, 0, 36, 0}, 180, 0xEE);
  ASSERT_TRUE(shortReply.ok());
  EXPECT_EQ(shortReply.data[36], 0);
  // A given text is answered verbatim, whatever the verdict.
  d.inquiryText = "Utff";
  auto plain = Make(d);
  EXPECT_EQ(TextOf(Inquiry(*plain)), "Utff");
}

// A reply shorter than the transfer counts the rest as residual; a command
// turned down moves nothing and names its reason in fixed-format sense.
struct ReplyCase {
  const char* name;
  std::vector<uint8_t> cdb;
  uint32_t length;
  uint32_t residual;
  uint8_t asc;  // 0: the command succeeds
};

class ReplyLength : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyLength, ResidualAndSense) {
  const ReplyCase& c = GetParam();
  auto drive = Make(DefaultDescription());
  const Reply r = In(*drive, c.cdb, c.length);
  EXPECT_EQ(r.result.residual, c.residual);
  if (c.asc == 0) {
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.result.senseLength, 0);
    return;
  }
  ASSERT_TRUE(r.check());
  ASSERT_EQ(r.result.senseLength, 18);
  EXPECT_EQ(r.result.sense[0], 0x70);
  EXPECT_EQ(r.result.sense[2], 0x05);  // ILLEGAL REQUEST
  EXPECT_EQ(r.result.sense[12], c.asc);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyLength,
    ::testing::Values(ReplyCase{"WholeInquiry", {0x12, 0, 0, 0, 180, 0}, 180, 0, 0},
                      ReplyCase{"InquiryCutByAllocation", {0x12, 0, 0, 0, 36, 0}, 180, 144, 0},
                      ReplyCase{"ModeByteAskedForFour", {0xF3, 0, 0, 0, 0, 0}, 4, 3, 0},
                      ReplyCase{"UnknownOpcode", {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512, 512, 0x20},
                      ReplyCase{"UnknownSubCode", {0xFD, 0x42, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, 0x24},
                      ReplyCase{"FlashReadWithoutCode", PageCdb(0xF8, 0x02, 0, 1), 2048, 2048,
                                0x24}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Capacity, ModeByteFlashIdAndConfigAnswerFromTheDescription) {
  DriveDescription d = FamilyA(0x169);
  d.modeByte = 0x5C;
  d.flashId = {0x98, 0xDC, 0x90, 0x26, 0x76};
  d.lastLba = 0x00123456;
  d.blockLength = 512;
  d.cfgFlags = 0x18;
  d.usableBlocksPerZone = 60;
  auto drive = Make(d);
  const Reply cap = Capacity(*drive);
  ASSERT_TRUE(cap.ok());
  EXPECT_EQ(bytes::LoadBe32(&cap.data[0]), 0x00123456u);
  EXPECT_EQ(bytes::LoadBe16(&cap.data[6]), 512);
  EXPECT_EQ(ModeByte(*drive).data[0], 0x5C);
  EXPECT_EQ(FlashId(*drive).data, (std::vector<uint8_t>{0x98, 0xDC, 0x90, 0x26, 0x76}));
  const Reply cfg = Config(*drive, 12);
  ASSERT_TRUE(cfg.ok());
  EXPECT_EQ(cfg.data[1], 0x18);
  EXPECT_EQ(cfg.data[2], 64);  // CIS pages per block
  EXPECT_EQ(bytes::LoadBe16(&cfg.data[3]), 64);
  EXPECT_EQ(cfg.data[5], 1);
  EXPECT_EQ(cfg.data[6], 1);
  EXPECT_EQ(bytes::LoadBe16(&cfg.data[7]), 64);
  EXPECT_EQ(bytes::LoadBe16(&cfg.data[9]), 60);
}

TEST(Config, FamilyBRecordHasEveryField) {
  DriveDescription d = DefaultDescription();
  d.flashType = 0x37;
  d.cfgFlags = 0x40;
  d.cisPagesPerBlock = 0x0120;
  d.cisPagesPerBlockByte = 0x80;
  d.channelCount = 2;
  d.optionFlags = 0x11;
  d.pageSize = 4096;
  d.pagesPerBlock = 128;
  d.blocksPerZone = 512;
  d.zoneCount = 2;
  d.ceCount = 2;
  d.usableBlocksPerZone = 500;
  d.codeMarks = {CodeMarkCopy{}};
  d.codeMarks[0].block = 1;
  auto drive = Make(d);
  ASSERT_TRUE(StartWorkingCode(*drive));
  const Reply cfg = Config(*drive, 34);
  ASSERT_TRUE(cfg.ok());
  const auto& c = cfg.data;
  EXPECT_EQ(c[0], 0x37);
  EXPECT_EQ(c[1], 0x40);
  EXPECT_EQ(c[2], 0x80);
  EXPECT_EQ(bytes::LoadBe16(&c[3]), 512);
  EXPECT_EQ(c[5], 2);
  EXPECT_EQ(c[6], 2);
  EXPECT_EQ(bytes::LoadBe16(&c[7]), 128);
  EXPECT_EQ(bytes::LoadBe16(&c[9]), 500);
  EXPECT_EQ(bytes::LoadBe16(&c[12]), 0x0120);
  EXPECT_EQ(c[21], 2);
  EXPECT_EQ(bytes::LoadBe16(&c[22]), 4096);
  EXPECT_EQ(c[31], 0x11);
}

// --- NAND semantics -----------------------------------------------------

class Nand : public ::testing::Test {
 protected:
  void SetUp() override { drive = Make(FamilyA()); }
  std::vector<uint8_t> Pattern(uint32_t pages, uint8_t seed) {
    std::vector<uint8_t> p(pages * 2048);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 13 + seed);
    return p;
  }
  std::unique_ptr<VirtualDrive> drive;
};

TEST_F(Nand, ErasedPagesReadFFAndWritesReadBack) {
  const Reply erased = ReadPages(*drive, 640, 2, 4096);
  ASSERT_TRUE(erased.ok());
  EXPECT_EQ(erased.data, std::vector<uint8_t>(4096, 0xFF));
  const auto data = Pattern(3, 1);
  ASSERT_TRUE(WritePages(*drive, 640, 3, data).ok());
  EXPECT_EQ(ReadPages(*drive, 640, 3, data.size()).data, data);
  // Spare bytes are not touched by a data write.
  EXPECT_EQ(ReadSpare(*drive, 641).data, std::vector<uint8_t>(16, 0xFF));
}

TEST_F(Nand, ProgramWithoutEraseAndsTheBits) {
  std::vector<uint8_t> first(2048, 0xF0);
  std::vector<uint8_t> second(2048, 0x3C);
  ASSERT_TRUE(WritePages(*drive, 700, 1, first).ok());
  ASSERT_TRUE(WritePages(*drive, 700, 1, second).ok());
  EXPECT_EQ(ReadPages(*drive, 700, 1, 2048).data, std::vector<uint8_t>(2048, 0x30));
}

TEST_F(Nand, EraseClearsTheWholeBlockAndOnlyIt) {
  const uint32_t block = 10 * 64;
  ASSERT_TRUE(WritePages(*drive, block, 1, Pattern(1, 2)).ok());
  ASSERT_TRUE(WritePages(*drive, block + 63, 1, Pattern(1, 3)).ok());
  ASSERT_TRUE(WritePages(*drive, block + 64, 1, Pattern(1, 4)).ok());
  ASSERT_TRUE(Erase(*drive, block).ok());
  EXPECT_EQ(ReadPages(*drive, block, 1, 2048).data, std::vector<uint8_t>(2048, 0xFF));
  EXPECT_EQ(ReadPages(*drive, block + 63, 1, 2048).data, std::vector<uint8_t>(2048, 0xFF));
  EXPECT_EQ(ReadPages(*drive, block + 64, 1, 2048).data, Pattern(1, 4));
  // After the erase a write lands exactly.
  ASSERT_TRUE(WritePages(*drive, block, 1, Pattern(1, 5)).ok());
  EXPECT_EQ(ReadPages(*drive, block, 1, 2048).data, Pattern(1, 5));
}

TEST_F(Nand, BadAddressesLengthsAndOpcodesGiveCheckCondition) {
  const uint32_t pages = drive->PageCount();
  EXPECT_TRUE(Erase(*drive, 65).check());     // not the first page of a block
  EXPECT_TRUE(Erase(*drive, pages).check());  // past the end
  EXPECT_TRUE(ReadPages(*drive, pages - 1, 2, 4096).check());
  EXPECT_TRUE(ReadPages(*drive, 0xFFFFFFFF, 1, 2048).check());
  EXPECT_TRUE(ReadPages(*drive, 0, 2, 2048).check());  // length is not count * pageSize
  EXPECT_TRUE(ReadPages(*drive, 0, 0, 0).check());
  EXPECT_TRUE(WritePages(*drive, 0, 1, std::vector<uint8_t>(1024)).check());
  EXPECT_TRUE(ReadSpare(*drive, pages).check());
  EXPECT_TRUE(In(*drive, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512).check());
  EXPECT_TRUE(In(*drive, {0xFD, 0x42, 0, 0, 0, 0, 0, 0, 0, 0}, 0).check());
  EXPECT_TRUE(In(*drive, {0x25, 0, 0, 0, 0, 0}, 8).check());  // wrong CDB length
  // A transfer far beyond any command is refused before anything is written,
  // even when its pages exist and its length matches them.
  auto big = Make(DefaultDescription());
  ASSERT_TRUE(StartWorkingCode(*big));
  std::vector<uint8_t> small(16, 0x42);
  std::vector<uint8_t> cdb = PageCdb(0xF8, 0x02, 0, 0x3000);
  device::Request huge{cdb.data(), 10, device::Carrier::kIn, 0x3000u * 2048, 200, small.data()};
  EXPECT_EQ(big->Execute(huge).outcome, device::Outcome::kScsiStatus);
  EXPECT_EQ(small, std::vector<uint8_t>(16, 0x42));
  // A write command on the data-in carrier is refused as malformed.
  EXPECT_TRUE(In(*drive, PageCdb(0xFA, 0, 0, 1), 2048).check());
}

TEST_F(Nand, FailedShortReadLeavesTheBufferUntouched) {
  const Reply r = In(*drive, {0xFD, 0x00, 0x00, 0xFF, 0xF0, 0xFF, 0x00, 0x00, 0x20, 0}, 32, 0x77);
  EXPECT_TRUE(r.check());  // runs past the 64 KiB of controller memory
  EXPECT_EQ(r.data, std::vector<uint8_t>(32, 0x77));
}

// --- code gate ------------------------------------------------------------

class CodeGate : public ::testing::Test {
 protected:
  void SetUp() override { drive = Make(DefaultDescription()); }
  std::unique_ptr<VirtualDrive> drive;
};

TEST_F(CodeGate, FlashCommandsNeedWorkingCode) {
  EXPECT_TRUE(ReadPages(*drive, 0, 1, 2048).check());
  EXPECT_TRUE(Config(*drive, 34).check());
  EXPECT_TRUE(ReadSpare(*drive, 0).check());
  EXPECT_TRUE(Erase(*drive, 64 * 40).check());
  EXPECT_TRUE(WritePages(*drive, 64 * 40, 1, std::vector<uint8_t>(2048)).check());
  // What identification reads before loading code still answers.
  EXPECT_TRUE(Inquiry(*drive).ok());
  EXPECT_TRUE(Capacity(*drive).ok());
  EXPECT_TRUE(FlashId(*drive).ok());
  EXPECT_TRUE(ReadMemory(*drive, 0x1064, 512).ok());
  ASSERT_TRUE(StartWorkingCode(*drive));
  EXPECT_TRUE(drive->FlashReady());
  EXPECT_TRUE(ReadPages(*drive, 0, 1, 2048).ok());
  EXPECT_TRUE(Config(*drive, 34).ok());
}

TEST_F(CodeGate, InitFlashRefusesMissingWrongOrDamagedCode) {
  EXPECT_TRUE(InitFlash(*drive, 0).check());  // nothing loaded
  ASSERT_TRUE(LoadCode(*drive, MakeCodeBlock(12, "CAUS.BIN")));
  EXPECT_TRUE(InitFlash(*drive, 0).check());  // block 12 is not working code
  ASSERT_TRUE(LoadCode(*drive, MakeCodeBlock(5, "BAUS.BIN")));
  EXPECT_TRUE(InitFlash(*drive, 0).check());  // another image's code
  auto damaged = MakeCodeBlock(5, "CAUS.BIN");
  damaged[2000] ^= 1;
  ASSERT_TRUE(LoadCode(*drive, damaged));
  EXPECT_TRUE(InitFlash(*drive, 0).check());
  EXPECT_TRUE(ReadPages(*drive, 0, 1, 2048).check());
  // The name compares without regard to case.
  ASSERT_TRUE(LoadCode(*drive, MakeCodeBlock(5, "caus.bin")));
  EXPECT_TRUE(InitFlash(*drive, 0).ok());
  EXPECT_TRUE(ReadPages(*drive, 0, 1, 2048).ok());
}

TEST_F(CodeGate, SpareReadUnderBlock12AndFlashAfterReloadingBlock5) {
  // The Start Fix page check: block 12, spare read, block 5, then reads and
  // writes without a new InitFlash.
  ASSERT_TRUE(StartWorkingCode(*drive));
  ASSERT_TRUE(LoadCode(*drive, MakeCodeBlock(12, "CAUS.BIN")));
  EXPECT_TRUE(ReadSpare(*drive, 128).ok());
  ASSERT_TRUE(LoadCode(*drive, MakeCodeBlock(5, "CAUS.BIN")));
  EXPECT_TRUE(ReadPages(*drive, 128, 1, 2048).ok());
  // Overwriting the code with garbage stops the flash.
  ASSERT_TRUE(LoadCode(*drive, std::vector<uint8_t>(4096, 0x00)));
  EXPECT_TRUE(ReadPages(*drive, 128, 1, 2048).check());
}

TEST_F(CodeGate, MemoryReadsAndWritesStayInside64KiB) {
  std::vector<uint8_t> data(512);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(WriteMemory(*drive, 0x2000, data).ok());
  EXPECT_EQ(ReadMemory(*drive, 0x2000, 512).data, data);
  EXPECT_TRUE(WriteMemory(*drive, 0xFF00, data).check());
  EXPECT_TRUE(In(*drive, {0xFD, 0x00, 0x00, 0x10, 0x64, 0xFF, 0x01, 0x02, 0x00, 0}, 512).check());
  // The transfer must carry the length named in the CDB.
  EXPECT_TRUE(In(*drive, {0xFD, 0x00, 0x00, 0x10, 0x64, 0xFF, 0x00, 0x02, 0x00, 0}, 256).check());
}

TEST(CodeGateFamilyA, NeedsNoCode) {
  auto drive = Make(FamilyA(0x168));
  EXPECT_TRUE(ReadPages(*drive, 0, 1, 2048).ok());
  EXPECT_TRUE(Config(*drive, 12).ok());
  EXPECT_TRUE(InitFlash(*drive, 4).ok());
}

// --- re-enumeration and verdict --------------------------------------------

TEST(Reenumeration, Block12ResetMakesTheDriveNotReadyThenRecomputesTheVerdict) {
  DriveDescription d = DefaultDescription();
  d.notReadyPolls = 3;
  auto drive = Make(d);
  ASSERT_FALSE(drive->IspHealthy());
  ASSERT_TRUE(StartWorkingCode(*drive));
  // Repair both copies the way an update does.
  std::vector<uint8_t> area(65536, 0);
  const auto payload = MakeIspPayload("US.BIN");
  std::copy(payload.begin(), payload.end(), area.begin());
  const auto areas = drive->IspAreaPages();
  ASSERT_EQ(areas.size(), 2u);
  for (uint32_t page : areas) {
    ASSERT_TRUE(Erase(*drive, page).ok());
    ASSERT_TRUE(WritePages(*drive, page, 32, area).ok());
  }
  EXPECT_TRUE(drive->FlashIspHealthy());
  // Writes alone do not change what INQUIRY says.
  EXPECT_EQ(TextOf(Inquiry(*drive)).substr(12, 4), "0000");

  // A reset without code block 12 is refused and changes nothing.
  EXPECT_TRUE(Reset(*drive).check());
  EXPECT_TRUE(drive->FlashReady());

  ASSERT_TRUE(LoadCode(*drive, MakeCodeBlock(12, "CAUS.BIN")));
  ASSERT_TRUE(Reset(*drive).ok());
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(Capacity(*drive).check()) << i;
  EXPECT_TRUE(Capacity(*drive).ok());
  EXPECT_TRUE(drive->IspHealthy());
  EXPECT_EQ(TextOf(Inquiry(*drive)).substr(12, 4), "1100");
  // The working code is gone and must be loaded again.
  EXPECT_FALSE(drive->FlashReady());
  EXPECT_TRUE(ReadPages(*drive, 0, 1, 2048).check());
  ASSERT_TRUE(StartWorkingCode(*drive));
  EXPECT_TRUE(ReadPages(*drive, 0, 1, 2048).ok());
}

TEST(Reenumeration, AnAreaDestroyedBeforeTheResetTurnsTheVerdictBroken) {
  DriveDescription d = DefaultDescription();
  d.ispHealthy = true;
  d.ispContent.reset();
  auto drive = Make(d);
  ASSERT_TRUE(drive->IspHealthy());
  ASSERT_TRUE(StartWorkingCode(*drive));
  const uint32_t second = drive->IspAreaPages().at(1);
  ASSERT_TRUE(Erase(*drive, second).ok());
  ASSERT_TRUE(WritePages(*drive, second, 32, std::vector<uint8_t>(65536, 0)).ok());
  EXPECT_TRUE(drive->IspHealthy());
  ASSERT_TRUE(LoadCode(*drive, MakeCodeBlock(12, "CAUS.BIN")));
  ASSERT_TRUE(Reset(*drive).ok());
  EXPECT_FALSE(drive->IspHealthy());
  EXPECT_EQ(TextOf(Inquiry(*drive)).substr(12, 4), "0000");
}

struct ContentCase {
  IspContent content;
  bool healthy;
};
class InitialContent : public ::testing::TestWithParam<ContentCase> {};

TEST_P(InitialContent, DecidesThePowerOnVerdict) {
  DriveDescription d = DefaultDescription();
  d.ispContent = GetParam().content;
  EXPECT_EQ(Make(d)->IspHealthy(), GetParam().healthy);
  // A single bad copy among good ones is enough for a broken verdict.
  d.ispContent = IspContent::kValid;
  d.codeMarks[1].content = GetParam().content;
  EXPECT_EQ(Make(d)->IspHealthy(), GetParam().healthy);
}

INSTANTIATE_TEST_SUITE_P(Contents, InitialContent,
                         ::testing::Values(ContentCase{IspContent::kValid, true},
                                           ContentCase{IspContent::kCorrupt, false},
                                           ContentCase{IspContent::kZeros, false},
                                           ContentCase{IspContent::kGarbage, false},
                                           ContentCase{IspContent::kErased, false}));

TEST(Verdict, LargePagesCarry4KiBOfPayloadEach) {
  DriveDescription d = DefaultDescription();
  d.pageSize = 8192;
  d.pagesPerBlock = 64;
  d.cisPagesPerBlock = 64;
  d.ispContent = IspContent::kZeros;
  auto drive = Make(d);
  ASSERT_TRUE(StartWorkingCode(*drive));
  const auto payload = MakeIspPayload("US.BIN");
  for (uint32_t page : drive->IspAreaPages()) {
    ASSERT_TRUE(Erase(*drive, page).ok());
    for (uint32_t k = 0; k < 16; ++k) {
      std::vector<uint8_t> one(8192, 0);
      if (k < 12) std::copy_n(payload.begin() + k * 4096, 4096, one.begin());
      ASSERT_TRUE(WritePages(*drive, page + k, 1, one).ok());
    }
  }
  drive->PowerCycle();
  EXPECT_TRUE(drive->IspHealthy());
}

TEST(Verdict, FamilyAIspLiesInTheBlockAfterTheAcceptedHeader) {
  DriveDescription d = FamilyA();
  d.ispHealthy = true;
  HeaderPage rejected;
  rejected.secondGroupSum = 1;
  HeaderPage accepted;
  accepted.block = 1;
  d.headerPages = {rejected, accepted};
  auto drive = Make(d);
  EXPECT_TRUE(drive->IspHealthy());
  EXPECT_EQ(drive->IspAreaPages(), std::vector<uint32_t>{128});
  // Without any accepted header there is no ISP to boot from.
  d.headerPages = {rejected};
  EXPECT_FALSE(Make(d)->IspHealthy());
}

}  // namespace
}  // namespace kestrune::sim
