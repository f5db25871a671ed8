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
#include "operations/command_end.h"
#include "operations/isp_areas.h"
#include "operations/messages.h"
#include "operations/operations.h"
#include "operations/write_window.h"
#include "platform/platform.h"

namespace kestrune {

namespace {

constexpr const char* kBackupName = "C:\\ISP%d_Backup.bin";
constexpr const char* kAuxName = "C:\\ISP%d_Aux.bin";

// Where the saves a restore reads are: the whole C: folder, also for a
// drive whose own C: is its letter folder.
platform::Platform& SavesHost(Program& p) {
  return p.savesPlatform != nullptr ? *p.savesPlatform : p.platform;
}

void ShowError(Program& p, const std::string& text, Outcome outcome = Outcome::kFailed) {
  Fail(p, outcome, text, "ERROR", kMbIconError);
}

// The code a restore writes into one area: the file's bytes, then zeros
// over the rest of the 64 KiB buffer the transfer schemes read from.
struct RestoreImage {
  std::string file;
  device::HeapBlock bytes;
  // Where the file came from, for the usable areas only.
  FileOrigin origin = FileOrigin::kUnknown;
  std::optional<BackupRecord> record;
  // The save the record belongs to, when it is not of the drive's source.
  std::optional<SaveMark> foreignSave;
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
      if (!LoadBackupFile(p, SavesHost(p), image.file, bytes, image.bytes.get(),
                          &image.fileOwner)) {
        return false;
      }
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

void ShowRefusal(Program& p, const std::string& text, const NamedFiles& files = NamedFiles()) {
  Fail(p, Outcome::kRefused, text, "Fail", kMbIconError | kMbTopmost, files);
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
    NamedFiles named;
    if (!ReadRecordBook(SavesHost(p_), folder, book, problem, RecordUse::kLook, &named)) {
      ShowRefusal(p_, problem + " " + kNothingWritten, named);
      return nullptr;
    }
    return &books_.emplace(folder, std::move(book)).first->second;
  }

