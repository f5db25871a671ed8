// Start Fix, the 0x190 update and Destory ISP end to end, against the
// simulated drives of every controller, with the images extracted as at
// start-up. A fault injector makes single commands go wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include "app/settings.h"
#include "device/commands.h"
#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/isp_areas.h"
#include "operations/messages.h"
#include "operations/operations.h"
#include "platform/posix_platform.h"
#include "resources/image_list.h"
#include "simulator/virtual_drive.h"
#include "tests/support/device_temp_folder.h"
#include "tests/support/device_test_link.h"
#include "tests/support/fault_injector.h"
#include "tests/support/ops_harness.h"
#include "tests/support/ready_made_drives.h"
#include "tests/support/recording_view.h"

namespace kestrune {
namespace {

using testing::Fault;
using testing::FaultInjector;
using testing::OpsDialog;

constexpr const char* kSuccess =
    "Update ISP code Success, please replug device to ensure it normal.";
constexpr const char* kReplug = "Update ISP code Success, please replug the device";

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// One run: a fresh program over one simulated drive, behind a fault injector.
class SimRun {
 public:
  SimRun(const std::string& driveFile, Fault fault = Fault::kNone, uint64_t at = 0)
      : injector(volumes, fault, at) {
    std::string error;
    drive = sim::VirtualDrive::FromJsonText(
        ReadText(std::string(KESTRUNE_TEST_DRIVES) + "/" + driveFile), &error);
    if (!drive) {
      ADD_FAILURE() << driveFile << ": " << error;
      return;
    }
    volumes.Attach('E', *drive);
    p.reports->SetObserver(&view);
    folder.Write("ISP.log", "");
    log.StartLog();
    ExtractImages(p.platform, p.images.get());
    for (int i = 0; i < kSlotCount; ++i) ResetSlot(p, i);
    found = CheckDriveExist(p);
    p.isAdmin = true;
    p.selectedDrive = 0;
    view.boxes.clear();
  }

