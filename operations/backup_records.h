// The records that tie each backup file to the drive it came from: one
// small JSON document per folder of backups, kept in step with the files
// under a lock, and the rule by which a restore tells this drive's files
// from another's.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/program.h"
#include "platform/text.h"
#include "operations/operations.h"

namespace kestrune {

// The document beside the backups of one folder.
inline constexpr const char* kRecordDocumentName = "kestrune-backups.json";
// Beside the document of a large folder: the changes since the document
// was last written whole, one line each. A document of kJournalFromBytes
// or more takes a run's changes into its journal, until the journal would
// pass kMaxJournalBytes; then the document is written whole again.
inline constexpr const char* kRecordJournalName = "kestrune-backups.journal";

inline constexpr uint64_t kJournalFromBytes = uint64_t{1} << 20;
inline constexpr uint64_t kMaxJournalBytes = uint64_t{1} << 20;
// How long a run waits for another run that is updating the same records.
inline constexpr uint32_t kRecordLockWaitMilliseconds = 10000;
// A larger document is neither read nor written. A save with its files
// takes about 4 KiB, so this holds some 60,000 saves: years of a busy bench.
inline constexpr uint64_t kMaxRecordDocumentBytes = uint64_t{256} << 20;
// No run numbers a record above this (one record a microsecond would take
// 285 years to reach it): a document that holds a larger sequence was not
// written by a run, and numbering stops here instead of wrapping.
inline constexpr uint64_t kMaxRecordSequence = uint64_t{1} << 53;

// What a drive says of itself, as far as a backup needs it. Texts are kept
// printable; an empty serial means the drive gave none.
struct DriveIdentity {
  uint16_t controllerId = 0;
  uint8_t revision = 0;
  std::array<uint8_t, 5> flashId = {};
  uint32_t pageSize = 0;
  std::string vendor;
  std::string product;
  std::string inquiryText;
  std::string usbSerial;
  // SHA-256 (lower-case hex) of the CIS page identification accepted;
  // empty when none was, or the record is older than this field.
  std::string cisSha256;
  friend bool operator==(const DriveIdentity&, const DriveIdentity&) = default;
};

// The identity of the drive in slot `slotIndex`, its serial asked of the
// opener that serves its letter, with the digest of its accepted CIS page.
DriveIdentity IdentityOf(Program& p, int slotIndex);

// "controller 0x163 rev 2, flash EC D3 51 95 58, page size 2048, USB serial
// KST1" ("no USB serial" when there is none).
std::string DescribeIdentity(const DriveIdentity& drive);

// What a save was made for: the state before a change, after it, or the
// backup command's copy of a drive it leaves alone.
enum class SaveRole : uint8_t { kBefore, kAfter, kBackup };

// Where the code of a save was read: a stick through the system's
// pass-through, a simulated drive, a simulated drive exported from a
// recording, or the replay of a recording. Only a save of the same source
// as the drive it would go back into can be that drive's own.
enum class SaveSource : uint8_t { kRealDevice, kSimulatedDrive, kExportedDrive, kReplay };

// One area a save holds, or lacks: the ISP area of a copy or (0x190) its
// auxiliary area.
struct SaveArea {
  int copy = 0;
  bool aux = false;
  friend bool operator==(const SaveArea&, const SaveArea&) = default;
};

// "ISP copy 1", "auxiliary area of copy 0".
std::string DescribeArea(const SaveArea& area);

// One save: every area one run kept of one drive at one moment, under one
// id. A save that lacks an area it meant to hold is incomplete, and no
// restore fills the gap from another save.
struct SaveMark {
  std::string id;       // "20261209T162815Z-3fa1": the time, then four hex digits
  std::string command;  // "fix", "backup", "destroy", "restore"
  SaveRole role = SaveRole::kBefore;
  std::string savedAt;  // UTC, ISO 8601, to the millisecond
  uint64_t sequence = 0;
  DriveIdentity drive;
  SaveSource source = SaveSource::kRealDevice;
  // For an exported drive or a replay: the SHA-256 of the recording, and for
  // an exported drive the name it had when exported.
  std::string recording;
  std::string recordingFile;
  // Areas the run meant to keep and could not read.
  std::vector<SaveArea> missing;
  // Made of one record written before saves were kept: it holds that one
  // file and is never taken by default.
  bool legacy = false;
  // For the Before save of a change: whether the change may have reached
  // the flash (its first erase went out). A change that stopped before,
  // cancelled, interrupted or its stick gone, left the drive as it was, and
  // its save is no way back. Saves of documents older than the field, and
  // of other roles, count as begun.
  bool changeBegun = true;
  // For the After save of a change: the id of its Before save. What the
  // change left on its stick, which a restore of that Before save expects
  // to find there.
  std::string changeOf;
  // Where the stick was when the save was made: its letter, and its USB
  // port as the system names it ("2-1.4"; empty where it does not say).
  char letter = 0;
  std::string port;
  // For the Before save of a fix: the image the fix wrote (file, chooser
  // row, SHA-256); empty otherwise.
  std::string imageFile;
  std::string imageRow;
  std::string imageSha256;
  // For the Before save of a change, once it is over: how many copies it
  // wrote and how many of those read back equal; -1 while it is under
  // way, was cut off, or for another save.
  int copiesWritten = -1;
  int copiesVerified = -1;
  // How many areas the run meant to keep in it, told before the first file
  // is written, so that a save cut between two files shows as incomplete;
  // 0 where not recorded.
  int areas = 0;
  // The run it was made in (every drive of one --all or watch shares it);
  // empty where not recorded.
  std::string run;
  friend bool operator==(const SaveMark&, const SaveMark&) = default;
};

// "real device", "simulated drive", "exported drive", "replay".
const char* SourceName(SaveSource source);
// "before", "after", "backup".
const char* RoleName(SaveRole role);
// The role of a file of `kind` ("Before" and "AuxBefore" are before, ...).
SaveRole RoleOf(BackupKind kind);
// The kind of file a save of `role` keeps for an area.
BackupKind KindFor(SaveRole role, bool aux);

// ", E: port 2-1.4", ", E:" where no port was recorded; "" for a save
// that recorded no letter. It follows the time, inside the parentheses.
std::string DescribePlace(const SaveMark& save);
// For a change's Before save, what the change did, as a device's update
// history tells it: "image 163A/US.BIN, SHA-256 ...; wrote 2 copies, 2
// read back equal", "nothing went out to the stick"; "" for other saves
// and for a change whose end was not recorded.
std::string DescribeChange(const SaveMark& save);

// "a real device", "a simulated drive", "the drive exported from the
// recording <stick.krec> (SHA-256 ...)", "a replay of the recording with
// SHA-256 ...".
std::string DescribeSource(const SaveMark& save);

// Where the drive in `slotIndex` is read from, and the recording behind it.
SaveSource SourceOf(Program& p, int slotIndex, std::string& recording, std::string& recordingFile);

// A new save of the drive in `slotIndex`: its id, time, identity and source.
SaveMark NewSave(Program& p, int slotIndex, const std::string& command, SaveRole role);

struct BackupRecord {
  std::string file;  // the name inside its folder
  BackupKind kind = BackupKind::kBefore;
  int copy = -1;      // the CIS copy whose area was saved; -1: none the drive lists
  uint32_t page = 0;  // device page the area starts at
  uint32_t size = 0;
  std::string sha256;   // lower-case hex
  std::string savedAt;  // UTC, ISO 8601
  std::string programVersion;
  uint64_t sequence = 0;  // grows with every record of the folder: the newest is the largest
  DriveIdentity drive;
  // Set when the file was kept by a replay: the SHA-256 of the recording.
  // Such a file never counts as the stick's own.
  std::string replayOf;
  // The id of the save the file belongs to.
  std::string save;
  friend bool operator==(const BackupRecord&, const BackupRecord&) = default;
};

// The records of one folder.
struct RecordBook {
  std::vector<BackupRecord> records;
  std::vector<SaveMark> saves;
  // Set when the document belongs to another user: its records were not
  // read, and none of them counts as this user's.
  std::optional<platform::FileOwner> otherOwner;
  // How the document stands, for the next write: the token its journal
  // carries (empty: it keeps none, and is written whole), the journal's
  // text as read or last written, the changes since (a journal line each,
  // added by Put, PutSave and Rename) and the document's text.
  std::string journalOf;
  std::string journalText;
  std::vector<std::string> journalLines;
  std::shared_ptr<const std::string> documentText;

