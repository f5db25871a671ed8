// What export-drive costs on a recording of many changes and many pages:
// a healthy scan of a drive, then N erase commands (of blocks the reads
// below never reach, so every change must be weighed against every page),
// then seven reads of the same 32,768 erased pages (a drive of 2 KiB pages
// holds no more distinct pages than the export keeps), exported the way
// `kestrune --drive E=FILE export-drive OUT.json` exports it. Counters:
//   file_kib  the recording's size;
//   changes   the erase commands;
//   pages     the distinct flash pages read.
// Time per export should grow with the recording, not with pages times
// changes: compare changes/10000 with changes/30000.
//
//   export_bench [benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/session/recording_wiring.h"
#include "recording/recording.h"

namespace {

using namespace kestrune;

constexpr uint32_t kReads = 7;
constexpr uint32_t kPagesPerRead = 32768;

void Command(device::RecordingWriter& writer, std::vector<uint8_t> cdb, uint32_t length,
             std::vector<uint8_t>* data) {
  device::Request request;
  request.cdb = cdb.data();
  request.cdbLength = static_cast<uint8_t>(cdb.size());
  request.transferLength = length;
  request.data = data != nullptr ? data->data() : nullptr;
  device::Result result;
  result.outcome = device::Outcome::kGood;
  writer.Sent('E', request);
  writer.Reply(request, result, 1000);
}

std::vector<uint8_t> Be32At(std::vector<uint8_t> cdb, size_t at, uint32_t value) {
  cdb[at] = static_cast<uint8_t>(value >> 24);
  cdb[at + 1] = static_cast<uint8_t>(value >> 16);
  cdb[at + 2] = static_cast<uint8_t>(value >> 8);
  cdb[at + 3] = static_cast<uint8_t>(value);
  return cdb;
}

// The kept scan of a 0x161, its commands copied into a new
// recording of E:, and the changes and reads after them.
std::string ManyChanges(uint32_t changes) {
  const std::string base = std::string(KESTRUNE_TEST_RECORDINGS) + "/ctrl161_healthy.scan.krec";
  std::string problem;
  auto reader = device::RecordingReader::Open(base, problem);
  if (!reader) throw std::runtime_error(problem);
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("kestrune-changes-" + std::to_string(changes) + ".krec"))
                               .string();
  std::filesystem::remove(path);
  auto writer = device::RecordingWriter::Create(path, false, reader->header(), problem);
  if (!writer) throw std::runtime_error(problem);
  device::RecordedOpen open;
  device::RecordedCommand command;
  uint32_t pageSize = 0;
  for (bool more = true; more;) {
    switch (reader->Next(open, command, problem)) {
      case device::RecordingReader::Item::kOpen:
        writer->Open(open.letter, open.opened, open.facts ? &*open.facts : nullptr);
        break;
      case device::RecordingReader::Item::kCommand: {
        device::Request request = device::RequestOf(command);
        request.data = command.carrier == device::Carrier::kOut ? command.dataOut.data()
                                                                : command.dataIn.data();
        writer->Sent(command.letter, request);
        writer->Reply(request, command.result, command.durationNanoseconds);
        const uint32_t count = (uint32_t{command.cdb[7]} << 8) | command.cdb[8];
        if (pageSize == 0 && command.cdb[0] == 0xF8 && count != 0) {
          pageSize = command.transferLength / count;
        }
        break;
      }
      case device::RecordingReader::Item::kEnd:
        more = false;
        break;
      case device::RecordingReader::Item::kBad:
        throw std::runtime_error(base + ": " + problem);
    }
  }
  if (pageSize == 0) throw std::runtime_error(base + " reads no flash page");
  // Blocks far past every page read: no change reaches a page kept.
  constexpr uint32_t kFarAway = 0x01000000;
  for (uint32_t i = 0; i < changes; ++i) {
    Command(*writer, Be32At({0xFE, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 2, kFarAway + i * 256), 0, nullptr);
  }
  // No command moves more than 16 MiB, so a read of 32,768 pages of 2 KiB
  // goes as four commands.
  const uint32_t perCommand = std::min<uint32_t>(kPagesPerRead, (16u << 20) / pageSize);
  std::vector<uint8_t> erased(size_t{perCommand} * pageSize, 0xFF);
  for (uint32_t k = 0; k < kReads; ++k) {
    for (uint32_t first = 0; first < kPagesPerRead; first += perCommand) {
      std::vector<uint8_t> cdb = Be32At({0xF8, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}, 2, first);
      cdb[7] = static_cast<uint8_t>(perCommand >> 8);
      cdb[8] = static_cast<uint8_t>(perCommand);
      Command(*writer, cdb, static_cast<uint32_t>(erased.size()), &erased);
    }
  }
  writer->Finish();
  return path;
}

void Export(benchmark::State& state) {
  const auto changes = static_cast<uint32_t>(state.range(0));
  std::string path;
  try {
    path = ManyChanges(changes);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  const std::string out = path + ".json";
  for (auto _ : state) {
    std::filesystem::remove(out);
    std::filesystem::remove(out + ".flash");
    const session::RecordingExport made = session::ExportRecordedDrive({{'E', path}}, out);
    if (!made.done) {
      state.SkipWithError(made.problem.c_str());
      break;
    }
    state.counters["pages"] = made.drive ? made.drive->pagesRead : 0;
  }
  state.counters["file_kib"] = static_cast<double>(std::filesystem::file_size(path)) / 1024;
  state.counters["changes"] = changes;
  std::filesystem::remove(out);
  std::filesystem::remove(out + ".flash");
  std::filesystem::remove(path);
}

}  // namespace

BENCHMARK(Export)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
