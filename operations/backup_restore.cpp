// OnBackupIsp keeps the code of every ISP copy of a drive in files without
// touching the drive; OnRestoreIsp writes such files back and proves them
// by reading them back, as the updates do.
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/backup_files.h"
#include "operations/backup_records.h"
#include "operations/dialog_end.h"
#include "operations/isp_areas.h"
#include "operations/messages.h"
#include "operations/operations.h"
#include "operations/write_window.h"
#include "platform/platform.h"

namespace kestrune {

namespace {

constexpr const char* kBackupName = "C:\\ISP%d_Backup.bin";
constexpr const char* kAuxName = "C:\\ISP%d_Aux.bin";

void ShowError(Program& p, const std::string& text, Outcome outcome = Outcome::kFailed) {
  Fail(p, outcome, text, "ERROR", kMbIconError);
}

// `done` counts the backups of the whole command so far, of `total`.
void SaveAreas(Program& p, const std::vector<CopyArea>& areas, const char* nameFormat,
               const AreaFile& kind, BackupKind backup, int& done, int total) {
  for (const CopyArea& area : areas) {
    const std::string name = FormatText(nameFormat, area.copy);
    if (!area.usable()) {
      ShowError(p, FormatText(kBackupSkipped, area.copy, name.c_str()));
      continue;
    }
    const std::string step = "Backup " + name;
    ReportStep(p, StepKind::kBackup, StepState::kStarted, step, done, total);
    const DownloadOutcome outcome = SaveCodeArea(p, name, area.devicePage, kind, backup, "");
    ReportStep(p, StepKind::kBackup,
               outcome == DownloadOutcome::kSaved ? StepState::kDone : StepState::kFailed, step,
               ++done, total);
  }
}

int UsableCount(const std::vector<CopyArea>& areas) {
  return static_cast<int>(
      std::count_if(areas.begin(), areas.end(), [](const CopyArea& a) { return a.usable(); }));
}

// The code a restore writes into one area: the file's bytes, then zeros
// over the rest of the 64 KiB buffer the transfer schemes read from.
struct RestoreImage {
  std::string file;
  device::HeapBlock bytes;
  // Where the file came from, for the usable areas only.
  FileOrigin origin = FileOrigin::kUnknown;
  std::optional<BackupRecord> record;
  std::string records;         // the document its record was looked for in
  bool recordDiffers = false;  // a record of its name describes other bytes
  // The file, or the document its record was looked for in, belongs to
  // another user.
  std::optional<platform::FileOwner> fileOwner;
  std::optional<platform::FileOwner> recordsOwner;
};

// Loads the file of every usable area, before any command reaches the
// drive. False after the box of the first file that cannot serve.
bool LoadImages(Program& p, const std::vector<CopyArea>& areas,
                const std::vector<std::string>& files, uint32_t bytes,
                std::vector<RestoreImage>& images) {
  images.clear();
  for (size_t i = 0; i < areas.size(); ++i) {
    RestoreImage image;
    image.file = files[i];
    if (areas[i].usable()) {
      image.bytes = p.link.AllocBuffer(kIspAreaBytes, 0);
      if (!image.bytes) {
        Fail(p, Outcome::kFailed, "Can't allocate databuffer...", "Allocate Fail Warning",
             kMbIconExclamation);
        return false;
      }
      std::memset(image.bytes.get(), 0, kIspAreaBytes);
      if (!LoadBackupFile(p, image.file, bytes, image.bytes.get(), &image.fileOwner)) return false;
    }
    images.push_back(std::move(image));
  }
  return true;
}

std::vector<const uint8_t*> Pointers(const std::vector<RestoreImage>& images) {
  std::vector<const uint8_t*> pointers;
  pointers.reserve(images.size());
  for (const RestoreImage& image : images) pointers.push_back(image.bytes.get());
  return pointers;
}

std::string DigestOrNone(const DriveIdentity& drive) {
  return drive.cisSha256.empty() ? std::string("none recorded") : drive.cisSha256;
}

void ShowRefusal(Program& p, const std::string& text) {
  Fail(p, Outcome::kRefused, text, "Fail", kMbIconError | kMbTopmost);
}

// The records of each folder a restore reads from, each read once.
class RecordShelf {
 public:
  explicit RecordShelf(Program& p) : p_(p) {}
  // Null after the refusal box when the folder's records cannot be read.
  const RecordBook* Book(const std::string& folder) {
    auto found = books_.find(folder);
    if (found != books_.end()) return &found->second;
    RecordBook book;
    std::string problem;
    if (!ReadRecordBook(p_, folder, book, problem)) {
      ShowRefusal(p_, problem + " " + kNothingWritten);
      return nullptr;
    }
    return &books_.emplace(folder, std::move(book)).first->second;
  }

