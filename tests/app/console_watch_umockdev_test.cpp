// watch over umockdev's testbed: sticks plugged in and pulled out as the
// host's udev tells it, each stick's disk answered by a simulated drive.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
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
#include "app/console/console_front.h"
#include "app/console/console_run.h"
#include "app/session/watch_runner.h"
#include "app/settings.h"
#include "device/volume_map.h"
#include "platform/platform.h"
#include "simulator/virtual_drive.h"
#include "tests/support/device_temp_folder.h"
#include "tests/support/usb_testbed.h"

namespace kestrune::console {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The host's watch, ended once the bench's script is over, the watch was
// told of every stick the bench plugged in, and it found nothing more to
// tell twice in a row: however late the host tells a stick, it is seen.
class IdleCountingWatch : public platform::DriveWatch {
 public:
  IdleCountingWatch(std::unique_ptr<platform::DriveWatch> watch, const test::UsbTestbed& bench)
      : watch_(std::move(watch)), bench_(bench) {}
  size_t LeftPresent() const override { return watch_->LeftPresent(); }
  std::optional<platform::DriveEvent> Next(uint32_t wait) override {
    auto event = watch_->Next(wait);
    if (event && event->kind == platform::DriveEvent::Kind::kAdded) ++added_;
    idle_ = event ? 0 : idle_ + 1;
    if (!event) {
      const std::lock_guard<std::mutex> lock(mutex_);
      ++idleTurns_;
      turned_.notify_all();
    }
    // Sticks plugged in before the watch began and left alone are never
    // told.
    if (scriptDone && idle_ >= 2 && added_ + watch_->LeftPresent() >= bench_.Disks()) {
      ended = true;
    }
    return event;
  }
  // Waits until the watch has gone round its loop `turns` more times with
  // nothing to tell: what it does on each turn (letting go of sticks whose
  // work is over) has been done since the call. A bound only for a watch
  // that stopped.
  bool Idled(int turns) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t until = idleTurns_ + static_cast<uint64_t>(turns);
    return turned_.wait_for(lock, std::chrono::seconds(60), [&] { return idleTurns_ >= until; });
  }
  std::atomic<bool> scriptDone{false};
  std::atomic<bool> ended{false};

 private:
  std::unique_ptr<platform::DriveWatch> watch_;
  const test::UsbTestbed& bench_;
  int idle_ = 0;
  size_t added_ = 0;
  std::mutex mutex_;
  std::condition_variable turned_;
  uint64_t idleTurns_ = 0;
};

struct WatchResult {
  int code = -1;
  std::string out;
  std::string err;
  std::vector<std::string> nodesOpened;
};

// What the watch prints, read by the bench while the watch writes.
class SharedText : public std::streambuf {
 public:
  std::string Text() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    const std::lock_guard<std::mutex> lock(mutex_);
    text_ += traits_type::to_char_type(c);
    return c;
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    text_.append(text, static_cast<size_t>(count));
    return count;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

// A stick's simulated drive, owned by the opener the watch keeps for the
// stick, so that both go when the watch lets the stick go. With `real` it
// counts as a real device, as the sticks a watch opens through
// pass-through do.
// Once `pulled` is set the stick is gone, and opens nothing more.
class StickVolumes : public device::VolumeOpener {
 public:
  StickVolumes(std::unique_ptr<sim::VirtualDrive> drive, char letter, bool real,
               std::shared_ptr<std::atomic<bool>> pulled)
      : drive_(std::move(drive)), real_(real), pulled_(std::move(pulled)) {
    if (drive_) volumes_.Attach(letter, *drive_);
  }
  device::OpenResult Open(char letter) override {
    if (*pulled_) return nullptr;
    return volumes_.Open(letter);
  }
  bool NeedsPrivilege() const override { return volumes_.NeedsPrivilege(); }
  bool ServesRealDevice(char letter) const override {
    return real_ || volumes_.ServesRealDevice(letter);
  }
  std::string UsbSerial(char letter) const override { return volumes_.UsbSerial(letter); }

