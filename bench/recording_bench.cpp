// What a replay costs against the drive it stands in for: each recording
// named on the command line is replayed whole, every command it holds sent
// to the replaying opener as the program sent it, file read and checks
// included. Counters:
//   recorded_ms  the device time the recording gives for its commands;
//   file_kib     the recording's size;
//   data_kib     the data its commands moved (what the file would hold if
//                nothing in it repeated);
//   commands     commands per replay.
// bench/run.sh divides the wall time of a replay by recorded_ms.
// FirstAnswer/fill_runs/N times how long a replay of N page reads, each a
// run of one byte, takes before it answers its first open.
//
//   recording_bench [benchmark flags] NAME=FILE.krec ...
#include <benchmark/benchmark.h>

#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "recording/recording.h"
#include "recording/replay.h"

namespace {

using namespace kestrune;

struct Step {
  bool open = false;
  char letter = 0;
  device::RecordedCommand command;
};

// The steps of a recording, read once before anything is timed.
std::vector<Step> ReadSteps(const std::string& path, uint64_t& dataBytes) {
  std::string problem;
  auto reader = device::RecordingReader::Open(path, problem);
  if (!reader) throw std::runtime_error(problem);
  std::vector<Step> steps;
  device::RecordedOpen open;
  device::RecordedCommand command;
  for (;;) {
    switch (reader->Next(open, command, problem)) {
      case device::RecordingReader::Item::kOpen:
        steps.push_back({true, open.letter, {}});
        break;
      case device::RecordingReader::Item::kCommand:
        dataBytes += command.dataIn.size() + command.dataOut.size();
        steps.push_back({false, command.letter, command});
        break;
      case device::RecordingReader::Item::kEnd:
        return steps;
      case device::RecordingReader::Item::kBad:
        throw std::runtime_error(path + ": " + problem);
    }
  }
}

void Replay(benchmark::State& state, const std::string& path) {
  uint64_t dataBytes = 0;
  std::vector<Step> steps;
  try {
    steps = ReadSteps(path, dataBytes);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  std::vector<uint8_t> buffer;
  uint64_t recorded = 0;
  uint64_t commands = 0;
  for (auto _ : state) {
    std::string problem;
    std::unique_ptr<device::ReplayVolumes> replay = device::ReplayVolumes::Open(path, problem);
    if (!replay) {
      state.SkipWithError(problem.c_str());
      return;
    }
    std::map<char, std::unique_ptr<device::Transport>> volumes;
    commands = 0;
    for (Step& step : steps) {
      if (step.open) {
        if (auto opened = replay->Open(step.letter))
          volumes[step.letter] = std::move(opened.transport);
        continue;
      }
      device::RecordedCommand& c = step.command;
      buffer = c.dataOut;
      buffer.resize(c.transferLength);
      device::Request request = device::RequestOf(c);
      request.data = buffer.empty() ? nullptr : buffer.data();
      benchmark::DoNotOptimize(volumes[step.letter]->Execute(request));
      ++commands;
    }
    replay->Finish();
    if (replay->divergence()) {
      state.SkipWithError(device::DescribeDivergence(*replay->divergence()).c_str());
      return;
    }
    recorded = replay->RecordedNanoseconds();
  }
  state.counters["recorded_ms"] = static_cast<double>(recorded) / 1e6;
  state.counters["file_kib"] = static_cast<double>(std::filesystem::file_size(path)) / 1024;
  state.counters["data_kib"] = static_cast<double>(dataBytes) / 1024;
  state.counters["commands"] = static_cast<double>(commands);
}

// A recording of `reads` page reads, each a run of one byte, made once in
// the temporary folder: a file of a few hundred KiB that stands for
// gigabytes of replies.
std::string FillRecording(uint32_t reads) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("kestrune-fill-" + std::to_string(reads) + ".krec"))
                               .string();
  std::filesystem::remove(path);
  std::string problem;
  auto writer = device::RecordingWriter::Create(path, false, {"bench", "", "bench", {}}, problem);
  if (!writer) throw std::runtime_error(problem);
  device::DriveFacts facts;
  writer->Open('E', true, &facts);
  std::vector<uint8_t> pages(64u << 10, 0x00);
  for (uint32_t i = 0; i < reads; ++i) {
    const uint32_t page = i * 32;
    uint8_t cdb[10] = {0xF8,
                       0x02,
                       static_cast<uint8_t>(page >> 24),
                       static_cast<uint8_t>(page >> 16),
                       static_cast<uint8_t>(page >> 8),
                       static_cast<uint8_t>(page),
                       0,
                       0,
                       32,
                       0};
    device::Request request;
    request.cdb = cdb;
    request.cdbLength = sizeof cdb;
    request.transferLength = static_cast<uint32_t>(pages.size());
    request.data = pages.data();
    device::Result result;
    result.outcome = device::Outcome::kGood;
    writer->Sent('E', request);
    writer->Reply(request, result, 1000);
  }
  writer->Finish();
  return path;
}

// What a replay of many commands costs before it answers the first: the
// whole file is read and checked once.
void FirstAnswer(benchmark::State& state) {
  const auto reads = static_cast<uint32_t>(state.range(0));
  std::string path;
  try {
    path = FillRecording(reads);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  for (auto _ : state) {
    std::string problem;
    std::unique_ptr<device::ReplayVolumes> replay = device::ReplayVolumes::Open(path, problem);
    if (!replay) {
      state.SkipWithError(problem.c_str());
      return;
    }
    benchmark::DoNotOptimize(replay->Open('E'));
  }
  state.counters["file_kib"] = static_cast<double>(std::filesystem::file_size(path)) / 1024;
  state.counters["commands"] = reads;
  std::filesystem::remove(path);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RegisterBenchmark("FirstAnswer/fill_runs", FirstAnswer)
      ->Arg(20000)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const size_t equals = argument.find('=');
    if (equals == std::string::npos) {
      std::fprintf(stderr, "recording_bench: NAME=FILE expected, not %s\n", argv[i]);
      return 2;
    }
    const std::string path = argument.substr(equals + 1);
    benchmark::RegisterBenchmark(("Replay/" + argument.substr(0, equals)).c_str(),
                                 [path](benchmark::State& state) { Replay(state, path); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
