// --all: every drive at once, each in its own thread with its own folder,
// one question for all, one summary.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/console/console_end.h"
#include "app/console/console_front.h"
#include "app/console/console_list.h"
#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "app/session/drive_runner.h"
#include "device/volume_map.h"
#include "simulator/sim_host.h"
#include "simulator/virtual_drive.h"
#include "tests/support/child_process.h"
#include "tests/support/console_harness.h"
#include "tests/support/console_runner.h"
#include "tests/support/device_temp_folder.h"

namespace kestrune::console {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

using RunResult = testing::ConsoleResult;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// The summary row of a drive, its columns squeezed to one blank.
std::string Row(const RunResult& r, char letter) {
  const std::string start = std::string(1, letter) + ": ";
  for (const std::string& line : Lines(r.out)) {
    // A drive's box, the line under it that says why and the line that
    // names the image a fix writes are no row.
    if (line.rfind(start, 0) != 0 || line.find('[') != std::string::npos ||
        line.rfind(start + "Why: ", 0) == 0 || line.rfind(start + "ISP image: ", 0) == 0) {
      continue;
    }
    return std::regex_replace(line, std::regex(" +"), " ");
  }
  return "<no row>";
}

class ConsoleAll : public testing::ConsoleHarness {
 protected:
  std::string cDrive() const { return CFolder().string(); }
  std::string temp() const { return WorkFolder().string(); }

  // A copy of a ready-made drive on `letter`, optionally with a fault plan
  // and other changes to its description; returns its path.
  std::string AddDrive(char letter, const std::string& name, const nlohmann::json& faults = nullptr,
                       const nlohmann::json& changes = nlohmann::json::object()) {
    return AddDriveOn(letter, name, faults, changes).string();
  }

  RunResult Run(std::vector<std::string> arguments, const std::string& input = "",
                bool terminal = false) {
    return RunHere(arguments, input, {.input = terminal});
  }

