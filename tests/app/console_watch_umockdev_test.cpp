// watch over umockdev's testbed: sticks plugged in and pulled out as the
// host's udev tells it, each stick's disk answered by a simulated drive.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/console/console_end.h"
#include "app/console/console_watch.h"
#include "device/volume_map.h"
#include "simulator/virtual_drive.h"
#include "tests/support/device_temp_folder.h"
#include "tests/support/usb_testbed.h"

namespace kestrune::console {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The host's watch, ended once the bench's script is over and the watch
// found nothing more to tell twice in a row.
class IdleCountingWatch : public platform::DriveWatch {
 public:
  explicit IdleCountingWatch(std::unique_ptr<platform::DriveWatch> watch)
      : watch_(std::move(watch)) {}
  std::optional<platform::DriveEvent> Next(uint32_t wait) override {
    auto event = watch_->Next(wait);
    idle_ = event ? 0 : idle_ + 1;
    if (scriptDone && idle_ >= 2) ended = true;
    return event;
  }
  std::atomic<bool> scriptDone{false};
  std::atomic<bool> ended{false};

 private:
  std::unique_ptr<platform::DriveWatch> watch_;
  int idle_ = 0;
};

struct WatchResult {
  int code = -1;
  std::string out;
  std::string err;
  std::vector<std::string> nodesOpened;
};

// Virtual drives that count as real devices, as the sticks a watch opens
// through pass-through do.
class RealSimulatedVolumes : public sim::SimulatedVolumes {
 public:
  bool ServesRealDevice(char /*letter*/) const override { return true; }
};

class ConsoleWatch : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::UsbTestbed::Mocked()) GTEST_SKIP() << "needs umockdev's preload library";
    fs::create_directories(cDrive());
    fs::create_directories(temp());
    fs::permissions(temp(), fs::perms::owner_all, fs::perm_options::replace);
  }
  std::string cDrive() const { return folder.str() + "/c"; }
  std::string temp() const { return folder.str() + "/t"; }

  // Runs watch with `options` while `script` plugs and unplugs sticks; the
  // disk /dev/sdX is answered by a broken simulated drive of its own.
  WatchResult Watch(ConsoleOptions options, const std::function<void()>& script,
                    bool realDevices = false) {
    options.cDriveFolder = cDrive();
    options.tempFolder = temp();
    options.all = true;
    options.watch = true;
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    const ConsoleStreams io{in, out, err, false};
    RunEnd end(options, io);
    std::string problem;
    auto host = platform::WatchUsbDisks(false, problem);
    EXPECT_NE(host, nullptr) << problem;
    IdleCountingWatch watch(std::move(host));
    device::VolumeMap none;
    platform::PosixOptions hostOptions;
    hostOptions.cDriveFolder = cDrive();
    hostOptions.tempFolder = temp();
    AllDrivesRun run{options, io, hostOptions, nullptr, none, {}, &end};
    WatchResult result;
    std::mutex mutex;
    std::vector<std::unique_ptr<sim::VirtualDrive>> drives;
    WatchRun watching{run, watch, nullptr, 20, [&watch] { return watch.ended.load(); }};
    watching.open = [&](char letter, const std::string& node, std::string& error) {
      const std::lock_guard<std::mutex> lock(mutex);
      result.nodesOpened.push_back(node);
      drives.push_back(sim::VirtualDrive::FromFile(
          fs::path(KESTRUNE_TEST_DRIVES) / "ctrl163_broken.json", &error,
          folder.str() + "/" + fs::path(node).filename().string() + ".flash"));
      auto volumes = realDevices ? std::make_unique<RealSimulatedVolumes>()
                                 : std::make_unique<sim::SimulatedVolumes>();
      if (drives.back()) volumes->Attach(letter, *drives.back());
      return std::unique_ptr<device::VolumeOpener>(std::move(volumes));
    };
    std::thread bench([&] {
      script();
      watch.scriptDone = true;
    });
    result.code = RunWatch(watching);
    bench.join();
    result.out = out.str();
    result.err = err.str();
    return result;
  }

  // The summary's rows, columns squeezed to one blank.
  static std::vector<std::string> Rows(const std::string& out) {
    std::vector<std::string> rows;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      if (std::regex_search(line, std::regex("^[D-Z]: +(broken|healthy|-) "))) {
        rows.push_back(std::regex_replace(line, std::regex(" +"), " "));
      }
    }
    return rows;
  }

  testing::TempFolder folder;
  test::UsbTestbed bench;
};

ConsoleOptions Fix() {
  ConsoleOptions options;
  options.command = Command::kFix;
  options.yes = true;
  return options;
}

