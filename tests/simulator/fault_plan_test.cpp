#include "simulator/fault_plan.h"

#include <gtest/gtest.h>

#include "simulator/virtual_drive.h"
#include "tests/simulator/sim_commands.h"

namespace kestrune::sim {
namespace {

using namespace cmd;

DriveDescription Simple() {
  DriveDescription d;
  d.controllerId = 0x161;
  d.pageSize = 2048;
  d.pagesPerBlock = 64;
  d.blocksPerZone = 64;
  d.headerPages = {HeaderPage{}};
  return d;
}

std::unique_ptr<VirtualDrive> Make(const DriveDescription& d) {
  std::string error;
  auto drive = VirtualDrive::FromDescription(d, &error);
  EXPECT_TRUE(drive) << error;
  return drive;
}

TEST(FaultPlan, NthCommandOfAnOpcodeFailsOnceOrFromThenOn) {
  DriveDescription d = Simple();
  FaultRule second;
  second.opcode = 0xF8;
  second.nth = 2;
  d.faults = {second};
  auto drive = Make(d);
  EXPECT_TRUE(ReadPages(*drive, 0, 1, 2048).ok());
  EXPECT_TRUE(Inquiry(*drive).ok());  // other opcodes do not count
  EXPECT_TRUE(ReadPages(*drive, 0, 1, 2048).check());
  EXPECT_TRUE(ReadPages(*drive, 0, 1, 2048).ok());

  FaultRule every;
  every.opcode = 0xFD;
  every.sub = 0x10;
  every.nth = 1;
  every.repeat = true;
  every.action = FaultAction::kRefuse;
  drive->AddFault(every);
  EXPECT_TRUE(FlashId(*drive).refused());
  EXPECT_TRUE(FlashId(*drive).refused());
  EXPECT_TRUE(ReadMemory(*drive, 0, 16).ok());  // same opcode, other sub-code
  drive->ClearFaults();
  EXPECT_TRUE(FlashId(*drive).ok());
}

TEST(FaultPlan, KthCommandOverall) {
  auto drive = Make(Simple());
  FaultRule third;
  third.overall = 3;
  drive->AddFault(third);
  EXPECT_TRUE(Inquiry(*drive).ok());
  EXPECT_TRUE(Capacity(*drive).ok());
  EXPECT_TRUE(ModeByte(*drive).check());
  EXPECT_TRUE(ModeByte(*drive).ok());
  EXPECT_EQ(drive->CommandCount(), 4u);
}

TEST(FaultPlan, FailedCommandsDoNothing) {
  auto drive = Make(Simple());
  std::vector<uint8_t> data(2048, 0x12);
  FaultRule write;
  write.opcode = 0xFA;
  write.action = FaultAction::kCheckCondition;
  drive->AddFault(write);
  EXPECT_TRUE(WritePages(*drive, 640, 1, data).check());
  EXPECT_EQ(ReadPages(*drive, 640, 1, 2048).data, std::vector<uint8_t>(2048, 0xFF));
  // A refused short read leaves the caller's buffer as it was.
  FaultRule cap;
  cap.opcode = 0x25;
  cap.action = FaultAction::kRefuse;
  drive->AddFault(cap);
  const Reply r = In(*drive, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, 0x33);
  EXPECT_TRUE(r.refused());
  EXPECT_EQ(r.data, std::vector<uint8_t>(8, 0x33));
}

TEST(FaultPlan, CorruptReadChangesExactlyOneByte) {
  auto drive = Make(Simple());
  const auto clean = ReadPages(*drive, 0, 1, 2048).data;
  FaultRule corrupt;
  corrupt.opcode = 0xF8;
  corrupt.action = FaultAction::kCorrupt;
  corrupt.byteOffset = 2048 + 100;  // taken modulo the length
  drive->AddFault(corrupt);
  const Reply bad = ReadPages(*drive, 0, 1, 2048);
  ASSERT_TRUE(bad.ok());
  int differences = 0;
  for (size_t i = 0; i < clean.size(); ++i) differences += clean[i] != bad.data[i];
  EXPECT_EQ(differences, 1);
  EXPECT_NE(clean[100], bad.data[100]);
  EXPECT_EQ(ReadPages(*drive, 0, 1, 2048).data, clean);
}

TEST(FaultPlan, DroppedWritesReportSuccessButDoNotStick) {
  auto drive = Make(Simple());
  std::vector<uint8_t> data(2048, 0x00);
  ASSERT_TRUE(WritePages(*drive, 640, 1, data).ok());
  FaultRule drop;
  drop.opcode = 0xFE;
  drop.action = FaultAction::kDropWrite;
  drive->AddFault(drop);
  EXPECT_TRUE(Erase(*drive, 640).ok());
  EXPECT_EQ(ReadPages(*drive, 640, 1, 2048).data, data);  // the erase did not happen

  FaultRule dropWrite;
  dropWrite.opcode = 0xFA;
  dropWrite.action = FaultAction::kDropWrite;
  drive->AddFault(dropWrite);
  EXPECT_TRUE(WritePages(*drive, 704, 1, data).ok());
  EXPECT_EQ(ReadPages(*drive, 704, 1, 2048).data, std::vector<uint8_t>(2048, 0xFF));
}

TEST(FaultPlan, VanishRefusesEverythingAndOpenFails) {
  DriveDescription d = Simple();
  d.vanishAtCommand = 3;
  auto drive = Make(d);
  SimulatedVolumes volumes;
  volumes.Attach('E', *drive);
  auto transport = volumes.Open('E');
  ASSERT_TRUE(transport);
  EXPECT_TRUE(Inquiry(*drive).ok());
  EXPECT_TRUE(Inquiry(*drive).ok());
  EXPECT_TRUE(Inquiry(*drive).refused());
  EXPECT_TRUE(Capacity(*drive).refused());
  EXPECT_TRUE(drive->Vanished());
  EXPECT_FALSE(volumes.Open('E'));
  EXPECT_FALSE(volumes.Open('F'));
  drive->SetVanished(false);
  EXPECT_TRUE(volumes.Open('E'));
  EXPECT_TRUE(Inquiry(*drive).ok());
}

TEST(FaultPlan, ParsesFromTheDriveFile) {
  std::string error;
  auto drive = VirtualDrive::FromJsonText(R"({
    "controller": "0x161",
    "header": {"pages": [{"block": 0}]},
    "config": {"blocksPerZone": 64},
    "faults": [{"opcode": "0xF3", "nth": 2, "action": "refuse"},
               {"overall": 1, "action": "check"}]
  })",
                                          &error);
  ASSERT_TRUE(drive) << error;
  EXPECT_TRUE(ModeByte(*drive).check());    // command 1 overall
  EXPECT_TRUE(ModeByte(*drive).refused());  // second F3
  EXPECT_TRUE(ModeByte(*drive).ok());
  EXPECT_FALSE(VirtualDrive::FromJsonText(
      R"({"controller": "0x161", "faults": [{"opcode": 248, "action": "explode"}]})", &error));
  EXPECT_NE(error.find("action"), std::string::npos) << error;
}

}  // namespace
}  // namespace kestrune::sim
