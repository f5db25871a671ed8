// The host's latency from a stick's add event to the first command watch
// sends its drive, under umockdev's testbed: sticks are plugged in one after
// another, each answered by a simulated drive, and the time from the
// testbed's event to the drive's first traced command is taken. Prints one
// JSON object with the latencies in milliseconds; judges nothing.
//
//   umockdev-wrapper watch_latency [count]
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/console/console_end.h"
#include "app/console/console_watch.h"
#include "device/trace.h"
#include "device/volume_map.h"
#include "simulator/virtual_drive.h"
#include "tests/support/usb_testbed.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using namespace kestrune;

// A drive behind a letter whose first command is timed.
struct TimedDrive {
  std::unique_ptr<sim::VirtualDrive> drive;
  sim::SimulatedVolumes volumes;
  std::unique_ptr<device::TracingVolumes> traced;
};

}  // namespace

int main(int argc, char** argv) {
  if (!test::UsbTestbed::Mocked()) {
    std::fprintf(stderr, "watch_latency: run it under umockdev-wrapper\n");
    return 2;
  }
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const fs::path scratch =
      fs::temp_directory_path() / ("kestrune-watch-latency-" + std::to_string(::getpid()));
  fs::create_directories(scratch / "c");
  fs::create_directories(scratch / "t");
  fs::permissions(scratch / "t", fs::perms::owner_all, fs::perm_options::replace);

  console::ConsoleOptions options;
  options.command = console::Command::kScan;
  options.all = true;
  options.watch = true;
  options.quiet = true;
  options.cDriveFolder = (scratch / "c").string();
  options.tempFolder = (scratch / "t").string();
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  const console::ConsoleStreams io{in, out, err, false};
  console::RunEnd end(options, io);
  platform::PosixOptions host;
  host.cDriveFolder = options.cDriveFolder;
  host.tempFolder = options.tempFolder;
  device::VolumeMap none;
  const console::AllDrivesRun run{options, io, host, nullptr, none, {}, &end};

  test::UsbTestbed bench;
  std::string problem;
  auto watch = platform::WatchUsbDisks(false, problem);
  if (!watch) {
    std::fprintf(stderr, "watch_latency: %s\n", problem.c_str());
    return 1;
  }
  std::mutex mutex;
  std::condition_variable reached;
  std::map<std::string, Clock::time_point> firstCommand;  // by node
  std::vector<std::unique_ptr<TimedDrive>> drives;
  std::atomic<bool> over{false};
  console::WatchRun watching{run, *watch, nullptr, 100, [&over] { return over.load(); }};
  watching.open = [&](char letter, const std::string& node, std::string& error) {
    auto timed = std::make_unique<TimedDrive>();
    timed->drive = sim::VirtualDrive::FromFile(
        fs::path(KESTRUNE_TEST_DRIVES) / "ctrl161_healthy.json", &error,
        (scratch / (fs::path(node).filename().string() + ".flash")).string());
    if (!timed->drive) return std::unique_ptr<device::VolumeOpener>();
    timed->volumes.Attach(letter, *timed->drive);
    const std::string name = node;
    auto traced =
        std::make_unique<device::TracingVolumes>(timed->volumes, [&, name](const std::string&) {
          const std::lock_guard<std::mutex> lock(mutex);
          if (firstCommand.emplace(name, Clock::now()).second) reached.notify_all();
        });
    const std::lock_guard<std::mutex> lock(mutex);
    // The watch owns the opener it is given; the drive stays here.
    drives.push_back(std::move(timed));
    return std::unique_ptr<device::VolumeOpener>(std::move(traced));
  };

  std::vector<double> latencies;
  std::thread plugging([&] {
    for (int i = 0; i < count; ++i) {
      const std::string disk = "sd" + std::string(1, static_cast<char>('b' + i % 24));
      const std::string node = "/dev/" + disk;
      const Clock::time_point plugged = Clock::now();
      const std::string path =
          bench.Plug("3-" + std::to_string(i + 1), disk, "L" + std::to_string(i));
      std::unique_lock<std::mutex> lock(mutex);
      if (reached.wait_for(lock, std::chrono::seconds(5),
                           [&] { return firstCommand.count(node) > 0; })) {
        latencies.push_back(
            std::chrono::duration<double, std::milli>(firstCommand[node] - plugged).count());
      }
      firstCommand.erase(node);
      lock.unlock();
      bench.Unplug(path);
      // The scan ends and the letter goes free before the next stick.
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    over = true;
  });
  console::RunWatch(watching);
  plugging.join();
  fs::remove_all(scratch);

  std::printf("{\"count\": %d, \"latency_ms\": [", count);
  for (size_t i = 0; i < latencies.size(); ++i) {
    std::printf("%s%.3f", i > 0 ? ", " : "", latencies[i]);
  }
  std::printf("]}\n");
  return latencies.size() == static_cast<size_t>(count) ? 0 : 1;
}