 private:
  std::unique_ptr<sim::VirtualDrive> drive_;
  sim::SimulatedVolumes volumes_;
  bool real_;
  std::shared_ptr<std::atomic<bool>> pulled_;
};

// What the process holds now: open descriptors and threads.
std::pair<size_t, size_t> HeldNow() {
  const auto count = [](const char* folder) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
  };
  return {count("/proc/self/fd"), count("/proc/self/task")};
}

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
  // disk /dev/sdX is answered by a broken simulated drive of its own, with
  // `faults` when given. An interrupt ends the watch too.
  WatchResult Watch(ConsoleOptions options, const std::function<void()>& script,
                    bool realDevices = false, const nlohmann::json& faults = nullptr) {
    options.cDriveFolder = cDrive();
    options.tempFolder = temp();
    options.all = true;
    options.watch = true;
    std::string driveFile = (fs::path(KESTRUNE_TEST_DRIVES) / "ctrl163_broken.json").string();
    if (!faults.is_null()) {
      nlohmann::json drive = nlohmann::json::parse(std::ifstream(driveFile));
      drive["faults"] = faults;
      driveFile = folder.str() + "/stick.json";
      std::ofstream(driveFile) << drive.dump();
    }
    std::istringstream in;
    SharedText shared;
    std::ostream out(&shared);
    said_ = &shared;
    SharedText sharedErr;
    std::ostream err(&sharedErr);
    saidErr_ = &sharedErr;
    const ConsoleStreams io{in, out, err, false};
    RunEnd end(options, io);
    std::string problem;
    auto host = platform::WatchUsbDisks(options.includePresent, problem);
    EXPECT_NE(host, nullptr) << problem;
    IdleCountingWatch watch(std::move(host), bench);
    watch_ = &watch;
    platform::PosixOptions hostOptions;
    hostOptions.cDriveFolder = cDrive();
    hostOptions.tempFolder = temp();
    ConsoleFront front(end.terminal(), options, io);
    const session::RunRequest request = RequestOf(options, io);
    const session::RunSetup run{request, front, end, hostOptions, nullptr};
    WatchResult result;
    std::mutex mutex;
    session::WatchRun watching{run, watch, nullptr, 20, [&watch] {
                                 return watch.ended.load() || platform::InterruptReceived();
                               }};
    watching.open = [&](char letter, const std::string& node, std::string& error) {
      const std::lock_guard<std::mutex> lock(mutex);
      result.nodesOpened.push_back(node);
      ++opened_;
      const std::lock_guard<std::mutex> sticks(pulledMutex_);
      auto& pulled = pulled_[node];
      pulled = std::make_shared<std::atomic<bool>>(false);
      return std::unique_ptr<device::VolumeOpener>(std::make_unique<StickVolumes>(
          sim::VirtualDrive::FromFile(
              driveFile, &error,
              folder.str() + "/" + fs::path(node).filename().string() + ".flash"),
          letter, realDevices, pulled));
    };
    std::thread bench([&] {
      script();
      watch.scriptDone = true;
    });
    result.code = session::RunWatch(watching);
    bench.join();
    watch_ = nullptr;
    said_ = nullptr;
    saidErr_ = nullptr;
    result.out = shared.Text();
    result.err = sharedErr.Text();
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

  // Waits until the watch has printed `text` on stdout or stderr, `times`
  // times; the bound of a minute only keeps a watch that never says it
  // from hanging the test.
  bool Said(const std::string& text, size_t times = 1) const {
    const auto count = [&text](const SharedText* said) {
      size_t found = 0;
      if (said == nullptr) return found;
      const std::string all = said->Text();
      for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
        ++found;
      }
      return found;
    };
    for (int i = 0; i < 6000; ++i) {
      if (count(said_) + count(saidErr_) >= times) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  // Which read of the flash (0xF8) is the first of a stick's After backups:
  // the first that reads a whole backup after the last page write, on a
  // fix of one letter of --all (as a stick of watch runs) without faults.
  int FirstAfterBackupRead() {
    const std::string dry = folder.str() + "/dry.json";
    fs::copy_file(fs::path(KESTRUNE_TEST_DRIVES) / "ctrl163_broken.json", dry);
    const std::string trace = folder.str() + "/dry-trace.txt";
    const std::string c = folder.str() + "/dry-c";
    fs::create_directories(c);
    const std::vector<std::string> words{"kestrune", "--c-drive", c,          "--temp",
                                         temp(),     "--drive",   "E=" + dry, "--trace",
                                         trace,      "--all",     "--yes",    "fix"};
    std::vector<const char*> argv;
    for (const std::string& word : words) argv.push_back(word.c_str());
    std::istringstream in;
    std::ostringstream out;
    const ConsoleStreams io{in, out, out, false};
    if (RunConsole(static_cast<int>(argv.size()), argv.data(), io, Settings{}) != kExitDone) {
      return -1;
    }
    std::vector<std::string> lines;
    std::ifstream traced(trace);
    for (std::string line; std::getline(traced, line);) lines.push_back(line);
    size_t lastWrite = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].rfind("E: fa ", 0) == 0) lastWrite = i;
    }
    int reads = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].rfind("E: f8 ", 0) != 0) continue;
      ++reads;
      if (i > lastWrite && lines[i].find("| in 49152 |") != std::string::npos) return reads;
    }
    return -1;
  }
  // Waits until the watch has opened `sticks` sticks.
  bool Opened(size_t sticks) const {
    for (int i = 0; i < 6000; ++i) {
      if (opened_ >= sticks) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  // Pulls out the stick whose disk is at `path` and node `node`: the host
  // tells its remove, and its drive answers nothing more.
  void Pull(const std::string& path, const std::string& node) {
    {
      const std::lock_guard<std::mutex> lock(pulledMutex_);
      const auto pulled = pulled_.find(node);
      if (pulled != pulled_.end()) *pulled->second = true;
    }
    bench.Unplug(path);
  }

  // Runs `watch` in a process of its own that catches interrupts as the
  // console does: an interrupt, once it came, stays for the whole process.
  WatchResult InChild(const std::function<WatchResult()>& watch) {
    const std::string kept = folder.str() + "/child";
    const pid_t child = fork();
    if (child == 0) {
      platform::CatchInterrupts(
          {kInterruptNotice, kInterruptAgain, kInterruptForced},
          {kInterruptOutcomeNotice, kInterruptOutcomeAgain, kInterruptOutcomeForced},
          kExitInterrupted, {kInterruptWatchNotice, kInterruptWatchAgain, kInterruptWatchForced});
      const WatchResult r = watch();
      std::ofstream(kept + ".out") << r.out;
      std::ofstream(kept + ".err") << r.err;
      std::ofstream(kept + ".code") << r.code;
      std::_Exit(0);
    }
    int status = 0;
    WatchResult r;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      ADD_FAILURE() << "the watch's process ended with status " << status;
      return r;
    }
    const auto read = [](const std::string& path) {
      std::ostringstream text;
      text << std::ifstream(path).rdbuf();
      return text.str();
    };
    r.out = read(kept + ".out");
    r.err = read(kept + ".err");
    r.code = std::stoi(read(kept + ".code"));
    return r;
  }

  testing::TempFolder folder;
  test::UsbTestbed bench;
  IdleCountingWatch* watch_ = nullptr;
  std::atomic<size_t> opened_{0};
  SharedText* said_ = nullptr;
  SharedText* saidErr_ = nullptr;
  std::mutex pulledMutex_;
  std::map<std::string, std::shared_ptr<std::atomic<bool>>> pulled_;
};

