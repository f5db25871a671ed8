// The host's latency from a stick's add event to the first command watch
// sends its drive, under umockdev's testbed: sticks are plugged in one after
// another, each answered by a simulated drive, and the time from the
// testbed's event to the drive's first traced command is taken. Prints one
// JSON object with the latencies in milliseconds, and the process's open
// descriptors, threads and resident memory after the 10th stick and after
// the last, which stay flat when each pulled stick leaves nothing behind;
// judges nothing.
//
//   umockdev-wrapper watch_latency [count]
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/console/console_end.h"
#include "app/console/console_front.h"
#include "app/session/watch_runner.h"
#include "device/trace.h"
#include "device/volume_map.h"
#include "simulator/virtual_drive.h"
#include "tests/support/usb_testbed.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using namespace kestrune;

// A drive behind a letter whose first command is timed. The watch owns it,
// and lets it go with the stick.
class TimedDrive : public device::VolumeOpener {
 public:
  device::OpenResult Open(char letter) override { return traced->Open(letter); }
  bool NeedsPrivilege() const override { return traced->NeedsPrivilege(); }

  std::unique_ptr<sim::VirtualDrive> drive;
  sim::SimulatedVolumes volumes;
  std::unique_ptr<device::TracingVolumes> traced;
};

// What the process holds now.
struct Held {
  long descriptors = 0;
  long threads = 0;
  long residentKib = 0;
};

long EntriesIn(const char* folder) {
  std::error_code error;
  long count = 0;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    ++count;
  }
  return count;
}

Held HeldNow() {
  Held held{EntriesIn("/proc/self/fd"), EntriesIn("/proc/self/task"), 0};
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) held.residentKib = std::atol(line.c_str() + 6);
  }
  return held;
}

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
  console::ConsoleFront front(end.terminal(), options, io);
  const session::RunRequest request = console::RequestOf(options, io);
  const session::RunSetup run{request, front, end, host, nullptr};

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
  std::atomic<bool> over{false};
  session::WatchRun watching{run, *watch, nullptr, 100, [&over] { return over.load(); }};
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
    timed->traced = std::move(traced);
    return std::unique_ptr<device::VolumeOpener>(std::move(timed));
  };

  std::vector<double> latencies;
  Held early;
  Held late;
  std::thread plugging([&] {
    for (int i = 0; i < count; ++i) {
      // Names of their own: the testbed keeps a pulled disk's block link.
      const std::string disk = std::string("sd") + static_cast<char>('a' + i / 26 % 26) +
                               static_cast<char>('a' + i % 26);
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
      if (i + 1 == std::min(count, 10)) early = HeldNow();
    }
    late = HeldNow();
    over = true;
  });
  session::RunWatch(watching);
  plugging.join();
  fs::remove_all(scratch);

  std::printf("{\"count\": %d, \"latency_ms\": [", count);
  for (size_t i = 0; i < latencies.size(); ++i) {
    std::printf("%s%.3f", i > 0 ? ", " : "", latencies[i]);
  }
  std::printf(
      "], \"held_after\": {\"sticks\": [%d, %d], \"descriptors\": [%ld, %ld], "
      "\"threads\": [%ld, %ld], \"resident_kib\": [%ld, %ld]}}\n",
      std::min(count, 10), count, early.descriptors, late.descriptors, early.threads, late.threads,
      early.residentKib, late.residentKib);
  return latencies.size() == static_cast<size_t>(count) ? 0 : 1;
}
