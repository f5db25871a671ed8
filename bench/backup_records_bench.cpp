// What the records of a busy bench cost: a document of `saves` saves of two
// files each, read (ReadAmongSaves: what restore and backups pay once per
// run), written whole (WriteWholeAmongSaves: once per megabyte of journal)
// and changed as every backup file a fix keeps changes it
// (KeepAmongSaves: a read of the book the run already holds, and a line
// more in the journal); and what reading a document costs when someone
// made it large: one record whose drive object carries `keys` keys besides
// its own, up to what the size limit lets in.
// Counters:
//   keys       keys of the one object;
//   s_per_key  host time per read, divided by the keys (flat when the read
//              is linear in the document);
//   refused    reads that did not give the one record (should be 0).
// The *AmongSaves counters:
//   saves      saves in the document; bytes its size; journal_bytes the
//              journal's at the end;
//   failed     reads or writes that failed (should be 0).
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "base/program.h"
#include "device/link.h"
#include "log/isp_log.h"
#include "operations/backup_records.h"
#include "platform/posix_platform.h"
#include "simulator/virtual_drive.h"
#include "view/view.h"

namespace {

using namespace kestrune;
namespace fs = std::filesystem;

class QuietView : public View {
 public:
  int ShowMessage(const std::string&, const std::string&, unsigned) override { return kIdOk; }
};

fs::path ScratchFolder() {
  static std::atomic<unsigned> counter{0};
  const fs::path path = fs::temp_directory_path() /
                        ("kestrune-records-bench-" + std::to_string(std::random_device{}()) + "-" +
                         std::to_string(counter++));
  if (!fs::create_directory(path)) throw std::runtime_error("cannot create " + path.string());
  return path;
}

// A program whose C: is a scratch folder of its own, removed at its end.
struct ScratchProgram {
  static platform::PosixOptions Options(const fs::path& folder) {
    platform::PosixOptions options;
    options.cDriveFolder = folder.string();
    options.tempFolder = folder.string();
    options.realSleep = false;
    return options;
  }
  ~ScratchProgram() { fs::remove_all(folder); }

