// Backups a technician can trust and restore: Start Fix stops before the
// first erase when the host cannot keep a backup, a backup appears only
// complete and never replaces an older one, and the backup and restore
// commands bring back the ISP a drive had. Simulated drives throughout,
// behind a recording injector and a platform that spoils chosen files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/backup_files.h"
#include "operations/backup_records.h"
#include "operations/isp_areas.h"
#include "operations/messages.h"
#include "operations/operations.h"
#include "simulator/virtual_drive.h"
#include "tests/support/device_temp_folder.h"
#include "tests/support/device_test_link.h"
#include "tests/support/fault_injector.h"
#include "tests/support/host_fault_platform.h"
#include "tests/support/ops_harness.h"
#include "tests/support/recording_view.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using testing::Fault;
using testing::HostFault;

constexpr const char* kSuccess =
    "Update ISP code Success, please replug device to ensure it normal.";

std::string ReadyJson(const std::string& file) {
  std::ifstream in(fs::path(KESTRUNE_TEST_DRIVES) / file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// One identified drive; the injector records from the end of the scan on.
class BackupRun {
 public:
  explicit BackupRun(const std::string& json) : injector(volumes, Fault::kNone, 0) {
    std::string error;
    drive = sim::VirtualDrive::FromJsonText(json, &error);
    if (!drive) throw std::runtime_error(error);
    volumes.Attach('E', *drive);
    p.reports->SetObserver(&view);
    folder.Write("ISP.log", "");
    log.StartLog();
    ExtractImages(p.platform, p.images.get());
    p.isAdmin = true;
    for (int i = 0; i < kSlotCount; ++i) ResetSlot(p, i);
    found = CheckDriveExist(p);
    p.selectedDrive = 0;
    view.boxes.clear();
    injector.Arm(Fault::kNone, 0);
  }

  // `bytes` of code from device page `page` on, as the updates lay it out:
  // pages above 4 KiB hold the next 4 KiB at their start.
  std::vector<uint8_t> Code(uint32_t page, uint32_t bytes = kIspPayloadBytes) const {
    const uint32_t pageSize = drive->PageSize();
    const uint32_t step = std::min<uint32_t>(pageSize, 4096);
    std::vector<uint8_t> out;
    while (out.size() < bytes) {
      const std::vector<uint8_t> raw = drive->ReadRawPage(page++);
      out.insert(out.end(), raw.begin(), raw.begin() + step);
    }
    return out;
  }
  // The code of each ISP (or auxiliary) area the program knows, in copy order.
  std::vector<std::vector<uint8_t>> Codes(AreaKind kind) {
    std::vector<std::vector<uint8_t>> codes;
    for (const CopyArea& area : BuildCopyList(p, 0, kind)) {
      codes.push_back(
          Code(area.devicePage, kind == AreaKind::kIsp ? kIspPayloadBytes : kAuxAreaBytes));
    }
    return codes;
  }
  std::vector<uint8_t> HostFile(const std::string& name) const {
    std::ifstream in(folder.path() / name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  // A command that changes the flash reached the drive.
  bool FlashChanged() const {
    return std::any_of(injector.Seen().begin(), injector.Seen().end(), [](const auto& c) {
      return c.delivered &&
             (c.opcode == device::kOpEraseFlashBlock || c.opcode == device::kOpWriteFlashPages);
    });
  }
  std::vector<std::string> FolderNames() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder.path())) {
      if (entry.is_regular_file() || entry.is_symlink()) names.push_back(entry.path().filename());
    }
    return names;
  }

  testing::TempFolder folder;
  testing::HostFaultPlatform platform{testing::FolderOptions(folder.path())};
  std::unique_ptr<sim::VirtualDrive> drive;
  sim::SimulatedVolumes volumes;
  testing::FaultInjector injector;
  testing::TestLink link{injector};
  IspLog log{platform};
  testing::RecordingView view;
  Program p{platform, link, log, view};
  testing::OpsDialog dialog;
  uint8_t found = 0;
};

// --- Start Fix and a backup the host cannot keep ---

struct HostFailureCase {
  const char* name;
  const char* drive;
  HostFault fault;
  const char* file;  // the backup that fails
  const char* box;   // its first two lines
};

class HostFailure : public ::testing::TestWithParam<HostFailureCase> {};

TEST_P(HostFailure, StopsStartFixBeforeTheFirstErase) {
  const HostFailureCase row = GetParam();
  BackupRun run(ReadyJson(row.drive));
  ASSERT_EQ(run.found, 1);
  const auto before = run.Codes(AreaKind::kIsp);
  run.platform.Arm(row.fault, row.file);

  OnStartFix(run.p, run.dialog);

  EXPECT_GT(run.platform.applied(), 0);
  EXPECT_FALSE(run.FlashChanged());
  EXPECT_EQ(run.Codes(AreaKind::kIsp), before);
  ASSERT_FALSE(run.view.boxes.empty());
  EXPECT_EQ(run.view.boxes.back().text, std::string(row.box) + "\n" + kUpdateNotStarted);
  EXPECT_EQ(run.view.boxes.back().caption, "Fail");
  EXPECT_FALSE(run.view.Saw(kSuccess));
  EXPECT_EQ(run.view.progress.back(), "failed: Backup C:\\" + std::string(row.file));
  // Nothing incomplete under the name, and no temporary file left.
  for (const std::string& name : run.FolderNames()) {
    EXPECT_NE(name, row.file);
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
  }
  EXPECT_NE(run.folder.Read("ISP.log").find(kUpdateStopped), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HostFailure,
    ::testing::Values(
        HostFailureCase{"CannotCreate", "ctrl163_broken.json", HostFault::kCannotCreate,
                        "ISP0_Before.bin",
                        "The file <C:\\ISP0_Before.bin> cannot be opened, please check.\n"
                        "Permission denied"},
        HostFailureCase{"ShortWriteOfTheSecondCopy", "ctrl163_broken.json", HostFault::kShortWrite,
                        "ISP1_Before.bin",
                        "Fail to write 48k ISP code to <C:\\ISP1_Before.bin>\n"
                        "Only 16384 of 49152 bytes were written."},
        HostFailureCase{"FullSmallPages", "ctrl165_small_pages_broken.json", HostFault::kFull,
                        "ISP0_Before.bin",
                        "Fail to write 48k ISP code to <C:\\ISP0_Before.bin>\n"
                        "No space left on device"},
        HostFailureCase{"FullFamilyA", "ctrl161_broken.json", HostFault::kFull, "ISP0_Before.bin",
                        "Fail to write 48k ISP code to <C:\\ISP0_Before.bin>\n"
                        "No space left on device"},
        HostFailureCase{"ShortWriteLargePages", "ctrl163_large_pages_broken.json",
                        HostFault::kShortWrite, "ISP0_Before.bin",
                        "Fail to write 48k ISP code to <C:\\ISP0_Before.bin>\n"
                        "Only 16384 of 49152 bytes were written."},
        // A 0x190 keeps both areas of every copy before its first erase.
        HostFailureCase{"ShortWrite190", "ctrl190_broken.json", HostFault::kShortWrite,
                        "ISP1_Before.bin",
                        "Fail to write 48k ISP code to <C:\\ISP1_Before.bin>\n"
                        "Only 16384 of 49152 bytes were written."},
        HostFailureCase{"FullAuxiliary190", "ctrl190_broken.json", HostFault::kFull,
                        "ISP1_AuxBefore.bin",
                        "Fail to write 16k auxiliary code to <C:\\ISP1_AuxBefore.bin>\n"
                        "No space left on device"}),
    [](const auto& info) { return std::string(info.param.name); });

// A flash read that fails every time it is tried is the drive's fault: the
// repair the user asked for goes on, a warning and the log say which backup
// does not exist, and its save is never restored as if it were whole.
TEST(DriveSideBackupFailure, TheRepairGoesOnAndTheLogSaysSo) {
  BackupRun run(ReadyJson("ctrl163_broken.json"));
  uint64_t at = 0;
  {
    BackupRun dry(ReadyJson("ctrl163_broken.json"));
    OnStartFix(dry.p, dry.dialog);
    while (dry.injector.Seen()[at].transferLength != kIspPayloadBytes) ++at;
  }
  for (int k = 0; k < kAreaReadAttempts; ++k) {
    sim::FaultRule rule;
    rule.overall = run.drive->CommandCount() + at + 1 + static_cast<uint64_t>(k);
    run.drive->AddFault(rule);
  }
  OnStartFix(run.p, run.dialog);
  const nlohmann::json records = nlohmann::json::parse(run.folder.Read(kRecordDocumentName));
  const std::string id = records["saves"][0]["id"];
  const std::string warning =
      "Read ISP code from flash fail\n" + FormatText(kSaveLacksArea, "ISP copy 0", id.c_str());
  EXPECT_TRUE(run.view.Saw(warning));
  EXPECT_EQ(run.view.boxes.back().text, kSuccess);
  const Report report = run.p.reports->Snapshot().back();
  EXPECT_EQ(report.outcome, Outcome::kSuccess);
  EXPECT_EQ(report.warnings, std::vector<std::string>{warning});
  EXPECT_EQ(records["saves"][0]["missing"],
            nlohmann::json::parse(R"([{"copy": 0, "area": "ISP"}])"));
  EXPECT_FALSE(fs::exists(run.folder.path() / "ISP0_Before.bin"));
  EXPECT_TRUE(fs::exists(run.folder.path() / "ISP1_Before.bin"));
  EXPECT_NE(run.folder.Read("ISP.log").find(FormatText(kNoBackupMade, "C:\\ISP0_Before.bin")),
            std::string::npos);
  RestartDrive(run.p, 0);
  EXPECT_TRUE(run.drive->IspHealthy());

  // The save lacks copy 0: it is refused whole, nothing filled from elsewhere.
  const auto repaired = run.Codes(AreaKind::kIsp);
  run.view.boxes.clear();
  EXPECT_EQ(OnRestoreIsp(run.p, run.dialog, {}), RestoreOutcome::kRefusedNoBackup);
  EXPECT_EQ(run.view.BoxTexts(),
            std::vector<std::string>{FormatText(
                kRestoreSaveIncomplete, id.c_str(), "fix",
                records["saves"][0]["savedAt"].get<std::string>().c_str(),
                "C:\\kestrune-backups.json", "ISP copy 0")});
  EXPECT_EQ(run.Codes(AreaKind::kIsp), repaired);
}

// --- the records that tie each backup to its drive ---

struct RecordFailureCase {
  const char* name;
  const char* planted;  // the records document found in C:, when given
  HostFault fault;      // aimed at the records document
  std::string box;
};

class RecordFailure : public ::testing::TestWithParam<RecordFailureCase> {};

// A backup whose drive cannot be told is no backup to repair from: the
// fix stops before the first erase, as when the file itself cannot be kept.
TEST_P(RecordFailure, StopsStartFixBeforeTheFirstErase) {
  const RecordFailureCase& row = GetParam();
  BackupRun run(ReadyJson("ctrl163_broken.json"));
  const auto before = run.Codes(AreaKind::kIsp);
  if (row.planted != nullptr) run.folder.Write(kRecordDocumentName, row.planted);
  run.platform.Arm(row.fault, kRecordDocumentName);

  OnStartFix(run.p, run.dialog);

  EXPECT_FALSE(run.FlashChanged());
  EXPECT_EQ(run.Codes(AreaKind::kIsp), before);
  ASSERT_FALSE(run.view.boxes.empty());
  EXPECT_EQ(run.view.boxes.back().text, row.box + "\n" + kUpdateNotStarted);
  if (row.planted != nullptr) {
    EXPECT_EQ(run.folder.Read(kRecordDocumentName), row.planted);
  }
}

// A records document of one record of ISP0_Before.7.bin.
std::string OneRecord(const std::string& file, const std::string& sequence) {
  return R"({"format": "kestrune-backup-records", "version": 1, "files": [{"file": ")" + file +
         R"(", "kind": "Before", "copy": 0, "page": 192, "size": 49152, "sha256": "00",)"
         R"( "savedAt": "2024-05-01T09:30:00Z", "programVersion": "1.0.0.7", "sequence": )" +
         sequence +
         R"(, "drive": {"controllerId": "0x163", "revision": 2, "flashId": "EC D3 51 95 58",)"
         R"( "pageSize": 2048, "vendor": "KSTRUNE", "product": "USB DISK 163",)"
         R"( "inquiryText": "x", "usbSerial": "KST163BROKEN"}}]})";
}