 private:
  Program& p_;
  std::map<std::string, RecordBook> books_;
};

// A save found in one folder of the C: tree.
struct FoundSave {
  std::string folder;
  const SaveMark* save = nullptr;
  const RecordBook* book = nullptr;
};

// The folders a default restore looks in: C: and, for a console, every
// letter folder --all and watch keep inside it, whichever letter the stick
// has now. Null after the refusal box of a document that cannot be read.
bool ReadFolders(Program& p, RecordShelf& shelf, bool letterFolders,
                 std::vector<std::pair<std::string, const RecordBook*>>& books) {
  for (const std::string& folder : SaveFolders(SavesHost(p), letterFolders)) {
    const RecordBook* book = shelf.Book(folder);
    if (book == nullptr) return false;
    books.emplace_back(folder, book);
  }
  return true;
}

// Sticks of one batch may share a serial and CIS page: a save found for
// this stick may be another's. Where the change of `taken` kept what it
// left on its stick (a fix's After save), the drive must still hold that,
// as `now` (the restore's own Before save, just read) shows. False after
// the refusal box when an area differs.
bool DriveIsAsTheChangeLeftIt(Program& p, const FoundSave& taken, const SaveMark& now) {
  const SaveMark* left = nullptr;
  for (const SaveMark& save : taken.book->saves) {
    if (save.role == SaveRole::kAfter && save.changeOf == taken.save->id) left = &save;
  }
  if (left == nullptr) return true;
  RecordBook current;
  std::string problem;
  NamedFiles named;
  if (!ReadRecordBook(p, "C:\\", current, problem, RecordUse::kLook, &named)) {
    ShowRefusal(p, problem + " " + kNothingWritten, named);
    return false;
  }
  const std::vector<const BackupRecord*> nowFiles = current.FilesOf(now.id);
  for (const BackupRecord* was : taken.book->FilesOf(left->id)) {
    const bool aux = IsAuxKind(was->kind);
    for (const BackupRecord* is : nowFiles) {
      if (IsAuxKind(is->kind) != aux || is->copy != was->copy || is->page != was->page) continue;
      if (is->sha256 == was->sha256) break;
      ShowRefusal(p, FormatText(kRestoreNotAsLeft, DescribeArea({was->copy, aux}).c_str(),
                                taken.save->command.c_str(), taken.save->id.c_str(),
                                taken.save->id.c_str()));
      return false;
    }
  }
  return true;
}

// The save a default restore takes: the Before save of the newest change
// made to this stick, in any folder. False after the refusal box.
bool ChooseDefaultSave(Program& p,
                       const std::vector<std::pair<std::string, const RecordBook*>>& books,
                       const DriveIdentity& drive, SaveSource source, const std::string& recording,
                       FoundSave& chosen) {
  std::vector<FoundSave> candidates;
  const SaveMark* otherSource = nullptr;
  const SaveMark* otherCisPage = nullptr;
  // A save of this stick (its serial and CIS page) from when it reported
  // another flash ID, revision or page size: code no restore may write.
  FoundSave otherFlash;
  const RecordBook* otherUsers = nullptr;
  std::string otherUsersFolder;
  for (const auto& [folder, book] : books) {
    if (book->otherOwner) {
      otherUsers = book;
      otherUsersFolder = folder;
      continue;
    }
    for (const SaveMark& save : book->saves) {
      if (!IsChangeSave(save)) continue;
      if (OwnSave(save, drive, source, recording)) {
        candidates.push_back({folder, &save, book});
      } else if (!save.legacy && SameStick(save.drive, drive)) {
        otherSource = &save;
      } else if (SameModel(save.drive, drive) && !drive.usbSerial.empty() &&
                 save.drive.usbSerial == drive.usbSerial) {
        otherCisPage = &save;
      } else if (!save.legacy && save.drive.controllerId == drive.controllerId &&
                 !drive.usbSerial.empty() && save.drive.usbSerial == drive.usbSerial &&
                 !drive.cisSha256.empty() && save.drive.cisSha256 == drive.cisSha256 &&
                 (otherFlash.save == nullptr ||
                  NewerSave(folder, save, otherFlash.folder, *otherFlash.save))) {
        otherFlash = {folder, &save, book};
      }
    }
  }
  if (!candidates.empty()) {
    std::vector<SaveInFolder> saves;
    for (const FoundSave& found : candidates) saves.push_back({found.folder, found.save});
    const DefaultSave choice = NewestChangeSave(saves);
    // Two sticks of this identity seen by one run: no save is this stick's
    // by default.
    if (!choice.lookAlikes.empty()) {
      std::string named;
      for (const SaveMark* save : choice.lookAlikes) {
        named += FormatText("\n  save %s (%s, %s%s)", save->id.c_str(), save->command.c_str(),
                            save->savedAt.c_str(), DescribePlace(*save).c_str());
      }
      ShowRefusal(p, FormatText(kRestoreLookAlike, DescribeIdentity(drive).c_str(), named.c_str()));
      return false;
    }
    if (choice.tie) {
      const FoundSave& newest = candidates[*choice.newest];
      const FoundSave& other = candidates[*choice.tie];
      const std::string newestRecords = newest.folder + kRecordDocumentName;
      const std::string otherRecords = other.folder + kRecordDocumentName;
      ShowRefusal(
          p,
          FormatText(kRestoreTwoSaves, newest.save->id.c_str(), newestRecords.c_str(),
                     other.save->id.c_str(), otherRecords.c_str(), newest.save->savedAt.c_str()),
          NamedFiles({newestRecords, otherRecords}));
      return false;
    }
    chosen = candidates[*choice.newest];
    return true;
  }
  const std::string identity = DescribeIdentity(drive);
  if (drive.usbSerial.empty()) {
    ShowRefusal(p, FormatText(kRestoreNoSerial, identity.c_str(), p.donorFilesHint.c_str()));
  } else if (otherSource != nullptr) {
    ShowRefusal(p, FormatText(kRestoreOtherSource, identity.c_str(), otherSource->id.c_str(),
                              DescribeSource(*otherSource).c_str(), SourceName(source),
                              p.donorFilesHint.c_str()));
  } else if (otherCisPage != nullptr) {
    ShowRefusal(p, FormatText(kRestoreSaveOfAnotherStick, identity.c_str(),
                              DigestOrNone(drive).c_str(), otherCisPage->id.c_str(),
                              DigestOrNone(otherCisPage->drive).c_str(), p.donorFilesHint.c_str()));
  } else if (otherFlash.save != nullptr) {
    ShowRefusal(p,
                FormatText(kRestoreFlashChanged, DescribeIdentity(otherFlash.save->drive).c_str(),
                           otherFlash.save->id.c_str(), identity.c_str(), p.donorHint.c_str(),
                           HowToReach(p).c_str()));
  } else if (otherUsers != nullptr) {
    const std::string records = otherUsersFolder + kRecordDocumentName;
    ShowRefusal(p,
                FormatText(kRestoreOtherUsersRecords, records.c_str(),
                           otherUsers->otherOwner->name.c_str(), p.donorFilesHint.c_str()),
                NamedFiles({records}));
  } else {
    ShowRefusal(p, FormatText(kRestoreNoSave, identity.c_str(), p.donorFilesHint.c_str()));
  }
  return false;
}

// The save `id`, wherever in the C: tree it is kept. False after the box.
bool FindNamedSave(Program& p, const std::vector<std::pair<std::string, const RecordBook*>>& books,
                   const std::string& id, FoundSave& found) {
  for (const auto& [folder, book] : books) {
    if (const SaveMark* save = book->FindSave(id)) {
      found = {folder, save, book};
      return true;
    }
  }
  ShowRefusal(p, FormatText(kRestoreNoSuchSave, id.c_str()));
  return false;
}

// The file of `save` for each usable area, in the areas' order. False after
// the refusal box that names every area the save lacks: a restore writes
// one save whole and never fills a gap from another.
bool FilesOfSave(Program& p, const FoundSave& found, const std::vector<CopyArea>& isp,
                 const std::vector<CopyArea>& aux, std::vector<std::string>& ispFiles,
                 std::vector<std::string>& auxFiles) {
  const SaveMark& save = *found.save;
  const std::vector<const BackupRecord*> kept = found.book->FilesOf(save.id);
  std::vector<SaveArea> lacking = save.missing;
  const auto pick = [&](const std::vector<CopyArea>& areas, bool isAux,
                        std::vector<std::string>& files) {
    for (const CopyArea& area : areas) {
      const BackupRecord* file = nullptr;
      if (area.usable()) {
        for (const BackupRecord* record : kept) {
          if (record->kind == KindFor(save.role, isAux) && record->copy == area.copy &&
              record->page == area.devicePage) {
            file = record;
          }
        }
        const SaveArea wanted{area.copy, isAux};
        if (file == nullptr && std::find(lacking.begin(), lacking.end(), wanted) == lacking.end()) {
          lacking.push_back(wanted);
        }
      }
      files.push_back(file != nullptr ? found.folder + file->file : std::string());
    }
  };
  pick(isp, false, ispFiles);
  pick(aux, true, auxFiles);
  if (lacking.empty()) return true;
  std::string names;
  for (const SaveArea& area : lacking) {
    if (!names.empty()) names += ", ";
    names += DescribeArea(area);
  }
  const std::string records = found.folder + kRecordDocumentName;
  ShowRefusal(p,
              FormatText(kRestoreSaveIncomplete, save.id.c_str(), save.command.c_str(),
                         save.savedAt.c_str(), records.c_str(), names.c_str()),
              NamedFiles({records}));
  return false;
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
    if (image.foreignSave && image.foreignSave->source != SaveSource::kReplay) {
      text += ", saved from " + DescribeSource(*image.foreignSave);
    }
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

// The files a box about `image` names: the file, and its folder's records
// where OriginText names them.
void NameImage(const RestoreImage& image, NamedFiles& files) {
  files.paths.push_back(image.file);
  if (!image.record) files.paths.push_back(image.records);
}

// Looks up the record of every usable area's file and classifies it.
bool ClassifyImages(Program& p, RecordShelf& shelf, const std::vector<CopyArea>& areas,
                    uint32_t bytes, const DriveIdentity& drive, SaveSource source,
                    const std::string& recording, std::vector<RestoreImage>& images) {
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
    if (image.origin != FileOrigin::kUnknown) {
      image.record = *record;
      // Code read from a desk copy, a replay or another kind of source was
      // never read from this drive: it is a donor's at best.
      const SaveMark* save = book->FindSave(record->save);
      if (save != nullptr && !save->legacy &&
          (save->source != source || save->recording != recording)) {
        image.foreignSave = *save;
        if (image.origin == FileOrigin::kThisDrive) image.origin = FileOrigin::kDonor;
      }
    }
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
    ShowRefusal(p,
                FormatText(kRestoreOtherModel, image->file.c_str(),
                           DescribeIdentity(image->record->drive).c_str(),
                           DescribeIdentity(drive).c_str()) +
                    " " + HowToReach(p),
                NamedFiles({image->file}));
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
      ShowRefusal(p,
                  FormatText(kRestoreMixedDrives, first->file.c_str(), image->file.c_str(),
                             DescribeIdentity(first->record->drive).c_str(),
                             DescribeIdentity(image->record->drive).c_str()),
                  NamedFiles({first->file, image->file}));
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
  SaveMark save = NewSave(p, index, "backup", SaveRole::kBackup);
  SaveDriveAreas(p, save, kBackupName, kAuxName, "", false);
  SettleReport(p, Outcome::kSuccess);
}

RestoreOutcome OnRestoreIsp(Program& p, CommandWindow& screen, const RestoreRequest& request) {
  if (!BeginDriveReport(p, "restore")) return RestoreOutcome::kNotStarted;
  // A build without real images must not touch a real drive at all, even
  // with backup files of its own.
  if (RefuseUnwritableDrive(p)) return RestoreOutcome::kRefusedDrive;
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
  std::string recording;
  std::string recordingFile;
  const SaveSource source = SourceOf(p, index, recording, recordingFile);
  RecordShelf shelf(p);

  // One file per present copy, in copy order; a 0x190 copy takes its ISP
  // file and then its auxiliary file. Without files named by hand every
  // file comes from one save: by default the Before save of the newest
  // change made to this stick.
  std::vector<std::string> ispFiles;
  std::vector<std::string> auxFiles;
  const std::vector<std::string>& files = request.files;
  const size_t needed = isp.size() * (is190 ? 2 : 1);
  std::optional<FoundSave> taken;
  if (files.empty()) {
    std::vector<std::pair<std::string, const RecordBook*>> books;
    FoundSave found;
    if (!ReadFolders(p, shelf, request.letterFolder, books)) return RestoreOutcome::kRefusedFiles;
    if (!(request.save.empty() ? ChooseDefaultSave(p, books, drive, source, recording, found)
                               : FindNamedSave(p, books, request.save, found)) ||
        !FilesOfSave(p, found, isp, aux, ispFiles, auxFiles)) {
      return RestoreOutcome::kRefusedNoBackup;
    }
    taken = found;
  } else if (files.size() != needed) {
    ShowRefusal(
        p, FormatText(kRestoreFileCount, static_cast<unsigned>(needed),
                      static_cast<unsigned>(files.size()), files.size() == 1 ? "was" : "were"));
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
  if (!ClassifyImages(p, shelf, isp, kIspPayloadBytes, drive, source, recording, ispImages) ||
      !ClassifyImages(p, shelf, aux, kAuxAreaBytes, drive, source, recording, auxImages)) {
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
  NamedFiles donorFiles;
  for (const RestoreImage* image : used) {
    if (image->origin == FileOrigin::kThisDrive) continue;
    if (!request.donor) {
      NamedFiles named;
      NameImage(*image, named);
      ShowRefusal(
          p,
          FormatText(kRestoreNotThisDrive, image->file.c_str(), OriginText(*image, drive).c_str(),
                     DescribeIdentity(drive).c_str(), p.donorHint.c_str()),
          named);
      return RestoreOutcome::kRefusedDonor;
    }
    donors += FormatText("<%s> %s.\n", image->file.c_str(), OriginText(*image, drive).c_str());
    NameImage(*image, donorFiles);
  }
  const uint32_t pageSize = slot.pageSize;
  if (!(is190 ? PageSizeFitsChunked(pageSize) : PageSizeFitsUpdate(pageSize))) {
    ShowError(p, FormatText(kPageSizeUnsupported, static_cast<unsigned>(pageSize)),
              Outcome::kRefused);
    return RestoreOutcome::kRefusedDrive;
  }

  // What will be written is told, logged and reported before the question.
  RestoreSource told;
  std::string listing;
  NamedFiles listed;
  if (taken) {
    const SaveMark& save = *taken->save;
    told = {save.id, save.command, RoleName(save.role), save.savedAt, SourceName(save.source), {}};
    listing = FormatText(kRestoreWritesSave, save.id.c_str(), save.command.c_str(),
                         RoleName(save.role), save.savedAt.c_str(), DescribePlace(save).c_str());
  } else {
    listing = kRestoreWritesFiles;
  }
  const auto tell = [&](const std::vector<CopyArea>& areas, const std::vector<RestoreImage>& images,
                        bool isAux) {
    for (size_t i = 0; i < areas.size(); ++i) {
      if (!areas[i].usable()) continue;
      told.files.push_back({images[i].file, areas[i].copy, isAux});
      listing += "\n" + DescribeArea({areas[i].copy, isAux}) + ": " + images[i].file;
      listed.paths.push_back(images[i].file);
    }
  };
  tell(isp, ispImages, false);
  tell(aux, auxImages, true);
  p.reports->Update([&](Report& report) { report.restoreSource = told; });
  size_t lineStart = 0;
  while (lineStart <= listing.size()) {
    const size_t lineEnd = std::min(listing.find('\n', lineStart), listing.size());
    p.log.AppendLog(listing.substr(lineStart, lineEnd - lineStart).c_str());
    lineStart = lineEnd + 1;
  }

  const unsigned question = kMbOkCancel | kMbIconExclamation | kMbTopmost;
  if ((!donors.empty() &&
       ShowBox(p, donors + FormatText(kRestoreDonorQuestion, DescribeIdentity(drive).c_str()),
               "Restore ISP Warning", question, donorFiles) != kIdOk) ||
      ShowBox(p, listing + "\n" + kRestoreConfirm, "Restore ISP Warning", question, listed) !=
          kIdOk) {
    SettleReport(p, Outcome::kCancelled);
    return RestoreOutcome::kCancelled;
  }
  CommandEnd end(screen);
  screen.DisableInputs();
  for (const RestoreImage& image : ispImages) {
    p.log.AppendLogFormat("Restore ISP File --> %s ", image.file.c_str());
  }
  for (const RestoreImage& image : auxImages) {
    p.log.AppendLogFormat("Restore ISP File --> %s ", image.file.c_str());
  }

  // What the restore overwrites is saved first, as before a fix: the
  // restore itself has a way back.
  SaveMark before = NewSave(p, index, "restore", SaveRole::kBefore);
  before.changeBegun = false;
  if (!SaveDriveAreas(p, before, "C:\\ISP%d_Before.bin", "C:\\ISP%d_AuxBefore.bin",
                      kRestoreNotStarted, true)) {
    p.log.AppendLog(kRestoreStopped);
    return RestoreOutcome::kFailed;
  }
  if (taken && request.save.empty() && !DriveIsAsTheChangeLeftIt(p, *taken, before)) {
    p.log.AppendLog(kRestoreStopped);
    return RestoreOutcome::kRefusedNoBackup;
  }
  const ChangeMark change(p, before);
  if (platform::InterruptReceived()) {
    SettleReport(p, Outcome::kInterrupted);
    return RestoreOutcome::kFailed;
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
            (is190 ? kMbOk : kMbIconInformation) | kBoxTellsReplug);
    SettleReport(p, Outcome::kSuccess);
    p.log.AppendLog("ISP Restore success ");
    WarnOfUnreadBlocks(p, index);
    outcome = RestoreOutcome::kRestored;
  }
  if (!restarted && !platform::InterruptReceived()) ReloadWorkingCode(p, index);
  if (outcome == RestoreOutcome::kRestored && !platform::InterruptReceived()) {
    if (is190) PrepareFlashReads190(p);
    KeepAfterSave(p, before);
  }
  return outcome;
}

}  // namespace kestrune
