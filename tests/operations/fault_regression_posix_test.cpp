// Faults that the fault matrix found, each pinned by the case that found it:
// a simulated drive behind an injector that spoils one chosen command.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/isp_areas.h"
#include "operations/messages.h"
#include "operations/operations.h"
#include "platform/posix_platform.h"
#include "simulator/virtual_drive.h"
#include "tests/support/device_temp_folder.h"
#include "tests/support/device_test_link.h"
#include "tests/support/fault_injector.h"
#include "tests/support/ops_harness.h"
#include "tests/support/recording_view.h"

namespace kestrune {
namespace {

using testing::Fault;
using testing::FaultInjector;

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh program over one identified drive; the injector is armed only for
// the operation under test.
class FaultedDrive {
 public:
  explicit FaultedDrive(const std::string& file, bool identify = true)
      : injector(volumes, Fault::kNone, 0) {
    std::string error;
    drive = sim::VirtualDrive::FromJsonText(
        ReadText(std::filesystem::path(KESTRUNE_TEST_DRIVES) / file), &error);
    if (!drive) throw std::runtime_error(file + ": " + error);
    volumes.Attach('E', *drive);
    folder.Write("ISP.log", "");
    log.StartLog();
    ExtractImages(p.platform, p.images.get());
    p.isAdmin = true;
    if (identify) Scan();
    view.boxes.clear();
  }

  void Scan() {
    for (int i = 0; i < kSlotCount; ++i) ResetSlot(p, i);
    found = CheckDriveExist(p);
    p.selectedDrive = 0;
  }
  // Index, counted from the scan's first command, of the scan's first read
  // of device page `page`.
  static uint64_t ScanReadOf(const std::string& file, uint32_t page) {
    FaultedDrive dry(file, false);
    dry.injector.Arm(Fault::kNone, 0);
    dry.Scan();
    const auto& seen = dry.injector.Seen();
    for (uint64_t i = 0; i < seen.size(); ++i) {
      if (seen[i].opcode == device::kOpReadFlashPages && seen[i].page == page) return i;
    }
    ADD_FAILURE() << "the scan never reads page " << page;
    return 0;
  }