  // Data bytes of the flash from device page `page` on.
  std::vector<uint8_t> Flash(uint32_t page, uint32_t bytes) const {
    std::vector<uint8_t> out;
    const uint32_t pageSize = drive->PageSize();
    while (out.size() < bytes) {
      std::vector<uint8_t> raw = drive->ReadRawPage(page++);
      out.insert(out.end(), raw.begin(), raw.begin() + pageSize);
    }
    out.resize(bytes);
    return out;
  }
  // The 48 KiB of ISP code from device page `page` on: pages above 4 KiB
  // hold the next 4 KiB of code at their start.
  std::vector<uint8_t> Code(uint32_t page) const {
    if (drive->PageSize() <= 4096) return Flash(page, kIspPayloadBytes);
    std::vector<uint8_t> out;
    for (uint32_t k = 0; k < kIspPayloadBytes / 4096; ++k) {
      const std::vector<uint8_t> raw = drive->ReadRawPage(page + k);
      out.insert(out.end(), raw.begin(), raw.begin() + 4096);
    }
    return out;
  }
  std::vector<uint8_t> HostFile(const std::string& name) const {
    std::ifstream in(folder.path() / name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  bool HostFileExists(const std::string& name) const {
    return std::filesystem::exists(folder.path() / name);
  }
  std::string LogText() const { return folder.Read("ISP.log"); }
  uint32_t IspPage(int i) { return ToDevicePage(p, 0, static_cast<uint32_t>(p.ispOffsets[i])); }
  int IspCount() const {
    int n = 0;
    while (n < 4 && p.ispOffsets[n] != -1) ++n;
    return n;
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
  OpsDialog dialog;
  uint8_t found = 0;
};

using testing::kBrokenDrives;

class BrokenDrive : public ::testing::TestWithParam<const char*> {};

TEST_P(BrokenDrive, StartFixRepairsIt) {
  SimRun run(GetParam());
  ASSERT_EQ(run.found, 1);
  ASSERT_FALSE(run.drive->IspHealthy());
  const bool is190 = run.p.Slot(0).controllerId == kCtrl190;
  const int copies = run.IspCount();
  ASSERT_GT(copies, 0);
  std::vector<std::vector<uint8_t>> before;
  before.reserve(copies);
  for (int i = 0; i < copies; ++i) before.push_back(run.Code(run.IspPage(i)));

  OnStartFix(run.p, run.dialog);

  const std::vector<std::string> boxes = run.view.BoxTexts();
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes.back(), kSuccess) << ::testing::PrintToString(boxes);
  EXPECT_EQ(std::count(boxes.begin(), boxes.end(), kSuccess), 1);
  const std::string log = run.LogText();
  EXPECT_NE(log.find("Check Before Update CIS0 -> ok\r\n"), std::string::npos);
  EXPECT_NE(log.find(std::string(79, '-')), std::string::npos);
  // Every controller's fix keeps the code it replaced, and what it wrote;
  // a 0x190 the code of both areas.
  for (int i = 0; i < copies; ++i) {
    const std::string index = std::to_string(i);
    EXPECT_EQ(run.HostFile("ISP" + index + "_Before.bin"), before[i]) << "copy " << i;
    EXPECT_EQ(run.HostFile("ISP" + index + "_After.bin"), run.Code(run.IspPage(i))) << "copy " << i;
    EXPECT_NE(before[i], run.HostFile("ISP" + index + "_After.bin"));
    if (is190) {
      EXPECT_EQ(run.HostFile("ISP" + index + "_AuxBefore.bin").size(), kAuxAreaBytes);
      EXPECT_EQ(run.HostFile("ISP" + index + "_AuxAfter.bin").size(), kAuxAreaBytes);
    }
  }
  if (is190) {
    EXPECT_EQ(boxes.size(), 1u);
  } else {
    EXPECT_NE(log.find("ISP Update success \r\n"), std::string::npos);
    // The drive judges its ISP again once it restarts on the new code.
    RestartDrive(run.p, 0);
  }
  EXPECT_TRUE(run.drive->IspHealthy());
  EXPECT_EQ(run.link.OpenVolumeCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Drives, BrokenDrive, ::testing::ValuesIn(kBrokenDrives),
                         [](const auto& info) {
                           std::string name = info.param;
                           return name.substr(0, name.find('.'));
                         });

TEST(StartFixSim, CancelAndMissingImageLeaveTheIspAsItWas) {
  SimRun cancel("ctrl163_broken.json");
  cancel.view.answers = {kIdCancel};
  const std::vector<uint8_t> before = cancel.Flash(cancel.IspPage(0), kIspPayloadBytes);
  OnStartFix(cancel.p, cancel.dialog);
  EXPECT_EQ(cancel.Flash(cancel.IspPage(0), kIspPayloadBytes), before);
  EXPECT_FALSE(cancel.HostFileExists("ISP0_Before.bin"));

  SimRun missing("ctrl162_broken.json");
  // Remove the chosen image and the chooser's fallbacks, until it names a
  // file that is not there.
  std::string path =
      ChooseUpdateImage(missing.p.platform, TraitsOf(missing.p.Selected()), kCtrl162);
  for (int i = 0; i < 3 && missing.platform.CanOpenForReading(path); ++i) {
    std::filesystem::remove(platform::MapToHostPath(missing.platform.options(), path));
    path = ChooseUpdateImage(missing.p.platform, TraitsOf(missing.p.Selected()), kCtrl162);
  }
  ASSERT_FALSE(missing.platform.CanOpenForReading(path));
  OnStartFix(missing.p, missing.dialog);
  EXPECT_TRUE(
      missing.view.Saw(FormatText("The file <%s> cannot be opened, please check.", path.c_str())))
      << ::testing::PrintToString(missing.view.BoxTexts());
  EXPECT_FALSE(missing.view.Saw(kSuccess));
  EXPECT_FALSE(missing.drive->IspHealthy());
}

// An image file changed while the confirmation waits (by another user, or
// a stray program) must never reach the drive.
struct SwapCase {
  const char* label;
  const char* drive;
  size_t size;  // of the file put in the image's place, all of `fill`
  uint8_t fill;
};
void PrintTo(const SwapCase& c, std::ostream* os) { *os << c.label; }

class SwappedImage : public ::testing::TestWithParam<SwapCase> {};

TEST_P(SwappedImage, StopsTheUpdateBeforeAnyFlashCommand) {
  SimRun run(GetParam().drive);
  ASSERT_EQ(run.found, 1);
  const bool is190 = run.p.Slot(0).controllerId == kCtrl190;
  const std::string path = is190 ? ChooseUpdateImage190(run.p.platform, TraitsOf(run.p.Selected()))
                                 : ChooseUpdateImage(run.p.platform, TraitsOf(run.p.Selected()),
                                                     run.p.Slot(0).controllerId);
  const std::vector<uint8_t> before = run.Flash(run.IspPage(0), kIspPayloadBytes);
  auto swap = [&] {
    const std::vector<uint8_t> bytes(GetParam().size, GetParam().fill);
    std::ofstream(platform::MapToHostPath(run.platform.options(), path),
                  std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  };
  // The 0x190 update asks nothing, so its image is changed beforehand.
  if (is190) swap();
  run.view.whileShown = [&](const std::string& text) {
    if (text == "Are you sure to update new ISP code ?") swap();
  };
  const uint64_t start = run.injector.CommandCount();

  OnStartFix(run.p, run.dialog);

  const std::string refusal = "The file <" + path +
                              "> cannot be opened, please check.\n"
                              "It differs from the image built into the program.";
  ASSERT_TRUE(run.view.Saw(refusal)) << ::testing::PrintToString(run.view.BoxTexts());
  EXPECT_EQ(run.view.boxes.back().caption, "Fail");
  EXPECT_FALSE(run.view.Saw(kSuccess));
  const auto& seen = run.injector.Seen();
  EXPECT_TRUE(std::none_of(
      seen.begin() + static_cast<std::ptrdiff_t>(start), seen.end(), [](const auto& c) {
        return c.opcode == device::kOpEraseFlashBlock || c.opcode == device::kOpWriteFlashPages;
      }));
  EXPECT_EQ(run.Flash(run.IspPage(0), kIspPayloadBytes), before);
  EXPECT_EQ(run.link.OpenVolumeCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Swaps, SwappedImage,
                         ::testing::Values(SwapCase{"zeros", "ctrl163_broken.json", 65536, 0},
                                           SwapCase{"short_file", "ctrl163_broken.json", 1000,
                                                    0x5A},
                                           SwapCase{"zeros_190", "ctrl190_broken.json", 131072, 0}),
                         [](const auto& info) { return std::string(info.param.label); });

// Stand-ins never reach a real drive, whether built in or named at start-up
// as a folder (the work folder holds them): refused before anything is
// asked or sent, 0x190 included. (Fix, destroy and restore over SG_IO are
// covered end to end.)
TEST(StandInsOnARealDrive, AreRefusedWhereverTheyComeFrom) {
  if (!resources::PayloadsAreStandIns()) GTEST_SKIP() << "this build carries real images";
  for (const bool folder : {false, true}) {
    SCOPED_TRACE(folder ? "a folder of stand-ins" : "built-in stand-ins");
    SimRun run("ctrl190_broken.json");
    ASSERT_EQ(run.found, 1);
    std::string problem;
    if (folder) {
      run.p.images = LoadImageFolder(run.platform, "T:\\", problem);
      ASSERT_NE(run.p.images, nullptr) << problem;
    }
    run.injector.realDevice = true;
    // The dialog program takes no options: its box names the setting alone.
    run.p.imagesHint = kDialogImagesHint;
    const uint64_t start = run.injector.CommandCount();
    const std::string logBefore = run.LogText();

    OnStartFix(run.p, run.dialog);

    ASSERT_EQ(run.view.BoxTexts(),
              std::vector<std::string>{StandInsRefusedText(kDialogImagesHint)});
    EXPECT_EQ(run.view.boxes[0].text.find("--images"), std::string::npos);
    EXPECT_NE(run.view.boxes[0].text.find("KESTRUNE_IMAGES"), std::string::npos);
    EXPECT_EQ(run.view.boxes[0].caption, "ERROR");
    EXPECT_EQ(run.injector.CommandCount(), start);
    // The log says only why: no command went to the drive.
    EXPECT_EQ(run.LogText(),
              logBefore + "Why: no command to the drive failed (none was sent for this)\r\n");
  }
}

// A drive whose flash configuration the scan could not read has no known
// page size or blocks: fix, destroy and restore stop at once, before any
// question or command, and the reason is the configuration read's answer,
// not "no command failed".
TEST(ConfigurationNotRead, StopsEveryChangeBeforeItsQuestionWithTheScansCause) {
  for (const char* file : {"ctrl161_broken.json", "ctrl163_broken.json", "ctrl190_broken.json"}) {
    // Where the first configuration read falls in the scan.
    SimRun twin(file);
    const auto& scan = twin.injector.Seen();
    const auto config = std::find_if(scan.begin(), scan.end(), [](const auto& c) {
      return c.opcode == device::kOpReadFlashConfig;
    });
    ASSERT_NE(config, scan.end()) << file;
    const auto at = static_cast<uint64_t>(config - scan.begin());
    for (const char* change : {"fix", "destroy", "restore"}) {
      SCOPED_TRACE(std::string(file) + ", " + change);
      SimRun run(file, Fault::kCheckCondition, at);
      ASSERT_EQ(run.found, 1);
      const uint64_t start = run.injector.CommandCount();
      if (change == std::string("fix")) OnStartFix(run.p, run.dialog);
      if (change == std::string("destroy")) OnDestroyIsp(run.p, run.dialog, true);
      if (change == std::string("restore")) OnRestoreIsp(run.p, run.dialog, {});

      EXPECT_EQ(run.view.BoxTexts(), std::vector<std::string>{kConfigNotRead});
      EXPECT_EQ(run.injector.CommandCount(), start);
      const Report report = run.p.reports->Snapshot().back();
      EXPECT_EQ(report.outcome, Outcome::kFailed);
      ASSERT_FALSE(report.boxes.empty());
      ASSERT_TRUE(report.boxes.back().why.has_value());
      const std::string why = report.boxes.back().why->line;
      EXPECT_EQ(why.rfind("Why: flash configuration read (F2) answered CHECK CONDITION", 0), 0u)
          << why;
    }
  }
}

// The success box tells the technician to replug the stick, and one who
// does so at once pulls it before the After backups: every copy was written
// and read back equal, so the fix has succeeded, and the backups that could
// not be made are warnings, not a failure.
TEST(StartFixReplug, AStickPulledAtTheSuccessBoxIsRepairedWithAWarning) {
  for (const char* file : {"ctrl163_broken.json", "ctrl190_broken.json"}) {
    SCOPED_TRACE(file);
    SimRun run(file);
    ASSERT_EQ(run.found, 1);
    run.view.whileShown = [&run](const std::string& text) {
      if (text.rfind("Update ISP code Success", 0) == 0) run.drive->SetVanished(true);
    };
    OnStartFix(run.p, run.dialog);

    const Report report = run.p.reports->Snapshot().back();
    EXPECT_EQ(report.outcome, Outcome::kSuccess) << report.failure;
    EXPECT_EQ(report.copiesVerified, report.copiesWritten);
    EXPECT_GT(report.copiesVerified, 0);
    EXPECT_TRUE(report.failure.empty()) << report.failure;
    ASSERT_FALSE(report.warnings.empty()) << "the After backups that failed are told";
    EXPECT_FALSE(run.HostFileExists("ISP0_After.bin"));
    EXPECT_TRUE(run.HostFileExists("ISP0_Before.bin"));
  }
}

// Where in the command stream a step of the update lies, found by a run
// without faults over the same drive.
enum class Pick : uint8_t { kFirst, kLast, kFirstAfterLastWrite };

struct StepCase {
  const char* name;
  const char* drive;
  Fault fault;
  uint8_t opcode;
  uint8_t sub;  // 0xFF: any
  Pick pick;
  int offset;  // added to the index found
  const char* text;
};

class InjectedFailure : public ::testing::TestWithParam<StepCase> {};

TEST_P(InjectedFailure, ShowsItsMessageAndNeverSuccess) {
  const StepCase step = GetParam();
  std::optional<uint64_t> at;
  {
    SimRun dry(step.drive);
    const uint64_t start = dry.injector.CommandCount();
    OnStartFix(dry.p, dry.dialog);
    const auto& seen = dry.injector.Seen();
    uint64_t from = start;
    if (step.pick == Pick::kFirstAfterLastWrite) {
      for (uint64_t i = start; i < seen.size(); ++i) {
        if (seen[i].opcode == device::kOpWriteFlashPages) from = i;
      }
    }
    for (uint64_t i = from; i < seen.size(); ++i) {
      if (seen[i].opcode != step.opcode || (step.sub != 0xFF && seen[i].sub != step.sub)) continue;
      at = i;
      if (step.pick != Pick::kLast) break;
    }
  }
  ASSERT_TRUE(at.has_value());
  SimRun run(step.drive, step.fault, *at + step.offset);
  OnStartFix(run.p, run.dialog);
  EXPECT_TRUE(run.injector.Fired());
  EXPECT_TRUE(run.view.Saw(step.text)) << ::testing::PrintToString(run.view.BoxTexts());
  // The step that met the failure ends as failed, never as done.
  const auto& lines = run.view.progress;
  const auto failed = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("failed: ", 0) == 0;
  });
  ASSERT_NE(failed, lines.end()) << ::testing::PrintToString(lines);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "done: " + failed->substr(8)), 0);
  if (step.text != kReplug) {
    EXPECT_FALSE(run.view.Saw(kSuccess));
  }
  EXPECT_EQ(run.link.OpenVolumeCount(), 0u);
  EXPECT_EQ(run.dialog.calls.back(), "hide status");
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InjectedFailure,
    ::testing::Values(
        StepCase{"Write", "ctrl162_broken.json", Fault::kCheckCondition, device::kOpWriteFlashPages,
                 0xFF, Pick::kFirst, 0, "Write ISP code to flash fail"},
        StepCase{"LostWrite", "ctrl168_broken.json", Fault::kLostWrite, device::kOpWriteFlashPages,
                 0xFF, Pick::kFirst, 0, "Update ISP code fail"},
        StepCase{"ReadBack", "ctrl165_small_pages_broken.json", Fault::kCheckCondition,
                 device::kOpReadFlashPages, 0xFF, Pick::kFirstAfterLastWrite, 0,
                 "Read ISP code from flash fail"},
        StepCase{"Mismatch", "ctrl163_large_pages_broken.json", Fault::kCorruptRead,
                 device::kOpReadFlashPages, 0xFF, Pick::kFirstAfterLastWrite, 0,
                 "Update ISP code fail"},
        // The drive goes away with the last backup read, so the update cannot open it.
        StepCase{"Open", "ctrl161_broken.json", Fault::kVanish, device::kOpController,
                 device::kSubInitFlash, Pick::kFirst, -1,
                 "Update ISP fail because open handle fail ..."},
        StepCase{"Write190", "ctrl190_broken.json", Fault::kRefused, device::kOpWriteFlashPages,
                 0xFF, Pick::kFirst, 0, "Write ISP code to flash fail"},
        StepCase{"Restart190", "ctrl190_broken.json", Fault::kCheckCondition, device::kOpController,
                 device::kSubResetController, Pick::kLast, 0, kReplug}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DestroySim, FamilyADriveIsErasedAndIdentifiedAgain) {
  SimRun run("ctrl169_healthy.json");
  ASSERT_TRUE(run.drive->IspHealthy());
  const uint32_t page = run.IspPage(0);
  OnDestroyIsp(run.p, run.dialog);
  ASSERT_FALSE(run.view.boxes.empty());
  EXPECT_EQ(run.view.boxes.back().text, "Destory ISP Success");
  EXPECT_EQ(run.dialog.calls, std::vector<std::string>{"fill"});
  EXPECT_EQ(run.Flash(page, kIspPayloadBytes), std::vector<uint8_t>(kIspPayloadBytes, 0xFF));
}

TEST(DestroySim, CodeDriveIsZeroedAndVerified) {
  SimRun run("ctrl165_healthy.json");
  ASSERT_TRUE(run.drive->IspHealthy());
  OnDestroyIsp(run.p, run.dialog);
  EXPECT_EQ(run.view.BoxTexts(), std::vector<std::string>{"Destory ISP Success"});
  for (int i = 0; i < run.IspCount(); ++i) {
    EXPECT_EQ(run.Flash(run.IspPage(i), kIspAreaBytes), std::vector<uint8_t>(kIspAreaBytes, 0));
  }
  RestartDrive(run.p, 0);
  EXPECT_FALSE(run.drive->IspHealthy());
}

}  // namespace
}  // namespace kestrune