ConsoleOptions Fix() {
  ConsoleOptions options;
  options.command = Command::kFix;
  options.yes = true;
  return options;
}

// A stick pulled out as soon as the watch took it frees its letter: the
// next stick gets it again, and both are in the summary, told apart by
// their ports and serials.
TEST_F(ConsoleWatch, AStickPulledOutAtOnceFreesItsLetter) {
  ConsoleOptions options = Fix();
  options.json = true;
  const WatchResult r = Watch(options, [this] {
    const std::string first = bench.Plug("1-1", "sdb", "KS0001");
    ASSERT_TRUE(Opened(1));
    bench.Unplug(first);
    // Its letter is free once its work, begun at once, is over too: told,
    // and the watch went round idle after that, its pull taken.
    ASSERT_TRUE(Said("\"watch\":\"drive\""));
    ASSERT_TRUE(watch_->Idled(2));
    bench.Plug("1-2", "sdc", "KS0002");
  });
  std::vector<nlohmann::json> lines;
  std::istringstream out(r.out);
  for (std::string line; std::getline(out, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 3U) << r.out << r.err;
  const nlohmann::json& drives = lines.back()["drives"];
  ASSERT_EQ(drives.size(), 2U) << lines.back();
  EXPECT_EQ(drives[0]["letter"], "D");
  EXPECT_EQ(drives[1]["letter"], "D");
  EXPECT_EQ(drives[1]["verdict"], "broken");
  EXPECT_EQ(drives[1]["outcome"], "success");
  EXPECT_EQ(drives[0]["port"], "1-1");
  EXPECT_EQ(drives[0]["serial"], "KS0001");
  EXPECT_EQ(drives[1]["port"], "1-2");
  EXPECT_EQ(drives[1]["serial"], "KS0002");
  EXPECT_EQ(drives[1]["stick"], 1);
  EXPECT_EQ(r.nodesOpened, (std::vector<std::string>{"/dev/sdb", "/dev/sdc"}));
}

// Sticks already plugged in when the watch begins are left alone unless
// --include-present, and a watch that leaves them says so in one line that
// names the option, in the document's errors too; none is opened.
struct PresentCase {
  const char* name;
  int present;
  bool includePresent;
  bool json;
  int code;
  const char* said;  // on stderr; "" for no word of --include-present
};

class ConsoleWatchPresent : public ConsoleWatch,
                            public ::testing::WithParamInterface<PresentCase> {};

TEST_P(ConsoleWatchPresent, SaysWhatItLeftAlone) {
  const PresentCase& c = GetParam();
  for (int i = 0; i < c.present; ++i) {
    const std::string disk = "sd" + std::string(1, static_cast<char>('b' + i));
    bench.Plug("1-" + std::to_string(i + 1), disk, "KP" + std::to_string(i));
  }
  ConsoleOptions options;
  options.command = Command::kScan;
  options.includePresent = c.includePresent;
  options.json = c.json;
  const WatchResult r = Watch(options, [] {});
  EXPECT_EQ(r.code, c.code) << r.err;
  EXPECT_EQ(r.nodesOpened.size(), c.includePresent ? static_cast<size_t>(c.present) : 0U);
  const size_t said = r.err.find("--include-present");
  if (*c.said == '\0') {
    EXPECT_EQ(said, std::string::npos) << r.err;
    return;
  }
  EXPECT_NE(r.err.find(std::string("kestrune: ") + c.said + "\n"), std::string::npos) << r.err;
  if (!c.json) return;
  std::istringstream lines(r.out);
  std::string last;
  for (std::string line; std::getline(lines, line);) last = line;
  const nlohmann::json summary = nlohmann::json::parse(last);
  EXPECT_EQ(summary["watch"], "summary");
  EXPECT_EQ(summary["errors"], nlohmann::json::array({c.said}));
}

INSTANTIATE_TEST_SUITE_P(
    Sticks, ConsoleWatchPresent,
    ::testing::Values(
        PresentCase{"OneLeftAlone", 1, false, false, kExitNoDevice,
                    "1 USB drive was plugged in before the watch began: it is left alone "
                    "(--include-present takes it too)"},
        PresentCase{"TwoLeftAloneJson", 2, false, true, kExitNoDevice,
                    "2 USB drives were plugged in before the watch began: they are left alone "
                    "(--include-present takes them too)"},
        PresentCase{"Included", 2, true, false, kExitDone, ""},
        PresentCase{"NonePresent", 0, false, false, kExitNoDevice, ""}),
    [](const auto& info) { return std::string(info.param.name); });

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
  EXPECT_EQ(documents[2]["messages"][0]["text"], session::kWatchQuestion);
  for (const char* letter : {"D", "E"}) {
    EXPECT_EQ(fs::file_size(cDrive() + "/" + letter + "/ISP0_After.bin"), 49152U) << letter;
  }
}

