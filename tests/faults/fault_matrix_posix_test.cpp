// Every command of every repair workflow, failed in every way the injector
// knows, one at a time, against a fresh simulated drive; then every backup
// file failed on the host side (it cannot be created, a write stops short,
// the disk is full). Each case checks what a technician relies on: the run
// ends, a failure is reported, no success is claimed over flash that does
// not hold the new code, nothing outside the ISP areas changes, no backup
// file passes for complete when it is not, and nothing changes the drive
// after a backup the host could not keep. A table of the cases run and
// passed is printed at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/operations.h"
#include "platform/posix_platform.h"
#include "simulator/virtual_drive.h"
#include "tests/support/device_temp_folder.h"
#include "tests/support/device_test_link.h"
#include "tests/support/fault_injector.h"
#include "tests/support/host_fault_platform.h"
#include "tests/support/ops_harness.h"
#include "tests/support/recording_view.h"

namespace kestrune {
namespace {

using testing::CommandBudgetExceeded;
using testing::Fault;
using testing::FaultInjector;
using testing::HostFault;
using testing::SeenCommand;

constexpr const char* kSuccess =
    "Update ISP code Success, please replug device to ensure it normal.";
constexpr const char* kReplug = "Update ISP code Success, please replug the device";
constexpr const char* kDestroyed = "Destory ISP Success";
constexpr uint32_t kBackupBytes = 49152;
constexpr uint32_t kIspBytes = 65536;
constexpr uint32_t kIspBytes190 = 49152;
constexpr uint32_t kAuxBytes190 = 16384;
constexpr uint32_t kLargePage = 4096;

// The two scan kinds: the drive scan at start-up is part of the run, so its
// commands are failed too, and Start Fix or Destory ISP follows on whatever
// it found.
enum class Kind : uint8_t { kStartFix, kDestroy, kDownload, kScanThenStartFix, kScanThenDestroy };

bool Scans(Kind kind) { return kind == Kind::kScanThenStartFix || kind == Kind::kScanThenDestroy; }
bool Destroys(Kind kind) { return kind == Kind::kDestroy || kind == Kind::kScanThenDestroy; }

struct Workflow {
  const char* name;
  const char* drive;
  Kind kind;
};

constexpr Workflow kWorkflows[] = {
    {"StartFixFamilyB", "ctrl163_broken.json", Kind::kStartFix},
    {"StartFixFamilyA", "ctrl161_broken.json", Kind::kStartFix},
    {"StartFixLargePages", "ctrl163_large_pages_broken.json", Kind::kStartFix},
    {"StartFixSmallPages", "ctrl165_small_pages_broken.json", Kind::kStartFix},
    {"Update190", "ctrl190_broken.json", Kind::kStartFix},
    {"DestroyZeroes", "ctrl163_healthy.json", Kind::kDestroy},
    {"DestroyErases", "ctrl169_healthy.json", Kind::kDestroy},
    {"Download", "ctrl163_broken.json", Kind::kDownload},
    {"ScanThenStartFix", "ctrl163_broken.json", Kind::kScanThenStartFix},
    {"ScanSmallThenFix", "ctrl165_small_pages_broken.json", Kind::kScanThenStartFix},
    {"ScanThenDestroy", "ctrl163_healthy.json", Kind::kScanThenDestroy},
};

constexpr Fault kFaults[] = {Fault::kCheckCondition, Fault::kRefused, Fault::kCorruptRead,
                             Fault::kLostWrite,      Fault::kVanish,  Fault::kUntouchedRead};
constexpr HostFault kHostFaults[] = {HostFault::kCannotCreate, HostFault::kShortWrite,
                                     HostFault::kFull};

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The images are extracted once; every case reads them from the same folder.
const testing::TempFolder& ImagesFolder() {
  static const auto* folder = [] {
    auto* made = new testing::TempFolder;
    platform::PosixPlatform host(testing::FolderOptions(made->path()));
    sim::SimulatedVolumes none;
    device::DeviceLink link(none);
    IspLog log(host);
    testing::RecordingView view;
    Program p(host, link, log, view);
    ExtractImages(p.platform, p.images.get());
    return made;
  }();
  return *folder;
}

// A ready-made drive with its zones cut to 64 blocks: a CodeMark search then
// reads 64 pages instead of a thousand or two, and the matrix, which runs
// every search once per case and every search read as a case of its own,
// stays within minutes. Nothing of the repair lies beyond block 64.
const std::string& DriveJson(const std::string& file) {
  static std::map<std::string, std::string> cache;
  auto it = cache.find(file);
  if (it == cache.end()) {
    std::string json = ReadText(std::filesystem::path(KESTRUNE_TEST_DRIVES) / file);
    json = std::regex_replace(json, std::regex(R"("blocksPerZone": *[0-9]+)"),
                              R"("blocksPerZone": 64)");
    json = std::regex_replace(json, std::regex(R"("usableBlocksPerZone": *[0-9]+)"),
                              R"("usableBlocksPerZone": 60)");
    it = cache.emplace(file, std::move(json)).first;
  }
  return it->second;
}

// One case: a fresh program over a fresh drive, identified with no fault
// (unless the workflow scans itself), then the injector armed.
class MatrixRun {
 public:
  MatrixRun(const Workflow& workflow, bool identify) : injector(volumes, Fault::kNone, 0) {
    std::string error;
    drive = sim::VirtualDrive::FromJsonText(DriveJson(workflow.drive), &error);
    if (!drive) throw std::runtime_error(std::string(workflow.drive) + ": " + error);
    volumes.Attach('E', *drive);
    cDrive.Write("ISP.log", "");
    log.StartLog();
    p.isAdmin = true;
    if (identify) Scan();
    view.boxes.clear();
  }