// A stick pulled out within a second of going in frees its letter: the
// next stick gets it again, and both are in the summary.
TEST_F(ConsoleWatch, AStickPulledOutAtOnceFreesItsLetter) {
  const WatchResult r = Watch(Fix(), [this] {
    const std::string first = bench.Plug("1-1", "sdb", "KS0001");
    std::this_thread::sleep_for(100ms);
    bench.Unplug(first);
    // Its letter is free once its work, begun at once, is over too.
    std::this_thread::sleep_for(2500ms);
    bench.Plug("1-2", "sdc", "KS0002");
  });
  const std::vector<std::string> rows = Rows(r.out);
  ASSERT_EQ(rows.size(), 2U) << r.out << r.err;
  EXPECT_EQ(rows[0].rfind("D: ", 0), 0U);
  EXPECT_EQ(rows[1].rfind("D: broken success", 0), 0U) << rows[1];
  EXPECT_EQ(r.nodesOpened, (std::vector<std::string>{"/dev/sdb", "/dev/sdc"}));
}

// Two sticks at once: two letters, two threads, each drive's files in its
// own folder; the question was asked once, before either.
TEST_F(ConsoleWatch, TwoSticksAtOnceEachGetALetterAndFolder) {
  ConsoleOptions options = Fix();
  options.json = true;
  const WatchResult r = Watch(options, [this] {
    bench.Plug("1-1", "sdb", "KS0001");
    bench.Plug("1-2", "sdc", "KS0002");
  });
  EXPECT_EQ(r.code, kExitDone) << r.err;
  // JSON Lines: a document per drive as it finished, then the summary.
  std::vector<nlohmann::json> documents;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    documents.push_back(nlohmann::json::parse(line));
  }
  ASSERT_EQ(documents.size(), 3U) << r.out;
  std::set<std::string> letters;
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(documents[i]["watch"], "drive");
    ASSERT_EQ(documents[i]["drives"].size(), 1U);
    EXPECT_EQ(documents[i]["drives"][0]["outcome"], "success");
    letters.insert(documents[i]["drives"][0]["letter"].get<std::string>());
  }
  EXPECT_EQ(letters, (std::set<std::string>{"D", "E"}));
  EXPECT_EQ(documents[2]["watch"], "summary");
  EXPECT_EQ(documents[2]["drives"].size(), 2U);
  EXPECT_EQ(documents[2]["messages"][0]["text"], kWatchQuestion);
  for (const char* letter : {"D", "E"}) {
    EXPECT_EQ(fs::file_size(cDrive() + "/" + letter + "/ISP0_After.bin"), 49152U) << letter;
  }
}

// 24 sticks, none pulled out: the letters D to Z go to the first 23; the
// last is left alone, named, and fails the run.
TEST_F(ConsoleWatch, TheTwentyFourthStickFindsNoLetter) {
  const WatchResult r = Watch(Fix(), [this] {
    for (int i = 0; i < 24; ++i) {
      const std::string disk = "sd" + std::string(1, static_cast<char>('b' + i));
      bench.Plug("1-" + std::to_string(i + 1), disk, "KS" + std::to_string(i));
      std::this_thread::sleep_for(20ms);
    }
  });
  const std::vector<std::string> rows = Rows(r.out);
  ASSERT_EQ(rows.size(), 23U) << r.out;
  for (const std::string& row : rows) EXPECT_NE(row.find(" success "), std::string::npos) << row;
  EXPECT_EQ(r.nodesOpened.size(), 23U);
  EXPECT_NE(r.err.find("no free letter for the drive at /dev/sdy"), std::string::npos) << r.err;
  EXPECT_EQ(r.code, kExitFailure);
}

// This build carries stand-in images, which no real stick may get: a stick
// plugged into a watching fix is refused before anything is loaded, saved or
// written.
TEST_F(ConsoleWatch, AStickOnPassThroughGetsNoStandInImages) {
  const WatchResult r = Watch(
      Fix(), [this] { bench.Plug("1-1", "sdb", "KS0001"); }, true);
  const std::vector<std::string> rows = Rows(r.out);
  ASSERT_EQ(rows.size(), 1U) << r.out << r.err;
  // Its code is not loaded either, so the scan never identifies it.
  EXPECT_EQ(rows[0].rfind("D: - refused", 0), 0U) << rows[0];
  EXPECT_EQ(r.code, kExitFailure);
  EXPECT_FALSE(fs::exists(cDrive() + "/D/ISP0_Before.bin"));
  EXPECT_FALSE(fs::exists(cDrive() + "/D/ISP0_After.bin"));
}

}  // namespace
}  // namespace kestrune::console