  const fs::path folder = ScratchFolder();
  platform::PosixPlatform host{Options(folder)};
  sim::SimulatedVolumes volumes;
  device::DeviceLink link{volumes};
  IspLog log{host};
  QuietView view;
  Program p{host, link, log, view};
};

// Short names, so that the most keys fit under the limit.
std::string KeyName(int64_t i) {
  static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name;
  do {
    name += kDigits[i % 36];
    i /= 36;
  } while (i != 0);
  return name;
}

std::string DocumentWithKeys(int64_t keys) {
  std::string extra;
  for (int64_t i = 0; i < keys; ++i) extra += "\"" + KeyName(i) + "\":0,";
  return R"({"format":"kestrune-backup-records","version":1,"files":[{"file":"ISP0_Before.bin",)"
         R"("kind":"Before","copy":0,"page":192,"size":49152,"sha256":"00",)"
         R"("savedAt":"2024-05-01T09:30:00Z","programVersion":"1.0.0.7","sequence":1,"drive":{)" +
         extra +
         R"("controllerId":"0x163","revision":2,"flashId":"EC D3 51 95 58","pageSize":2048,)"
         R"("vendor":"KSTRUNE","product":"USB DISK 163","inquiryText":"x","usbSerial":"S"}}]})";
}

void ReadRecords(benchmark::State& state) {
  const int64_t keys = state.range(0);
  const std::string document = DocumentWithKeys(keys);
  if (document.size() > kMaxRecordDocumentBytes) {
    state.SkipWithError("the document would pass the size limit");
    return;
  }
  ScratchProgram scratch;
  std::ofstream(scratch.folder / kRecordDocumentName, std::ios::binary) << document;
  int64_t refused = 0;
  for (auto _ : state) {
    RecordBook book;
    std::string problem;
    if (!ReadRecordBook(scratch.p, "C:\\", book, problem) || book.records.size() != 1) ++refused;
    benchmark::DoNotOptimize(book);
  }
  state.counters["keys"] = static_cast<double>(keys);
  state.counters["bytes"] = static_cast<double>(document.size());
  state.counters["refused"] = static_cast<double>(refused);
  // Seconds per key of one read.
  state.counters["s_per_key"] =
      benchmark::Counter(static_cast<double>(keys), benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

// A save as a fix keeps it, with its two files. `direct` puts them in
// place as the records of a document already hold them, without the search
// for their names a run makes.
void AddSave(RecordBook& book, int64_t i, bool direct = false) {
  SaveMark save;
  save.id = "20261209T162815Z-" + KeyName(i);
  save.command = "fix";
  save.savedAt = "2026-12-09T16:28:15.125Z";
  save.drive.controllerId = 0x163;
  save.drive.revision = 2;
  save.drive.pageSize = 2048;
  save.drive.vendor = "KSTRUNE";
  save.drive.product = "USB DISK 163";
  save.drive.inquiryText = "USB DISK 163 ISP OK";
  save.drive.usbSerial = "KST" + KeyName(i);
  save.drive.cisSha256 = std::string(64, 'c');
  for (int copy = 0; copy < 2; ++copy) {
    BackupRecord record;
    record.file = "ISP" + std::to_string(copy) + "_Before." + std::to_string(i) + ".bin";
    record.copy = copy;
    record.page = 192 + 256 * copy;
    record.size = 49152;
    record.sha256 = std::string(64, 'a');
    record.savedAt = "2026-12-09T16:28:15Z";
    record.programVersion = "1.0.0.7";
    record.drive = save.drive;
    record.save = save.id;
    if (direct) {
      record.sequence = static_cast<uint64_t>(3 * i + copy + 1);
      book.records.push_back(std::move(record));
    } else {
      book.Put(std::move(record));
    }
  }
  if (direct) {
    save.sequence = static_cast<uint64_t>(3 * i + 3);
    book.saves.push_back(std::move(save));
  } else {
    book.PutSave(std::move(save));
  }
}

// Records of `saves` saves in the scratch folder's C:; false when they
// cannot be written.
bool WriteSaves(ScratchProgram& scratch, int64_t saves) {
  RecordBook start;
  for (int64_t i = 0; i < saves; ++i) AddSave(start, i, true);
  std::string cause;
  return WriteRecordBook(scratch.p, "C:\\", start, cause);
}

// A backup file kept: the book the run holds taken up, a save and its
// files put, and the changes written (to the journal, past the first).
void KeepAmongSaves(benchmark::State& state) {
  const int64_t saves = state.range(0);
  ScratchProgram scratch;
  int64_t failed = WriteSaves(scratch, saves) ? 0 : 1;
  int64_t next = saves;
  for (auto _ : state) {
    RecordBook book;
    std::string problem;
    if (!ReadRecordBook(scratch.p, "C:\\", book, problem, RecordUse::kChange)) ++failed;
    AddSave(book, next++);
    if (!WriteRecordBook(scratch.p, "C:\\", std::move(book), problem)) ++failed;
  }
  state.counters["saves"] = static_cast<double>(saves);
  state.counters["bytes"] =
      static_cast<double>(fs::file_size(scratch.folder / kRecordDocumentName));
  const fs::path journal = scratch.folder / kRecordJournalName;
  state.counters["journal_bytes"] =
      static_cast<double>(fs::exists(journal) ? fs::file_size(journal) : 0);
  state.counters["failed"] = static_cast<double>(failed);
}

// The document written whole, as after a megabyte of journal.
void WriteWholeAmongSaves(benchmark::State& state) {
  const int64_t saves = state.range(0);
  ScratchProgram scratch;
  RecordBook start;
  for (int64_t i = 0; i < saves; ++i) AddSave(start, i, true);
  int64_t failed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    RecordBook book = start;
    state.ResumeTiming();
    std::string cause;
    if (!WriteRecordBook(scratch.p, "C:\\", book, cause)) ++failed;
  }
  state.counters["saves"] = static_cast<double>(saves);
  state.counters["failed"] = static_cast<double>(failed);
}

// What a restore or backups pays to read the records of `saves` saves, the
// first time in a run (taken along, so that the next read reads again).
void ReadAmongSaves(benchmark::State& state) {
  const int64_t saves = state.range(0);
  ScratchProgram scratch;
  int64_t failed = WriteSaves(scratch, saves) ? 0 : 1;
  for (auto _ : state) {
    RecordBook book;
    std::string problem;
    if (!ReadRecordBook(scratch.p, "C:\\", book, problem, RecordUse::kChange) ||
        book.saves.size() != static_cast<size_t>(saves)) {
      ++failed;
    }
    benchmark::DoNotOptimize(book);
  }
  state.counters["saves"] = static_cast<double>(saves);
  state.counters["failed"] = static_cast<double>(failed);
}

BENCHMARK(ReadAmongSaves)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

BENCHMARK(KeepAmongSaves)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

BENCHMARK(WriteWholeAmongSaves)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

BENCHMARK(ReadRecords)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(900000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