  void Scan() {
    for (int i = 0; i < kSlotCount; ++i) ResetSlot(p, i);
    found = CheckDriveExist(p);
    p.selectedDrive = 0;
  }

  static platform::PosixOptions Options(const testing::TempFolder& cDrive) {
    platform::PosixOptions options;
    options.cDriveFolder = cDrive.str();
    options.tempFolder = ImagesFolder().str();
    options.realSleep = false;
    return options;
  }

  std::vector<uint8_t> Flash(uint32_t page, uint32_t bytes) const {
    std::vector<uint8_t> out;
    const uint32_t pageSize = drive->PageSize();
    while (out.size() < bytes && page < drive->PageCount()) {
      const std::vector<uint8_t> raw = drive->ReadRawPage(page++);
      out.insert(out.end(), raw.begin(), raw.begin() + pageSize);
    }
    out.resize(bytes, 0xFF);
    return out;
  }
  // The 48 KiB of code a backup of the area at `page` holds: on pages above
  // 4 KiB the first 4 KiB of each of twelve pages, as the update lays it out.
  std::vector<uint8_t> Code(uint32_t page) const {
    if (drive->PageSize() <= kLargePage) return Flash(page, kBackupBytes);
    std::vector<uint8_t> out;
    for (uint32_t k = 0; k < kBackupBytes / kLargePage; ++k) {
      const std::vector<uint8_t> raw = drive->ReadRawPage(page + k);
      out.insert(out.end(), raw.begin(), raw.begin() + kLargePage);
    }
    return out;
  }
  std::optional<std::vector<uint8_t>> HostFile(const std::string& name) const {
    const std::filesystem::path path = cDrive.path() / name;
    if (!std::filesystem::exists(path)) return std::nullopt;
    std::vector<uint8_t> bytes(std::filesystem::file_size(path));
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
  }
  std::string LogText() const { return cDrive.Read("ISP.log"); }

  testing::TempFolder cDrive;
  testing::HostFaultPlatform platform{Options(cDrive)};
  std::unique_ptr<sim::VirtualDrive> drive;
  sim::SimulatedVolumes volumes;
  FaultInjector injector;
  testing::TestLink link{injector};
  IspLog log{platform};
  testing::RecordingView view;
  Program p{platform, link, log, view};
  testing::OpsDialog dialog;
  uint8_t found = 0;
  uint64_t scanCommands = 0;
};

// A run of device pages the workflow is meant to change.
struct Area {
  uint32_t page;
  uint32_t pages;
  bool aux = false;             // the second code area of a 0x190 copy
  uint32_t owner = 0;           // device page of the ISP area of the copy it belongs to
  std::vector<uint8_t> before;  // its data before the workflow
};

// What the drive looks like before the workflow, worked out from the slot
// with our own arithmetic and checked against the simulator's view.
struct Layout {
  uint32_t pageSize = 0;
  uint32_t pagesPerBlock = 0;
  std::vector<Area> areas;            // may be rewritten
  std::vector<uint32_t> backupPages;     // per ispOffsets entry
  std::vector<uint32_t> auxBackupPages;  // 0x190: the auxiliary area of each copy
  // The first 48 KiB of every ISP area the drive itself knows, before.
  std::map<uint32_t, std::vector<uint8_t>> pristine;
  std::map<uint32_t, std::vector<uint8_t>> snapshot;  // raw pages outside the areas
  uint32_t snapshotPages = 0;

