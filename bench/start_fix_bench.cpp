// What the program itself costs the user: start-up to the first verdict
// (image extraction, the drive scan, the identification) and a whole Start
// Fix on a broken simulated drive.
//
// The simulated drive charges device time without sleeping, and the one
// second Start Fix waits through the platform is only counted, so the host
// figures here are the program's own work. Counters:
//   device_ms  simulated device time charged per run (not in the host time);
//   slept_ms   time Start Fix asked the platform to sleep per run (not slept);
//   commands   device commands per run;
//   failed     runs that did not end in the success box (should be 0).
// The runner (bench/run.sh) divides the host CPU time by device_ms.
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/program.h"
#include "device/link.h"
#include "discovery/discovery.h"
#include "images/images.h"
#include "log/isp_log.h"
#include "operations/operations.h"
#include "platform/posix_platform.h"
#include "simulator/virtual_drive.h"
#include "view/view.h"

namespace {

using namespace kestrune;
namespace fs = std::filesystem;

// The drive of the start-up figures.
constexpr const char* kDriveFile = "ctrl163_broken.json";
constexpr const char* kSuccess =
    "Update ISP code Success, please replug device to ensure it normal.";

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Virtual-drive texts, each read once so that no run measures the file read.
const std::string& DriveJson(const std::string& name) {
  static std::map<std::string, std::string> texts;
  auto it = texts.find(name);
  if (it == texts.end()) {
    it = texts.emplace(name, ReadText(std::string(KESTRUNE_TEST_DRIVES) + "/" + name)).first;
  }
  return it->second;
}

std::unique_ptr<sim::VirtualDrive> LoadDrive(const std::string& name) {
  std::string error;
  auto drive = sim::VirtualDrive::FromJsonText(DriveJson(name), &error);
  if (!drive) throw std::runtime_error(name + ": " + error);
  return drive;
}

// A scratch folder that stands for both C: and the temporary folder.
class ScratchFolder {
 public:
  ScratchFolder() {
    static std::atomic<unsigned> counter{0};
    static const unsigned salt = std::random_device{}();
    for (;;) {
      path_ = fs::temp_directory_path() /
              ("kestrune-bench-" + std::to_string(salt) + "-" + std::to_string(counter++));
      std::error_code ec;
      if (fs::create_directory(path_, ec)) return;
      if (ec) throw std::runtime_error("cannot create " + path_.string());
    }
  }
  ~ScratchFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Answers OK to every box and keeps the last text, so a run that went
// wrong is counted rather than measured as a repair.
class BenchView : public View {
 public:
  int ShowMessage(const std::string& text, const std::string&, unsigned) override {
    lastBox = text;
    ++boxes;
    return kIdOk;
  }

  std::string lastBox;
  int boxes = 0;
};

using NoDialog = CommandWindow;

platform::PosixOptions OptionsFor(const fs::path& folder) {
  platform::PosixOptions options;
  options.cDriveFolder = folder.string();
  options.tempFolder = folder.string();
  options.realSleep = false;
  return options;
}

// One program over one simulated drive on E:, as the console builds it.
struct BenchProgram {
  explicit BenchProgram(const fs::path& folder, const std::string& driveFile = kDriveFile)
      : platform(OptionsFor(folder)) {
    drive = LoadDrive(driveFile);
    volumes.Attach('E', *drive);
    // The log is written only when c:\ISP.log exists; a repair logs.
    { std::ofstream created(folder / "ISP.log", std::ios::binary); }
    log.StartLog();
  }
  uint8_t Scan() {
    for (int i = 0; i < kSlotCount; ++i) ResetSlot(p, i);
    return CheckDriveExist(p);
  }

  platform::PosixPlatform platform;
  std::unique_ptr<sim::VirtualDrive> drive;
  sim::SimulatedVolumes volumes;
  device::DeviceLink link{volumes};
  IspLog log{platform};
  BenchView view;
  Program p{platform, link, log, view};
};

void SetBytes(benchmark::State& state, int64_t perRun) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * perRun);
}

// All 31 images, 2,686,976 bytes, copied from the program into the work
// folder, replacing the copies of the run before as a second start does.
void ExtractImagesBench(benchmark::State& state) {
  ScratchFolder folder;
  BenchProgram run(folder.path());
  for (auto _ : state) ExtractImages(run.p.platform, run.p.images.get());
  uint64_t written = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder.path())) {
    if (entry.is_regular_file() && entry.path().filename() != "ISP.log") {
      written += entry.file_size();
    }
  }
  state.counters["bytes"] = static_cast<double>(written);
  SetBytes(state, kCatalogueBytes);
}
BENCHMARK(ExtractImagesBench)->Name("startup/extract_images")->Unit(benchmark::kMillisecond);