std::string NotReady(const std::string& why) {
  return FormatText(kRecordsNotReady, "C:\\ISP0_Before.bin", "C:\\kestrune-backups.json") + "\n" +
         FormatText(kRecordsUnreadable, "C:\\kestrune-backups.json", why.c_str());
}

const std::string kSubFolderRecord = OneRecord(R"(sub\\x.bin)", "3");
const std::string kParentRecord = OneRecord("..", "3");
const std::string kTopSequence = OneRecord("ISP0_Before.7.bin", "18446744073709551615");
const std::string kLastSequence = OneRecord("ISP0_Before.7.bin", "9007199254740992");

INSTANTIATE_TEST_SUITE_P(
    Records, RecordFailure,
    ::testing::Values(
        RecordFailureCase{
            "CannotBeWritten", nullptr, HostFault::kFull,
            FormatText(kRecordNotKept, "C:\\ISP0_Before.bin", "C:\\kestrune-backups.json") +
                "\nNo space left on device"},
        RecordFailureCase{
            "NotARecordDocument", "{\"files\": 3}", HostFault::kNone,
            FormatText(kRecordsNotReady, "C:\\ISP0_Before.bin", "C:\\kestrune-backups.json") +
                "\n" +
                FormatText(kRecordsUnreadable, "C:\\kestrune-backups.json",
                           "it is not a backup record document")},
        // A record names a file of its folder, never a path.
        RecordFailureCase{"ARecordOfASubFolder", kSubFolderRecord.c_str(), HostFault::kNone,
                          NotReady("a record names <sub\\x.bin>, which is no plain "
                                   "file name in its folder")},
        RecordFailureCase{"ARecordOfTheParent", kParentRecord.c_str(), HostFault::kNone,
                          NotReady("a record names <..>, which is no plain file "
                                   "name in its folder")},
        // No run numbers that far, and numbering never wraps.
        RecordFailureCase{"ASequenceNoRunMakes", kTopSequence.c_str(), HostFault::kNone,
                          NotReady("the record of <ISP0_Before.7.bin> has the "
                                   "sequence 18446744073709551615, which no run "
                                   "makes")},
        RecordFailureCase{
            "TheLastSequence", kLastSequence.c_str(), HostFault::kNone,
            FormatText(kRecordNotKept, "C:\\ISP0_Before.bin", "C:\\kestrune-backups.json") + "\n" +
                kRecordsFull}),
    [](const auto& info) { return std::string(info.param.name); });