// watch fix --json, as a bench of sticks meets it: each stick's line tells
// the stick's outcome and exit code, and names its port and serial, as the
// line's own report of the drive (drives[0]) does; the summary agrees.
enum class Bench : uint8_t {
  // An interrupt during the stick's write: the write ends, the watch too.
  kInterruptInTheWrite,
  // The stick pulled out when the success box tells the technician to:
  // the box comes once the After backups are made, so nothing is lost.
  kPulledAfterTheSuccessBox,
  // The stick pulled out early, between the verified write and the After
  // backups: the fix stands, the backups it could not make are warnings.
  kPulledBeforeTheAfterBackups,
  // One port, two sticks one after the other: one letter, told apart by
  // the stick's number in the port and its serial.
  kTwoSticksInOnePort,
};

struct StickLine {
  const char* outcome;
  int exitCode;
  const char* serial;
  int stick;
  bool warned;  // its After backups failed, told as warnings
  // The stick's own outcome in its drives entry, where it says more than
  // the line's (a repair that stands); null: the same.
  const char* own = nullptr;
};

struct BenchCase {
  const char* name;
  Bench bench;
  int code;  // the watch's
  std::vector<StickLine> sticks;
  friend void PrintTo(const BenchCase& c, std::ostream* out) { *out << c.name; }
};