// The scan of every letter and the identification of the one drive, up to
// the ISP verdict in the drive table.
void ScanBench(benchmark::State& state) {
  ScratchFolder folder;
  BenchProgram run(folder.path());
  ExtractImages(run.p.platform, run.p.images.get());
  int64_t failed = 0;
  uint64_t deviceStart = run.drive->DeviceTimeNanoseconds();
  uint64_t commandStart = run.drive->CommandCount();
  for (auto _ : state) {
    if (run.Scan() != 1) ++failed;
    benchmark::DoNotOptimize(run.p.slots[0]);
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["device_ms"] =
      static_cast<double>(run.drive->DeviceTimeNanoseconds() - deviceStart) / 1e6 / runs;
  state.counters["commands"] = static_cast<double>(run.drive->CommandCount() - commandStart) / runs;
  state.counters["failed"] = static_cast<double>(failed);
}
BENCHMARK(ScanBench)->Name("startup/scan_and_identify")->Unit(benchmark::kMillisecond);

// Both, from a fresh program and drive each time, as a start of the program.
void StartupBench(benchmark::State& state) {
  int64_t failed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    {
      ScratchFolder folder;
      BenchProgram run(folder.path());
      state.ResumeTiming();
      ExtractImages(run.p.platform, run.p.images.get());
      if (run.Scan() != 1) ++failed;
      benchmark::DoNotOptimize(run.p.slots[0]);
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
  state.counters["failed"] = static_cast<double>(failed);
}
BENCHMARK(StartupBench)->Name("startup/to_verdict")->Unit(benchmark::kMillisecond);

// Start Fix answered OK on a broken drive: backups, the update of every ISP
// copy and the read-back, with the images extracted beforehand. Each run
// gets a fresh drive and folder outside the timed part.
void StartFixBench(benchmark::State& state, const char* driveFile) {
  int64_t failed = 0;
  uint64_t deviceNs = 0;
  uint64_t sleptMs = 0;
  uint64_t commands = 0;
  NoDialog dialog;
  for (auto _ : state) {
    state.PauseTiming();
    {
      ScratchFolder folder;
      BenchProgram run(folder.path(), driveFile);
      ExtractImages(run.p.platform, run.p.images.get());
      if (run.Scan() != 1) {
        state.SkipWithError("the broken drive was not found");
        state.ResumeTiming();
        break;
      }
      run.p.isAdmin = true;
      run.p.selectedDrive = 0;
      const uint64_t deviceStart = run.drive->DeviceTimeNanoseconds();
      const uint64_t sleptStart = run.platform.SleptMilliseconds();
      const uint64_t commandStart = run.drive->CommandCount();
      state.ResumeTiming();

      OnStartFix(run.p, dialog);

      state.PauseTiming();
      deviceNs += run.drive->DeviceTimeNanoseconds() - deviceStart;
      sleptMs += run.platform.SleptMilliseconds() - sleptStart;
      commands += run.drive->CommandCount() - commandStart;
      if (run.view.lastBox != kSuccess || !run.drive->FlashIspHealthy()) ++failed;
    }
    state.ResumeTiming();
  }
  const double runs = static_cast<double>(state.iterations());
  if (runs > 0) {
    state.counters["device_ms"] = static_cast<double>(deviceNs) / 1e6 / runs;
    state.counters["slept_ms"] = static_cast<double>(sleptMs) / runs;
    state.counters["commands"] = static_cast<double>(commands) / runs;
  }
  state.counters["failed"] = static_cast<double>(failed);
}
BENCHMARK_CAPTURE(StartFixBench, ctrl163_broken, "ctrl163_broken.json")
    ->Unit(benchmark::kMillisecond);
// Other geometries: three copies on 4 KiB pages, 8 KiB pages written a
// page at a time, 512-byte pages, and a family-A drive.
BENCHMARK_CAPTURE(StartFixBench, ctrl165_broken, "ctrl165_broken.json")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(StartFixBench, ctrl163_large_pages_broken, "ctrl163_large_pages_broken.json")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(StartFixBench, ctrl165_small_pages_broken, "ctrl165_small_pages_broken.json")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(StartFixBench, ctrl161_broken, "ctrl161_broken.json")
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