// A FIFO under the document's name is refused for what it is, at once:
// nothing waits for a writer that never comes while the folder is locked.
TEST(RecordDocument, AFifoIsRefusedForWhatItIs) {
  BackupRun run(ReadyJson("ctrl163_broken.json"));
  ASSERT_EQ(::mkfifo((run.folder.path() / kRecordDocumentName).c_str(), 0600), 0);
  OnStartFix(run.p, run.dialog);
  EXPECT_FALSE(run.FlashChanged());
  ASSERT_FALSE(run.view.boxes.empty());
  EXPECT_EQ(run.view.boxes.back().text,
            NotReady("is a FIFO, not a file") + "\n" + kUpdateNotStarted);
}

// Another user's document in a shared C: is not read: a default restore
// refuses it by its owner, and a fix writes a document of its own in its
// place, with none of that user's entries.
TEST(RecordDocument, AnotherUsersDocumentIsNotThisUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "a file of another user needs root to make";
  BackupRun run(ReadyJson("ctrl163_broken.json"));
  const fs::path document = run.folder.path() / kRecordDocumentName;
  run.folder.Write(kRecordDocumentName, OneRecord("ISP0_Before.7.bin", "5"));
  ASSERT_EQ(::chown(document.c_str(), 54321, 54321), 0);

  EXPECT_EQ(OnRestoreIsp(run.p, run.dialog, {}), RestoreOutcome::kRefusedNoBackup);
  EXPECT_EQ(run.view.BoxTexts(),
            std::vector<std::string>{
                FormatText(kRestoreOtherUsersRecords, "C:\\kestrune-backups.json", "uid 54321",
                           run.p.donorFilesHint.c_str())});
  EXPECT_TRUE(run.injector.Seen().empty());

  run.view.boxes.clear();
  OnStartFix(run.p, run.dialog);
  EXPECT_EQ(run.view.boxes.back().text, kSuccess);
  struct stat st {};
  ASSERT_EQ(::stat(document.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(run.folder.Read(kRecordDocumentName).find("ISP0_Before.7.bin"), std::string::npos);
}

// An object of 100,000 keys is read like any other (bench/backup_records_bench
// shows what it costs); only the fields of a record count.
TEST(RecordDocument, AnObjectOfManyKeysIsReadAsAnyOther) {
  BackupRun run(ReadyJson("ctrl163_broken.json"));
  std::string keys;
  for (int i = 0; i < 100000; ++i) keys += "\"k" + std::to_string(i) + "\": 0, ";
  std::string document = OneRecord("ISP0_Before.7.bin", "5");
  document.insert(document.find("\"controllerId\""), keys);
  run.folder.Write(kRecordDocumentName, document);
  RecordBook book;
  std::string problem;
  ASSERT_TRUE(ReadRecordBook(run.p, "C:\\", book, problem)) << problem;
  ASSERT_EQ(book.records.size(), 1u);
  EXPECT_EQ(book.records[0].file, "ISP0_Before.7.bin");
  EXPECT_EQ(book.records[0].sequence, 5u);
  EXPECT_EQ(book.records[0].drive.usbSerial, "KST163BROKEN");
}

// A document an earlier version wrote (indented, every file with its drive,
// empty fields as null) is read, and written again in today's form, with
// nothing lost: a file whose drive is not its save's keeps its own.
TEST(RecordDocument, AnEarlierVersionIsReadAndWrittenAgainWhole) {
  BackupRun run(ReadyJson("ctrl163_broken.json"));
  const std::string drive =
      R"({"controllerId": "0x163", "revision": 2, "flashId": "EC D3 51 95 58", "pageSize": 2048,)"
      R"( "vendor": "KSTRUNE", "product": "USB DISK 163", "inquiryText": "%s", "usbSerial": %s})";
  const std::string saveDrive = FormatText(drive.c_str(), "ISP OK", "\"KST1\"");
  const std::string file = R"({"file": "%s", "kind": "Before", "copy": %s, "page": 192,)"
                           R"( "size": 49152, "sha256": "00", "savedAt": "2026-12-09T16:28:15Z",)"
                           R"( "programVersion": "1.0.0.7", "sequence": %s, "drive": %s,)"
                           R"( "replayOf": null, "save": %s})";
  run.folder.Write(
      kRecordDocumentName,
      R"({"format": "kestrune-backup-records", "version": 2, "saves": [{"id": "20261209T162815Z-3fa1",)"
      R"( "command": "fix", "role": "before", "savedAt": "2026-12-09T16:28:15.125Z", "sequence": 3,)"
      R"( "source": "real device", "recording": null, "recordingFile": null, "missing": [],)"
      R"( "changeBegun": true, "changeOf": null, "drive": )" +
          saveDrive + "}],\n \"files\": [" +
          FormatText(file.c_str(), "ISP0_Before.bin", "0", "1", saveDrive.c_str(),
                     "\"20261209T162815Z-3fa1\"") +
          ", " +
          FormatText(file.c_str(), "ISP1_Before.bin", "null", "2",
                     FormatText(drive.c_str(), "ISP BAD", "null").c_str(),
                     "\"20261209T162815Z-3fa1\"") +
          ", " +
          FormatText(file.c_str(), "ISP0_Backup.bin", "1", "4", saveDrive.c_str(), "null") +
          "]}");
  std::string problem;
  RecordBook first;
  ASSERT_TRUE(ReadRecordBook(run.p, "C:\\", first, problem)) << problem;
  ASSERT_TRUE(WriteRecordBook(run.p, "C:\\", first, problem)) << problem;
  RecordBook again;
  ASSERT_TRUE(ReadRecordBook(run.p, "C:\\", again, problem)) << problem;

  ASSERT_EQ(again.records.size(), 3u);
  ASSERT_EQ(again.saves.size(), 2u);  // the save, and the file of none as one of its own
  for (size_t i = 0; i < 3; ++i) {
    const BackupRecord& was = first.records[i];
    const BackupRecord& is = again.records[i];
    EXPECT_EQ(std::tie(is.file, is.copy, is.sequence, is.save),
              std::tie(was.file, was.copy, was.sequence, was.save));
    EXPECT_TRUE(is.drive == was.drive) << is.file;
  }
  EXPECT_EQ(again.records[1].drive.inquiryText, "ISP BAD");
  EXPECT_EQ(again.records[1].drive.usbSerial, "");
  EXPECT_EQ(again.records[1].copy, -1);
  EXPECT_TRUE(again.saves[0].drive == first.saves[0].drive);
  EXPECT_TRUE(again.saves[0].missing.empty());
  EXPECT_TRUE(again.saves[1].legacy);
  // One entry a line: a save and its files are found with grep.
  EXPECT_NE(run.folder.Read(kRecordDocumentName).find("\n{\"id\":\"20261209T162815Z-3fa1\""),
            std::string::npos);
}

// --- naming: nothing overwritten, nothing followed ---

TEST(BackupNames, ASecondRunKeepsTheBackupsOfTheFirst) {
  BackupRun run(ReadyJson("ctrl163_broken.json"));
  const auto original = run.Codes(AreaKind::kIsp);
  OnStartFix(run.p, run.dialog);
  const auto repaired = run.Codes(AreaKind::kIsp);
  OnStartFix(run.p, run.dialog);
  OnStartFix(run.p, run.dialog);
  for (size_t i = 0; i < original.size(); ++i) {
    const std::string copy = "ISP" + std::to_string(i);
    EXPECT_EQ(run.HostFile(copy + "_Before.1.bin"), original[i]) << copy;
    EXPECT_EQ(run.HostFile(copy + "_Before.2.bin"), repaired[i]) << copy;
    EXPECT_EQ(run.HostFile(copy + "_Before.bin"), repaired[i]) << copy;
    EXPECT_TRUE(fs::exists(run.folder.path() / (copy + "_After.2.bin"))) << copy;
    EXPECT_FALSE(fs::exists(run.folder.path() / (copy + "_Before.3.bin"))) << copy;
  }
  // Every kept file is named once, where it really is, and the records
  // that now hold it after it.
  ASSERT_EQ(run.view.files.size(), 2 * 3 * 2 * original.size());
  EXPECT_EQ(run.view.files[0].name, "C:\\ISP0_Before.bin");
  EXPECT_EQ(run.view.files[0].hostPath,
            (fs::canonical(run.folder.path()) / "ISP0_Before.bin").string());
  EXPECT_EQ(run.view.files[0].size, kIspPayloadBytes);
  EXPECT_EQ(run.view.files[1].hostPath,
            (fs::canonical(run.folder.path()) / "kestrune-backups.json").string());
}

TEST(BackupNames, APlantedLinkIsMovedAsideAndNotWrittenThrough) {
  BackupRun run(ReadyJson("ctrl163_broken.json"));
  const auto original = run.Codes(AreaKind::kIsp);
  testing::TempFolder outside;
  outside.Write("shadow", "a file of another user");
  fs::create_symlink(outside.path() / "shadow", run.folder.path() / "ISP0_Before.bin");
  OnStartFix(run.p, run.dialog);
  EXPECT_EQ(outside.Read("shadow"), "a file of another user");
  EXPECT_TRUE(fs::is_symlink(run.folder.path() / "ISP0_Before.1.bin"));
  EXPECT_FALSE(fs::is_symlink(run.folder.path() / "ISP0_Before.bin"));
  EXPECT_EQ(run.HostFile("ISP0_Before.bin"), original[0]);
  EXPECT_EQ(run.view.boxes.back().text, kSuccess);
}

// --- the way back: which save a default restore takes ---

// The index, from the last Arm, of the first erase among `seen`.
uint64_t FirstErase(const std::vector<testing::SeenCommand>& seen) {
  for (size_t i = 0; i < seen.size(); ++i) {
    if (seen[i].opcode == device::kOpEraseFlashBlock) return i;
  }
  ADD_FAILURE() << "no erase was sent";
  return 0;
}

// Sets the time of every save and file record of `command` in the records
// of `folder` (its document and journal), as a clock that was wrong when
// they were made would have.
void BackdateRecords(const fs::path& folder, const std::string& command, const std::string& time) {
  const fs::path path = folder / kRecordDocumentName;
  std::ifstream in(path);
  nlohmann::json document = nlohmann::json::parse(in);
  in.close();
  std::vector<nlohmann::json> journal;
  std::ifstream journalIn(folder / kRecordJournalName);
  for (std::string line; std::getline(journalIn, line);) journal.push_back(nlohmann::json::parse(line));
  std::vector<nlohmann::json*> saves;
  std::vector<nlohmann::json*> files;
  for (auto& save : document["saves"]) saves.push_back(&save);
  for (auto& file : document["files"]) files.push_back(&file);
  for (auto& line : journal) {
    if (line.contains("save")) saves.push_back(&line["save"]);
    if (line.contains("file")) files.push_back(&line["file"]);
  }
  std::vector<std::string> ids;
  for (nlohmann::json* save : saves) {
    if ((*save)["command"] == command) {
      (*save)["savedAt"] = time;
      ids.push_back((*save)["id"]);
    }
  }
  for (nlohmann::json* file : files) {
    if (std::find(ids.begin(), ids.end(), (*file)["save"]) != ids.end()) (*file)["savedAt"] = time;
  }
  std::ofstream(path) << document.dump(2);
  if (journal.empty()) return;
  std::ofstream out(folder / kRecordJournalName);
  for (const auto& line : journal) out << line.dump() << '\n';
}

// Fills the records of `run` with the saves of 1,200 other sticks, as a
// busy bench's folder holds them: large enough that its changes go to the
// journal beside the document.
void FillWithOtherSticks(BackupRun& run) {
  RecordBook book;
  for (int i = 0; i < 1200; ++i) {
    SaveMark save;
    save.id = FormatText("20250101T000000Z-%04x", i);
    save.command = "fix";
    save.savedAt = "2025-01-01T00:00:00.000Z";
    save.drive = IdentityOf(run.p, 0);
    save.drive.usbSerial = FormatText("OTHER%04d", i);
    book.PutSave(save);
    for (int copy = 0; copy < 2; ++copy) {
      BackupRecord record;
      record.file = FormatText("ISP%d_Before.%d.bin", copy, i + 100);
      record.copy = copy;
      record.size = 49152;
      record.sha256 = std::string(64, 'a');
      record.savedAt = "2025-01-01T00:00:00Z";
      record.drive = save.drive;
      record.save = save.id;
      ASSERT_TRUE(book.Put(record));
    }
  }
  std::string problem;
  ASSERT_TRUE(WriteRecordBook(run.p, "C:\\", book, problem)) << problem;
  ASSERT_GE(fs::file_size(run.folder.path() / kRecordDocumentName), kJournalFromBytes);
}

// Each road ends in a default restore, which must bring back the ISP the
// stick had before the last change that reached it, and say SUCCESS.
enum class Road : uint8_t {
  kRestoreWroteNothing,  // destroy; a restore whose stick is gone at its first erase
  kClockSetForward,      // a fix made while the clock ran years ahead, then a destroy
  kRecordsFullOnKeep,    // a second fix stops: the records cannot take the older file
  kRestoreSaveHalfKept,  // destroy; a restore whose save stops between its two files
};

// Each road is taken in a folder of this stick's saves alone, and in a
// bench's folder of many sticks' saves, whose records change by journal.
class WayBack : public ::testing::TestWithParam<std::tuple<Road, bool>> {};

TEST_P(WayBack, TheDefaultRestoreTakesTheSaveOfTheLastChange) {
  BackupRun run(ReadyJson("ctrl163_broken.json"));
  const auto [road, bench] = GetParam();
  if (bench) FillWithOtherSticks(run);
  const char* records = bench ? kRecordJournalName : kRecordDocumentName;
  std::vector<std::vector<uint8_t>> wanted;
  switch (road) {
    case Road::kRestoreWroteNothing: {
      OnStartFix(run.p, run.dialog);
      wanted = run.Codes(AreaKind::kIsp);
      OnDestroyIsp(run.p, run.dialog);
      // The same restore on a twin tells which command is its first erase.
      BackupRun twin(ReadyJson("ctrl163_broken.json"));
      OnStartFix(twin.p, twin.dialog);
      OnDestroyIsp(twin.p, twin.dialog);
      twin.injector.Arm(Fault::kNone, 0);
      OnRestoreIsp(twin.p, twin.dialog, {});
      run.injector.Arm(Fault::kVanish, FirstErase(twin.injector.Seen()));
      EXPECT_EQ(OnRestoreIsp(run.p, run.dialog, {}), RestoreOutcome::kFailed);
      EXPECT_FALSE(run.FlashChanged());
      run.injector.Arm(Fault::kNone, 0);
      break;
    }
    case Road::kClockSetForward:
      OnStartFix(run.p, run.dialog);
      BackdateRecords(run.folder.path(), "fix", "2031-01-01T00:00:00.000Z");
      wanted = run.Codes(AreaKind::kIsp);
      OnDestroyIsp(run.p, run.dialog);
      break;
    case Road::kRestoreSaveHalfKept:
      OnStartFix(run.p, run.dialog);
      wanted = run.Codes(AreaKind::kIsp);
      OnDestroyIsp(run.p, run.dialog);
      run.platform.Arm(HostFault::kFull, "ISP1_Before");
      EXPECT_EQ(OnRestoreIsp(run.p, run.dialog, {}), RestoreOutcome::kFailed);
      run.platform.Arm(HostFault::kNone, "");
      break;
    case Road::kRecordsFullOnKeep:
      wanted = run.Codes(AreaKind::kIsp);
      OnStartFix(run.p, run.dialog);
      run.platform.Arm(HostFault::kFull, records);
      OnStartFix(run.p, run.dialog);
      EXPECT_NE(run.view.boxes.back().text, kSuccess);
      run.platform.Arm(HostFault::kNone, "");
      break;
  }
  ASSERT_NE(run.Codes(AreaKind::kIsp), wanted);
  run.view.boxes.clear();
  EXPECT_EQ(OnRestoreIsp(run.p, run.dialog, {}), RestoreOutcome::kRestored)
      << ::testing::PrintToString(run.view.BoxTexts());
  EXPECT_EQ(run.Codes(AreaKind::kIsp), wanted);
  EXPECT_EQ(fs::exists(run.folder.path() / kRecordJournalName), bench);
}

INSTANTIATE_TEST_SUITE_P(Roads, WayBack,
                         ::testing::Combine(::testing::Values(Road::kRestoreWroteNothing,
                                                              Road::kClockSetForward,
                                                              Road::kRecordsFullOnKeep,
                                                              Road::kRestoreSaveHalfKept),
                                            ::testing::Bool()));

// A bench's journal as it may be found: left over from the document
// before (a cut between writing that whole and removing it), cut short,
// planted. Only the journal of the document, written whole, counts; any
// other of its token makes the records unreadable, by name, not less.
TEST(RecordJournal, OnlyAWholeJournalOfTheDocumentCounts) {
  struct Case {
    const char* name;
    std::function<std::string(const std::string&)> edit;  // the journal, from the one written
    bool read;  // the records are read, with the change (`changed`) or without
    bool changed;
  };
  const std::string leftOver = "{\"format\":\"kestrune-backup-journal\",\"of\":\"0123456789abcdef\"}\n";
  const std::vector<Case> cases = {
      {"as written", [](const std::string& j) { return j; }, true, true},
      {"of an older document", [&](const std::string&) { return leftOver; }, true, false},
      {"its last line cut", [](const std::string& j) { return j.substr(0, j.size() - 5); }, false,
       false},
      {"a line of no change",
       [](const std::string& j) { return j + "{\"erase\":\"ISP0_Before.bin\"}\n"; }, false, false},
      {"a file of a save it lacks",
       [](const std::string& j) {
         return j + R"({"file":{"file":"x.bin","kind":"Before","page":1,"size":1,"sha256":"00",)"
                    R"("savedAt":"","programVersion":"","sequence":9,"save":"nowhere"}})" "\n";
       },
       false, false},
      {"a head of no journal", [](const std::string& j) { return "{}\n" + j; }, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BackupRun run(ReadyJson("ctrl163_broken.json"));
    FillWithOtherSticks(run);
    RecordBook book;
    std::string problem;
    ASSERT_TRUE(ReadRecordBook(run.p, "C:\\", book, problem, RecordUse::kChange)) << problem;
    SaveMark save = NewSave(run.p, 0, "backup", SaveRole::kBackup);
    book.PutSave(save);
    ASSERT_TRUE(WriteRecordBook(run.p, "C:\\", std::move(book), problem)) << problem;
    const std::string written = run.folder.Read(kRecordJournalName);
    ASSERT_NE(written.find(save.id), std::string::npos);
    run.folder.Write(kRecordJournalName, c.edit(written));

    RecordBook again;
    NamedFiles named;
    EXPECT_EQ(ReadRecordBook(run.p, "C:\\", again, problem, RecordUse::kLook, &named), c.read);
    if (c.read) {
      EXPECT_EQ(again.saves.size(), c.changed ? 1201u : 1200u);
      EXPECT_EQ(again.FindSave(save.id) != nullptr, c.changed);
    } else {
      EXPECT_NE(problem.find("kestrune-backups.journal"), std::string::npos) << problem;
      // The box that tells it names the journal, so a console says where it is.
      EXPECT_EQ(named.paths, std::vector<std::string>{"C:\\kestrune-backups.journal"});
      EXPECT_TRUE(again.saves.empty());
    }
  }
}

// Sticks of one batch share a serial and CIS page, so the newest change
// of "this" stick may have been made to its twin. A stick that does not
// hold what that change left (here its first ISP page is another's) is
// not restored from it by default, whichever change it was: refused before
// any erase. Named, the save is written.
TEST(WayBackOfABatch, AStickNotAsTheLastChangeLeftItIsNotRestoredByDefault) {
  for (const std::string last : {"fix", "destroy", "restore"}) {
    SCOPED_TRACE(last);
    BackupRun run(ReadyJson("ctrl163_broken.json"));
    if (last != "fix") OnStartFix(run.p, run.dialog);
    if (last == "restore") OnDestroyIsp(run.p, run.dialog);
    const auto beforeChange = run.Codes(AreaKind::kIsp);
    if (last == "fix") OnStartFix(run.p, run.dialog);
    if (last == "destroy") OnDestroyIsp(run.p, run.dialog);
    if (last == "restore") {
      ASSERT_EQ(OnRestoreIsp(run.p, run.dialog, {}), RestoreOutcome::kRestored);
    }
    const uint32_t first = BuildCopyList(run.p, 0, AreaKind::kIsp)[0].devicePage;
    std::vector<uint8_t> other = run.drive->ReadRawPage(first);
    other[0] ^= 0x5A;
    run.drive->WriteRawPage(first, other);
    const auto twins = run.Codes(AreaKind::kIsp);

    run.view.boxes.clear();
    run.injector.Arm(Fault::kNone, 0);
    EXPECT_EQ(OnRestoreIsp(run.p, run.dialog, {}), RestoreOutcome::kRefusedNoBackup);
    EXPECT_FALSE(run.FlashChanged());
    EXPECT_EQ(run.Codes(AreaKind::kIsp), twins);
    ASSERT_FALSE(run.view.boxes.empty());
    EXPECT_NE(run.view.boxes.back().text.find("another stick of the same batch"),
              std::string::npos)
        << ::testing::PrintToString(run.view.BoxTexts());

    RecordBook book;
    std::string problem;
    ASSERT_TRUE(ReadRecordBook(run.p, "C:\\", book, problem)) << problem;
    RestoreRequest named;
    uint64_t newest = 0;
    for (const SaveMark& save : book.saves) {
      // The refused restore kept a save too, of a change that never began.
      if (save.command == last && save.role == SaveRole::kBefore && save.changeBegun &&
          save.sequence > newest) {
        newest = save.sequence;
        named.save = save.id;
      }
    }
    EXPECT_EQ(OnRestoreIsp(run.p, run.dialog, named), RestoreOutcome::kRestored);
    EXPECT_EQ(run.Codes(AreaKind::kIsp), beforeChange);
  }
}

// --- the backup and restore commands ---

// Every ready-made drive.
std::vector<std::string> ReadyDrives() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(KESTRUNE_TEST_DRIVES)) {
    if (entry.path().extension() == ".json") names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class RoundTrip : public ::testing::TestWithParam<std::string> {};

TEST_P(RoundTrip, BackupFixRestoreBringsBackTheIspTheDriveHad) {
  BackupRun run(ReadyJson(GetParam()));
  ASSERT_EQ(run.found, 1);
  const bool is190 = run.p.Slot(0).controllerId == kCtrl190;
  const bool healthy = run.drive->IspHealthy();
  const auto isp = run.Codes(AreaKind::kIsp);
  const auto aux = is190 ? run.Codes(AreaKind::kAux) : std::vector<std::vector<uint8_t>>{};
  ASSERT_FALSE(isp.empty());

  OnBackupIsp(run.p);
  EXPECT_TRUE(run.view.boxes.empty()) << ::testing::PrintToString(run.view.BoxTexts());
  EXPECT_FALSE(run.FlashChanged());
  for (size_t i = 0; i < isp.size(); ++i) {
    EXPECT_EQ(run.HostFile("ISP" + std::to_string(i) + "_Backup.bin"), isp[i]) << i;
  }
  for (size_t i = 0; i < aux.size(); ++i) {
    EXPECT_EQ(run.HostFile("ISP" + std::to_string(i) + "_Aux.bin"), aux[i]) << i;
  }

  OnStartFix(run.p, run.dialog);
  ASSERT_EQ(run.view.boxes.back().text, kSuccess);
  run.view.boxes.clear();
  OnRestoreIsp(run.p, run.dialog, {});
  ASSERT_EQ(run.view.boxes.size(), 2u) << ::testing::PrintToString(run.view.BoxTexts());
  EXPECT_TRUE(run.view.boxes[0].text.ends_with(std::string("\n") + kRestoreConfirm));
  EXPECT_EQ(run.view.boxes[1].text, kRestoreSuccess);
  EXPECT_EQ(run.Codes(AreaKind::kIsp), isp);
  if (is190) {
    EXPECT_EQ(run.Codes(AreaKind::kAux), aux);
  } else {
    RestartDrive(run.p, 0);
  }
  EXPECT_EQ(run.drive->IspHealthy(), healthy);
  EXPECT_EQ(run.link.OpenVolumeCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Drives, RoundTrip, ::testing::ValuesIn(ReadyDrives()),
                         [](const auto& info) {
                           return info.param.substr(0, info.param.find('.'));
                         });

struct RefusalCase {
  const char* name;
  const char* drive;
  std::vector<std::pair<std::string, size_t>> files;  // name and size put in C:
  std::vector<std::string> from;                      // --from
  std::string box;
};

class RestoreRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RestoreRefusal, ComesBeforeAnyCommand) {
  const RefusalCase row = GetParam();
  BackupRun run(ReadyJson(row.drive));
  for (const auto& [name, size] : row.files) run.folder.Write(name, std::string(size, 'Z'));
  OnRestoreIsp(run.p, run.dialog, {row.from, false, false, {}});
  EXPECT_EQ(run.view.BoxTexts(), std::vector<std::string>{row.box});
  EXPECT_TRUE(run.injector.Seen().empty());
}

const std::string kSize1 = FormatText(kRestoreWrongSize, "C:\\ISP1_Before.bin", 49152);
const std::vector<std::string> kBothBefore = {"C:\\ISP0_Before.bin", "C:\\ISP1_Before.bin"};

INSTANTIATE_TEST_SUITE_P(
    Files, RestoreRefusal,
    ::testing::Values(RefusalCase{"Short",
                                  "ctrl163_broken.json",
                                  {{"ISP0_Before.bin", 49152}, {"ISP1_Before.bin", 49151}},
                                  kBothBefore,
                                  kSize1},
                      RefusalCase{"Long",
                                  "ctrl163_broken.json",
                                  {{"ISP0_Before.bin", 49152}, {"ISP1_Before.bin", 49153}},
                                  kBothBefore,
                                  kSize1},
                      RefusalCase{"Missing",
                                  "ctrl163_broken.json",
                                  {{"ISP0_Before.bin", 49152}},
                                  kBothBefore,
                                  "The file <C:\\ISP1_Before.bin> cannot be opened, please check.\n"
                                  "No such file or directory"},
                      // Backups kept before their drive was recorded are no
                      // longer taken by default: whose they are is unknown.
                      RefusalCase{"Unrecorded",
                                  "ctrl163_broken.json",
                                  {{"ISP0_Before.bin", 49152}, {"ISP1_Before.bin", 49152}},
                                  {},
                                  FormatText(kRestoreNoSave,
                                             "controller 0x163 rev 2, flash EC D3 51 95 58, page "
                                             "size 2048, USB serial KST163BROKEN",
                                             kPlainDonorFilesHint)},
                      RefusalCase{"TooFewNamed",
                                  "ctrl163_broken.json",
                                  {{"a.bin", 49152}},
                                  {"C:\\a.bin"},
                                  "This drive needs 2 backup files to be restored, 1 was "
                                  "given. Nothing was written."},
                      RefusalCase{
                          "AuxiliarySize",
                          "ctrl190_broken.json",
                          {{"a.bin", 49152}, {"b.bin", 16383}, {"c.bin", 49152}, {"d.bin", 16384}},
                          {"C:\\a.bin", "C:\\b.bin", "C:\\c.bin", "C:\\d.bin"},
                          FormatText(kRestoreWrongSize, "C:\\b.bin", 16384)}),
    [](const auto& info) { return std::string(info.param.name); });

// Records older than the CIS page digest cannot tell two sticks of one
// serial apart: their files go back only as donor files.
TEST(BackupAndRestore, RecordsWithoutACisPageAreDonorFiles) {
  BackupRun run(ReadyJson("ctrl163_broken.json"));
  const auto original = run.Codes(AreaKind::kIsp);
  OnStartFix(run.p, run.dialog);
  ASSERT_EQ(run.view.boxes.back().text, kSuccess);
  nlohmann::json records = nlohmann::json::parse(run.folder.Read(kRecordDocumentName));
  for (auto& save : records["saves"]) {
    ASSERT_TRUE(save["drive"]["cisSha256"].is_string());
    save["drive"].erase("cisSha256");
  }
  // A file gives its drive where it is not its save's.
  for (auto& file : records["files"]) {
    if (file.contains("drive")) file["drive"].erase("cisSha256");
  }
  run.folder.Write(kRecordDocumentName, records.dump(2));
  const auto repaired = run.Codes(AreaKind::kIsp);
  run.view.boxes.clear();
  run.injector.Arm(Fault::kNone, 0);

  EXPECT_EQ(OnRestoreIsp(run.p, run.dialog, {}), RestoreOutcome::kRefusedNoBackup);
  const DriveIdentity drive = IdentityOf(run.p, 0);
  EXPECT_EQ(run.view.BoxTexts(),
            std::vector<std::string>{FormatText(
                kRestoreSaveOfAnotherStick, DescribeIdentity(drive).c_str(),
                drive.cisSha256.c_str(), nlohmann::json::parse(run.folder.Read(kRecordDocumentName))
                                             ["saves"][0]["id"]
                                                 .get<std::string>()
                                                 .c_str(),
                "none recorded", run.p.donorFilesHint.c_str())});
  EXPECT_FALSE(run.FlashChanged());
  EXPECT_EQ(run.Codes(AreaKind::kIsp), repaired);

  run.view.boxes.clear();
  RestoreRequest donated;
  donated.files = {"C:\\ISP0_Before.bin", "C:\\ISP1_Before.bin"};
  donated.donor = true;
  EXPECT_EQ(OnRestoreIsp(run.p, run.dialog, donated), RestoreOutcome::kRestored);
  ASSERT_FALSE(run.view.boxes.empty());
  EXPECT_NE(run.view.boxes[0].text.find(kNoCisPageRecorded), std::string::npos)
      << run.view.boxes[0].text;
  EXPECT_EQ(run.Codes(AreaKind::kIsp), original);
}

TEST(BackupAndRestore, RefuseADriveWhoseCopiesHaveNoKnownPlace) {
  testing::OpsHarness h;
  testing::OpsFlash flash(h.drive, 2048, 64);
  h.SetUpSlot(kCtrl168, 2048, 64, 64);
  h.AddCopy(0, kUnsetOffset);
  OnBackupIsp(h.p);
  OnRestoreIsp(h.p, h.dialog, {});
  EXPECT_EQ(h.view.BoxTexts(), (std::vector<std::string>{kNothingToBackUp, kNoIspCopyKnown}));
  EXPECT_TRUE(h.drive.seen.empty());
}

}  // namespace
}  // namespace kestrune