  const BackupRecord* Find(const std::string& file) const;
  // Adds `record` under its name, in place of any record of that name, with
  // the next sequence number. False, with nothing changed, when the next
  // number would pass kMaxRecordSequence.
  bool Put(BackupRecord record);
  // The record of `from` now names `to` (a file moved aside).
  void Rename(const std::string& from, const std::string& to);
  const SaveMark* FindSave(const std::string& id) const;
  // Adds `save`, or replaces the save of its id; a new save takes the
  // folder's next sequence number.
  void PutSave(SaveMark save);
  // The files of save `id`, in the order kept.
  std::vector<const BackupRecord*> FilesOf(const std::string& id) const;
};

// "C:\\ISP0_Before.bin" -> "C:\\" and "ISP0_Before.bin".
std::string FolderOf(const std::string& path);
std::string LeafOf(const std::string& path);

// Reads the document of `folder`. A missing document is an empty book, and
// so is one of another user (with `otherOwner` set). False with `problem`
// set (a sentence naming the document) when it cannot be read, is no
// regular file, or is not a record document: a record that names anything
// but a plain file name in the folder, or a sequence no run makes, makes
// it none. `named`, when given, receives the file `problem` names.
// A run keeps the book of each document it read or wrote last, and reads
// again only a document whose text changed: `kChange` takes the book along
// (it is written again at once, and kept then), where `kLook` copies it.
enum class RecordUse : uint8_t { kLook, kChange };
bool ReadRecordBook(Program& p, const std::string& folder, RecordBook& book, std::string& problem,
                    RecordUse use = RecordUse::kLook, NamedFiles* named = nullptr);
bool ReadRecordBook(platform::Platform& host, const std::string& folder, RecordBook& book,
                    std::string& problem, RecordUse use = RecordUse::kLook,
                    NamedFiles* named = nullptr);
// Writes the records of `folder`: the changes since `book` was read into
// the journal of a document that keeps one, else the document whole; each
// file under a temporary name, flushed, then renamed over the old one.
// False with `cause` set. Given the book to keep, it keeps it for the next
// read; a book the caller goes on with is not kept (it is to be written
// again).
bool WriteRecordBook(Program& p, const std::string& folder, RecordBook& book,
                     std::string& cause);
bool WriteRecordBook(Program& p, const std::string& folder, RecordBook&& book,
                     std::string& cause);

// The folders of the C: tree that may hold saves: C: and, with
// `letterFolders`, each letter folder (C:\\E\\, ...) that holds a records
// document, as --all and watch keep them.
std::vector<std::string> SaveFolders(platform::Platform& host, bool letterFolders);
// A save of the state before a change Kestrune made: a fix, a destroy or a
// restore that went as far as its first erase. The newest of them is what
// a restore takes by default.
bool IsChangeSave(const SaveMark& save);
// Whether a save may stand for the drive's own: the same stick, read from
// the same kind of source (a real device's saves for a real device; an
// exported drive's only for a drive exported from the same recording),
// never a replay's, never one older than saves.
bool OwnSave(const SaveMark& save, const DriveIdentity& drive, SaveSource source,
             const std::string& recording);
// Newest first: in one folder the later sequence, whatever the clock said
// when each was made (a clock set back must not make an old save the
// newest); across folders the later time. Saves of one time in two folders
// are neither newer.
bool NewerSave(std::string_view folderA, const SaveMark& a, std::string_view folderB,
               const SaveMark& b);

// Saves of one stick's identity that show two sticks: two made in one run
// (--all, watch) at two places (another USB port, or another letter where
// no port was recorded). Sticks of one batch share a serial and CIS page,
// and no save tells such sticks apart. Empty when no two are such.
std::vector<const SaveMark*> LookAlikeSaves(const std::vector<const SaveMark*>& saves);

// A save and the folder of the C: tree that holds it.
struct SaveInFolder {
  std::string_view folder;
  const SaveMark* save = nullptr;
};

// The save a default restore takes among `candidates`, one stick's change
// saves (IsChangeSave) of one source (OwnSave): the newest (NewerSave). None
// when two of them show two sticks (`lookAlikes`, LookAlikeSaves), or when
// another folder holds one of the newest's time (`tie`: neither can be shown
// to be the later). restore and backups both ask it.
struct DefaultSave {
  std::vector<const SaveMark*> lookAlikes;
  // Indexes into the candidates; the newest is unset with look-alikes.
  std::optional<size_t> newest;
  std::optional<size_t> tie;
  std::optional<size_t> taken() const { return tie ? std::nullopt : newest; }
};
DefaultSave NewestChangeSave(const std::vector<SaveInFolder>& candidates);

// A name of a file inside its folder: not empty, no separator ('/', '\\',
// ':'), not "." or "..".
bool IsPlainFileName(const std::string& name);

// "2024-05-01T09:30:00Z".
std::string UtcTimestamp();
using platform::HexText;
// "2024-05-01T09:30:00.125Z".
std::string UtcTimestampMilliseconds();

// How a file stands to the drive a restore writes.
enum class FileOrigin : uint8_t {
  kThisDrive,   // recorded for this drive and this copy, and unchanged since
  kDonor,       // recorded for a drive of the same model whose identity cannot be
                // shown to be this one (another serial, no serial, another
                // CIS page or none recorded), for another copy of this
                // drive, or kept by a replay
  kUnknown,     // no record, or the file is not the one recorded under its name
  kOtherModel,  // recorded for another controller, revision, flash ID or page size
};

// Same controller, revision, flash ID and page size: code saved from one
// runs on the other.
bool SameModel(const DriveIdentity& a, const DriveIdentity& b);
// The same stick: the same model, one USB serial that both gave, and one
// accepted CIS page, whose digest both give (sticks of one batch may share
// a serial). The INQUIRY texts are not compared: the identification text
// carries the ISP verdict, which a fix changes.
bool SameStick(const DriveIdentity& a, const DriveIdentity& b);

// `record` (null: none) of a file with `size` bytes and SHA-256 `sha256`,
// to be written into `copy` at `page` of `drive`.
FileOrigin ClassifyFile(const BackupRecord* record, uint32_t size, const std::string& sha256,
                        const DriveIdentity& drive, int copy, uint32_t page);

}  // namespace kestrune