  bool Backup(char letter, const std::string& name) const {
    const fs::path path = fs::path(cDrive()) / std::string(1, letter) / name;
    return fs::exists(path) && fs::file_size(path) == 49152;
  }
};

// The production line: a broken drive of every controller and one whose
// page writes are refused, repaired at once.
TEST_F(ConsoleAll, FixesEveryControllerAndReportsTheDriveThatFailed) {
  const std::map<char, std::string> drives = {
      {'E', "ctrl161_broken.json"}, {'F', "ctrl162_broken.json"}, {'G', "ctrl163_broken.json"},
      {'H', "ctrl165_broken.json"}, {'I', "ctrl168_broken.json"}, {'J', "ctrl169_broken.json"},
      {'K', "ctrl190_broken.json"}};
  for (const auto& [letter, name] : drives) AddDrive(letter, name);
  AddDrive('L', "ctrl163_broken.json",
           {{{"opcode", "0xFA"}, {"action", "refuse"}, {"repeat", true}}});
  std::ofstream(cDrive() + "/ISP.log");

  const RunResult fix = Run({"--all", "--yes", "--json", "fix"});
  EXPECT_EQ(fix.code, kExitFailure) << fix.err;
  nlohmann::json document;
  ASSERT_NO_THROW(document = nlohmann::json::parse(fix.out)) << fix.out;
  ASSERT_EQ(document["drives"].size(), 8u);
  for (const nlohmann::json& drive : document["drives"]) {
    const char letter = drive["letter"].get<std::string>()[0];
    EXPECT_EQ(drive["verdict"], "broken") << letter;
    if (letter == 'L') {
      EXPECT_EQ(drive["outcome"], "failed");
      EXPECT_EQ(drive["failure"], "Write ISP code to flash fail");
      EXPECT_EQ(drive["copiesVerified"], 0);
      continue;
    }
    EXPECT_EQ(drive["outcome"], "success") << letter << ": " << drive["failure"];
    EXPECT_GE(drive["copiesVerified"], 1) << letter;
    // Each drive's files are in its own folder, a 0x190's too.
    EXPECT_TRUE(Backup(letter, "ISP0_Before.bin")) << letter;
    // The run's C: folder held ISP.log, so each drive logs into its own.
    EXPECT_NE(folder.Read("c/" + std::string(1, letter) + "/ISP.log").find("Start"),
              std::string::npos)
        << letter;
  }
  // Lines of the drives' threads arrive whole, each behind its letter.
  const std::regex prefixed("[E-L]: .*");
  bool question = false;
  for (const std::string& line : Lines(fix.err)) {
    if (line.rfind("[Update ISP Warning] Are you sure to update new ISP code on these 8", 0) == 0) {
      question = true;
      continue;
    }
    if (!question) continue;  // the list of drives before the question
    EXPECT_TRUE(std::regex_match(line, prefixed)) << line;
  }
  EXPECT_TRUE(question);

  // After the replug, every drive but L is healthy.
  const RunResult scan = Run({"--all", "scan"});
  EXPECT_EQ(scan.code, kExitDone) << scan.err;
  for (const auto& [letter, name] : drives) {
    EXPECT_EQ(Row(scan, letter).rfind(std::string(1, letter) + ": healthy ", 0), 0u)
        << Row(scan, letter);
  }
  EXPECT_EQ(Row(scan, 'L').rfind("L: broken 125.00MB KSTRUNE USB DISK 163 0x163 ", 0), 0u)
      << Row(scan, 'L');
}

// One question for every drive, asked before any is touched; the drives'
// own boxes then read no answer of their own.
struct Question {
  const char* name;
  const char* input;
  bool terminal;
  int code;
};

class ConsoleAllQuestion : public ConsoleAll, public ::testing::WithParamInterface<Question> {};

TEST_P(ConsoleAllQuestion, IsAskedOnceAndListsTheDrives) {
  AddDrive('E', "ctrl163_broken.json");
  AddDrive('F', "ctrl165_broken.json");
  const RunResult r = Run({"--all", "fix"}, GetParam().input, GetParam().terminal);
  EXPECT_EQ(r.code, GetParam().code) << r.out << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[0], "Drives to fix:");
  EXPECT_EQ(lines[1], "  E: " + folder.str() + "/E.json");
  EXPECT_EQ(lines[2], "  F: " + folder.str() + "/F.json");
  EXPECT_EQ(lines[3],
            "[Update ISP Warning] Are you sure to update new ISP code on these 2 drives ?");
  const bool fixed = GetParam().code == kExitDone;
  for (char letter : {'E', 'F'}) {
    EXPECT_EQ(Backup(letter, "ISP0_After.bin"), fixed) << letter;
    // A cancelled run scans nothing either.
    EXPECT_EQ(r.out.find(std::string(1, letter) + ": [Check ISP]") != std::string::npos, fixed);
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, ConsoleAllQuestion,
                         ::testing::Values(Question{"NoTerminalNoYes", "", false, kExitCancelled},
                                           Question{"OkOnTheTerminal", "ok\n", true, kExitDone}),
                         [](const auto& info) { return std::string(info.param.name); });

// Backup changes no drive and asks nothing; destroy, answered by --yes,
// breaks every healthy drive after saving what it destroys. E has two
// copies, F three.
struct AllCommand {
  const char* name;
  std::vector<std::string> arguments;
  std::vector<std::string> rows;  // E and F, up to the seconds
  const char* verdictAfter;
};

class ConsoleAllCommand : public ConsoleAll, public ::testing::WithParamInterface<AllCommand> {};

TEST_P(ConsoleAllCommand, ActsOnEveryDrive) {
  AddDrive('E', "ctrl163_healthy.json");
  AddDrive('F', "ctrl165_healthy.json");
  const RunResult r = Run(GetParam().arguments);
  EXPECT_EQ(r.code, kExitDone) << r.out << r.err;
  const RunResult scan = Run({"--all", "scan"});
  for (const std::string& row : GetParam().rows) {
    EXPECT_EQ(Row(r, row[0]).rfind(row, 0), 0u) << Row(r, row[0]);
    EXPECT_EQ(Row(scan, row[0]).substr(3).rfind(GetParam().verdictAfter, 0), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ConsoleAllCommand,
    ::testing::Values(AllCommand{"Backup",
                                 {"--all", "backup"},
                                 {"E: healthy success 0 2 ", "F: healthy success 0 3 "},
                                 "healthy "},
                      AllCommand{"Destroy",
                                 {"--all", "--yes", "destroy"},
                                 // what each copy was before and after
                                 {"E: healthy success 2 4 ", "F: healthy success 3 6 "},
                                 "broken "}),
    [](const auto& info) { return std::string(info.param.name); });

// One drive under two letters is refused before it is loaded: two threads
// would write it, and in a single-drive run the second letter's save of the
// flash would undo the fix. A run that finds no drive exits 3.
struct Refusal {
  const char* name;
  std::vector<std::string> arguments;
  int code;
};

class ConsoleAllRefusal : public ConsoleAll, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ConsoleAllRefusal, WritesNothing) {
  const std::string e = folder.str() + "/E.json";
  if (GetParam().code == kExitNoDevice) {
    std::ofstream(e) << R"({"controller": "0x163", "inquiryText": "NOTHING KNOWN 12"})";
    driveArguments = {"--drive", "E=" + e};
  } else {
    AddDrive('E', "ctrl163_broken.json");
    driveArguments.insert(driveArguments.end(), {"--drive", "G=" + folder.str() + "/./E.json"});
  }
  const RunResult r = Run(GetParam().arguments);
  EXPECT_EQ(r.code, GetParam().code) << r.out << r.err;
  EXPECT_EQ(fs::exists(e + ".flash"), GetParam().code != kExitUsage);
  EXPECT_FALSE(Backup('E', "ISP0_Before.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ConsoleAllRefusal,
    ::testing::Values(Refusal{"OneFileTwice", {"--all", "--yes", "fix"}, kExitUsage},
                      Refusal{"OneFileTwiceSingle", {"--yes", "fix"}, kExitUsage},
                      Refusal{"NothingFound", {"--all", "--yes", "fix"}, kExitNoDevice}),
    [](const auto& info) { return std::string(info.param.name); });

// A drive the run was given and did not act on fails the run, whatever
// kept it out, and its row says why; the drive beside it is still repaired.
struct LeftOut {
  const char* name;
  // Sets F, at `drive`, up to be left out by a run whose C: folder is
  // `cDrive`; false: this user cannot set the scene.
  bool (*leaveOut)(const std::string& cDrive, const std::string& drive,
                   platform::LockAttempt& held);
  const char* outcome;
  const char* failure;  // a part of F's failure; "" for none
};

class ConsoleAllLeftOut : public ConsoleAll, public ::testing::WithParamInterface<LeftOut> {};

TEST_P(ConsoleAllLeftOut, FailsTheRunAndSaysWhy) {
  AddDrive('E', "ctrl163_broken.json");
  const bool vanishes = std::string(GetParam().name) == "Vanished";
  const std::string f =
      AddDrive('F', "ctrl165_broken.json", nullptr,
               vanishes ? nlohmann::json{{"vanishAt", 1}} : nlohmann::json::object());
  platform::LockAttempt held;
  if (!GetParam().leaveOut(cDrive(), f, held)) GTEST_SKIP() << "this user cannot set the scene";

  const RunResult r = Run({"--all", "--yes", "--json", "fix"});

  EXPECT_EQ(r.code, kExitFailure) << r.err;
  nlohmann::json document;
  ASSERT_NO_THROW(document = nlohmann::json::parse(r.out)) << r.out;
  EXPECT_EQ(document["outcome"], "failed");
  ASSERT_EQ(document["drives"].size(), 2u);
  EXPECT_EQ(document["drives"][0]["outcome"], "success");
  const nlohmann::json& left = document["drives"][1];
  EXPECT_EQ(left["outcome"], GetParam().outcome);
  const std::string failure = left["failure"].is_null() ? "" : left["failure"].get<std::string>();
  EXPECT_NE(failure.find(GetParam().failure), std::string::npos) << failure;
  EXPECT_TRUE(Backup('E', "ISP0_After.bin"));
  EXPECT_FALSE(Backup('F', "ISP0_Before.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, ConsoleAllLeftOut,
    ::testing::Values(
        LeftOut{"Vanished",
                [](const std::string&, const std::string&, platform::LockAttempt&) { return true; },
                "not found", ""},
        LeftOut{"HeldByAnotherRun",
                [](const std::string&, const std::string& drive, platform::LockAttempt& held) {
                  held = sim::LockFile(drive, false);
                  return held.state == platform::LockState::kTaken;
                },
                "failed", "is held by another run of kestrune; left out"},
        LeftOut{"FolderRefused",
                [](const std::string& cDrive, const std::string&, platform::LockAttempt&) {
                  const fs::path folder = fs::path(cDrive) / "F";
                  fs::create_directory(folder);
                  fs::permissions(folder, fs::perms::all);
                  return true;
                },
                "failed", "can be written by other users"}),
    [](const auto& info) { return std::string(info.param.name); });

// A 0x190 copy counts as verified only once its ISP area and its auxiliary
// area both read back as written, in the table and in the document alike.
struct Copies190 {
  const char* name;
  nlohmann::json faults;
  const char* outcome;
  int verified;
};

class ConsoleAllCopies190 : public ConsoleAll, public ::testing::WithParamInterface<Copies190> {};

TEST_P(ConsoleAllCopies190, CountBothAreas) {
  const Copies190& c = GetParam();
  AddDrive('K', "ctrl190_broken.json", c.faults);
  const RunResult table = Run({"--all", "--yes", "fix"});
  EXPECT_EQ(
      Row(table, 'K')
          .rfind(std::string("K: broken ") + c.outcome + " " + std::to_string(c.verified) + " ", 0),
      0u)
      << Row(table, 'K');

  driveArguments.clear();
  AddDrive('L', "ctrl190_broken.json", c.faults);
  const RunResult json = Run({"--all", "--yes", "--json", "fix"});
  nlohmann::json document;
  ASSERT_NO_THROW(document = nlohmann::json::parse(json.out)) << json.out;
  EXPECT_EQ(document["drives"][0]["outcome"], c.outcome);
  EXPECT_EQ(document["drives"][0]["copiesVerified"], c.verified);
}

INSTANTIATE_TEST_SUITE_P(
    Fixes, ConsoleAllCopies190,
    ::testing::Values(Copies190{"BothAreasVerified", nullptr, "success", 2},
                      // The first auxiliary write of copy 0 does not stick:
                      // both ISP areas read back equal, yet no copy is whole.
                      Copies190{"AuxiliaryAreaUnlike",
                                {{{"opcode", "0xFA"}, {"nth", 25}, {"action", "drop-write"}}},
                                "failed",
                                0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- folders another user could turn ---

// The answer to the question, given only after `act` ran: what another
// user does while the question waits.
class AnswerAfter : public std::streambuf {
 public:
  AnswerAfter(std::function<void()> act, std::string answer)
      : act_(std::move(act)), answer_(std::move(answer)) {}

 protected:
  int_type underflow() override {
    if (act_) {
      act_();
      act_ = nullptr;
      setg(answer_.data(), answer_.data(), answer_.data() + answer_.size());
    }
    return gptr() < egptr() ? traits_type::to_int_type(*gptr()) : traits_type::eof();
  }

 private:
  std::function<void()> act_;
  std::string answer_;
};

// A folder renamed away while the question waits, with a link to a folder
// of root's put in its place, moves no write: the run goes on in the
// folder it opened and checked before it asked.
struct Turned {
  const char* name;
  bool all;
  const char* folder;  // renamed to <folder>.moved and replaced by the link
  const char* kept;    // a file the run must have written where it began
};

class ConsoleAllTurned : public ConsoleAll, public ::testing::WithParamInterface<Turned> {};

TEST_P(ConsoleAllTurned, AtTheQuestionMovesNoWrite) {
  AddDrive('E', "ctrl163_broken.json");
  const fs::path victim = folder.path() / "root-only";
  fs::create_directories(victim / "E");
  const fs::path turned = folder.path() / GetParam().folder;
  AnswerAfter answer(
      [&] {
        fs::rename(turned, turned.string() + ".moved");
        fs::create_directory_symlink(victim, turned);
      },
      "ok\n");
  std::istream in(&answer);
  std::vector<std::string> arguments{"--c-drive", cDrive(), "--temp", temp()};
  arguments.insert(arguments.end(), driveArguments.begin(), driveArguments.end());
  if (GetParam().all) arguments.push_back("--all");
  arguments.push_back("fix");

  const RunResult r = testing::RunConsoleWith(arguments, in, true);

  EXPECT_EQ(r.code, kExitDone) << r.out << r.err;
  EXPECT_TRUE(fs::is_symlink(turned)) << "the question was never asked";
  std::vector<std::string> planted;
  for (const auto& entry : fs::recursive_directory_iterator(victim)) {
    if (entry.is_regular_file()) planted.push_back(entry.path().string());
  }
  EXPECT_EQ(planted, std::vector<std::string>{});
  EXPECT_TRUE(fs::is_regular_file(folder.path() / GetParam().kept));
}

INSTANTIATE_TEST_SUITE_P(
    Folders, ConsoleAllTurned,
    ::testing::Values(Turned{"DriveFolder", true, "c/E", "c/E.moved/ISP0_Before.bin"},
                      Turned{"WorkFolder", true, "t", "t.moved/E/CAUS.BIN"},
                      Turned{"CDriveOfOneDrive", false, "c", "c.moved/ISP0_Before.bin"}),
    [](const auto& info) { return std::string(info.param.name); });

// A drive folder that is there already but not this user's alone is
// refused before the question: that drive is reported failed and nothing
// is done to it, while the other drive is repaired.
struct Intruded {
  const char* name;
  bool (*make)(const fs::path& folder);  // false: this user cannot set the scene
  const char* cause;
};

class ConsoleAllIntruded : public ConsoleAll, public ::testing::WithParamInterface<Intruded> {};

TEST_P(ConsoleAllIntruded, LeavesThatDriveAloneAndRepairsTheOther) {
  AddDrive('E', "ctrl163_broken.json");
  AddDrive('F', "ctrl165_broken.json");
  const fs::path e = fs::path(cDrive()) / "E";
  if (!GetParam().make(e)) GTEST_SKIP() << "only root can give a folder away";

  const RunResult r = Run({"--all", "--yes", "--json", "fix"});

  EXPECT_EQ(r.code, kExitFailure) << r.err;
  nlohmann::json document;
  ASSERT_NO_THROW(document = nlohmann::json::parse(r.out)) << r.out;
  const std::string refusal =
      "the drive folder " + fs::canonical(cDrive()).string() + "/E" + GetParam().cause;
  EXPECT_EQ(document["drives"][0]["outcome"], "failed");
  EXPECT_EQ(document["drives"][0]["failure"], refusal);
  EXPECT_EQ(document["drives"][1]["outcome"], "success");
  EXPECT_NE(r.err.find("E: kestrune: " + refusal + "\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("on these 1 drives ?"), std::string::npos) << "E was asked about";
  EXPECT_FALSE(fs::exists(folder.str() + "/E.json.flash")) << "E was opened";
  EXPECT_TRUE(Backup('F', "ISP0_Before.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Folders, ConsoleAllIntruded,
    ::testing::Values(Intruded{"OfAnotherUser",
                               [](const fs::path& folder) {
                                 fs::create_directory(folder);
                                 return ::chown(folder.c_str(), 65534, 65534) == 0;
                               },
                               " belongs to another user (uid 65534)"},
                      Intruded{"WritableByOthers",
                               [](const fs::path& folder) {
                                 fs::create_directory(folder);
                                 fs::permissions(folder, fs::perms::all);
                                 return true;
                               },
                               " can be written by other users (mode 0777)"},
                      Intruded{"ALink",
                               [](const fs::path& folder) {
                                 fs::create_directory(folder.string() + "-elsewhere");
                                 fs::create_directory_symlink(folder.string() + "-elsewhere",
                                                              folder);
                                 return true;
                               },
                               " is a symbolic link; it must be a folder of your own"}),
    [](const auto& info) { return std::string(info.param.name); });

// `list` reads sysfs only. Two sticks laid out as the kernel lays them
// out, one behind a hub whose own serial is not the stick's. --drive names
// one through a by-id link: it takes that letter and the other none.
TEST(ConsoleList, ShowsEachCandidateWithTheLetterItWouldGet) {
  TempFolder tree;
  const fs::path root = fs::canonical(tree.path());
  const auto write = [&](const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  };
  write(root / "devices/usb1/1-3/serial", "HUB");
  for (const auto& [name, usb, removable] :
       {std::tuple{"sdb", "1-2", "1"}, std::tuple{"sdc", "1-3/1-3.4", "0"}}) {
    const fs::path device = root / "devices/usb1" / usb;
    const fs::path disk = device / (device.filename().string() + ":1.0/host6/target6:0:0/6:0:0:0");
    write(device / "serial", "SN" + device.filename().string());
    write(disk / "vendor", "KSTRUNE ");
    write(disk / "model", "USB DISK 163    ");
    write(disk / "block" / name / "removable", removable);
    write(disk / "block" / name / "size", "256000");
    write(root / "dev" / name, "");
    fs::create_directory_symlink(disk, disk / "block" / name / "device");
    fs::create_directories(root / "block");
    fs::create_directory_symlink(disk / "block" / name, root / "block" / name);
  }
  fs::create_directories(root / "dev/disk/by-id");
  fs::create_symlink("../../sdc", root / "dev/disk/by-id/usb-stick");
  const std::string dev = (root / "dev").string();
  const auto list = [&](const std::vector<std::string>& drives) {
    ConsoleOptions options;
    for (const std::string& path : drives) options.drives.push_back({'E', path, false});
    std::istringstream in;
    std::ostringstream out;
    EXPECT_EQ(RunList(options, {in, out, out, false}, (root / "block").string(), dev), kExitDone);
    return std::regex_replace(out.str(), std::regex(" +"), " ");
  };
  const std::string head = "letter node size removable usb vendor model serial\n";
  const std::string sdb = dev + "/sdb 125.00MB yes 1-2 KSTRUNE USB DISK 163 SN1-2\n";
  const std::string sdc = dev + "/sdc 125.00MB no 1-3.4 KSTRUNE USB DISK 163 SN1-3.4\n";
  EXPECT_EQ(list({}), head + "C: " + sdb + "D: " + sdc);
  EXPECT_EQ(list({dev + "/disk/by-id/usb-stick"}), head + "- " + sdb + "E: " + sdc);
}

// No candidate at all is said in words, not shown as a table left empty.
TEST(ConsoleList, SaysSoWhenNoDiskMayBeAFlashDrive) {
  TempFolder tree;
  const fs::path block = fs::canonical(tree.path()) / "block";
  fs::create_directories(block);
  ConsoleOptions options;
  std::istringstream in;
  std::ostringstream out;
  EXPECT_EQ(RunList(options, {in, out, out, false}, block.string(), "/dev"), kExitNoDevice);
  EXPECT_EQ(out.str(), "No disk that may be a flash drive: " + block.string() +
                           " lists no removable or USB SCSI disk.\n");
}

// A drive that hangs, as one waiting out its command timeouts does: its
// open returns only once the other drive's repair has ended, and then
// finds nothing. Were the drives run one after another, or held at a
// common step, the other repair could not end first.
class HangingOpen : public device::VolumeOpener {
 public:
  explicit HangingOpen(fs::path file) : file_(std::move(file)) {}
  device::OpenResult Open(char letter) override {
    (void)letter;
    // A generous bound, so a runner that never lets the other drive
    // finish fails the test instead of hanging it.
    for (int i = 0; i < 6000 && !overtaken; ++i) {
      overtaken = fs::exists(file_);
      if (!overtaken) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nullptr;
  }
  bool NeedsPrivilege() const override { return false; }
  // The file appeared while this drive hung.
  bool overtaken = false;

 private:
  fs::path file_;
};

TEST_F(ConsoleAll, ADriveThatHangsHoldsUpNoOther) {
  std::string error;
  auto broken = sim::VirtualDrive::FromFile(fs::path(KESTRUNE_TEST_DRIVES) / "ctrl163_broken.json",
                                            &error, "");
  ASSERT_TRUE(broken) << error;
  sim::SimulatedVolumes simulated;
  simulated.Attach('F', *broken);
  // F's last file is written at the very end of its repair.
  HangingOpen gate(fs::path(cDrive()) / "F" / "ISP1_After.bin");
  device::VolumeMap volumes;
  volumes.Map('E', gate);
  volumes.Map('F', simulated);

  ConsoleOptions options;
  options.command = Command::kFix;
  options.all = true;
  options.yes = true;
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  const ConsoleStreams io{in, out, err, false};
  platform::PosixOptions host;
  host.cDriveFolder = cDrive();
  host.tempFolder = temp();
  RunEnd end(options, io);
  ConsoleFront front(end.terminal(), options, io);
  const session::RunRequest request = RequestOf(options, io);
  const session::RunSetup run{request, front, end, host, nullptr};
  RunResult r;
  r.code = session::RunAllDrives(
      {run, volumes, {{'E', "hanging", nullptr}, {'F', "broken", broken.get()}}});
  r.out = out.str();
  EXPECT_TRUE(gate.overtaken) << r.out << err.str();
  EXPECT_EQ(Row(r, 'F').rfind("F: broken success 2 4 ", 0), 0u) << Row(r, 'F');
  EXPECT_EQ(Row(r, 'E').rfind("E: - not found 0 0 ", 0), 0u) << Row(r, 'E');
  EXPECT_EQ(r.code, kExitFailure) << "a letter the run was given and found no drive on fails it";
}

// An interrupt during one drive's write waits for that write, ends the run
// with 130, and no drive is left half written: another drive either
// finished its write within the same wait or never began one.
TEST_F(ConsoleAll, AnInterruptEndsTheRunWithNoDriveHalfWritten) {
  AddDrive('E', "ctrl163_broken.json", {{{"opcode", "0xFE"}, {"nth", 1}, {"action", "interrupt"}}});
  AddDrive('F', "ctrl163_broken.json");
  std::vector<std::string> argv{KESTRUNE_CONSOLE_PROGRAM, "--c-drive", cDrive(), "--temp", temp()};
  argv.insert(argv.end(), driveArguments.begin(), driveArguments.end());
  const std::string trace = folder.str() + "/trace.txt";
  for (const std::string& word : {std::string("--trace"), trace, std::string("--all"),
                                  std::string("--yes"), std::string("fix")}) {
    argv.push_back(word);
  }
  const testing::ChildRun run = testing::RunChild(argv);
  ASSERT_TRUE(run.exited && run.code == kExitInterrupted) << run.Describe();
  const RunResult summary{run.code, run.out, run.err};
  // E's write was held and verified: repaired, with no After backup.
  EXPECT_EQ(Row(summary, 'E').rfind("E: broken repaired, pull it now 2 2 ", 0), 0u)
      << Row(summary, 'E');
  // F is interrupted when the interrupt came to its work, as a run of F
  // alone would be (repaired, when its write had verified); one whose work
  // it cut short lacks its last After backup.
  const bool fSucceeded = Row(summary, 'F').rfind("F: broken success ", 0) == 0;
  EXPECT_TRUE(fSucceeded || Row(summary, 'F').rfind("F: broken interrupted ", 0) == 0 ||
              Row(summary, 'F').rfind("F: broken repaired, pull it now 2 ", 0) == 0)
      << Row(summary, 'F');
  EXPECT_TRUE(!fSucceeded || Backup('F', "ISP1_After.bin")) << Row(summary, 'F');

  // F either wrote within the same wait, and is whole, or erased nothing.
  std::ifstream traced(trace);
  bool fErased = false;
  for (std::string line; std::getline(traced, line);) fErased |= line.rfind("F: fe ", 0) == 0;
  for (const char letter : {'E', 'F'}) {
    const std::string drive = folder.str() + "/" + letter + ".json";
    const testing::ChildRun scan =
        testing::RunChild({KESTRUNE_CONSOLE_PROGRAM, "--drive", "E=" + drive, "--c-drive", cDrive(),
                           "--temp", temp(), "scan"});
    const bool whole = scan.FirstLine() == "[Check ISP] ISP is OK!";
    EXPECT_TRUE(whole || (letter == 'F' && !fErased))
        << letter << ": " << Row(summary, letter) << "\n"
        << scan.Describe();
  }
}

// Outside a write an interrupt ends the run at once, yet the summary still
// tells every drive, each with the state it reached.
TEST_F(ConsoleAll, AnInterruptOutsideAWriteEndsTheRunWithTheSummary) {
  AddDrive('E', "ctrl163_broken.json", {{{"opcode", "0xF8"}, {"nth", 1}, {"action", "interrupt"}}});
  AddDrive('F', "ctrl165_broken.json");
  std::vector<std::string> argv{KESTRUNE_CONSOLE_PROGRAM, "--c-drive", cDrive(), "--temp", temp()};
  argv.insert(argv.end(), driveArguments.begin(), driveArguments.end());
  for (const char* word : {"--all", "--json", "backup"}) argv.emplace_back(word);
  const testing::ChildRun run = testing::RunChild(argv);
  ASSERT_TRUE(run.exited && run.code == kExitInterrupted) << run.Describe();
  nlohmann::json document;
  ASSERT_NO_THROW(document = nlohmann::json::parse(run.out)) << run.out;
  EXPECT_EQ(document["outcome"], "interrupted");
  ASSERT_EQ(document["drives"].size(), 2u);
  EXPECT_EQ(document["drives"][0]["outcome"], "interrupted");
  const std::string f = document["drives"][1]["outcome"];
  EXPECT_TRUE(f == "success" || f == "interrupted") << f;
}

// Eight drives stand at the first read of their After backups, their
// writes verified, when Ctrl-C comes: the run ends at once, says so once,
// and the summary tells each drive as repaired and to be pulled now, with
// its two Before backups and no After backup left behind.
TEST_F(ConsoleAll, AnInterruptInTheAfterBackupsLeavesEveryDriveRepaired) {
  // Where the first After backup's first read falls, counted on a run
  // without faults.
  const std::string dry = CopyDrive("ctrl163_broken.json", "dry.json").string();
  const std::string trace = folder.str() + "/dry-trace.txt";
  ASSERT_EQ(Run({"--drive", "E=" + dry, "--trace", trace, "--all", "--yes", "fix"}).code,
            kExitDone);
  std::ostringstream text;
  text << std::ifstream(trace).rdbuf();
  const std::vector<std::string> traced = Lines(text.str());
  size_t lastWrite = 0;
  for (size_t i = 0; i < traced.size(); ++i) {
    if (traced[i].rfind("E: fa ", 0) == 0) lastWrite = i;
  }
  int reads = 0;
  int firstAfter = -1;
  for (size_t i = 0; i < traced.size() && firstAfter < 0; ++i) {
    if (traced[i].rfind("E: f8 ", 0) != 0) continue;
    ++reads;
    if (i > lastWrite && traced[i].find("| in 49152 |") != std::string::npos) firstAfter = reads;
  }
  ASSERT_GT(firstAfter, 0) << "the dry run made no After backup";
  fs::remove_all(fs::path(cDrive()) / "E");
  std::vector<std::string> paused;
  const std::string letters = "DEFGHIJK";
  for (const char letter : letters) {
    const std::string drive =
        AddDrive(letter, "ctrl163_broken.json",
                 {{{"opcode", "0xF8"}, {"nth", firstAfter}, {"action", "pause"}}});
    paused.push_back(sim::FlashPathFor(drive) + ".paused");
  }
  std::vector<std::string> argv{KESTRUNE_CONSOLE_PROGRAM, "--c-drive", cDrive(), "--temp", temp()};
  argv.insert(argv.end(), driveArguments.begin(), driveArguments.end());
  for (const char* word : {"--all", "--yes", "fix"}) argv.emplace_back(word);
  bool allPaused = false;
  const testing::ChildRun run = testing::RunChild(argv, std::chrono::seconds(120), [&](int pid) {
    // A bound only for a run that never gets there.
    for (int i = 0; i < 6000 && !allPaused; ++i) {
      allPaused = std::all_of(paused.begin(), paused.end(),
                              [](const std::string& file) { return fs::exists(file); });
      if (!allPaused) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGINT);
  });
  ASSERT_TRUE(allPaused) << run.Describe();
  ASSERT_TRUE(run.exited && run.code == kExitInterrupted) << run.Describe();
  const size_t said = run.err.find(kInterruptStopNotice);
  EXPECT_NE(said, std::string::npos) << run.err;
  EXPECT_EQ(run.err.find(kInterruptStopNotice, said + 1), std::string::npos) << "said twice";
  const RunResult summary{run.code, run.out, run.err};
  for (const char letter : letters) {
    EXPECT_EQ(Row(summary, letter)
                  .rfind(std::string(1, letter) + ": broken repaired, pull it now 2 2 ", 0),
              0u)
        << Row(summary, letter);
    EXPECT_TRUE(Backup(letter, "ISP1_Before.bin")) << letter;
    EXPECT_FALSE(fs::exists(fs::path(cDrive()) / std::string(1, letter) / "ISP0_After.bin"))
        << letter;
    for (const auto& entry : fs::directory_iterator(fs::path(cDrive()) / std::string(1, letter))) {
      EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
    }
  }
}

}  // namespace
}  // namespace kestrune::console