  std::vector<uint8_t> Flash(uint32_t page, uint32_t bytes) const {
    std::vector<uint8_t> out;
    while (out.size() < bytes) {
      const std::vector<uint8_t> raw = drive->ReadRawPage(page++);
      out.insert(out.end(), raw.begin(), raw.begin() + drive->PageSize());
    }
    out.resize(bytes);
    return out;
  }
  uint32_t IspPage(int i) { return ToDevicePage(p, 0, static_cast<uint32_t>(p.ispOffsets[i])); }
  std::vector<uint8_t> HostFile(const std::string& name) const {
    std::ifstream in(folder.path() / name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  bool HostFileExists(const std::string& name) const {
    return std::filesystem::exists(folder.path() / name);
  }

  testing::TempFolder folder;
  platform::PosixPlatform platform{testing::FolderOptions(folder.path())};
  std::unique_ptr<sim::VirtualDrive> drive;
  sim::SimulatedVolumes volumes;
  FaultInjector injector;
  testing::TestLink link{injector};
  IspLog log{platform};
  testing::RecordingView view;
  Program p{platform, link, log, view};
  testing::OpsDialog dialog;
  uint8_t found = 0;
};

constexpr const char* kOkLine = "DownLoad ISP  to file -> C:\\ISP0_Before.bin --->OK";

// Found by (Download, k=0 and k=1, corrupt read) and by the backups of Start
// Fix: one read of the area that came back with a wrong byte was saved as a
// complete backup and logged OK. Then a read that disagreed gave the backup
// up, and a destroy erased a copy it had not saved. Either read of the pair
// may be the bad one: the area is read again until two reads agree.
class CorruptBackupRead : public ::testing::TestWithParam<uint64_t> {};

TEST_P(CorruptBackupRead, ReadsAgainAndKeepsWhatTwoReadsAgreeOn) {
  FaultedDrive run("ctrl163_broken.json");
  ASSERT_EQ(run.found, 1);
  run.injector.Arm(Fault::kCorruptRead, GetParam());
  EXPECT_EQ(DownloadIsp(run.p, "C:\\ISP0_Before.bin", run.IspPage(0)), DownloadOutcome::kSaved);
  ASSERT_TRUE(run.injector.Fired());
  EXPECT_TRUE(run.view.boxes.empty()) << ::testing::PrintToString(run.view.BoxTexts());
  EXPECT_EQ(run.HostFile("ISP0_Before.bin"), run.Flash(run.IspPage(0), kIspPayloadBytes));
  const std::string log = run.folder.Read("ISP.log");
  EXPECT_NE(log.find(FormatText(kReadingAgain, "C:\\ISP0_Before.bin", 3)), std::string::npos)
      << log;
  EXPECT_NE(log.find(kOkLine), std::string::npos);
  EXPECT_EQ(run.link.OpenVolumeCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(FirstOrSecondRead, CorruptBackupRead, ::testing::Values(0u, 1u));

TEST(CorruptBackupRead, TwoAgreeingReadsStillMakeTheBackup) {
  FaultedDrive run("ctrl163_broken.json");
  ASSERT_EQ(run.found, 1);
  run.injector.Arm(Fault::kNone, 0);
  DownloadIsp(run.p, "C:\\ISP0_Before.bin", run.IspPage(0));
  EXPECT_TRUE(run.view.boxes.empty());
  EXPECT_EQ(run.HostFile("ISP0_Before.bin"), run.Flash(run.IspPage(0), kIspPayloadBytes));
  EXPECT_NE(run.folder.Read("ISP.log").find(kOkLine), std::string::npos);
}

// Found by (scan then Start Fix, the CodeMark read of either copy, check
// condition): the search skipped the copy it could not read, the update
// rewrote the other one and claimed success, and the drive kept a broken
// copy nobody was told about. The verified update is still a success (a
// NAND drive may have a bad block there for good), and a warning names the
// block that could not be read.
struct MissedCopy {
  uint32_t codeMarkPage;    // device page of the CodeMark page whose read fails
  uint32_t writtenIspPage;  // ISP area of the copy the search still finds
  uint32_t missedIspPage;
};

class CodeMarkReadFails : public ::testing::TestWithParam<MissedCopy> {};

TEST_P(CodeMarkReadFails, UpdateWritesWhatItFoundAndWarnsOfTheUnreadBlock) {
  const MissedCopy row = GetParam();
  const uint64_t at = FaultedDrive::ScanReadOf("ctrl163_broken.json", row.codeMarkPage);
  FaultedDrive run("ctrl163_broken.json", false);
  const std::vector<uint8_t> missedBefore = run.Flash(row.missedIspPage, kIspPayloadBytes);
  const std::vector<uint8_t> writtenBefore = run.Flash(row.writtenIspPage, kIspPayloadBytes);
  run.injector.Arm(Fault::kCheckCondition, at);
  run.Scan();
  ASSERT_EQ(run.found, 1);
  EXPECT_EQ(run.p.cisUnreadBlocks[0], std::vector<uint32_t>{row.codeMarkPage / 64});
  EXPECT_EQ(run.p.Slot(0).cisCount, 1);
  run.view.boxes.clear();

  OnStartFix(run.p, run.dialog);

  const std::string warning =
      FormatText(kCisBlocksUnread, std::to_string(row.codeMarkPage / 64).c_str());
  ASSERT_GE(run.view.boxes.size(), 2u);
  const auto& boxes = run.view.boxes;
  EXPECT_EQ(boxes[boxes.size() - 2].text,
            "Update ISP code Success, please replug device to ensure it normal.");
  EXPECT_EQ(boxes.back().text, warning);
  EXPECT_EQ(boxes.back().caption, "Warning");
  EXPECT_EQ(boxes.back().style, kMbIconExclamation);
  EXPECT_NE(run.folder.Read("ISP.log").find(warning + "\r\n"), std::string::npos);
  EXPECT_NE(run.Flash(row.writtenIspPage, kIspPayloadBytes), writtenBefore);
  EXPECT_EQ(run.Flash(row.missedIspPage, kIspPayloadBytes), missedBefore);
}

// ctrl163_broken: CodeMark pages in blocks 2 and 5 of 64 pages, each ISP
// area at the first page of the block behind.
INSTANTIATE_TEST_SUITE_P(EitherCopy, CodeMarkReadFails,
                         ::testing::Values(MissedCopy{128, 384, 192}, MissedCopy{320, 192, 384}));

// The zeroing destroy of the same drive: one copy zeroed, the other never
// seen, and no "Destory ISP Success" for it.
TEST(CodeMarkReadFailsBeforeDestroy, ZeroesWhatItFoundButClaimsNoSuccess) {
  const uint64_t at = FaultedDrive::ScanReadOf("ctrl163_healthy.json", 128);
  FaultedDrive run("ctrl163_healthy.json", false);
  const std::vector<uint8_t> missedBefore = run.Flash(192, kIspAreaBytes);
  run.injector.Arm(Fault::kCheckCondition, at);
  run.Scan();
  ASSERT_EQ(run.found, 1);
  run.view.boxes.clear();

  OnDestroyIsp(run.p, run.dialog);

  EXPECT_EQ(run.view.BoxTexts(), std::vector<std::string>{kCisSearchIncomplete});
  EXPECT_EQ(run.Flash(384, kIspAreaBytes), std::vector<uint8_t>(kIspAreaBytes, 0));
  EXPECT_EQ(run.Flash(192, kIspAreaBytes), missedBefore);
}

// Found by (DestroyZeroes, k=14 and 15; StartFixLargePages, the reads of
// pages 12..15 of each copy; the backups' second read; untouched read): a
// read that succeeds but brings no data (its residual is the whole
// transfer) passed the read-back of every area that is meant to hold zeros,
// since the buffer was cleared to zero before it, and two backup reads into
// reused heap memory agreed. A backup read that brings nothing is read
// again, and the file holds what two reads that did bring it agree on.
enum class Road : uint8_t { kDestroy, kStartFix, kDownload };

struct UntouchedCase {
  const char* name;
  const char* drive;
  Road road;
  uint32_t length;  // transfer length of the read that brings nothing
  int nth;          // which read of that length, from 0
  const char* text;  // the failure shown; null: none, the backup is made
};

class UntouchedRead : public ::testing::TestWithParam<UntouchedCase> {};

void RunRoad(FaultedDrive& run, Road road) {
  if (road == Road::kDestroy) {
    OnDestroyIsp(run.p, run.dialog);
  } else if (road == Road::kStartFix) {
    OnStartFix(run.p, run.dialog);
  } else {
    DownloadIsp(run.p, "C:\\ISP0_Before.bin", run.IspPage(0));
  }
}

TEST_P(UntouchedRead, IsNeverTakenForTheData) {
  const UntouchedCase row = GetParam();
  uint64_t at = 0;
  {
    FaultedDrive dry(row.drive);
    dry.injector.Arm(Fault::kNone, 0);
    RunRoad(dry, row.road);
    int seen = 0;
    const auto& commands = dry.injector.Seen();
    for (uint64_t i = 0; i < commands.size(); ++i) {
      if (commands[i].opcode != device::kOpReadFlashPages ||
          commands[i].transferLength != row.length)
        continue;
      if (seen++ == row.nth) at = i;
    }
    ASSERT_GT(seen, row.nth);
  }
  FaultedDrive run(row.drive);
  run.injector.Arm(Fault::kUntouchedRead, at);
  RunRoad(run, row.road);
  ASSERT_TRUE(run.injector.Fired());
  if (row.text == nullptr) {
    EXPECT_TRUE(run.view.boxes.empty()) << ::testing::PrintToString(run.view.BoxTexts());
    EXPECT_EQ(run.HostFile("ISP0_Before.bin"), run.Flash(run.IspPage(0), kIspPayloadBytes));
    return;
  }
  EXPECT_TRUE(run.view.Saw(row.text)) << ::testing::PrintToString(run.view.BoxTexts());
  EXPECT_FALSE(run.view.Saw("Destory ISP Success"));
  EXPECT_FALSE(run.view.Saw("Update ISP code Success, please replug device to ensure it normal."));
}

INSTANTIATE_TEST_SUITE_P(
    Reads, UntouchedRead,
    ::testing::Values(UntouchedCase{"ZeroedArea", "ctrl163_healthy.json", Road::kDestroy,
                                    kIspAreaBytes, 0, "Read ISP code from flash fail"},
                      // Page 12 of the first copy holds only the zeros behind the payload;
                      // before it come the two CIS pages and the two reads of twelve pages
                      // of each of the two backups.
                      UntouchedCase{"LargePageOfZeros", "ctrl163_large_pages_broken.json",
                                    Road::kStartFix, 8192, 2 + 2 * 2 * 12 + 12,
                                    "Read ISP code from flash fail"},
                      UntouchedCase{"SecondBackupRead", "ctrl163_broken.json", Road::kDownload,
                                    kIspPayloadBytes, 1, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CodeMarkSearch, CleanSearchIsComplete) {
  FaultedDrive run("ctrl163_broken.json");
  EXPECT_TRUE(run.p.cisUnreadBlocks[0].empty());
  EXPECT_EQ(run.p.Slot(0).cisCount, 2);
}

// A CodeMark page that fails its sums is read again: a read that came back
// wrong marks the search incomplete, a page that is really broken does not
// (its copy is no copy, as before). Small pages, so that the byte the
// injector spoils lies inside the summed first 512 bytes.
TEST(CodeMarkSearch, BadSumsAreReadAgain) {
  const std::string file = "ctrl165_small_pages_broken.json";
  const uint32_t codeMark = 2 * 128;
  {
    const uint64_t at = FaultedDrive::ScanReadOf(file, codeMark);
    FaultedDrive run(file, false);
    run.injector.Arm(Fault::kCorruptRead, at);
    run.Scan();
    ASSERT_EQ(run.found, 1);
    EXPECT_EQ(run.p.cisUnreadBlocks[0], std::vector<uint32_t>{2});
  }
  {
    FaultedDrive run(file, false);
    std::vector<uint8_t> raw = run.drive->ReadRawPage(codeMark);
    ASSERT_EQ(std::string(raw.begin(), raw.begin() + 8), "CodeMark");
    raw[256] ^= 0x5A;
    run.drive->WriteRawPage(codeMark, raw);
    run.Scan();
    ASSERT_EQ(run.found, 1);
    EXPECT_TRUE(run.p.cisUnreadBlocks[0].empty());
    EXPECT_EQ(run.p.Slot(0).cisCount, 1);
  }
}

}  // namespace
}  // namespace kestrune
