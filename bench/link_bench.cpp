// Host time per command through the device link, for a 36-byte data-in,
// a 64 KiB data-in and a 64 KiB data-out: first to a simulated drive in
// this process, then (when run under the SG_IO preload library, see the
// run_link_bench target) through the real SG_IO transport.
//
// The simulated drive only adds up what the device would take; nothing
// sleeps, so the wall time measured here is host time. The device time it
// charged is shown beside it as "device_us" and is not part of the figure.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "device/commands.h"
#include "device/link.h"
#include "simulator/virtual_drive.h"

#if defined(__linux__)
#include "device/sgio_linux.h"
#endif

namespace {

using namespace kestrune;

constexpr uint32_t kPages = 32;
constexpr uint32_t kPageSize = 2048;
constexpr uint32_t kBytes = kPages * kPageSize;  // 64 KiB
constexpr uint32_t kFirstPage = 64 * 10;         // block 10 of the drive

std::unique_ptr<sim::VirtualDrive> LoadDrive() {
  std::ifstream in(std::string(KESTRUNE_TEST_DRIVES) + "/ctrl161_healthy.json");
  std::stringstream json;
  json << in.rdbuf();
  std::string error;
  return sim::VirtualDrive::FromJsonText(json.str(), &error);
}

enum class Command { kInquiry36, kRead64K, kWrite64K };

bool Issue(Command command, device::DeviceLink& link, device::VolumeHandle handle,
           std::vector<uint8_t>& buffer) {
  switch (command) {
    case Command::kInquiry36:
      return device::Inquiry(link, buffer.data(), 36, handle);
    case Command::kRead64K:
      return device::ReadFlashPages(link, kFirstPage, kPages, kBytes, 1, buffer.data(), handle);
    case Command::kWrite64K:
      return device::WriteFlashPages(link, kFirstPage, kPages, kBytes, buffer.data(), handle);
  }
  return false;
}

int64_t BytesOf(Command command) { return command == Command::kInquiry36 ? 36 : kBytes; }

void InProcess(benchmark::State& state, Command command) {
  auto drive = LoadDrive();
  if (!drive) {
    state.SkipWithError("virtual drive not loaded");
    return;
  }
  sim::SimulatedVolumes volumes;
  volumes.Attach('E', *drive);
  device::DeviceLink link(volumes);
  device::VolumeHandle handle = device::kNoVolume;
  link.OpenVolume('E', handle);
  std::vector<uint8_t> buffer(kBytes, 0x5A);
  uint64_t deviceStart = drive->DeviceTimeNanoseconds();
  int64_t failed = 0;
  for (auto _ : state) {
    if (!Issue(command, link, handle, buffer)) ++failed;
    benchmark::DoNotOptimize(buffer.data());
  }
  double commands = static_cast<double>(state.iterations());
  state.counters["device_us"] =
      static_cast<double>(drive->DeviceTimeNanoseconds() - deviceStart) / 1000.0 / commands;
  state.counters["failed"] = static_cast<double>(failed);
  state.SetBytesProcessed(state.iterations() * BytesOf(command));
  link.CloseVolume(handle);
}

#if defined(__linux__)
void OverSgio(benchmark::State& state, Command command) {
  const char* node = std::getenv("KESTRUNE_SGIO_FILE");
  if (node == nullptr || std::getenv("LD_PRELOAD") == nullptr) {
    state.SkipWithError("run under the SG_IO preload library (target run_link_bench)");
    return;
  }
  device::SgioOptions options;
  options.explicitMap['E'] = node;
  device::SgioVolumes volumes(options);
  device::DeviceLink link(volumes);
  device::VolumeHandle handle = device::kNoVolume;
  if (!link.OpenVolume('E', handle)) {
    state.SkipWithError("the node did not open");
    return;
  }
  std::vector<uint8_t> buffer(kBytes, 0x5A);
  int64_t failed = 0;
  for (auto _ : state) {
    if (!Issue(command, link, handle, buffer)) ++failed;
    benchmark::DoNotOptimize(buffer.data());
  }
  state.counters["failed"] = static_cast<double>(failed);
  state.SetBytesProcessed(state.iterations() * BytesOf(command));
  link.CloseVolume(handle);
}
#endif

BENCHMARK_CAPTURE(InProcess, inquiry_36B_in, Command::kInquiry36);
BENCHMARK_CAPTURE(InProcess, read_64KiB_in, Command::kRead64K);
BENCHMARK_CAPTURE(InProcess, write_64KiB_out, Command::kWrite64K);
#if defined(__linux__)
BENCHMARK_CAPTURE(OverSgio, inquiry_36B_in, Command::kInquiry36);
BENCHMARK_CAPTURE(OverSgio, read_64KiB_in, Command::kRead64K);
BENCHMARK_CAPTURE(OverSgio, write_64KiB_out, Command::kWrite64K);
#endif

}  // namespace

BENCHMARK_MAIN();