class ConsoleWatchBench : public ConsoleWatch, public ::testing::WithParamInterface<BenchCase> {};

TEST_P(ConsoleWatchBench, EachStickLineNamesItsPortAndSerialAsItsReportDoes) {
  const BenchCase& c = GetParam();
  ConsoleOptions options = Fix();
  options.json = true;
  const bool interrupt = c.bench == Bench::kInterruptInTheWrite;
  nlohmann::json faults =
      interrupt ? nlohmann::json::array({{{"opcode", "0xFE"}, {"nth", 1}, {"action", "interrupt"}}})
                : nlohmann::json();
  // The stick is pulled right where its After backups begin.
  if (c.bench == Bench::kPulledBeforeTheAfterBackups) {
    const int read = FirstAfterBackupRead();
    ASSERT_GT(read, 0) << "the dry run made no After backup";
    faults = nlohmann::json::array({{{"opcode", "0xF8"}, {"nth", read}, {"action", "vanish"}}});
  }
  const auto script = [&] {
    const std::string first = bench.Plug("1-1", "sdb", "KS0001");
    if (c.bench == Bench::kPulledAfterTheSuccessBox) {
      if (Said("[SUCCESS] Update ISP code Success, please replug device to ensure it normal.")) {
        Pull(first, "/dev/sdb");
      }
    } else if (c.bench == Bench::kPulledBeforeTheAfterBackups) {
      // The host tells the pull once the stick's work is over.
      if (Said("\"watch\":\"drive\"")) Pull(first, "/dev/sdb");
    } else if (c.bench == Bench::kTwoSticksInOnePort) {
      if (Said("\"watch\":\"drive\"")) Pull(first, "/dev/sdb");
      bench.Plug("1-1", "sdc", "KS0002");
    }
  };
  const auto watch = [&] { return Watch(options, script, false, faults); };
  const WatchResult r = interrupt ? InChild(watch) : watch();
  EXPECT_EQ(r.code, c.code) << r.err;
  std::vector<nlohmann::json> lines;
  std::istringstream out(r.out);
  for (std::string line; std::getline(out, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), c.sticks.size() + 1) << r.out << r.err;
  const nlohmann::json& summary = lines.back();
  EXPECT_EQ(summary["watch"], "summary");
  ASSERT_EQ(summary["drives"].size(), c.sticks.size());
  for (size_t i = 0; i < c.sticks.size(); ++i) {
    const StickLine& want = c.sticks[i];
    const nlohmann::json& line = lines[i];
    EXPECT_EQ(line["watch"], "drive");
    ASSERT_EQ(line["drives"].size(), 1U) << line;
    const nlohmann::json& own = line["drives"][0];
    EXPECT_EQ(line["outcome"], want.outcome) << i;
    EXPECT_EQ(line["exitCode"], want.exitCode) << i;
    EXPECT_EQ(own["outcome"], want.own != nullptr ? want.own : want.outcome) << i;
    EXPECT_EQ(summary["drives"][i]["outcome"], own["outcome"]) << i;
    EXPECT_EQ(own["letter"], "D") << i;
    for (const char* key : {"port", "serial", "stick"}) {
      EXPECT_EQ(line[key], own[key]) << i << " " << key;
      EXPECT_EQ(summary["drives"][i][key], own[key]) << i << " " << key;
    }
    EXPECT_EQ(own["port"], "1-1") << i;
    EXPECT_EQ(own["serial"], want.serial) << i;
    EXPECT_EQ(own["stick"], want.stick) << i;
    EXPECT_EQ(!own["warnings"].empty(), want.warned) << own["warnings"];
  }
}