  bool InArea(uint32_t page) const {
    return std::any_of(areas.begin(), areas.end(),
                       [&](const Area& a) { return page >= a.page && page - a.page < a.pages; });
  }
  bool InAuxArea(uint32_t page) const {
    return std::any_of(areas.begin(), areas.end(), [&](const Area& a) {
      return a.aux && page >= a.page && page - a.page < a.pages;
    });
  }
  bool InAreaBlock(uint32_t page) const {
    return std::any_of(areas.begin(), areas.end(), [&](const Area& a) {
      const uint32_t first = a.page / pagesPerBlock;
      const uint32_t last = (a.page + a.pages - 1) / pagesPerBlock;
      return page / pagesPerBlock >= first && page / pagesPerBlock <= last;
    });
  }
};

uint32_t DevicePage(const DriveSlot& slot, uint32_t cisPage) {
  return cisPage / slot.cisPagesPerBlock * slot.pagesPerBlock + cisPage % slot.cisPagesPerBlock;
}

bool OffsetKnown(const CisCopy& copy, uint32_t offset) {
  return copy.present == 1 && offset != kUnsetOffset && offset != kInvalidPage;
}

Layout TakeLayout(const Workflow& workflow, MatrixRun& run) {
  Layout layout;
  const DriveSlot& slot = run.p.Slot(0);
  layout.pageSize = slot.pageSize;
  layout.pagesPerBlock = slot.pagesPerBlock;
  const bool is190 = slot.controllerId == kCtrl190;
  const std::string name = workflow.name;
  for (const CisCopy& copy : slot.cis) {
    if (!OffsetKnown(copy, copy.ispOffset)) continue;
    const uint32_t start = DevicePage(slot, copy.ispOffset);
    if (workflow.kind == Kind::kDownload) continue;
    if (name == "DestroyErases") {
      layout.areas.push_back(
          {start / slot.pagesPerBlock * slot.pagesPerBlock, slot.pagesPerBlock, false, start, {}});
    } else if (is190) {
      layout.areas.push_back({start, kIspBytes190 / slot.pageSize, false, start, {}});
      if (OffsetKnown(copy, copy.auxAreaOffset)) {
        layout.areas.push_back(
            {DevicePage(slot, copy.auxAreaOffset), kAuxBytes190 / slot.pageSize, true, start, {}});
        layout.auxBackupPages.push_back(DevicePage(slot, copy.auxAreaOffset));
      }
    } else if (slot.pageSize > kLargePage) {
      // Sixteen pages, each with 4,096 bytes of the area and zeros behind.
      layout.areas.push_back({start, kIspBytes / kLargePage, false, start, {}});
    } else {
      layout.areas.push_back({start, kIspBytes / slot.pageSize, false, start, {}});
    }
  }
  for (Area& a : layout.areas) a.before = run.Flash(a.page, a.pages * slot.pageSize);
  // A 0x190 fix keeps both areas too, before and after; a destroy saves the
  // areas it destroys first, as a fix does.
  for (int i = 0; i < 4 && run.p.ispOffsets[i] != -1; ++i) {
    const uint32_t page = DevicePage(slot, static_cast<uint32_t>(run.p.ispOffsets[i]));
    layout.backupPages.push_back(page);
  }
  for (uint32_t page : run.drive->IspAreaPages()) layout.pristine[page] = run.Code(page);
  uint32_t top = 16 * layout.pagesPerBlock;
  for (const Area& a : layout.areas)
    top = std::max(top, a.page + a.pages + 4 * layout.pagesPerBlock);
  layout.snapshotPages = std::min(top, run.drive->PageCount());
  for (uint32_t page = 0; page < layout.snapshotPages; ++page) {
    if (!layout.InArea(page)) layout.snapshot[page] = run.drive->ReadRawPage(page);
  }
  return layout;
}

void RunWorkflow(const Workflow& workflow, MatrixRun& run, const Layout& layout) {
  switch (workflow.kind) {
    case Kind::kStartFix:
      OnStartFix(run.p, run.dialog);
      break;
    case Kind::kScanThenStartFix:
      run.Scan();
      run.scanCommands = run.injector.CommandCount();
      // The dialog closes when the scan finds no drive.
      if (run.found == 1) OnStartFix(run.p, run.dialog);
      break;
    case Kind::kScanThenDestroy:
      run.Scan();
      run.scanCommands = run.injector.CommandCount();
      if (run.found == 1) OnDestroyIsp(run.p, run.dialog);
      break;
    case Kind::kDestroy:
      OnDestroyIsp(run.p, run.dialog);
      break;
    case Kind::kDownload:
      for (size_t i = 0; i < layout.backupPages.size(); ++i) {
        DownloadIsp(run.p, "C:\\ISP" + std::to_string(i) + "_Before.bin", layout.backupPages[i]);
      }
      break;
  }
}

bool IsFailureBox(const testing::ShownBox& box) {
  return box.caption == "ERROR" || box.caption == "Fail" || box.caption == "Allocate Fail Warning";
}

bool IsSuccessBox(const Workflow& workflow, const testing::ShownBox& box) {
  if (box.text == kSuccess || box.text == kReplug) return true;
  // The erase branch shows its box whatever the erases did; only the
  // zeroing update claims that something was verified.
  return box.text == kDestroyed &&
         (std::string(workflow.name) == "DestroyZeroes" || workflow.kind == Kind::kScanThenDestroy);
}

std::string Describe(const std::vector<testing::ShownBox>& boxes) {
  std::string text = "[";
  for (const auto& box : boxes) {
    if (text.size() > 1) text += " | ";
    text += box.caption + ": " + box.text;
  }
  return text + "]";
}

// What the clean run of a workflow tells the faulted ones.
struct CleanRun {
  uint64_t commands = 0;
  std::vector<SeenCommand> seen;
  std::vector<std::vector<uint8_t>> areas;  // each area after a successful run
  std::optional<uint64_t> firstWrite;
  std::optional<uint64_t> lastRead;
  std::optional<uint64_t> lastCapacity;  // the update's closing capacity query
  uint64_t scanCommands = 0;             // leading commands of the drive scan
  std::vector<size_t> allocations;       // size of each transfer buffer taken
};

// A read of a backup: of an area a backup takes, before the update writes or
// after it has ended.
bool IsBackupRead(const CleanRun& clean, const Layout& layout, uint64_t k) {
  const SeenCommand& c = clean.seen[k];
  if (c.opcode != device::kOpReadFlashPages) return false;
  const bool beforeUpdate = !clean.firstWrite || k < *clean.firstWrite;
  const bool afterUpdate = clean.lastCapacity && k > *clean.lastCapacity;
  if (!beforeUpdate && !afterUpdate) return false;
  const uint32_t reach =
      layout.pageSize > kLargePage ? kBackupBytes / kLargePage : kBackupBytes / layout.pageSize;
  const uint32_t auxReach = kAuxBytes190 / std::min(layout.pageSize, kLargePage);
  return std::any_of(layout.backupPages.begin(), layout.backupPages.end(),
                     [&](uint32_t page) { return c.page >= page && c.page - page < reach; }) ||
         std::any_of(layout.auxBackupPages.begin(), layout.auxBackupPages.end(),
                     [&](uint32_t page) { return c.page >= page && c.page - page < auxReach; });
}

// Whether the design looks at the outcome of command `k` for this fault, so
// that a failure box must follow.
bool Examined(const Workflow& workflow, const CleanRun& clean, const Layout& layout, uint64_t k,
              Fault fault) {
  const std::string name = workflow.name;
  // The erase branch reports nothing of its erases, its CodeMark search
  // skips unreadable pages and identification is silent.
  if (name == "DestroyErases") return false;
  // Identification reports nothing; what it misses shows in what follows.
  if (k < clean.scanCommands) return false;
  // After the last read of the 0x190 fix (its After backups) nothing is
  // left that the user is told of.
  if (name == "Update190" && clean.lastRead && k > *clean.lastRead) return false;
  const SeenCommand& c = clean.seen[k];
  // A backup's read that fails once is read again, and the backup is made
  // from two reads that agree; only a drive gone for good ends it.
  if (IsBackupRead(clean, layout, k)) return fault == Fault::kVanish;
  const bool flashData = c.opcode == device::kOpReadFlashPages ||
                         c.opcode == device::kOpWriteFlashPages ||
                         c.opcode == device::kOpReadPageSpare;
  switch (fault) {
    case Fault::kCheckCondition:
    case Fault::kRefused:
    case Fault::kVanish:
      return flashData;
    case Fault::kLostWrite:
      return c.opcode == device::kOpWriteFlashPages;
    case Fault::kCorruptRead:
    case Fault::kUntouchedRead:
      // CIS pages go to the log as read; read-backs are checked.
      if (c.opcode != device::kOpReadFlashPages) return false;
      return clean.firstWrite && k > *clean.firstWrite;
    case Fault::kNone:
      break;
  }
  return false;
}

// The failure texts one of which the user must see when command `k` fails
// in this way: the box of the step that command belongs to.
std::vector<std::string> ExpectedTexts(const CleanRun& clean, const Layout& layout, uint64_t k,
                                       Fault fault) {
  const SeenCommand& c = clean.seen[k];
  const bool afterWrite = clean.firstWrite && k > *clean.firstWrite;
  const bool aux = layout.InAuxArea(c.page);
  if (c.opcode == device::kOpReadPageSpare) return {"Read physical data fail"};
  if (c.opcode == device::kOpWriteFlashPages) {
    if (fault == Fault::kLostWrite) return {"Update ISP code fail"};
    return {aux ? "Write 190 ISP code to flash fail" : "Write ISP code to flash fail"};
  }
  if (c.opcode != device::kOpReadFlashPages) return {};
  if (IsBackupRead(clean, layout, k)) return {"Read ISP code from flash fail"};
  if (!afterWrite) return {"Read physical data fail"};
  // A read that brought nothing says so in its residual: it failed.
  if (fault == Fault::kCorruptRead) return {"Update ISP code fail"};
  if (aux) return {"Read 190 ISP code from flash fail"};
  // A failed single-page read of a large-page area may also show as the
  // mismatch it leaves behind.
  if (layout.pageSize > kLargePage)
    return {"Read ISP code from flash fail", "Update ISP code fail"};
  return {"Read ISP code from flash fail"};
}

struct Tally {
  int run = 0;
  int passed = 0;
};
std::map<std::string, std::map<Fault, Tally>>& Results() {
  static std::map<std::string, std::map<Fault, Tally>> results;
  return results;
}
std::map<std::string, std::map<HostFault, Tally>>& HostResults() {
  static std::map<std::string, std::map<HostFault, Tally>> results;
  return results;
}

std::string BackupName(size_t i, bool after) {
  return "ISP" + std::to_string(i) + (after ? "_After.bin" : "_Before.bin");
}

// Every invariant of one finished case; the texts of those that failed.
std::vector<std::string> CheckCase(const Workflow& workflow, MatrixRun& run, const Layout& layout,
                                   const CleanRun& clean, bool examined, bool updates,
                                   const std::vector<std::string>& expectedTexts = {},
                                   bool trustsWhatItRead = true) {
  std::vector<std::string> failures;
  const auto& boxes = run.view.boxes;
  const bool failureShown = std::any_of(boxes.begin(), boxes.end(), IsFailureBox);
  const bool successShown = std::any_of(
      boxes.begin(), boxes.end(), [&](const auto& box) { return IsSuccessBox(workflow, box); });

  if (run.link.OpenVolumeCount() != 0) failures.push_back("a volume was left open");
  if (examined && !failureShown) failures.push_back("the fault was not reported");
  // A box may go on after the step's own text (a Before backup that could
  // not be read names the save that now lacks it).
  const auto sawFirstLine = [&](const std::string& text) {
    return std::any_of(boxes.begin(), boxes.end(), [&](const auto& box) {
      return box.text == text || box.text.rfind(text + "\n", 0) == 0;
    });
  };
  if (examined && !expectedTexts.empty() &&
      !std::any_of(expectedTexts.begin(), expectedTexts.end(), sawFirstLine)) {
    failures.push_back("the step's own failure box (" + expectedTexts.front() + ") was not shown");
  }

  // A copy whose CodeMark page the run's own scan could not read is not
  // written: a success then comes with a warning, and that copy must be
  // left as it was.
  const bool warned = std::any_of(boxes.begin(), boxes.end(),
                                  [](const auto& box) { return box.caption == "Warning"; });
  std::set<uint32_t> known;
  const DriveSlot& slot = run.p.Slot(0);
  for (const CisCopy& copy : slot.cis) {
    if (OffsetKnown(copy, copy.ispOffset) && slot.cisPagesPerBlock != 0) {
      known.insert(DevicePage(slot, copy.ispOffset));
    }
  }
  bool areasAsMeant = true;
  for (size_t i = 0; i < layout.areas.size() && i < clean.areas.size(); ++i) {
    const Area& area = layout.areas[i];
    const std::vector<uint8_t> now = run.Flash(area.page, area.pages * layout.pageSize);
    if (warned && Scans(workflow.kind) && run.found == 1 && known.count(area.owner) == 0) {
      if (now != area.before) failures.push_back("a copy the scan missed was changed");
      continue;
    }
    if (now != clean.areas[i]) areasAsMeant = false;
  }
  if (updates && successShown && !areasAsMeant && trustsWhatItRead) {
    failures.push_back("success shown over an ISP area that does not hold the new code");
  }
  // A scan that finds no drive ends the program ("Can't find any device !")
  // before anything is written.
  const bool noDrive = Scans(workflow.kind) && run.found == 0;
  if (updates && !areasAsMeant && !failureShown && !noDrive && trustsWhatItRead) {
    failures.push_back("the ISP areas are not as meant and no failure was shown");
  }
  if (noDrive && !run.injector.Seen().empty()) {
    for (const SeenCommand& c : run.injector.Seen()) {
      if (c.delivered &&
          (c.opcode == device::kOpWriteFlashPages || c.opcode == device::kOpEraseFlashBlock)) {
        failures.push_back("flash was changed on a drive the scan did not find");
        break;
      }
    }
  }

  for (uint32_t page = 0; page < layout.snapshotPages; ++page) {
    auto it = layout.snapshot.find(page);
    if (it == layout.snapshot.end()) continue;
    const std::vector<uint8_t> now = run.drive->ReadRawPage(page);
    if (now == it->second) continue;
    // The blocks of an area are erased whole before it is written, so the
    // rest of such a block may be left erased, but never with other data.
    const bool erased = std::all_of(now.begin(), now.end(), [](uint8_t b) { return b == 0xFF; });
    if (!(erased && layout.InAreaBlock(page))) {
      failures.push_back("page " + std::to_string(page) + " outside the ISP areas changed");
      break;
    }
  }
  for (const SeenCommand& c : run.injector.Seen()) {
    if (!c.delivered) continue;
    const bool write = c.opcode == device::kOpWriteFlashPages;
    const bool erase = c.opcode == device::kOpEraseFlashBlock;
    if (write && !(layout.InArea(c.page) && layout.InArea(c.page + c.pageCount - 1))) {
      failures.push_back("a write reached page " + std::to_string(c.page) + ", outside the areas");
    }
    if (erase && !layout.InAreaBlock(c.page)) {
      failures.push_back("an erase reached page " + std::to_string(c.page) + ", outside the areas");
    }
  }

  const std::string log = run.LogText();
  const bool afterToo =
      workflow.kind == Kind::kStartFix || workflow.kind == Kind::kScanThenStartFix;
  // The backups are of the areas the program knows: after a scan that missed
  // a copy, fewer of them, numbered from 0.
  std::vector<uint32_t> backupPages = layout.backupPages;
  if (workflow.kind == Kind::kScanThenStartFix || workflow.kind == Kind::kScanThenDestroy) {
    backupPages.clear();
    for (int i = 0; run.found == 1 && i < 4 && run.p.ispOffsets[i] != -1; ++i) {
      backupPages.push_back(DevicePage(run.p.Slot(0), static_cast<uint32_t>(run.p.ispOffsets[i])));
    }
  }
  for (size_t i = 0; i < backupPages.size(); ++i) {
    auto known = layout.pristine.find(backupPages[i]);
    if (known == layout.pristine.end()) {
      failures.push_back("a backup was taken of page " + std::to_string(backupPages[i]) +
                         ", no ISP area");
      continue;
    }
    for (bool after : {false, true}) {
      if (after && !afterToo) continue;
      const std::string name = BackupName(i, after);
      const bool okLine =
          log.find("DownLoad ISP  to file -> C:\\" + name + " --->OK\r\n") != std::string::npos;
      const auto file = run.HostFile(name);
      const std::vector<uint8_t> truth = after ? run.Code(backupPages[i]) : known->second;
      const bool good = file && *file == truth;
      if (okLine && !good) failures.push_back(name + " is logged OK but does not hold the area");
      if (file && !good && !failureShown) {
        failures.push_back(name + " is left wrong with no failure shown");
      }
      if (!okLine && !failureShown) failures.push_back(name + " is missing with no failure shown");
    }
  }
  return failures;
}

class FaultMatrix : public ::testing::TestWithParam<Workflow> {};

TEST_P(FaultMatrix, EveryCommandFailedEveryWay) {
  const Workflow workflow = GetParam();
  const std::string name = workflow.name;
  const bool scans = Scans(workflow.kind);
  const bool updates = workflow.kind == Kind::kStartFix || scans || name == "DestroyZeroes";

  // Where the areas lie, from a drive identified with no fault; every case
  // starts from the same flash.
  Layout layout;
  {
    MatrixRun run(workflow, true);
    ASSERT_EQ(run.found, 1);
    layout = TakeLayout(workflow, run);
    if (workflow.kind != Kind::kDownload) {
      ASSERT_FALSE(layout.areas.empty());
    }
    if (!Destroys(workflow.kind)) {
      ASSERT_FALSE(layout.backupPages.empty());
    }
    // Our idea of the ISP areas must be the drive's own.
    const std::vector<uint32_t> drivesAreas = run.drive->IspAreaPages();
    for (uint32_t page : layout.backupPages) {
      EXPECT_NE(std::find(drivesAreas.begin(), drivesAreas.end(), page), drivesAreas.end());
    }
    if (workflow.kind != Kind::kDownload) {
      for (uint32_t page : drivesAreas) {
        EXPECT_TRUE(std::any_of(layout.areas.begin(), layout.areas.end(),
                                [&](const Area& a) { return a.page == page; }))
            << "the drive's ISP area at page " << page << " is not in the layout";
      }
    }
  }

  // The clean run: how many commands, and what a successful run leaves.
  CleanRun clean;
  {
    MatrixRun run(workflow, !scans);
    const bool healthyBefore = run.drive->FlashIspHealthy();
    run.injector.Arm(Fault::kNone, 0);
    run.link.failAllocation = [&clean](size_t size) {
      clean.allocations.push_back(size);
      return false;
    };
    RunWorkflow(workflow, run, layout);
    clean.commands = run.injector.CommandCount();
    clean.seen = run.injector.Seen();
    clean.scanCommands = run.scanCommands;
    ASSERT_GT(clean.commands, 0u);
    for (uint64_t i = 0; i < clean.seen.size(); ++i) {
      if (clean.seen[i].opcode == device::kOpWriteFlashPages && !clean.firstWrite) {
        clean.firstWrite = i;
      }
      if (clean.seen[i].opcode == device::kOpReadFlashPages) clean.lastRead = i;
      if (clean.seen[i].opcode == device::kOpReadCapacity) clean.lastCapacity = i;
    }
    for (const Area& a : layout.areas)
      clean.areas.push_back(run.Flash(a.page, a.pages * layout.pageSize));
    const auto& boxes = run.view.boxes;
    EXPECT_FALSE(std::any_of(boxes.begin(), boxes.end(), IsFailureBox)) << Describe(boxes);
    if (workflow.kind == Kind::kStartFix || workflow.kind == Kind::kScanThenStartFix) {
      EXPECT_TRUE(run.view.Saw(kSuccess) || run.view.Saw(kReplug)) << Describe(boxes);
      EXPECT_FALSE(healthyBefore);
      EXPECT_TRUE(run.drive->FlashIspHealthy());
    } else if (Destroys(workflow.kind)) {
      EXPECT_TRUE(run.view.Saw(kDestroyed)) << Describe(boxes);
      EXPECT_TRUE(healthyBefore);
      EXPECT_FALSE(run.drive->FlashIspHealthy());
    }
    const std::vector<std::string> failures =
        CheckCase(workflow, run, layout, clean, false, updates);
    ASSERT_TRUE(failures.empty()) << "clean run: " << ::testing::PrintToString(failures);
  }

  int reported = 0;
  for (Fault fault : kFaults) {
    Tally& tally = Results()[name][fault];
    for (uint64_t k = 0; k < clean.commands; ++k) {
      MatrixRun run(workflow, !scans);
      run.injector.SetCommandBudget(10 * clean.commands + 100);
      run.injector.Arm(fault, k);
      std::vector<std::string> failures;
      try {
        RunWorkflow(workflow, run, layout);
      } catch (const CommandBudgetExceeded&) {
        failures.push_back("more than ten times the clean run's commands: a loop");
      }
      // A fault that changes nothing (a lost write aimed at a read) still
      // counts as a case: the run must then end as the clean one did.
      const bool examined = run.injector.Fired() && Examined(workflow, clean, layout, k, fault);
      if (failures.empty()) {
        // Identification takes the flash id and the INQUIRY text as they
        // come: a wrong byte there (or a reply that brought no data) that
        // passes every check picks another image, and no single reply
        // shows it. Such cases keep every other
        // invariant.
        const bool trusted = !((fault == Fault::kCorruptRead || fault == Fault::kUntouchedRead) &&
                               k < clean.scanCommands);
        failures = CheckCase(
            workflow, run, layout, clean, examined, updates,
            examined ? ExpectedTexts(clean, layout, k, fault) : std::vector<std::string>{},
            trusted);
      }
      ++tally.run;
      if (failures.empty()) {
        ++tally.passed;
        continue;
      }
      if (++reported <= 25) {
        const SeenCommand& c = clean.seen[k];
        char opcode[32];
        std::snprintf(opcode, sizeof opcode, "%02X/%02X len %u", c.opcode, c.sub, c.transferLength);
        ADD_FAILURE() << name << " k=" << k << " (" << opcode << ") " << testing::FaultName(fault)
                      << ": " << ::testing::PrintToString(failures) << " boxes "
                      << Describe(run.view.boxes);
      }
    }
  }

  // Every transfer buffer the run takes, refused in turn. A code block that
  // cannot be loaded is not reported by the design (its effect shows in the
  // commands after it); every other buffer belongs to an operation, which
  // must say that it could not allocate it.
  constexpr size_t kCodeBlockBytes = 4096;
  Tally& allocTally = Results()[name][Fault::kNone];
  for (size_t n = 0; n < clean.allocations.size(); ++n) {
    MatrixRun run(workflow, !scans);
    run.injector.SetCommandBudget(10 * clean.commands + 100);
    run.injector.Arm(Fault::kNone, 0);
    size_t taken = 0;
    run.link.failAllocation = [&taken, n](size_t) { return taken++ == n; };
    std::vector<std::string> failures;
    try {
      RunWorkflow(workflow, run, layout);
    } catch (const CommandBudgetExceeded&) {
      failures.push_back("more than ten times the clean run's commands: a loop");
    }
    const bool examined = clean.allocations[n] != kCodeBlockBytes;
    if (failures.empty()) {
      failures = CheckCase(workflow, run, layout, clean, examined, updates,
                           examined ? std::vector<std::string>{"Can't allocate databuffer..."}
                                    : std::vector<std::string>{});
    }
    ++allocTally.run;
    if (failures.empty()) {
      ++allocTally.passed;
    } else if (++reported <= 25) {
      ADD_FAILURE() << name << " allocation " << n << " (" << clean.allocations[n]
                    << " bytes) fails: " << ::testing::PrintToString(failures) << " boxes "
                    << Describe(run.view.boxes);
    }
  }
  // Every backup file the workflow keeps, failed on the host side in turn.
  // A Before file that cannot be kept stops Start Fix before anything
  // changes the drive, and no file is ever left incomplete under its name.
  const bool afterToo =
      workflow.kind == Kind::kStartFix || workflow.kind == Kind::kScanThenStartFix;
  std::vector<std::string> files;
  for (size_t i = 0; i < layout.backupPages.size(); ++i) {
    files.push_back(BackupName(i, false));
    if (afterToo) files.push_back(BackupName(i, true));
  }
  for (HostFault hostFault : kHostFaults) {
    Tally& hostTally = HostResults()[name][hostFault];
    for (const std::string& file : files) {
      MatrixRun run(workflow, !scans);
      run.injector.SetCommandBudget(10 * clean.commands + 100);
      run.injector.Arm(Fault::kNone, 0);
      run.platform.Arm(hostFault, file);
      std::vector<std::string> failures;
      try {
        RunWorkflow(workflow, run, layout);
      } catch (const CommandBudgetExceeded&) {
        failures.push_back("more than ten times the clean run's commands: a loop");
      }
      if (failures.empty()) failures = CheckCase(workflow, run, layout, clean, true, updates);
      if (run.platform.applied() == 0) failures.push_back("the file was never written");
      if (!std::any_of(run.view.boxes.begin(), run.view.boxes.end(), [&](const auto& box) {
            return box.caption == "Fail" &&
                   box.text.find("<C:\\" + file + ">") != std::string::npos;
          })) {
        failures.push_back("no Fail box names the file");
      }
      for (const auto& entry : std::filesystem::directory_iterator(run.cDrive.path())) {
        const std::string left = entry.path().filename().string();
        if (left == file || left.find(".tmp") != std::string::npos) {
          failures.push_back(left + " was left behind");
        }
      }
      // Before the update nothing may change the drive; after it, nothing
      // does any more.
      const bool before = file.find("_Before") != std::string::npos;
      const auto& seen = run.injector.Seen();
      for (uint64_t k = 0; k < seen.size(); ++k) {
        const bool changes = seen[k].delivered && (seen[k].opcode == device::kOpWriteFlashPages ||
                                                   seen[k].opcode == device::kOpEraseFlashBlock);
        if (changes && (before || !clean.lastCapacity || k > *clean.lastCapacity)) {
          failures.push_back("the drive was changed after a backup the host could not keep");
          break;
        }
      }
      ++hostTally.run;
      if (failures.empty()) {
        ++hostTally.passed;
      } else if (++reported <= 25) {
        ADD_FAILURE() << name << " " << file << " " << testing::HostFaultName(hostFault) << ": "
                      << ::testing::PrintToString(failures) << " boxes "
                      << Describe(run.view.boxes);
      }
    }
  }
  if (reported > 25) ADD_FAILURE() << name << ": " << reported - 25 << " more failed cases";
}

INSTANTIATE_TEST_SUITE_P(Workflows, FaultMatrix, ::testing::ValuesIn(kWorkflows),
                         [](const auto& info) { return std::string(info.param.name); });

// Prints the table once every workflow has run.
class SummaryPrinter : public ::testing::Environment {
 public:
  void TearDown() override {
    // The allocation cases are kept under Fault::kNone, the one fault the
    // command loop never aims.
    std::vector<Fault> columns(std::begin(kFaults), std::end(kFaults));
    columns.push_back(Fault::kNone);
    std::printf("\nFault matrix: cases passed / run\n%-18s", "workflow");
    for (Fault fault : columns) {
      std::printf(" %16s", fault == Fault::kNone ? "allocation" : testing::FaultName(fault));
    }
    for (HostFault fault : kHostFaults) std::printf(" %14s", testing::HostFaultName(fault));
    std::printf("\n");
    int run = 0;
    int passed = 0;
    for (const auto& [name, row] : Results()) {
      std::printf("%-18s", name.c_str());
      for (Fault fault : columns) {
        auto it = row.find(fault);
        const Tally t = it == row.end() ? Tally{} : it->second;
        char cell[32];
        std::snprintf(cell, sizeof cell, "%d/%d", t.passed, t.run);
        std::printf(" %16s", cell);
        run += t.run;
        passed += t.passed;
      }
      const auto hostRow = HostResults().find(name);
      for (HostFault fault : kHostFaults) {
        Tally t;
        if (hostRow != HostResults().end() && hostRow->second.count(fault) != 0) {
          t = hostRow->second.at(fault);
        }
        char cell[32];
        std::snprintf(cell, sizeof cell, "%d/%d", t.passed, t.run);
        std::printf(" %14s", cell);
        run += t.run;
        passed += t.passed;
      }
      std::printf("\n");
    }
    std::printf("all: %d/%d cases passed\n", passed, run);
  }
};

const auto* const kSummary = ::testing::AddGlobalTestEnvironment(new SummaryPrinter);

}  // namespace
}  // namespace kestrune
