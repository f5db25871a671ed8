#include "simulator/flash_file.h"

#include <algorithm>
#include <cstring>

#include "device/bytes.h"
#include "simulator/crc32.h"

namespace kestrune::sim {

namespace {

constexpr uint32_t kVersion = 2;
constexpr uint32_t kSnapshotOnlyVersion = 1;
constexpr size_t kHeaderSize = 8 + 5 * 4;
constexpr uint32_t kRecordErase = 1;
constexpr uint32_t kRecordPages = 2;
constexpr size_t kRecordHead = 12;  // kind, first, count
// Records may grow to twice the snapshot, and at least this far, before they
// are folded into a new one.
constexpr uint64_t kRecordAllowance = 16u << 20;

uint64_t RecordAllowance(uint64_t snapshotBytes) {
  return std::max(kRecordAllowance, 2 * snapshotBytes);
}

void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  bytes::StoreBe32(b, v);
  out.insert(out.end(), b, b + 4);
}

}  // namespace

std::vector<uint8_t> SnapshotBytes(const NandFlash& flash) {
  std::vector<uint32_t> numbers;
  numbers.reserve(flash.Pages().size());
  for (const auto& entry : flash.Pages()) numbers.push_back(entry.first);
  std::sort(numbers.begin(), numbers.end());

  std::vector<uint8_t> out(kFlashFileMagic.begin(), kFlashFileMagic.end());
  PutBe32(out, kVersion);
  PutBe32(out, flash.PageSize());
  PutBe32(out, flash.SpareSize());
  PutBe32(out, flash.PageCount());
  PutBe32(out, static_cast<uint32_t>(numbers.size()));
  out.reserve(out.size() + numbers.size() * (4 + flash.RawPageSize()) + 4);
  for (uint32_t page : numbers) {
    PutBe32(out, page);
    const auto& raw = flash.Pages().at(page);
    out.insert(out.end(), raw.begin(), raw.end());
  }
  PutBe32(out, Crc32(out.data(), out.size()));
  return out;
}

bool FlashJournal::Snapshot(const NandFlash& flash, std::string* error) {
  const std::vector<uint8_t> bytes = SnapshotBytes(flash);
  const std::string temp = path_ + ".tmp";
  // A flash may hold pieces of a customer's files: the new file is no more
  // readable than the one it replaces.
  OutputFile file = OutputFile::CreateReplacement(temp, path_, error);
  if (!file.IsOpen()) return false;
  if (!file.Write(bytes.data(), bytes.size())) {
    if (error) *error = "cannot write " + temp;
    file.Close();
    RemoveFile(temp);
    return false;
  }
  // The old file's handle goes first: some systems rename only onto a file
  // nobody holds.
  file_.Close();
  recordBytes_ = 0;
  if (!RenameOnto(temp, path_, error)) {
    file.Close();
    RemoveFile(temp);
    return false;
  }
  // The handle now writes to the file under its final name.
  file_ = std::move(file);
  snapshotBytes_ = bytes.size();
  return true;
}

bool FlashJournal::RecordErase(const NandFlash& flash, uint32_t block) {
  record_.clear();
  PutBe32(record_, kRecordErase);
  PutBe32(record_, block);
  PutBe32(record_, 0);
  return Append(flash);
}

bool FlashJournal::RecordPages(const NandFlash& flash, uint32_t page, uint32_t count) {
  record_.clear();
  PutBe32(record_, kRecordPages);
  PutBe32(record_, page);
  PutBe32(record_, count);
  const size_t head = record_.size();
  record_.resize(head + size_t{count} * flash.RawPageSize());
  for (uint32_t i = 0; i < count; ++i) {
    flash.Read(page + i, record_.data() + head + size_t{i} * flash.RawPageSize());
  }
  return Append(flash);
}

bool FlashJournal::Append(const NandFlash& flash) {
  if (!file_.IsOpen()) return false;
  // Records past their allowance mean a fold failed; rather than grow the
  // file beyond what loading accepts, the change goes into a new snapshot.
  if (recordBytes_ > RecordAllowance(snapshotBytes_)) return Snapshot(flash, nullptr);
  PutBe32(record_, Crc32(record_.data(), record_.size()));
  if (!file_.Write(record_.data(), record_.size())) {
    // What follows a failed write cannot be trusted to line up.
    file_.Close();
    return false;
  }
  recordBytes_ += record_.size();
  // The record is in the file either way; when the fold fails the records
  // stay, or the next change writes a snapshot.
  if (recordBytes_ > RecordAllowance(snapshotBytes_)) Snapshot(flash, nullptr);
  return true;
}

uint64_t MaxFlashFileBytes(const NandFlash& flash) {
  const uint64_t raw = flash.RawPageSize();
  const uint64_t snapshot = kHeaderSize + uint64_t{flash.PageCount()} * (4 + raw) + 4;
  const uint64_t lastRecord =
      kRecordHead + kMaxRecordPageBytes / std::max(flash.PageSize(), 1u) * raw + 4;
  return snapshot + RecordAllowance(snapshot) + lastRecord;
}

bool SaveFlashFile(const std::string& path, const NandFlash& flash, std::string* error) {
  FlashJournal journal(path);
  return journal.Snapshot(flash, error);
}