INSTANTIATE_TEST_SUITE_P(Sticks, ConsoleWatchBench,
                         ::testing::Values(BenchCase{"InterruptInTheWrite",
                                                     Bench::kInterruptInTheWrite,
                                                     kExitInterrupted,
                                                     {{"interrupted", kExitInterrupted, "KS0001", 1,
                                                       false, "repaired, pull it now"}}},
                                           BenchCase{"PulledAfterTheSuccessBox",
                                                     Bench::kPulledAfterTheSuccessBox,
                                                     kExitDone,
                                                     {{"success", kExitDone, "KS0001", 1, false}}},
                                           BenchCase{"PulledBeforeTheAfterBackups",
                                                     Bench::kPulledBeforeTheAfterBackups,
                                                     kExitDone,
                                                     {{"success", kExitDone, "KS0001", 1, true}}},
                                           BenchCase{"TwoSticksInOnePort",
                                                     Bench::kTwoSticksInOnePort,
                                                     kExitDone,
                                                     {{"success", kExitDone, "KS0001", 1, false},
                                                      {"success", kExitDone, "KS0002", 2, false}}}),
                         [](const auto& info) { return std::string(info.param.name); });

// 24 sticks, none pulled out: the letters D to Z go to the first 23; the
// last is left alone, named, and fails the run.
TEST_F(ConsoleWatch, TheTwentyFourthStickFindsNoLetter) {
  const WatchResult r = Watch(Fix(), [this] {
    for (int i = 0; i < 24; ++i) {
      const std::string disk = "sd" + std::string(1, static_cast<char>('b' + i));
      bench.Plug("1-" + std::to_string(i + 1), disk, "KS" + std::to_string(i));
      // Each takes its letter before the next comes, the last finds none.
      if (i < 23) {
        ASSERT_TRUE(Opened(static_cast<size_t>(i) + 1));
      }
    }
  });
  const std::vector<std::string> rows = Rows(r.out);
  ASSERT_EQ(rows.size(), 23U) << r.out;
  for (const std::string& row : rows) EXPECT_NE(row.find(" success "), std::string::npos) << row;
  EXPECT_EQ(r.nodesOpened.size(), 23U);
  EXPECT_NE(r.err.find("no free letter for the drive at /dev/sdy in port 1-24;"), std::string::npos)
      << r.err;
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
  // Its code is not loaded either: it is listed, named, and refused.
  EXPECT_EQ(rows[0].rfind("D: ", 0), 0U) << rows[0];
  EXPECT_EQ(rows[0].find("D: - "), std::string::npos) << rows[0];
  EXPECT_NE(rows[0].find(" refused"), std::string::npos) << rows[0];
  EXPECT_EQ(r.code, kExitFailure);
  EXPECT_FALSE(fs::exists(cDrive() + "/D/ISP0_Before.bin"));
  EXPECT_FALSE(fs::exists(cDrive() + "/D/ISP0_After.bin"));
}

// A watch runs all day: a stick whose job is over and that was pulled out
// keeps no descriptor (its lock, its folders, its drive) and no thread, so
// 200 sticks later the process holds what it held after the first few.
TEST_F(ConsoleWatch, PulledSticksLeaveNothingHeld) {
  ConsoleOptions options;
  options.command = Command::kScan;
  options.json = true;
  constexpr int kSticks = 200;
  std::pair<size_t, size_t> early;
  std::pair<size_t, size_t> late;
  const WatchResult r = Watch(options, [&] {
    for (int i = 0; i < kSticks; ++i) {
      // Names of their own: the testbed keeps a pulled disk's block link.
      const std::string disk =
          std::string("sd") + static_cast<char>('a' + i / 26) + static_cast<char>('a' + i % 26);
      const std::string path =
          bench.Plug("2-" + std::to_string(i + 1), disk, "KC" + std::to_string(i));
      ASSERT_TRUE(Opened(static_cast<size_t>(i) + 1));
      bench.Unplug(path);
      // Pulled sticks are let go of once their scan is over and told: the
      // watch has done so when it went round idle after that.
      if (i == 19 || i == kSticks - 1) {
        ASSERT_TRUE(Said("\"watch\":\"drive\"", static_cast<size_t>(i) + 1));
        ASSERT_TRUE(watch_->Idled(2));
        (i == 19 ? early : late) = HeldNow();
      }
    }
  });
  EXPECT_EQ(r.code, kExitDone) << r.err;
  size_t told = 0;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    told += nlohmann::json::parse(line)["watch"] == "drive";
  }
  EXPECT_EQ(told, static_cast<size_t>(kSticks)) << "every stick is told of";
  EXPECT_LE(late.first, early.first + 2) << "descriptors after 20 sticks and after 200";
  EXPECT_LE(late.second, early.second + 1) << "threads after 20 sticks and after 200";
}

}  // namespace
}  // namespace kestrune::console
