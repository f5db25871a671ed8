// The file that keeps a virtual drive's flash between runs, beside its
// description (drive.json -> drive.json.flash).
//
// Layout, integers big-endian. First a snapshot: "KSTRFLSH", version u32
// (2; files of version 1 hold the snapshot alone), page size u32, spare size
// u32, page count u32, stored page count u32; per stored page, in ascending
// order, its number u32 and its page + spare bytes; the CRC-32 of the
// snapshot before it. Pages not stored are erased (0xFF).
//
// Then one record per erase or page program, appended as the command
// completes: kind u32 (1 erase, 2 pages), first u32 (the block erased or the
// first page), count u32 (0 for an erase, else the number of pages), the page
// + spare bytes each page holds after the program, and the CRC-32 of the
// record before it. A record sets whole blocks or pages, so a record read
// twice does no harm, and a kill at any instant leaves at worst a last record
// cut short, which loading leaves out. A bad record with others after it is
// damage, not a kill, and makes the load fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "simulator/nand_flash.h"
#include "simulator/sim_host.h"

namespace kestrune::sim {

// What a flash file starts with.
inline constexpr std::string_view kFlashFileMagic = "KSTRFLSH";

// The most page data one record carries: a program command moves no more.
inline constexpr uint32_t kMaxRecordPageBytes = 16u << 20;

// The largest file a flash of this geometry can leave: a snapshot of every
// page, the records the journal lets grow before it folds them, and the one
// record that crossed that line. A larger file is refused before a byte of
// it is read.
uint64_t MaxFlashFileBytes(const NandFlash& flash);

// Keeps one flash file up to date as the flash changes.
class FlashJournal {
 public:
  explicit FlashJournal(std::string path) : path_(std::move(path)) {}

  // Writes the whole flash as the new file, through a temporary file and a
  // rename, so a kill leaves the old file or the new one; records follow it.
  bool Snapshot(const NandFlash& flash, std::string* error);
  // Appends a record after the last snapshot, `flash` holding the change
  // already. False when no snapshot was written in this run or the write
  // failed. Records that outgrow the snapshot are folded into a new one, so
  // a long session does not grow the file without end.
  bool RecordErase(const NandFlash& flash, uint32_t block);
  bool RecordPages(const NandFlash& flash, uint32_t page, uint32_t count);

  bool IsOpen() const { return file_.IsOpen(); }
  // Whether records were appended since the last snapshot.
  bool HasRecords() const { return recordBytes_ > 0; }
  void Close() { file_.Close(); }

 private:
  bool Append(const NandFlash& flash);

  std::string path_;
  OutputFile file_;
  uint64_t snapshotBytes_ = 0;
  uint64_t recordBytes_ = 0;
  std::vector<uint8_t> record_;
};

// The bytes of a snapshot of `flash`, as a file holds them.
std::vector<uint8_t> SnapshotBytes(const NandFlash& flash);
// A snapshot alone, as the file's whole contents.
bool SaveFlashFile(const std::string& path, const NandFlash& flash, std::string* error);
// Snapshot and records into `flash`. False with `error` when the file is
// missing, damaged, larger than MaxFlashFileBytes or belongs to another
// geometry; `flash` is left untouched then.
bool LoadFlashFile(const std::string& path, NandFlash& flash, std::string* error);
// Reads the flash file at `path` for `flash`: its header is checked before
// anything else is read, and a file larger than MaxFlashFileBytes is
// refused before it is read. A link at the name is refused.
ReadStatus ReadFlashFile(const std::string& path, const NandFlash& flash,
                         std::vector<uint8_t>* bytes, std::string* error);
// The same for file contents already read; `why` does not name the file.
bool ParseFlashFile(const std::vector<uint8_t>& in, NandFlash& flash, std::string* why);

}  // namespace kestrune::sim