namespace {

// Why the first bytes of a file are no flash file of this geometry; empty
// when they are.
std::string HeadProblem(std::span<const uint8_t> in, const NandFlash& flash) {
  if (in.size() < kHeaderSize ||
      std::memcmp(in.data(), kFlashFileMagic.data(), kFlashFileMagic.size()) != 0)
    return "not a flash file";
  const uint8_t* h = in.data() + 8;
  const uint32_t version = bytes::LoadBe32(h);
  if (version != kVersion && version != kSnapshotOnlyVersion) return "unknown version";
  if (bytes::LoadBe32(h + 4) != flash.PageSize() || bytes::LoadBe32(h + 8) != flash.SpareSize() ||
      bytes::LoadBe32(h + 12) != flash.PageCount()) {
    return "made for another flash geometry; delete it to start from the description";
  }
  return {};
}

}  // namespace

ReadStatus ReadFlashFile(const std::string& path, const NandFlash& flash,
                         std::vector<uint8_t>* bytes, std::string* error) {
  return ReadRegularFile(path, MaxFlashFileBytes(flash), false, bytes, error, kHeaderSize,
                         [&flash, &path](std::span<const uint8_t> head) {
                           const std::string problem = HeadProblem(head, flash);
                           return problem.empty() ? problem : path + ": " + problem;
                         });
}

bool LoadFlashFile(const std::string& path, NandFlash& flash, std::string* error) {
  std::vector<uint8_t> in;
  std::string why;
  switch (ReadFlashFile(path, flash, &in, &why)) {
    case ReadStatus::kMissing:
      if (error) *error = path + ": cannot be opened";
      return false;
    case ReadStatus::kRefused:
      if (error) *error = why;
      return false;
    case ReadStatus::kRead:
      break;
  }
  if (!ParseFlashFile(in, flash, &why)) {
    if (error) *error = path + ": " + why;
    return false;
  }
  return true;
}

bool ParseFlashFile(const std::vector<uint8_t>& in, NandFlash& flash, std::string* why) {
  auto fail = [&](const char* text) {
    if (why) *why = text;
    return false;
  };
  // The header first: a file that is not this drive's is refused before
  // anything it claims to hold is looked at.
  if (const std::string problem = HeadProblem(in, flash); !problem.empty()) {
    if (why) *why = problem;
    return false;
  }
  if (in.size() < kHeaderSize + 4) return fail("not a flash file");
  const uint8_t* h = in.data() + 8;
  const uint32_t version = bytes::LoadBe32(h);
  if (in.size() > MaxFlashFileBytes(flash)) return fail("larger than this drive's flash can leave");
  // The snapshot's length follows from its header, which the CRC then covers.
  const uint64_t record = 4 + uint64_t{flash.RawPageSize()};
  const uint64_t stored = bytes::LoadBe32(h + 16);
  if (stored > (in.size() - kHeaderSize - 4) / record) return fail("truncated");
  const size_t snapshot = kHeaderSize + static_cast<size_t>(stored * record);
  if (Crc32(in.data(), snapshot) != bytes::LoadBe32(in.data() + snapshot)) {
    return fail("damaged (CRC mismatch)");
  }
  const size_t end = snapshot + 4;
  if (version == kSnapshotOnlyVersion && end != in.size())
    return fail("damaged (data after the end)");

  NandFlash loaded(flash.PageSize(), flash.SpareSize(), flash.PagesPerBlock(), flash.BlockCount());
  const uint8_t* p = in.data() + kHeaderSize;
  for (uint64_t i = 0; i < stored; ++i, p += record) {
    const uint32_t page = bytes::LoadBe32(p);
    if (!loaded.Contains(page)) return fail("page outside the flash");
    loaded.Store(page, p + 4);
  }

  // Records in order. Appends only ever leave a short last record behind, so
  // only the last one may be cut short; a bad record with more after it is
  // damage.
  const size_t raw = flash.RawPageSize();
  for (size_t at = end; at < in.size();) {
    const size_t left = in.size() - at;
    if (left < kRecordHead + 4) break;
    const uint8_t* r = in.data() + at;
    const uint32_t kind = bytes::LoadBe32(r);
    const uint32_t first = bytes::LoadBe32(r + 4);
    const uint32_t count = bytes::LoadBe32(r + 8);
    const bool known =
        kind == kRecordErase ? count == 0 : kind == kRecordPages && count <= flash.PageCount();
    if (!known) return fail("damaged (unknown record)");
    const uint64_t length = kRecordHead + uint64_t{count} * raw;
    if (length + 4 > left) break;
    if (Crc32(r, static_cast<size_t>(length)) != bytes::LoadBe32(r + length)) {
      if (length + 4 == left) break;
      return fail("damaged (record CRC mismatch)");
    }
    if (kind == kRecordErase) {
      if (first >= loaded.BlockCount()) return fail("erase outside the flash");
      loaded.EraseBlock(first);
    } else {
      if (!loaded.Contains(first, count)) return fail("page outside the flash");
      for (uint32_t i = 0; i < count; ++i) loaded.Store(first + i, r + kRecordHead + i * raw);
    }
    at += static_cast<size_t>(length) + 4;
  }
  flash = std::move(loaded);
  return true;
}

}  // namespace kestrune::sim
