// The records that tie each backup file to the drive it came from: one
// small JSON document per folder of backups, kept in step with the files
// under a lock, and the rule by which a restore tells this drive's files
// from another's.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "discovery/program.h"
#include "operations/operations.h"

namespace kestrune {

// The document beside the backups of one folder.
inline constexpr const char* kRecordDocumentName = "kestrune-backups.json";
// How long a run waits for another run that is updating the same records.
inline constexpr uint32_t kRecordLockWaitMilliseconds = 10000;
// A larger document is not read: records take a few hundred bytes each.
inline constexpr uint64_t kMaxRecordDocumentBytes = 8u << 20;

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
};

// The identity of the drive in slot `slotIndex`, its serial asked of the
// opener that serves its letter.
DriveIdentity IdentityOf(Program& p, int slotIndex);

// "controller 0x163 rev 2, flash EC D3 51 95 58, page size 2048, USB serial
// KST1" ("no USB serial" when there is none).
std::string DescribeIdentity(const DriveIdentity& drive);

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
};

// The records of one folder.
struct RecordBook {
  std::vector<BackupRecord> records;

  const BackupRecord* Find(const std::string& file) const;
  // Adds `record` under its name, in place of any record of that name, with
  // the next sequence number.
  void Put(BackupRecord record);
  // The record of `from` now names `to` (a file moved aside).
  void Rename(const std::string& from, const std::string& to);
};

// "C:\\ISP0_Before.bin" -> "C:\\" and "ISP0_Before.bin".
std::string FolderOf(const std::string& path);
std::string LeafOf(const std::string& path);

// Reads the document of `folder`. A missing document is an empty book;
// false with `problem` set (a sentence naming the document) when it cannot
// be read or is not a record document.
bool ReadRecordBook(Program& p, const std::string& folder, RecordBook& book, std::string& problem);
// Writes the document of `folder` whole under a temporary name, flushed,
// then renamed over the old one. False with `cause` set.
bool WriteRecordBook(Program& p, const std::string& folder, const RecordBook& book,
                     std::string& cause);

// "2024-05-01T09:30:00Z".
std::string UtcTimestamp();
std::string HexText(const uint8_t* bytes, size_t size);

// How a file stands to the drive a restore writes.
enum class FileOrigin : uint8_t {
  kThisDrive,   // recorded for this drive and this copy, and unchanged since
  kDonor,       // recorded for a drive of the same model whose identity cannot be
                // shown to be this one (another serial, no serial), or for
                // another copy of this drive
  kUnknown,     // no record, or the file is not the one recorded under its name
  kOtherModel,  // recorded for another controller, revision, flash ID or page size
};

// Same controller, revision, flash ID and page size: code saved from one
// runs on the other.
bool SameModel(const DriveIdentity& a, const DriveIdentity& b);
// The same stick: the same model and one USB serial that both gave. The
// INQUIRY texts are not compared: the identification text carries the ISP
// verdict, which a fix changes.
bool SameStick(const DriveIdentity& a, const DriveIdentity& b);

// `record` (null: none) of a file with `size` bytes and SHA-256 `sha256`,
// to be written into `copy` at `page` of `drive`.
FileOrigin ClassifyFile(const BackupRecord* record, uint32_t size, const std::string& sha256,
                        const DriveIdentity& drive, int copy, uint32_t page);

}  // namespace kestrune
