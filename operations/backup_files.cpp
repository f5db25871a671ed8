#include "operations/backup_files.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <span>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "operations/messages.h"
#include "operations/volume_guard.h"
#include "platform/platform.h"
#include "program_version.h"

namespace kestrune {

namespace {

constexpr uint32_t kReadMode = 1;
// How often a file in the way is moved aside before the save gives up, and
// how many older files of one name are kept.
constexpr int kPlaceAttempts = 3;
constexpr unsigned kMaxKeptFiles = 9999;

std::string CannotOpenText(const std::string& path) {
  return FormatText("The file <%s> cannot be opened, please check.", path.c_str());
}

std::string CauseOrNone(const std::string& cause) { return cause.empty() ? kNoCauseGiven : cause; }

// A name in the same folder that no other run picks, so that two runs
// saving the same backup never write into one temporary file.
std::string TemporaryName(const std::string& path) {
  std::random_device random;
  return path + FormatText(".%08x.tmp", static_cast<unsigned>(random()));
}

// Moves what is at `path` to the first free numbered name as it is: for
// what no save can be (a link, a device, a file too large), so that the
// run neither follows nor reads it.
bool MoveAsIs(Program& p, const std::string& path, RecordBook& book, std::string& cause) {
  for (unsigned number = 1; number <= kMaxKeptFiles; ++number) {
    const std::string older = NumberedName(path, number);
    if (p.platform.FindFile(older)) continue;
    if (p.platform.MoveFile(path, older)) {
      book.Rename(LeafOf(path), LeafOf(older));
      p.log.AppendLogFormat(kOlderFileKept, path.c_str(), older.c_str());
      return true;
    }
    // Another run may have taken that name, or moved the file, meanwhile.
    if (p.platform.FindFile(older)) continue;
    if (!p.platform.FindFile(path)) return true;
    cause = FormatText(kOlderFileStays, p.platform.LastErrorText().c_str());
    return false;
  }
  cause = FormatText(kOlderFileStays, kNoFreeName);
  return false;
}

// The whole of a file no larger than a backup may be; false when it cannot
// be read or is larger.
bool ReadSmallFile(Program& p, const std::string& path, std::vector<uint8_t>& bytes) {
  std::unique_ptr<platform::File> file = p.platform.OpenFile(path, platform::OpenMode::kReadBinary);
  if (!file) return false;
  constexpr size_t kLargest = 1u << 20;
  bytes.resize(kLargest + 1);
  bytes.resize(ReadUpTo(*file, bytes.data(), bytes.size()));
  return bytes.size() <= kLargest;
}

// Keeps the file at `path` under the first free numbered name, in an
// order that no cut can turn into a lost save: a copy is made under the
// numbered name, the records are written naming the copy, and only then
// may a new file take `path`. Until the records are written they name
// `path`, which still holds the file; after, they name the copy. False:
// `book` may no longer be the folder's records, and is dropped.
bool KeepOlderFile(Program& p, const std::string& path, RecordBook& book, std::string& cause) {
  std::vector<uint8_t> bytes;
  if (!ReadSmallFile(p, path, bytes)) {
    if (!p.platform.FindFile(path)) return true;
    return MoveAsIs(p, path, book, cause);
  }
  const std::string folder = FolderOf(path);
  for (unsigned number = 1; number <= kMaxKeptFiles; ++number) {
    const std::string older = NumberedName(path, number);
    if (p.platform.FindFile(older)) continue;
    const std::string temporary = TemporaryName(older);
    const platform::RemoveOnInterrupt removal(p.platform.HostPath(temporary));
    std::unique_ptr<platform::File> copy =
        p.platform.OpenFile(temporary, platform::OpenMode::kCreateNew);
    bool complete = copy != nullptr && copy->Write(bytes.data(), bytes.size()) == bytes.size() &&
                    copy->Flush();
    const std::string copyError = copy ? copy->ErrorText() : p.platform.LastErrorText();
    copy.reset();
    if (complete && !p.platform.MoveFile(temporary, older)) {
      complete = false;
      p.platform.DeleteFile(temporary);
      // Another run took that name meanwhile.
      if (p.platform.FindFile(older)) continue;
      cause = FormatText(kOlderFileStays, CauseOrNone(p.platform.LastErrorText()).c_str());
      return false;
    }
    if (!complete) {
      p.platform.DeleteFile(temporary);
      cause = FormatText(kOlderFileStays, CauseOrNone(copyError).c_str());
      return false;
    }
    // Renamed in place: when the write fails the caller drops the book
    // (a bench's records cost more to copy than to write).
    book.Rename(LeafOf(path), LeafOf(older));
    std::string why;
    if (!WriteRecordBook(p, folder, book, why)) {
      // The records still name the file where it is; the copy goes.
      p.platform.DeleteFile(older);
      cause = FormatText(kOlderFileStays, CauseOrNone(why).c_str());
      return false;
    }
    p.log.AppendLogFormat(kOlderFileKept, path.c_str(), older.c_str());
    return true;
  }
  cause = FormatText(kOlderFileStays, kNoFreeName);
  return false;
}

// Gives the complete temporary file its name, keeping any older file of
// that name under a numbered one first.
bool PutInPlace(Program& p, const std::string& temporary, const std::string& path, RecordBook& book,
                std::string& cause) {
  for (int attempt = 0; attempt < kPlaceAttempts; ++attempt) {
    if (p.platform.MoveFile(temporary, path)) return true;
    cause = p.platform.LastErrorText();
    // Nothing in the way: the rename itself failed.
    if (!p.platform.FindFile(path)) return false;
    if (!KeepOlderFile(p, path, book, cause)) return false;
    // The older file is kept and recorded elsewhere: the new one replaces
    // it (or, moved as it was, takes the free name).
    if (p.platform.ReplaceFile(temporary, path)) return true;
    cause = p.platform.LastErrorText();
  }
  return false;
}

// One read of the area's code into `out`. `page` holds one page when pages
// are larger than 4 KiB. `fill` goes where nothing was read, so that two
// reads which deliver nothing cannot agree.
bool ReadCodeOnce(Program& p, const DriveSlot& slot, uint32_t startPage, const AreaFile& kind,
                  uint8_t* out, uint8_t* page, uint8_t fill) {
  const uint32_t pageSize = slot.pageSize;
  const uint32_t chunks = kind.bytes / kChunkBytes;
  std::memset(out, fill, kind.bytes);
  if (pageSize > kChunkBytes) {
    // Each page holds the next 4 KiB of code at its start, as the updates
    // write it.
    for (uint32_t k = 0; k < chunks; ++k) {
      std::memset(page, fill, pageSize);
      if (!device::ReadFlashPages(p.link, startPage + k, 1, pageSize, kReadMode, page,
                                  slot.volumeHandle)) {
        return false;
      }
      std::memcpy(out + size_t{k} * kChunkBytes, page, kChunkBytes);
    }
    return true;
  }
  if (kind.chunked) {
    const uint32_t perChunk = kChunkBytes / pageSize;
    for (uint32_t k = 0; k < chunks; ++k) {
      if (!device::ReadFlashPages(p.link, startPage + k * perChunk, perChunk, kChunkBytes,
                                  kReadMode, out + size_t{k} * kChunkBytes, slot.volumeHandle)) {
        return false;
      }
    }
    return true;
  }
  return device::ReadFlashPages(p.link, startPage, kind.bytes / pageSize, kind.bytes, kReadMode,
                                out, slot.volumeHandle);
}

// One read cannot show that its data came back wrong; a backup that is
// trusted to restore a drive is only written when two reads agree. A read
// that failed or disagreed is tried again, each into a buffer of its own
// with a fill of its own, so that no two reads which delivered nothing can
// agree. The read that agreed with an earlier one; -1 when none did.
int ReadUntilTwoAgree(Program& p, const DriveSlot& slot, uint32_t startPage, const AreaFile& kind,
                      device::HeapBlock (&reads)[kAreaReadAttempts], uint8_t* page,
                      const std::string& path) {
  static constexpr uint8_t kFills[kAreaReadAttempts] = {0x00, 0xFF, 0x5A, 0xA5};
  bool good[kAreaReadAttempts] = {};
  for (int attempt = 0; attempt < kAreaReadAttempts; ++attempt) {
    if (attempt >= 2) p.log.AppendLogFormat(kReadingAgain, path.c_str(), attempt + 1);
    good[attempt] =
        ReadCodeOnce(p, slot, startPage, kind, reads[attempt].get(), page, kFills[attempt]);
    if (!good[attempt]) continue;
    for (int earlier = 0; earlier < attempt; ++earlier) {
      if (good[earlier] &&
          std::memcmp(reads[earlier].get(), reads[attempt].get(), kind.bytes) == 0) {
        return attempt;
      }
    }
  }
  return -1;
}

// The copy whose area of `area` kind starts at `page`; -1 when none does.
int CopyAt(Program& p, int slotIndex, uint32_t page, AreaKind area) {
  for (const CopyArea& copy : BuildCopyList(p, slotIndex, area)) {
    if (copy.usable() && copy.devicePage == page) return copy.copy;
  }
  return -1;
}

std::string RecordsPath(const std::string& path) { return FolderOf(path) + kRecordDocumentName; }

}  // namespace

void ShowFileFailure(Program& p, const NamedFiles& files, const std::string& first,
                     const std::string& cause, const std::string& consequence, Outcome outcome) {
  std::string text = first;
  if (!cause.empty()) text += "\n" + cause;
  if (!consequence.empty()) text += "\n" + consequence;
  Fail(p, outcome, text, "Fail", kMbIconError | kMbTopmost, files);
}

bool PageSizeFitsBackup(uint32_t pageSize, const AreaFile& kind) {
  if (!IsUsablePageSize(pageSize)) return false;
  if (pageSize > kChunkBytes) return true;
  return kind.chunked ? kChunkBytes % pageSize == 0 : kind.bytes % pageSize == 0;
}

std::string NumberedName(const std::string& path, unsigned number) {
  const size_t folderEnd = path.find_last_of("\\/:");
  const size_t dot = path.rfind('.');
  const std::string suffix = "." + std::to_string(number);
  if (dot == std::string::npos || (folderEnd != std::string::npos && dot < folderEnd)) {
    return path + suffix;
  }
  return path.substr(0, dot) + suffix + path.substr(dot);
}

bool KeepSave(Program& p, const std::string& folder, const SaveMark& save, std::string& cause,
              NamedFiles* named) {
  const platform::HeldLock lock = p.platform.LockFolder(folder, kRecordLockWaitMilliseconds);
  if (!lock) {
    cause = CauseOrNone(p.platform.LastErrorText());
    return false;
  }
  RecordBook book;
  if (!ReadRecordBook(p, folder, book, cause, RecordUse::kChange, named)) return false;
  book.PutSave(save);
  return WriteRecordBook(p, folder, std::move(book), cause);
}

ChangeMark::ChangeMark(Program& p, SaveMark& before)
    : p_(p), before_(before), was_(p.openChange) {
  p.openChange = this;
}

ChangeMark::~ChangeMark() {
  p_.openChange = was_;
  if (!before_.changeBegun) return;
  std::string cause;
  if (p_.link.FlashChangesSent() != sentAtBegin_) {
    // What the change did, as its report counts it, joins its save.
    p_.reports->Update([this](const Report& report) {
      before_.copiesWritten = report.copiesWritten;
      before_.copiesVerified = report.copiesVerified;
    });
    if (!KeepSave(p_, "C:\\", before_, cause)) {
      p_.log.AppendLogFormat(kChangeCountsNotKept, before_.id.c_str(), CauseOrNone(cause).c_str());
    }
    return;
  }
  before_.changeBegun = false;
  if (!KeepSave(p_, "C:\\", before_, cause)) {
    // It stays marked begun: a restore may take a save equal to the drive.
    p_.log.AppendLogFormat(kChangeMarkStays, before_.id.c_str(), CauseOrNone(cause).c_str());
  }
}

bool ChangeMark::Begin() {
  if (before_.changeBegun) return true;
  before_.changeBegun = true;
  sentAtBegin_ = p_.link.FlashChangesSent();
  std::string cause;
  NamedFiles named;
  if (KeepSave(p_, "C:\\", before_, cause, &named)) return true;
  before_.changeBegun = false;
  ShowFileFailure(p_, named, FormatText(kChangeMarkNotKept, before_.id.c_str()), CauseOrNone(cause),
                  kNothingErased);
  return false;
}

bool WriteBackupFile(Program& p, const std::string& path, const uint8_t* bytes, uint32_t size,
                     const char* writeFailed, const std::string& consequence, BackupRecord record,
                     const SaveMark& save) {
  const std::span<const uint8_t> content(bytes, size);
  const std::optional<platform::Sha256Digest> digest = platform::Sha256({&content, 1});
  if (!digest) {
    ShowFileFailure(p, NamedFiles({path, RecordsPath(path)}),
                    FormatText(kRecordsNotReady, path.c_str(), RecordsPath(path).c_str()),
                    kNoDigest, consequence);
    return false;
  }
  record.file = LeafOf(path);
  record.size = size;
  record.sha256 = HexText(digest->data(), digest->size());
  record.savedAt = UtcTimestamp();
  record.programVersion = kProgramVersion;
  record.save = save.id;

  const std::string temporary = TemporaryName(path);
  // A run ended by an interrupt while this file is being written takes the
  // unfinished file along.
  const platform::RemoveOnInterrupt removal(p.platform.HostPath(temporary));
  std::unique_ptr<platform::File> file =
      p.platform.OpenFile(temporary, platform::OpenMode::kCreateNew);
  if (!file) {
    ShowFileFailure(p, NamedFiles({path}), CannotOpenText(path),
                    CauseOrNone(p.platform.LastErrorText()), consequence);
    return false;
  }
  const size_t written = file->Write(bytes, size);
  const bool complete = written == size && file->Flush();
  std::string cause = file->ErrorText();
  file.reset();
  if (!complete) {
    // A short file never stays behind to pass for a backup.
    p.platform.DeleteFile(temporary);
    // Both fit the 32 bits %u takes on every host (a short write is shorter).
    if (cause.empty() && written != size) {
      cause = FormatText(kShortWriteCause, static_cast<unsigned>(std::min<size_t>(written, size)),
                         static_cast<unsigned>(size));
    }
    ShowFileFailure(p, NamedFiles({path}), FormatText(writeFailed, path.c_str()),
                    CauseOrNone(cause), consequence);
    return false;
  }
  // The records of the folder change with its files, one run at a time,
  // so that no run loses another's entries or renames.
  const std::string folder = FolderOf(path);
  const platform::HeldLock lock = p.platform.LockFolder(folder, kRecordLockWaitMilliseconds);
  RecordBook book;
  std::string problem;
  NamedFiles named;
  if (!lock || !ReadRecordBook(p, folder, book, problem, RecordUse::kChange, &named)) {
    if (!lock) problem = CauseOrNone(p.platform.LastErrorText());
    p.platform.DeleteFile(temporary);
    named.paths.insert(named.paths.begin(), {path, RecordsPath(path)});
    ShowFileFailure(p, named, FormatText(kRecordsNotReady, path.c_str(), RecordsPath(path).c_str()),
                    problem, consequence);
    return false;
  }
  if (!PutInPlace(p, temporary, path, book, cause)) {
    p.platform.DeleteFile(temporary);
    ShowFileFailure(p, NamedFiles({path}), CannotOpenText(path), CauseOrNone(cause), consequence);
    return false;
  }
  ReportFile(p, {path, p.platform.HostPath(path), size, FileKind::kBackup});
  const std::string records = RecordsPath(path);
  book.PutSave(save);
  if (!book.Put(std::move(record))) {
    // The file stands, as with a record that cannot be written.
    ShowFileFailure(p, NamedFiles({path, records}),
                    FormatText(kRecordNotKept, path.c_str(), records.c_str()), kRecordsFull,
                    consequence);
    return false;
  }
  if (!WriteRecordBook(p, folder, std::move(book), cause)) {
    // The file stands, but a restore cannot tell whose it is: nothing that
    // relies on this backup may follow.
    ShowFileFailure(p, NamedFiles({path, records}),
                    FormatText(kRecordNotKept, path.c_str(), records.c_str()), CauseOrNone(cause),
                    consequence);
    return false;
  }
  // The document changes with every backup of the run: its size is told
  // as it is at the end.
  ReportFile(p, {records, p.platform.HostPath(records), std::nullopt, FileKind::kRecords});
  return true;
}

DownloadOutcome SaveCodeArea(Program& p, const std::string& path, uint32_t startPage,
                             const AreaFile& kind, BackupKind backup,
                             const std::string& consequence, bool mustKeep) {
  // Without a drive to read nothing may be written either.
  if (p.selectedDrive >= kSlotCount) return DownloadOutcome::kHostFailed;
  const int index = p.selectedDrive;
  const DriveSlot& slot = p.Slot(index);
  BackupRecord record;
  record.kind = backup;
  record.page = startPage;
  record.copy = CopyAt(p, index, startPage, IsAuxKind(backup) ? AreaKind::kAux : AreaKind::kIsp);
  record.drive = IdentityOf(p, index);
  record.replayOf = p.link.opener().ReplayOf(slot.letter);
  // A backup taken outside an operation's save is a save of its own.
  SaveMark own;
  if (p.openSave == nullptr) {
    own = NewSave(p, index, RoleOf(backup) == SaveRole::kBackup ? "backup" : "fix", RoleOf(backup));
  }
  const bool ofOperation = p.openSave != nullptr;
  SaveMark& save = ofOperation ? *p.openSave : own;

  const std::string start = FormatText("DownLoad ISP  to file -> %s \r\n", path.c_str());
  p.log.AppendLog(start.c_str());
  p.log.Debug(start.c_str());

  device::HeapBlock reads[kAreaReadAttempts];
  for (device::HeapBlock& read : reads) {
    read = p.link.AllocBuffer(kind.bytes, 0);
    if (!read) {
      Fail(p, Outcome::kFailed, "Can't allocate databuffer...", "Allocate Fail Warning",
           kMbIconExclamation);
      return DownloadOutcome::kHostFailed;
    }
  }
  const uint32_t pageSize = slot.pageSize;
  if (!PageSizeFitsBackup(pageSize, kind)) {
    ShowFileFailure(
        p, NamedFiles({path}),
        FormatText(kBackupPageSizeUnsupported, path.c_str(), static_cast<unsigned>(pageSize)), "",
        consequence);
    return DownloadOutcome::kHostFailed;
  }
  device::HeapBlock page;
  if (pageSize > kChunkBytes) {
    page = p.link.AllocBuffer(pageSize, 0);
    if (!page) {
      Fail(p, Outcome::kFailed, "Can't allocate databuffer...", "Allocate Fail Warning",
           kMbIconExclamation);
      return DownloadOutcome::kHostFailed;
    }
  }
  int agreed = -1;
  {
    VolumeGuard volume(p, index);
    const auto noBackup = [&](const char* box) {
      // The save lacks this area from now on, so that no restore takes it
      // for whole. Before a change the change may go on (a broken area may
      // be unreadable), and the run says what its save lacks.
      if (ofOperation && record.copy >= 0) {
        save.missing.push_back({record.copy, IsAuxKind(backup)});
        std::string cause;
        KeepSave(p, FolderOf(path), save, cause);
      }
      if (mustKeep) {
        Fail(p, Outcome::kFailed, consequence.empty() ? box : std::string(box) + "\n" + consequence,
             "ERROR", kMbIconError);
      } else if (ofOperation && save.role == SaveRole::kBefore && record.copy >= 0) {
        Warn(p,
             std::string(box) + "\n" +
                 FormatText(kSaveLacksArea, DescribeArea({record.copy, IsAuxKind(backup)}).c_str(),
                            save.id.c_str()),
             "ERROR", kMbIconError);
      } else {
        Fail(p, Outcome::kFailed, box, "ERROR", kMbIconError);
      }
      p.log.AppendLogFormat(kNoBackupMade, path.c_str());
      return DownloadOutcome::kDriveFailed;
    };
    if (!OpenVolume(p, index)) return noBackup("Download ISP fail because open handle fail ...");
    agreed = ReadUntilTwoAgree(p, slot, startPage, kind, reads, page.get(), path);
    if (agreed < 0) return noBackup("Read ISP code from flash fail");
  }
  page.reset();

  if (!WriteBackupFile(p, path, reads[agreed].get(), kind.bytes, kind.writeFailed, consequence,
                       std::move(record), save)) {
    return DownloadOutcome::kHostFailed;
  }
  const std::string done = FormatText("DownLoad ISP  to file -> %s --->OK\r\n", path.c_str());
  p.log.Debug(done.c_str());
  p.log.AppendLog(done.c_str());
  return DownloadOutcome::kSaved;
}

void KeepAfterSave(Program& p, const SaveMark& before) {
  SaveMark after = NewSave(p, p.selectedDrive, before.command, SaveRole::kAfter);
  after.changeOf = before.id;
  const FailuresWarn warn(p, true);
  SaveDriveAreas(p, after, "C:\\ISP%d_After.bin", "C:\\ISP%d_AuxAfter.bin", "", false);
}

bool SaveDriveAreas(Program& p, SaveMark& save, const char* ispName, const char* auxName,
                    const std::string& consequence, bool whole) {
  const int index = p.selectedDrive;
  const bool is190 = p.Slot(index).controllerId == kCtrl190;
  struct Pass {
    std::vector<CopyArea> areas;
    const char* name;
    const AreaFile& file;
    bool aux;
  };
  const Pass passes[] = {
      {BuildCopyList(p, index, AreaKind::kIsp), ispName, is190 ? kIspFile190 : kIspFile, false},
      {is190 ? BuildCopyList(p, index, AreaKind::kAux) : std::vector<CopyArea>{}, auxName,
       kAuxFile190, true}};
  int total = 0;
  for (const Pass& pass : passes) {
    for (const CopyArea& area : pass.areas) total += area.usable() ? 1 : 0;
  }
  save.areas = total;
  const SaveScope scope(p, save);
  int done = 0;
  bool kept = true;
  for (const Pass& pass : passes) {
    for (const CopyArea& area : pass.areas) {
      const std::string name = FormatText(pass.name, area.copy);
      if (!area.usable()) {
        Fail(p, Outcome::kFailed, FormatText(kBackupSkipped, area.copy, name.c_str()), "ERROR",
             kMbIconError, NamedFiles({name}));
        continue;
      }
      const std::string step = "Backup " + name;
      ReportStep(p, StepKind::kBackup, StepState::kStarted, step, done, total);
      const DownloadOutcome outcome = SaveCodeArea(
          p, name, area.devicePage, pass.file, KindFor(save.role, pass.aux), consequence, whole);
      ReportStep(p, StepKind::kBackup,
                 outcome == DownloadOutcome::kSaved ? StepState::kDone : StepState::kFailed, step,
                 ++done, total);
      if (outcome == DownloadOutcome::kHostFailed ||
          (whole && outcome != DownloadOutcome::kSaved)) {
        kept = false;
        if (whole) return false;
      }
    }
  }
  return kept;
}

bool LoadBackupFile(Program& p, platform::Platform& host, const std::string& path, uint32_t bytes,
                    uint8_t* out, std::optional<platform::FileOwner>* owner) {
  std::unique_ptr<platform::File> file = host.OpenFile(path, platform::OpenMode::kReadBinary);
  if (!file) {
    ShowFileFailure(p, NamedFiles({path}), CannotOpenText(path), CauseOrNone(host.LastErrorText()),
                    "", Outcome::kRefused);
    return false;
  }
  // Asked of the file read, not of the name, which may change meanwhile.
  if (owner != nullptr) *owner = file->OtherOwner();
  // One byte more than a backup holds tells a longer file from a complete one.
  if (ReadUpTo(*file, out, size_t{bytes} + 1) != bytes) {
    Fail(p, Outcome::kRefused,
         FormatText(kRestoreWrongSize, path.c_str(), static_cast<unsigned>(bytes)), "Fail",
         kMbIconError | kMbTopmost, NamedFiles({path}));
    return false;
  }
  return true;
}

}  // namespace kestrune