 private:
  Program& p_;
  std::map<std::string, RecordBook> books_;
};

// Which kinds of record may serve area `index` of a default restore.
using KindFilter = std::function<bool(BackupKind kind, size_t index)>;

// For each usable area, the name of the newest backup of a kind `accepts`
// that `book`, the records of `folder`, holds for this drive and this copy,
// and that kind in `kinds`; `newestAt` the time the newest of them was
// saved. Files a replay kept are never taken. False with `refusal` set for
// the first copy without one.
bool ChooseInBook(Program& p, const RecordBook& book, const std::string& folder,
                  const std::vector<CopyArea>& areas, const KindFilter& accepts,
                  const DriveIdentity& drive, std::vector<std::string>& files,
                  std::vector<BackupKind>& kinds, std::string& newestAt, std::string& refusal) {
  const std::string records = folder + kRecordDocumentName;
  if (book.otherOwner && AnyUsable(areas)) {
    refusal = FormatText(kRestoreOtherUsersRecords, records.c_str(), book.otherOwner->name.c_str(),
                         p.donorFilesHint.c_str());
    return false;
  }
  for (size_t i = 0; i < areas.size(); ++i) {
    const CopyArea& area = areas[i];
    const BackupRecord* newest = nullptr;
    const BackupRecord* sameSerial = nullptr;  // of another stick of this serial
    if (area.usable()) {
      for (const BackupRecord& record : book.records) {
        if (!accepts(record.kind, i) || record.copy != area.copy ||
            record.page != area.devicePage || !record.replayOf.empty()) {
          continue;
        }
        if (!SameStick(record.drive, drive)) {
          if (SameModel(record.drive, drive) && !drive.usbSerial.empty() &&
              record.drive.usbSerial == drive.usbSerial) {
            sameSerial = &record;
          }
          continue;
        }
        if (!newest || record.sequence > newest->sequence) newest = &record;
      }
      if (newest == nullptr) {
        if (drive.usbSerial.empty()) {
          refusal = FormatText(kRestoreNoSerial, DescribeIdentity(drive).c_str(),
                               p.donorFilesHint.c_str());
        } else if (sameSerial != nullptr && sameSerial->drive.cisSha256.empty()) {
          refusal = FormatText(kRestoreRecordedWithoutCisPage, area.copy, records.c_str(),
                               DescribeIdentity(drive).c_str(), p.donorFilesHint.c_str());
        } else if (sameSerial != nullptr) {
          refusal =
              FormatText(kRestoreSerialOfAnotherStick, area.copy, DescribeIdentity(drive).c_str(),
                         DigestOrNone(drive).c_str(), records.c_str(),
                         DigestOrNone(sameSerial->drive).c_str(), p.donorFilesHint.c_str());
        } else {
          refusal = FormatText(kRestoreNoRecordedBackup, area.copy, DescribeIdentity(drive).c_str(),
                               records.c_str(), p.donorFilesHint.c_str());
        }
        return false;
      }
      newestAt = std::max(newestAt, newest->savedAt);
    }
    files.push_back(newest != nullptr ? folder + newest->file : std::string());
    kinds.push_back(newest != nullptr ? newest->kind : BackupKind::kBefore);
  }
  return true;
}

// The recorded backups of every usable area, from one of `folders`: C:
// and, for a console, the folder --all gives the drive's letter inside it.
// Of the folders that hold a backup of every copy, the one whose newest was
// saved last serves, the first on a tie; `folders` is then that one alone,
// so that a 0x190's auxiliary files come from the same folder. False after
// the refusal box: the first folder's, unless only a later one holds any
// record at all.
bool ChooseRecordedFiles(Program& p, RecordShelf& shelf, std::vector<std::string>& folders,
                         const std::vector<CopyArea>& areas, const KindFilter& accepts,
                         const DriveIdentity& drive, std::vector<std::string>& files,
                         std::vector<BackupKind>& kinds) {
  std::string chosen;
  std::string chosenAt;
  std::string refusal;
  bool refusalOfEmptyBook = false;
  for (const std::string& folder : folders) {
    const RecordBook* book = shelf.Book(folder);
    if (book == nullptr) return false;
    std::vector<std::string> found;
    std::vector<BackupKind> foundKinds;
    std::string newestAt;
    std::string why;
    if (ChooseInBook(p, *book, folder, areas, accepts, drive, found, foundKinds, newestAt, why)) {
      if (chosen.empty() || newestAt > chosenAt) {
        chosen = folder;
        chosenAt = newestAt;
        files = std::move(found);
        kinds = std::move(foundKinds);
      }
    } else if (refusal.empty() || (refusalOfEmptyBook && !book->records.empty())) {
      refusal = why;
      refusalOfEmptyBook = book->records.empty() && !book->otherOwner;
    }
  }
  if (chosen.empty()) {
    ShowRefusal(p, refusal);
    return false;
  }
  folders = {chosen};
  return true;
}

// "a Before backup of copy 1 (page 320) of the drive with controller ...".
std::string DescribeOrigin(const BackupRecord& record) {
  static constexpr const char* kKinds[] = {"a Before backup",
                                           "an After backup",
                                           "a backup",
                                           "a backup of the auxiliary code",
                                           "a Before backup of the auxiliary code",
                                           "an After backup of the auxiliary code"};
  const std::string copy =
      record.copy < 0
          ? FormatText("an area at page %u", static_cast<unsigned>(record.page))
          : FormatText("copy %d (page %u)", record.copy, static_cast<unsigned>(record.page));
  return FormatText("%s of %s of the drive with %s", kKinds[static_cast<size_t>(record.kind)],
                    copy.c_str(), DescribeIdentity(record.drive).c_str());
}

// What the donor question and refusals say of one file's origin, to be
// written into `drive`.
std::string OriginText(const RestoreImage& image, const DriveIdentity& drive) {
  std::string text;
  if (image.record) {
    const BackupRecord& record = *image.record;
    text = "is " + DescribeOrigin(record);
    if (!record.replayOf.empty()) text += FormatText(kKeptByReplay, record.replayOf.c_str());
    if (SameModel(record.drive, drive) && !drive.usbSerial.empty() &&
        record.drive.usbSerial == drive.usbSerial && record.drive.cisSha256 != drive.cisSha256) {
      text += record.drive.cisSha256.empty()
                  ? std::string(kNoCisPageRecorded)
                  : FormatText(kOtherCisPage, record.drive.cisSha256.c_str(),
                               DigestOrNone(drive).c_str());
    }
  } else if (image.recordsOwner) {
    text = FormatText(kOtherUsersRecordsOrigin, image.records.c_str(),
                      image.recordsOwner->name.c_str());
  } else {
    text =
        FormatText(image.recordDiffers ? kChangedOrigin : kNoRecordOrigin, image.records.c_str());
  }
  if (image.fileOwner) text += FormatText(kOtherUsersFile, image.fileOwner->name.c_str());
  return text;
}

// Looks up the record of every usable area's file and classifies it.
bool ClassifyImages(Program& p, RecordShelf& shelf, const std::vector<CopyArea>& areas,
                    uint32_t bytes, const DriveIdentity& drive, std::vector<RestoreImage>& images) {
  for (size_t i = 0; i < areas.size(); ++i) {
    if (!areas[i].usable()) continue;
    RestoreImage& image = images[i];
    const std::string folder = FolderOf(image.file);
    const RecordBook* book = shelf.Book(folder);
    if (book == nullptr) return false;
    image.records = folder + kRecordDocumentName;
    const std::span<const uint8_t> content(image.bytes.get(), bytes);
    const std::optional<platform::Sha256Digest> digest = platform::Sha256({&content, 1});
    if (!digest) {
      ShowRefusal(p, std::string(kNoDigest) + " " + kNothingWritten);
      return false;
    }
    image.recordsOwner = book->otherOwner;
    const BackupRecord* record = book->Find(LeafOf(image.file));
    image.origin = ClassifyFile(record, bytes, HexText(digest->data(), digest->size()), drive,
                                areas[i].copy, areas[i].devicePage);
    if (image.origin != FileOrigin::kUnknown) image.record = *record;
    image.recordDiffers = image.origin == FileOrigin::kUnknown && record != nullptr;
    // Another user may have put the file under a name this user's records
    // keep: it is no backup of this user's.
    if (image.fileOwner && image.origin == FileOrigin::kThisDrive) {
      image.origin = FileOrigin::kDonor;
    }
  }
  return true;
}

// The refusals that no answer can lift: a file of another kind of drive,
// or files of two different drives. False after the box.
bool FilesFitThisModel(Program& p, const std::vector<RestoreImage*>& images,
                       const DriveIdentity& drive) {
  for (const RestoreImage* image : images) {
    if (image->origin != FileOrigin::kOtherModel) continue;
    ShowRefusal(p, FormatText(kRestoreOtherModel, image->file.c_str(),
                              DescribeIdentity(image->record->drive).c_str(),
                              DescribeIdentity(drive).c_str()));
    return false;
  }
  const RestoreImage* first = nullptr;
  for (const RestoreImage* image : images) {
    if (!image->record) continue;
    if (first == nullptr) {
      first = image;
    } else if (!SameModel(first->record->drive, image->record->drive) ||
               first->record->drive.usbSerial != image->record->drive.usbSerial ||
               first->record->drive.cisSha256 != image->record->drive.cisSha256) {
      ShowRefusal(p, FormatText(kRestoreMixedDrives, first->file.c_str(), image->file.c_str(),
                                DescribeIdentity(first->record->drive).c_str(),
                                DescribeIdentity(image->record->drive).c_str()));
      return false;
    }
  }
  return true;
}

}  // namespace

void OnBackupIsp(Program& p) {
  if (!BeginDriveReport(p, "backup")) return;
  const int index = p.selectedDrive;
  const bool is190 = p.Slot(index).controllerId == kCtrl190;

  const std::vector<CopyArea> isp = BuildCopyList(p, index, AreaKind::kIsp);
  if (!AnyUsable(isp)) {
    ShowError(p, kNothingToBackUp);
    return;
  }
  const std::vector<CopyArea> aux =
      is190 ? BuildCopyList(p, index, AreaKind::kAux) : std::vector<CopyArea>{};
  const int total = UsableCount(isp) + UsableCount(aux);
  int done = 0;
  SaveAreas(p, isp, kBackupName, is190 ? kIspFile190 : kIspFile, BackupKind::kBackup, done, total);
  if (is190) SaveAreas(p, aux, kAuxName, kAuxFile190, BackupKind::kAux, done, total);
  SettleReport(p, Outcome::kSuccess);
}

RestoreOutcome OnRestoreIsp(Program& p, DialogControls& dialog, const RestoreRequest& request) {
  if (!BeginDriveReport(p, "restore")) return RestoreOutcome::kNotStarted;
  // A build without real images must not touch a real drive at all, even
  // with backup files of its own.
  if (RefuseStandInImages(p)) return RestoreOutcome::kRefusedDrive;
  const int index = p.selectedDrive;
  const DriveSlot& slot = p.Slot(index);
  const bool is190 = slot.controllerId == kCtrl190;

  const std::vector<CopyArea> isp = BuildCopyList(p, index, AreaKind::kIsp);
  const std::vector<CopyArea> aux =
      is190 ? BuildCopyList(p, index, AreaKind::kAux) : std::vector<CopyArea>{};
  if (!AnyUsable(isp)) {
    ShowError(p, kNoIspCopyKnown, Outcome::kRefused);
    return RestoreOutcome::kRefusedDrive;
  }
  const DriveIdentity drive = IdentityOf(p, index);
  RecordShelf shelf(p);
  std::vector<std::string> folders{"C:\\"};
  if (request.letterFolder) folders.push_back(std::string("C:\\") + slot.letter + "\\");

  // One file per present copy, in copy order; a 0x190 copy takes its ISP
  // file and then its auxiliary file. By default a copy's ISP file is the
  // newest Before backup (0x190: Before or Backup, whichever is newer), and
  // a 0x190 copy's auxiliary file the newest of the partner kind (AuxBefore
  // or Aux), so that both areas come from the same command.
  std::vector<std::string> ispFiles;
  std::vector<std::string> auxFiles;
  const std::vector<std::string>& files = request.files;
  const size_t needed = isp.size() * (is190 ? 2 : 1);
  if (files.empty()) {
    std::vector<BackupKind> ispKinds;
    std::vector<BackupKind> auxKinds;
    const auto ispKind = [is190](BackupKind kind, size_t) {
      return kind == BackupKind::kBefore || (is190 && kind == BackupKind::kBackup);
    };
    // The aux list has the ISP list's copies, in the same order.
    const auto auxPartner = [&ispKinds](BackupKind kind, size_t index) {
      if (index >= ispKinds.size()) return false;
      return kind ==
             (ispKinds[index] == BackupKind::kBackup ? BackupKind::kAux : BackupKind::kAuxBefore);
    };
    if (!ChooseRecordedFiles(p, shelf, folders, isp, ispKind, drive, ispFiles, ispKinds) ||
        !ChooseRecordedFiles(p, shelf, folders, aux, auxPartner, drive, auxFiles, auxKinds)) {
      return RestoreOutcome::kRefusedNoBackup;
    }
  } else if (files.size() != needed) {
    ShowRefusal(p, FormatText(kRestoreFileCount, static_cast<unsigned>(needed),
                              static_cast<unsigned>(files.size()),
                              files.size() == 1 ? "was" : "were"));
    return RestoreOutcome::kRefusedFiles;
  } else {
    for (size_t i = 0; i < files.size(); ++i) {
      (is190 && i % 2 == 1 ? auxFiles : ispFiles).push_back(files[i]);
    }
  }

  // Every file is read, its size checked and its origin weighed before any
  // question and any command.
  std::vector<RestoreImage> ispImages;
  std::vector<RestoreImage> auxImages;
  if (!LoadImages(p, isp, ispFiles, kIspPayloadBytes, ispImages) ||
      !LoadImages(p, aux, auxFiles, kAuxAreaBytes, auxImages)) {
    return RestoreOutcome::kRefusedFiles;
  }
  if (!ClassifyImages(p, shelf, isp, kIspPayloadBytes, drive, ispImages) ||
      !ClassifyImages(p, shelf, aux, kAuxAreaBytes, drive, auxImages)) {
    return RestoreOutcome::kRefusedFiles;
  }
  std::vector<RestoreImage*> used;
  for (size_t i = 0; i < isp.size(); ++i) {
    if (isp[i].usable()) used.push_back(&ispImages[i]);
  }
  for (size_t i = 0; i < aux.size(); ++i) {
    if (aux[i].usable()) used.push_back(&auxImages[i]);
  }
  if (!FilesFitThisModel(p, used, drive)) return RestoreOutcome::kRefusedOtherDrive;
  std::string donors;
  for (const RestoreImage* image : used) {
    if (image->origin == FileOrigin::kThisDrive) continue;
    if (!request.donor) {
      ShowRefusal(p,
                  FormatText(kRestoreNotThisDrive, image->file.c_str(),
                             OriginText(*image, drive).c_str(), DescribeIdentity(drive).c_str(),
                             p.donorHint.c_str()));
      return RestoreOutcome::kRefusedDonor;
    }
    donors += FormatText("<%s> %s.\n", image->file.c_str(), OriginText(*image, drive).c_str());
  }
  const uint32_t pageSize = slot.pageSize;
  if (!(is190 ? PageSizeFitsChunked(pageSize) : PageSizeFitsUpdate(pageSize))) {
    ShowError(p, FormatText(kPageSizeUnsupported, static_cast<unsigned>(pageSize)),
              Outcome::kRefused);
    return RestoreOutcome::kRefusedDrive;
  }

  const unsigned question = kMbOkCancel | kMbIconExclamation | kMbTopmost;
  if ((!donors.empty() &&
       ShowBox(p, donors + FormatText(kRestoreDonorQuestion, DescribeIdentity(drive).c_str()),
               "Restore ISP Warning", question) != kIdOk) ||
      ShowBox(p, kRestoreConfirm, "Restore ISP Warning", question) != kIdOk) {
    SettleReport(p, Outcome::kCancelled);
    return RestoreOutcome::kCancelled;
  }
  DialogEnd end(dialog);
  dialog.DisableInputs();
  for (const RestoreImage& image : ispImages) {
    p.log.AppendLogFormat("Restore ISP File --> %s ", image.file.c_str());
  }
  for (const RestoreImage& image : auxImages) {
    p.log.AppendLogFormat("Restore ISP File --> %s ", image.file.c_str());
  }

  device::HeapBlock readBack = p.link.AllocBuffer(kIspAreaBytes, 0);
  if (!readBack) {
    Fail(p, Outcome::kFailed, "Can't allocate databuffer...", "Allocate Fail Warning",
         kMbIconExclamation);
    return RestoreOutcome::kFailed;
  }
  const std::string ispSkipped = DescribeSkipped(isp);
  const std::string auxSkipped = DescribeSkipped(aux);
  bool restarted = true;
  WriteWindow window(p);
  if (is190) {
    if (!WriteCodeAreas190(p, index, isp, Pointers(ispImages), aux, Pointers(auxImages),
                           readBack.get(), window, restarted)) {
      return RestoreOutcome::kFailed;
    }
  } else if (!WriteIspAreas(p, index, isp, Pointers(ispImages), readBack.get(), window)) {
    return RestoreOutcome::kFailed;
  }

  RestoreOutcome outcome = RestoreOutcome::kIncomplete;
  if (!ispSkipped.empty()) {
    ShowError(p, FormatText(kIspCopiesSkipped, ispSkipped.c_str()));
  } else if (!auxSkipped.empty()) {
    ShowError(p, FormatText(kAuxCopiesSkipped, auxSkipped.c_str()));
  } else {
    ShowBox(p, restarted ? kRestoreSuccess : kRestoreReplug, "SUCCESS",
            is190 ? kMbOk : kMbIconInformation);
    SettleReport(p, Outcome::kSuccess);
    p.log.AppendLog("ISP Restore success ");
    WarnOfUnreadBlocks(p, index);
    outcome = RestoreOutcome::kRestored;
  }
  if (!restarted && !platform::InterruptReceived()) ReloadWorkingCode(p, index);
  return outcome;
}

}  // namespace kestrune
