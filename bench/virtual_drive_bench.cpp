// The simulated drive: what a repair costs in simulated device time, what a
// drive costs in host memory, and how long loading and saving its flash take.
//
// "device_ms" is the device time the timing model charged for one repair
// of every ISP copy (erase, write and read-back of 64 KiB each, with working
// code loaded first); nothing sleeps, so the wall time is host time.
// "stored_pages" and "flash_KiB" show that only written pages cost memory,
// whatever the drive's capacity.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "simulator/virtual_drive.h"
#include "tests/simulator/sim_commands.h"

namespace {

using namespace kestrune;
namespace cmd = kestrune::sim::cmd;

std::unique_ptr<sim::VirtualDrive> Load(const std::string& name) {
  std::string error;
  return sim::VirtualDrive::FromFile(std::string(KESTRUNE_TEST_DRIVES) + "/" + name, &error, "");
}

// One update pass over every ISP area, through the command set.
bool Repair(sim::VirtualDrive& drive) {
  const sim::DriveDescription& d = drive.Description();
  if (d.NeedsCode() && !cmd::StartWorkingCode(drive, d.codeImage)) return false;
  const uint32_t pageSize = drive.PageSize();
  const bool large = pageSize > 4096;
  const uint32_t pages = large ? 16 : 65536 / pageSize;
  std::vector<uint8_t> area(65536, 0);
  const auto payload = cmd::MakeIspPayload("US.BIN");
  std::copy(payload.begin(), payload.end(), area.begin());
  for (uint32_t start : drive.IspAreaPages()) {
    if (!cmd::Erase(drive, start).ok()) return false;
    if (large) {
      for (uint32_t k = 0; k < pages; ++k) {
        std::vector<uint8_t> one(pageSize, 0);
        std::copy_n(area.begin() + k * 4096, 4096, one.begin());
        if (!cmd::WritePages(drive, start + k, 1, one).ok()) return false;
        if (!cmd::ReadPages(drive, start + k, 1, pageSize).ok()) return false;
      }
    } else {
      if (!cmd::WritePages(drive, start, static_cast<uint16_t>(pages), area).ok()) return false;
      if (!cmd::ReadPages(drive, start, static_cast<uint16_t>(pages), 65536).ok()) return false;
    }
  }
  return true;
}

void RepairDrive(benchmark::State& state, const char* name) {
  double deviceMs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto drive = Load(name);
    state.ResumeTiming();
    const uint64_t before = drive->DeviceTimeNanoseconds();
    if (!Repair(*drive)) {
      state.SkipWithError("repair failed");
      return;
    }
    deviceMs = static_cast<double>(drive->DeviceTimeNanoseconds() - before) / 1e6;
    benchmark::DoNotOptimize(drive->FlashIspHealthy());
  }
  state.counters["device_ms"] = deviceMs;
}
BENCHMARK_CAPTURE(RepairDrive, ctrl163_2k_pages, "ctrl163_broken.json");
BENCHMARK_CAPTURE(RepairDrive, ctrl165_4k_pages_3_copies, "ctrl165_broken.json");
BENCHMARK_CAPTURE(RepairDrive, ctrl165_512_pages, "ctrl165_small_pages_broken.json");
BENCHMARK_CAPTURE(RepairDrive, ctrl163_8k_pages, "ctrl163_large_pages_broken.json");
BENCHMARK_CAPTURE(RepairDrive, ctrl161_family_a, "ctrl161_broken.json");

// Loading a drive builds its CIS pages and ISP areas; its memory is the
// pages it stores, not its capacity.
void LoadDrive(benchmark::State& state, const char* name) {
  size_t storedPages = 0;
  double flashKiB = 0;
  double capacityMiB = 0;
  for (auto _ : state) {
    auto drive = Load(name);
    benchmark::DoNotOptimize(drive.get());
    storedPages = 0;
    for (uint32_t p = 0; p < 64 * 16 && p < drive->PageCount(); ++p) {
      storedPages += drive->ReadRawPage(p) != std::vector<uint8_t>(drive->PageSize() + 16, 0xFF);
    }
    flashKiB = static_cast<double>(storedPages) * (drive->PageSize() + 16) / 1024;
    capacityMiB = static_cast<double>(drive->PageCount()) * drive->PageSize() / (1 << 20);
  }
  state.counters["stored_pages"] = static_cast<double>(storedPages);
  state.counters["flash_KiB"] = flashKiB;
  state.counters["capacity_MiB"] = capacityMiB;
}
BENCHMARK_CAPTURE(LoadDrive, ctrl163_512MiB, "ctrl163_broken.json");
BENCHMARK_CAPTURE(LoadDrive, ctrl163_toshiba_1280MiB, "ctrl163_toshiba_broken.json");
BENCHMARK_CAPTURE(LoadDrive, ctrl163_8k_pages, "ctrl163_large_pages_broken.json");

// Saving and loading the flash file of a repaired drive.
void SaveAndReload(benchmark::State& state) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "kestrune-bench-flash";
  std::filesystem::create_directories(dir);
  const std::filesystem::path json = dir / "drive.json";
  std::filesystem::copy_file(std::string(KESTRUNE_TEST_DRIVES) + "/ctrl163_broken.json", json,
                             std::filesystem::copy_options::overwrite_existing);
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(sim::FlashPathFor(json.string()));
    std::string error;
    auto drive = sim::VirtualDrive::FromFile(json.string(), &error);
    Repair(*drive);
    state.ResumeTiming();
    drive->Save();
    auto again = sim::VirtualDrive::FromFile(json.string(), &error);
    benchmark::DoNotOptimize(again->IspHealthy());
  }
  state.counters["file_KiB"] =
      static_cast<double>(std::filesystem::file_size(sim::FlashPathFor(json.string()))) / 1024;
  std::filesystem::remove_all(dir);
}
BENCHMARK(SaveAndReload);

}  // namespace

BENCHMARK_MAIN();
