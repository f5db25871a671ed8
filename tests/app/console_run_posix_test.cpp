// The console over the POSIX platform, whose C: and temporary folders the
// options place; the Windows host has real ones.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "images/images.h"
#include "operations/backup_files.h"
#include "operations/backup_records.h"
#include "operations/isp_areas.h"
#include "operations/messages.h"
#include "platform/platform.h"
#include "resources/image_list.h"
#include "simulator/virtual_drive.h"
#include "tests/support/child_process.h"
#include "tests/support/console_harness.h"
#include "tests/support/console_runner.h"
#include "tests/support/device_temp_folder.h"
#include "tests/support/scoped_env.h"

namespace kestrune::console {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

struct RunResult : testing::ConsoleResult {
  std::vector<std::string> OutLines() const {
    std::vector<std::string> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
  }
  bool Said(const std::string& line) const {
    for (const std::string& l : OutLines()) {
      if (l == line) return true;
    }
    return false;
  }
};

constexpr const char* kBroken = "[Check ISP] ISP was borken!";
constexpr const char* kHealthy = "[Check ISP] ISP is OK!";
constexpr const char* kConfirm = "[Update ISP Warning] Are you sure to update new ISP code ?";
constexpr const char* kFixed =
    "[SUCCESS] Update ISP code Success, please replug device to ensure it normal.";
constexpr const char* kDestroyed = "[Success] Destory ISP Success";
constexpr const char* kDestroyConfirm =
    "[Destroy ISP Warning] Are you sure to destroy the ISP code ?";

class ConsoleRun : public testing::ConsoleHarness {
 protected:
  std::string cDrive() const { return CFolder().string(); }
  std::string temp() const { return WorkFolder().string(); }

  // A copy of a ready-made virtual drive, so its flash file lands here.
  std::string CopyDrive(const std::string& name) {
    return ConsoleHarness::CopyDrive(name, name).string();
  }

  // Runs the console in-process on the folders of this test.
  RunResult Run(std::vector<std::string> arguments, const std::string& input = "",
                bool terminal = false) {
    return {RunHere(arguments, input, {.input = terminal})};
  }

  bool Backup(const std::string& name) const {
    const fs::path path = folder.path() / "c" / name;
    return fs::exists(path) && fs::file_size(path) == 49152;
  }
};

TEST_F(ConsoleRun, ScanShowsTheVerdictAndTheList) {
  const std::string drive = CopyDrive("ctrl163_broken.json");
  const RunResult r = Run({"--drive", "E=" + drive, "scan"});
  EXPECT_EQ(r.code, kExitDone) << r.err;
  ASSERT_EQ(r.OutLines().size(), 3u) << r.out;
  EXPECT_EQ(r.OutLines()[0], kBroken);
  EXPECT_EQ(r.OutLines()[1], "* 0 Drive Volume [E]: 125.00MB KSTRUNE USB DISK 163");
  EXPECT_EQ(r.OutLines()[2], "Drive E: " + drive +
                                 ", port unknown, serial KST163BROKEN, controller 0x163, flash "
                                 "ID ECD3519558");
}

TEST_F(ConsoleRun, FixWithoutAnswerIsCancelledAndWritesNothing) {
  const std::string drive = CopyDrive("ctrl163_broken.json");
  const RunResult r = Run({"--drive", "E=" + drive, "fix"});
  EXPECT_EQ(r.code, kExitCancelled);
  EXPECT_TRUE(r.Said(kConfirm));
  EXPECT_FALSE(r.Said(kFixed));
  EXPECT_FALSE(Backup("ISP0_Before.bin"));
  EXPECT_EQ(Run({"--drive", "E=" + drive, "scan"}).OutLines().at(0), kBroken);
}

TEST_F(ConsoleRun, FixOnTheTerminalAsks) {
  const std::string drive = CopyDrive("ctrl163_broken.json");
  EXPECT_EQ(Run({"--drive", "E=" + drive, "fix"}, "c\n", true).code, kExitCancelled);
  EXPECT_FALSE(Backup("ISP0_Before.bin"));
  const RunResult r = Run({"--drive", "E=" + drive, "fix"}, "ok\n", true);
  EXPECT_EQ(r.code, kExitDone) << r.out << r.err;
  EXPECT_TRUE(r.Said(kFixed));
}

TEST_F(ConsoleRun, FixWithYesRepairsAndTheNextScanSaysSo) {
  const std::string drive = CopyDrive("ctrl163_broken.json");
  const RunResult fix = Run({"--drive", "E=" + drive, "--yes", "fix"});
  EXPECT_EQ(fix.code, kExitDone) << fix.out << fix.err;
  EXPECT_TRUE(fix.Said(kConfirm));
  EXPECT_TRUE(fix.Said(kFixed));
  EXPECT_TRUE(Backup("ISP0_Before.bin"));
  EXPECT_TRUE(Backup("ISP0_After.bin"));
  // Progress lines go to stderr, never among the boxes.
  EXPECT_NE(fix.err.find("Backup C:\\ISP0_Before.bin"), std::string::npos);
  EXPECT_EQ(fix.out.find("Backup"), std::string::npos);

  const RunResult scan = Run({"--drive", "E=" + drive, "scan"});
  EXPECT_EQ(scan.code, kExitDone);
  EXPECT_EQ(scan.OutLines().at(0), kHealthy);
}

TEST_F(ConsoleRun, DestroyAsksThenBreaksAHealthyDrive) {
  const std::string drive = CopyDrive("ctrl163_healthy.json");
  // Nothing is written unasked: without a terminal and --yes the answer is Cancel.
  const RunResult unasked = Run({"--drive", "E=" + drive, "destroy"});
  EXPECT_EQ(unasked.code, kExitCancelled) << unasked.out << unasked.err;
  EXPECT_TRUE(unasked.Said(kDestroyConfirm));
  EXPECT_FALSE(unasked.Said(kDestroyed));
  EXPECT_EQ(Run({"--drive", "E=" + drive, "scan"}).OutLines().at(0), kHealthy);

  const RunResult destroy = Run({"--drive", "E=" + drive, "--yes", "destroy"});
  EXPECT_EQ(destroy.code, kExitDone) << destroy.out << destroy.err;
  EXPECT_EQ(destroy.OutLines().at(0), kHealthy);
  EXPECT_TRUE(destroy.Said(kDestroyConfirm));
  EXPECT_TRUE(destroy.Said(kDestroyed));
  EXPECT_EQ(Run({"--drive", "E=" + drive, "scan"}).OutLines().at(0), kBroken);
}

TEST_F(ConsoleRun, JsonScanPutsOnlyTheTableOnStdout) {
  const std::string drive = CopyDrive("ctrl163_broken.json");
  const RunResult r = Run({"--drive", "E=" + drive, "--json", "scan"});
  EXPECT_EQ(r.code, kExitDone);
  nlohmann::json table;
  ASSERT_NO_THROW(table = nlohmann::json::parse(r.out)) << r.out;
  ASSERT_EQ(table["drives"].size(), 1u);
  EXPECT_EQ(table["drives"][0]["letter"], "E");
  EXPECT_EQ(table["drives"][0]["controllerId"], "0x163");
  EXPECT_EQ(table["drives"][0]["line"], "[E]: 125.00MB KSTRUNE USB DISK 163");
  EXPECT_EQ(table["ispHealthy"], false);
  EXPECT_EQ(table["drives"][0]["cis"].size(), 2u);
  EXPECT_NE(r.err.find(kBroken), std::string::npos);
}

TEST_F(ConsoleRun, NoIdentifiableDrive) {
  const fs::path path = folder.path() / "unknown.json";
  std::ofstream(path) << R"({"controller": "0x163", "inquiryText": "NOTHING KNOWN 12"})";
  const RunResult r = Run({"--drive", "E=" + path.string(), "--json", "scan"});
  EXPECT_EQ(r.code, kExitNoDevice) << r.err;
  EXPECT_NE(r.err.find("[Kestrune] Can't find any device !"), std::string::npos);
  // Even then stdout holds a table, an empty one.
  EXPECT_EQ(nlohmann::json::parse(r.out)["drives"].size(), 0u);
}

TEST_F(ConsoleRun, DeviceNodeNeedsTheRights) {
  // A node that cannot be opened: the privilege question is asked first,
  // and only an administrator gets as far as the empty scan.
  const bool administrator = platform::CreateHostPlatform()->IsAdministrator();
  const RunResult r = Run({"--drive", "E=" + (folder.path() / "no-such-node").string(), "scan"});
  if (administrator) {
    EXPECT_EQ(r.code, kExitNoDevice);
    EXPECT_TRUE(r.Said("[Kestrune] Can't find any device !"));
  } else {
    EXPECT_EQ(r.code, kExitNotAdministrator);
    EXPECT_TRUE(r.Said("[ERROR] Is Not the Administrator ! "));
  }
}

TEST_F(ConsoleRun, UsageErrorsDoNothing) {
  const std::string drive = CopyDrive("ctrl163_healthy.json");
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--drive", "E=" + drive, "-d"},
        std::vector<std::string>{"--drive", "E=" + drive, "--select", "1", "destroy"},
        std::vector<std::string>{"--drive", "E=" + (folder.path() / "missing.json").string()}}) {
    const RunResult r = Run(arguments);
    EXPECT_EQ(r.code, kExitUsage) << arguments.back();
    EXPECT_FALSE(r.Said(kDestroyed));
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_EQ(Run({"--drive", "E=" + drive, "scan"}).OutLines().at(0), kHealthy);

  // Two drives named, one listed: the message says why, and names --all.
  const std::string second = CopyDrive("ctrl161_healthy.json");
  const RunResult r =
      Run({"--drive", "E=" + drive, "--drive", "F=" + second, "--select", "1", "scan"});
  EXPECT_EQ(r.code, kExitUsage);
  EXPECT_NE(r.err.find("there is no drive-list entry 1 (the list holds 1); the scan lists the "
                       "drives up to the first one it identifies"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("with --all"), std::string::npos) << r.err;
}

// A C: folder the backups cannot go to: the fix ends before the drive is
// touched, says why, and exits 1.
struct UnusableCDrive {
  const char* name;
  bool plainFile;  // else a folder that does not exist
  const char* cause;
};

class ConsoleCDrive : public ConsoleRun, public ::testing::WithParamInterface<UnusableCDrive> {};

TEST_P(ConsoleCDrive, StopsTheFixBeforeTheDrive) {
  const std::string drive = CopyDrive("ctrl163_broken.json");
  const fs::path cDrive = folder.path() / "c-unusable";
  if (GetParam().plainFile) std::ofstream(cDrive) << "x";
  const testing::ConsoleResult r = testing::RunConsoleWith(
      {"--c-drive", cDrive.string(), "--temp", temp(), "--drive", "E=" + drive, "--yes", "fix"});
  EXPECT_EQ(r.code, kExitFailure) << r.out;
  EXPECT_NE(r.out.find(std::string("[Fail] The file <C:\\ISP0_Before.bin> cannot be opened, "
                                   "please check.\n") +
                       GetParam().cause +
                       "\nThe update was stopped before anything was written to the drive.\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("SUCCESS"), std::string::npos);
  EXPECT_NE(r.err.find("... failed: Backup C:\\ISP0_Before.bin"), std::string::npos);
  EXPECT_EQ(Run({"--drive", "E=" + drive, "scan"}).OutLines().at(0), kBroken);
}

INSTANTIATE_TEST_SUITE_P(Folders, ConsoleCDrive,
                         ::testing::Values(UnusableCDrive{"PlainFile", true, "Not a directory"},
                                           UnusableCDrive{"MissingFolder", false,
                                                          "No such file or directory"}),
                         [](const auto& info) { return std::string(info.param.name); });

// What a technician does with the two commands: keep the ISP, repair, and
// bring the ISP the drive had back; every file named where it really is.
TEST_F(ConsoleRun, BackupFixAndRestoreTheOriginalIsp) {
  const std::string drive = CopyDrive("ctrl163_broken.json");
  std::ofstream(fs::path(cDrive()) / "ISP.log");
  const std::string real = fs::canonical(cDrive()).string();

  const RunResult backup = Run({"--drive", "E=" + drive, "backup"});
  EXPECT_EQ(backup.code, kExitDone) << backup.out << backup.err;
  EXPECT_NE(backup.err.find("C:\\ISP1_Backup.bin -> " + real + "/ISP1_Backup.bin\n"),
            std::string::npos)
      << backup.err;
  EXPECT_NE(backup.err.find("c:\\ISP.log -> " + real + "/ISP.log\n"), std::string::npos);

  const RunResult fix = Run({"--drive", "E=" + drive, "--yes", "fix"});
  EXPECT_EQ(fix.code, kExitDone) << fix.out;
  EXPECT_NE(fix.err.find("C:\\ISP0_Before.bin -> " + real + "/ISP0_Before.bin\n"),
            std::string::npos);
  EXPECT_NE(fix.err.find("C:\\ISP1_After.bin -> " + real + "/ISP1_After.bin\n"), std::string::npos);

  const std::vector<std::string> from{"--from", real + "/ISP0_Backup.bin", "--from",
                                      real + "/ISP1_Backup.bin"};
  std::vector<std::string> restore{"--drive", "E=" + drive, "restore"};
  restore.insert(restore.end(), from.begin(), from.end());
  EXPECT_EQ(Run(restore).code, kExitCancelled);
  EXPECT_EQ(Run({"--drive", "E=" + drive, "scan"}).OutLines().at(0), kHealthy);

  restore.push_back("--yes");
  const RunResult restored = Run(restore);
  EXPECT_EQ(restored.code, kExitDone) << restored.out << restored.err;
  EXPECT_TRUE(restored.Said(
      "[SUCCESS] Restore ISP code Success, please replug device to ensure it normal."));
  EXPECT_EQ(Run({"--drive", "E=" + drive, "scan"}).OutLines().at(0), kBroken);
}

// --- 0x190: asked like every controller, and never without a way back ---

std::vector<uint8_t> FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct Fix190Case {
  const char* name;
  std::vector<std::string> answer;  // before "fix"
  bool terminal;
  std::string input;
  int code;
};

class ConsoleFix190 : public ConsoleRun, public ::testing::WithParamInterface<Fix190Case> {};

TEST_P(ConsoleFix190, AsksThenKeepsBothAreasBeforeTheFirstErase) {
  const Fix190Case& c = GetParam();
  const std::string drive = CopyDrive("ctrl190_broken.json");
  std::vector<std::string> fix{"--drive", "E=" + drive};
  fix.insert(fix.end(), c.answer.begin(), c.answer.end());
  fix.push_back("fix");
  const RunResult r = Run(fix, c.input, c.terminal);
  EXPECT_EQ(r.code, c.code) << r.out << r.err;
  EXPECT_TRUE(r.Said(kConfirm)) << r.out;
  if (c.code != kExitDone) {
    EXPECT_TRUE(fs::is_empty(cDrive())) << "a cancelled fix wrote a file";
    EXPECT_EQ(Run({"--drive", "E=" + drive, "scan"}).OutLines().at(0), kBroken);
    return;
  }
  const fs::path c_ = cDrive();
  for (const char* copy : {"ISP0", "ISP1"}) {
    const std::string n(copy);
    EXPECT_EQ(fs::file_size(c_ / (n + "_Before.bin")), kIspPayloadBytes) << n;
    EXPECT_EQ(fs::file_size(c_ / (n + "_AuxBefore.bin")), kAuxAreaBytes) << n;
    EXPECT_NE(FileBytes(c_ / (n + "_Before.bin")), FileBytes(c_ / (n + "_After.bin"))) << n;
  }
  EXPECT_EQ(Run({"--drive", "E=" + drive, "scan"}).OutLines().at(0), kHealthy);

  // The Before files take the drive back to the code it had, both areas;
  // the restore's own Before and After saves moved the fix's aside.
  const RunResult restored = Run({"--drive", "E=" + drive, "--yes", "restore"});
  EXPECT_EQ(restored.code, kExitDone) << restored.out << restored.err;
  EXPECT_EQ(Run({"--drive", "E=" + drive, "backup"}).code, kExitDone);
  for (const char* copy : {"ISP0", "ISP1"}) {
    const std::string n(copy);
    EXPECT_EQ(FileBytes(c_ / (n + "_Backup.bin")), FileBytes(c_ / (n + "_Before.1.bin"))) << n;
    EXPECT_EQ(FileBytes(c_ / (n + "_Aux.bin")), FileBytes(c_ / (n + "_AuxBefore.1.bin"))) << n;
    EXPECT_EQ(FileBytes(c_ / (n + "_Before.bin")), FileBytes(c_ / (n + "_After.1.bin"))) << n;
    EXPECT_EQ(FileBytes(c_ / (n + "_After.bin")), FileBytes(c_ / (n + "_Before.1.bin"))) << n;
  }
  EXPECT_EQ(Run({"--drive", "E=" + drive, "scan"}).OutLines().at(0), kBroken);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ConsoleFix190,
    ::testing::Values(Fix190Case{"NoTerminalNoYes", {}, false, "", kExitCancelled},
                      Fix190Case{"CancelOnTheTerminal", {}, true, "c\n", kExitCancelled},
                      Fix190Case{"Yes", {"--yes"}, false, "", kExitDone}),
    [](const auto& info) { return std::string(info.param.name); });

// --- restore after --all, and the real paths boxes name ---

// A restore finds the backups --all kept in the drive's letter folder, and
// of two folders that both hold this drive's backups takes the one saved
// last; a refusal names the records it read where they really are.
constexpr const char* kRestored =
    "[SUCCESS] Restore ISP code Success, please replug device to ensure it normal.";

struct LetterFolderCase {
  const char* name;
  std::vector<std::string> fixes;  // "fix" or "all", one after another
  int code;
  const char* said;     // a line of the restore's output
  const char* verdict;  // the scan's box after the restore
};

class RestoreLetterFolder : public ConsoleRun,
                            public ::testing::WithParamInterface<LetterFolderCase> {};

TEST_P(RestoreLetterFolder, FindsTheBackupsWhereAllKeptThem) {
  const LetterFolderCase& c = GetParam();
  const std::string drive = CopyDrive("ctrl163_broken.json");
  for (size_t i = 0; i < c.fixes.size(); ++i) {
    std::vector<std::string> fix{"--drive", "E=" + drive, "--yes", "fix"};
    if (c.fixes[i] == "all") fix.push_back("--all");
    const RunResult r = Run(fix);
    ASSERT_EQ(r.code, kExitDone) << r.out << r.err;
  }
  const RunResult r = Run({"--drive", "E=" + drive, "--yes", "restore"});
  EXPECT_EQ(r.code, c.code) << r.out << r.err;
  std::string said = c.said;
  for (size_t at; (at = said.find('@')) != std::string::npos;) said.replace(at, 1, cDrive());
  EXPECT_TRUE(r.Said(said)) << said << "\n" << r.out;
  EXPECT_TRUE(Run({"--drive", "E=" + drive, "scan"}).Said(c.verdict));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, RestoreLetterFolder,
    ::testing::Values(
        LetterFolderCase{"AfterAll", {"all"}, kExitDone, kRestored, kBroken},
        // The Before backups of the second fix hold the code the first wrote.
        LetterFolderCase{"TheLetterFolderIsNewer", {"fix", "all"}, kExitDone, kRestored, kHealthy},
        LetterFolderCase{"TheRootIsNewer", {"all", "fix"}, kExitDone, kRestored, kHealthy},
        LetterFolderCase{"NothingRecorded",
                         {},
                         kExitFailure,
                         "[Fail] No save of this drive (controller 0x163 rev 2, flash EC D3 51 95 "
                         "58, page size 2048, USB serial KST163BROKEN) made before a change is "
                         "recorded in the C: folder. Nothing was written. A file of another "
                         "drive, or of unknown origin, is written only when named with --from, "
                         "with --donor.",
                         kBroken}),
    [](const auto& info) { return std::string(info.param.name); });

// A stick that took another letter since --all kept its saves: the
// restore's question names the save under the letter folder it is in, and
// the line below says where that is on the host.
TEST_F(ConsoleRun, AnAllRestoreNamesASaveOfAnotherLetterWhereItIs) {
  const std::string drive = CopyDrive("ctrl163_broken.json");
  ASSERT_EQ(Run({"--drive", "E=" + drive, "--yes", "--all", "fix"}).code, kExitDone);
  const RunResult r = Run({"--drive", "F=" + drive, "--yes", "--all", "restore"});
  EXPECT_EQ(r.code, kExitDone) << r.out << r.err;
  EXPECT_TRUE(r.Said("F:   C:\\E\\ISP0_Before.bin is " + cDrive() + "/E/ISP0_Before.bin")) << r.out;
  EXPECT_EQ(r.out.find("is missing"), std::string::npos) << r.out;
}

// --all restore asks its one question once every stick has chosen its
// save, each named; two sticks of one batch, which would take one save,
// are refused before any write.
struct AllRestoreCase {
  const char* name;
  const char* second;  // the drive at F:; E: is a broken 0x163
  int code;
};

class AllRestore : public ConsoleRun, public ::testing::WithParamInterface<AllRestoreCase> {};

TEST_P(AllRestore, AsksOnceNamingEachSave) {
  const AllRestoreCase& c = GetParam();
  const std::string e = CopyDrive("ctrl163_broken.json");
  const std::string f = ConsoleHarness::CopyDrive(c.second, "second.json").string();
  // One after the other, alone: their saves are kept in C: at two times.
  for (const std::string& drive : {e, f}) {
    ASSERT_EQ(Run({"--drive", "E=" + drive, "--yes", "fix"}).code, kExitDone);
  }
  const RunResult r = Run({"--drive", "E=" + e, "--drive", "F=" + f, "--yes", "--all", "restore"});
  EXPECT_EQ(r.code, c.code) << r.out << r.err;
  const std::vector<std::string> lines = r.OutLines();
  const auto at = [&lines](const std::string& start) {
    return std::find_if(lines.begin(), lines.end(),
                        [&start](const std::string& l) { return l.starts_with(start); }) -
           lines.begin();
  };
  const auto listed = at("  E: " + e + ": save ");
  ASSERT_LT(listed, static_cast<long>(lines.size())) << r.out;
  EXPECT_LT(at("  F: " + f + ": save "), static_cast<long>(lines.size())) << r.out;
  EXPECT_EQ(at("Drives to restore, each from its own save:"), listed - 1) << r.out;
  if (c.code == kExitDone) {
    EXPECT_LT(listed, at("E: [Restore ISP Warning] Restore writes save ")) << r.out;
    EXPECT_LT(at("E: [SUCCESS] "), static_cast<long>(lines.size())) << r.out;
  } else {
    EXPECT_LT(at("[Fail] E: and F: would both take save "), static_cast<long>(lines.size()))
        << r.out;
    EXPECT_EQ(r.out.find("Write ISP"), std::string::npos) << r.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sticks, AllRestore,
    ::testing::Values(AllRestoreCase{"TwoSticks", "ctrl165_broken.json", kExitDone},
                      AllRestoreCase{"OneBatch", "ctrl163_broken.json", kExitFailure}),
    [](const auto& info) { return std::string(info.param.name); });

// Two sticks of one batch fixed by one --all: a later restore of either
// takes neither's save by default, names both with their letters, and
// --save writes the one named.
TEST_F(ConsoleRun, ARunThatSawTwoLookAlikesLeavesNoDefaultSave) {
  const std::string e = CopyDrive("ctrl163_broken.json");
  const std::string f = ConsoleHarness::CopyDrive("ctrl163_broken.json", "twin.json").string();
  ASSERT_EQ(Run({"--drive", "E=" + e, "--drive", "F=" + f, "--yes", "--all", "fix"}).code,
            kExitDone);

  const RunResult refused = Run({"--drive", "E=" + e, "--yes", "restore"});
  EXPECT_EQ(refused.code, kExitFailure) << refused.out;
  EXPECT_NE(refused.out.find("\n[Fail] Saves of this drive's identity ("), std::string::npos)
      << refused.out;
  EXPECT_EQ(refused.out.find("Write ISP"), std::string::npos) << refused.out;
  std::string own;
  int named = 0;
  for (const std::string& line : refused.OutLines()) {
    if (!line.starts_with("  save ")) continue;
    ++named;
    if (line.ends_with(", E:)")) own = line.substr(7, line.find(' ', 7) - 7);
  }
  EXPECT_EQ(named, 2) << refused.out;
  ASSERT_FALSE(own.empty()) << refused.out;
  EXPECT_TRUE(Run({"--drive", "E=" + e, "scan"}).Said(kHealthy));

  EXPECT_EQ(Run({"--drive", "E=" + e, "--yes", "--save", own, "restore"}).code, kExitDone);
  EXPECT_TRUE(Run({"--drive", "E=" + e, "scan"}).Said(kBroken));
}

// A "Fail" box about a file names the program's path and, below it, the
// host's, saying when the folder it should be in is missing; the document
// gives the box the same file.
struct HostPathCase {
  const char* name;
  const char* cDrive;   // inside the test's folder
  const char* blocker;  // a folder made under the backup's name; "" for none
  const char* said;     // @ is the test's folder
  const char* file;     // the file the box names, and where it is: "<name> is <path>"
};

class BoxHostPath : public ConsoleRun, public ::testing::WithParamInterface<HostPathCase> {};

TEST_P(BoxHostPath, FollowsTheBoxThatNamesAFile) {
  const HostPathCase& c = GetParam();
  const std::string drive = CopyDrive("ctrl163_broken.json");
  const fs::path folderOfC = folder.path() / c.cDrive;
  if (*c.blocker != '\0') fs::create_directories(folderOfC / c.blocker);
  const RunResult r{testing::RunConsoleWith(
      {"--c-drive", folderOfC.string(), "--temp", temp(), "--drive", "E=" + drive, "backup"})};
  EXPECT_EQ(r.code, kExitFailure) << r.out << r.err;
  std::string said = c.said;
  for (size_t at; (at = said.find('@')) != std::string::npos;) {
    said.replace(at, 1, folder.path().string());
  }
  EXPECT_TRUE(r.Said(said)) << said << "\n" << r.out;

  const RunResult json{testing::RunConsoleWith({"--json", "--c-drive", folderOfC.string(), "--temp",
                                                temp(), "--drive", "E=" + drive, "backup"})};
  const nlohmann::json document = nlohmann::json::parse(json.out);
  std::vector<std::string> named;
  for (const nlohmann::json& message : document["messages"]) {
    for (const nlohmann::json& file : message.value("files", nlohmann::json::array())) {
      named.push_back(file["name"].get<std::string>() + " is " + file["path"].get<std::string>());
    }
  }
  std::string file = c.file;
  for (size_t at; (at = file.find('@')) != std::string::npos;) {
    file.replace(at, 1, folder.path().string());
  }
  EXPECT_NE(std::find(named.begin(), named.end(), file), named.end()) << file << "\n" << json.out;
}

INSTANTIATE_TEST_SUITE_P(
    Folders, BoxHostPath,
    ::testing::Values(
        HostPathCase{"FolderMissing", "gone", "",
                     "  C:\\ISP0_Backup.bin is @/gone/ISP0_Backup.bin; its folder @/gone is "
                     "missing",
                     "C:\\ISP0_Backup.bin is @/gone/ISP0_Backup.bin"},
        // The folder named is the one that holds the file, however deep.
        HostPathCase{"InnerFolderMissing", "c/gone", "",
                     "  C:\\ISP1_Backup.bin is @/c/gone/ISP1_Backup.bin; its folder @/c/gone is "
                     "missing",
                     "C:\\ISP1_Backup.bin is @/c/gone/ISP1_Backup.bin"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- restore from a folder that served many sticks ---

// A stick made from a ready-made drive: its own serial and, when given,
// its own ISP content, so that whose code a drive holds can be told.
struct StickSpec {
  const char* name;
  const char* ready;
  const char* serial;
  const char* content;  // "" keeps the ready-made drive's
  // When given, the vendor text its CIS pages hold: a stick of the same
  // batch and serial, but with flash of its own.
  const char* cisVendor = nullptr;
};

struct SharedFolderCase {
  const char* name;
  std::vector<StickSpec> sticks;   // the first is the drive restored
  std::vector<std::string> fixes;  // fixed in this order before the restore, by name
  // The stick whose first read of copy 1's ISP area fails when it is fixed.
  const char* backupFailsOnCopy1;
  std::vector<std::string> restore;  // after --drive E=<first stick>
  int code;
  std::string said;  // a line of the output, or part of one
  // Whose original ISP the restored drive holds at the end: "" for the ISP
  // it held before the restore.
  const char* holds;
};

class SharedFolder : public ConsoleRun, public ::testing::WithParamInterface<SharedFolderCase> {
 protected:
  std::string MakeStick(const StickSpec& stick) {
    std::ifstream in(fs::path(KESTRUNE_TEST_DRIVES) / stick.ready);
    nlohmann::json d = nlohmann::json::parse(in);
    d["usbSerial"] = stick.serial;
    if (*stick.content != '\0') d["isp"]["content"] = stick.content;
    if (stick.cisVendor != nullptr) d["codeMarks"]["vendor"] = stick.cisVendor;
    const fs::path path = folder.path() / (std::string(stick.name) + ".json");
    std::ofstream(path) << d.dump(2);
    return path.string();
  }
  // The code of every ISP area the drive's flash holds now.
  static std::vector<std::vector<uint8_t>> IspCode(const std::string& drive) {
    std::string error;
    const auto d = sim::VirtualDrive::FromFile(drive, &error);
    if (!d) throw std::runtime_error(error);
    const uint32_t step = std::min<uint32_t>(d->PageSize(), 4096);
    std::vector<std::vector<uint8_t>> areas;
    for (uint32_t page : d->IspAreaPages()) {
      std::vector<uint8_t> code;
      while (code.size() < kIspPayloadBytes) {
        const std::vector<uint8_t> raw = d->ReadRawPage(page++);
        code.insert(code.end(), raw.begin(), raw.begin() + step);
      }
      areas.push_back(std::move(code));
    }
    return areas;
  }
  // Makes every read of copy 1's ISP area in a fix of `drive` fail, counted
  // on a dry run of the same fix: the first, and each read that tries again.
  void FailCopy1Backup(const std::string& drive) {
    const std::string dry = (folder.path() / "dry.json").string();
    fs::copy_file(drive, dry);
    const std::string trace = (folder.path() / "dry-trace.txt").string();
    const TempFolder elsewhere;
    testing::RunConsoleWith({"--c-drive", elsewhere.path().string(), "--temp", temp(), "--drive",
                             "E=" + dry, "--trace", trace, "--yes", "fix"});
    std::ifstream lines(trace);
    int reads = 0;
    int areaReads = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("E: f8 ", 0) != 0) continue;
      ++reads;
      if (line.find("| in 49152 |") != std::string::npos && ++areaReads == 3) break;
    }
    ASSERT_EQ(areaReads, 3) << "the dry run saved no backup of copy 1";
    std::ifstream in(drive);
    nlohmann::json d = nlohmann::json::parse(in);
    d["faults"] = nlohmann::json::array();
    for (int k = 0; k < kAreaReadAttempts; ++k) {
      d["faults"].push_back({{"opcode", "0xF8"}, {"nth", reads + k}});
    }
    std::ofstream(drive, std::ios::trunc) << d.dump(2);
  }
};

TEST_P(SharedFolder, RestoreWritesOnlyWhatIsShownToBeThisDrivesOrAllowed) {
  const SharedFolderCase& c = GetParam();
  std::map<std::string, std::string> drives;
  std::map<std::string, std::vector<std::vector<uint8_t>>> original;
  for (const StickSpec& stick : c.sticks) {
    drives[stick.name] = MakeStick(stick);
    original[stick.name] = IspCode(drives[stick.name]);
    if (c.backupFailsOnCopy1 == std::string(stick.name)) FailCopy1Backup(drives[stick.name]);
  }
  for (const std::string& name : c.fixes) {
    const RunResult fix = Run({"--drive", "E=" + drives[name], "--yes", "fix"});
    ASSERT_TRUE(fix.Said(kFixed)) << name << "\n" << fix.out << fix.err;
  }
  const std::string restored = drives[c.sticks[0].name];
  const auto before = IspCode(restored);

  std::vector<std::string> arguments{"--drive", "E=" + restored, "restore"};
  arguments.insert(arguments.end(), c.restore.begin(), c.restore.end());
  const RunResult r = Run(arguments);
  EXPECT_EQ(r.code, c.code) << r.out << r.err;
  EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
  EXPECT_EQ(IspCode(restored), *c.holds == '\0' ? before : original[c.holds]);
}

const std::string kStickA =
    "controller 0x163 rev 2, flash EC D3 51 95 58, page size 2048, USB serial STICK-A";
const std::string kStickB =
    "controller 0x163 rev 2, flash EC D3 51 95 58, page size 2048, USB serial STICK-B";
const StickSpec kA{"a", "ctrl163_broken.json", "STICK-A", "garbage"};
const StickSpec kB{"b", "ctrl163_healthy.json", "STICK-B", ""};
const StickSpec kC{"c", "ctrl163_broken.json", "STICK-C", "corrupt"};
// A's serial on another stick: its CIS pages differ.
const StickSpec kTwinOfA{"twin", "ctrl163_healthy.json", "STICK-A", "", "KSTRUNE2"};
const std::vector<std::string> kFromBefore{"--from", "C:\\ISP0_Before.bin", "--from",
                                           "C:\\ISP1_Before.bin"};

std::vector<std::string> With(std::vector<std::string> head, const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SharedFolder,
    ::testing::Values(
        // The 0x165's Before files are of no use to a 0x163, whatever is
        // answered.
        SharedFolderCase{"AnotherControllerByDefault",
                         {{"y", "ctrl163_healthy.json", "STICK-Y", ""},
                          {"x", "ctrl165_broken.json", "STICK-X", ""}},
                         {"x"},
                         "",
                         {"--yes"},
                         kExitFailure,
                         FormatText(kRestoreNoSave,
                                    "controller 0x163 rev 2, flash EC D3 51 95 58, page size "
                                    "2048, USB serial STICK-Y",
                                    kConsoleDonorFilesHint),
                         ""},
        SharedFolderCase{"AnotherControllerNamed",
                         {{"y", "ctrl163_healthy.json", "STICK-Y", ""},
                          {"x", "ctrl165_broken.json", "STICK-X", ""}},
                         {"x"},
                         "",
                         With({"--donor", "--yes"}, kFromBefore),
                         kExitFailure,
                         FormatText(kRestoreOtherModel, "C:\\ISP0_Before.bin",
                                    "controller 0x165 rev 2, flash AD D7 94 9A 74, page size "
                                    "4096, USB serial STICK-X",
                                    "controller 0x163 rev 2, flash EC D3 51 95 58, page size "
                                    "2048, USB serial STICK-Y"),
                         ""},
        // A healthy stick of the same model may serve as a donor, when the
        // user says so.
        SharedFolderCase{
            "AnotherStickWithoutDonor",
            {kB, kA},
            {"a"},
            "",
            With({"--yes"}, kFromBefore),
            kExitFailure,
            FormatText(
                kRestoreNotThisDrive, "C:\\ISP0_Before.bin",
                ("is a Before backup of copy 0 (page 192) of the drive with " + kStickA).c_str(),
                kStickB.c_str(), kConsoleDonorHint),
            ""},
        SharedFolderCase{"AnotherStickWithDonor",
                         {kB, kA},
                         {"a"},
                         "",
                         With({"--donor", "--yes"}, kFromBefore),
                         kExitDone,
                         "[Restore ISP Warning] <C:\\ISP0_Before.bin> is a Before backup of copy "
                         "0 (page 192) of the drive with " +
                             kStickA + ".",
                         "a"},
        // B's own copy 0 with A's copy 1: two drives, refused even with
        // --donor.
        SharedFolderCase{"MixedPair",
                         {kB, kA},
                         {"a", "b"},
                         "",
                         {"--donor", "--yes", "--from", "C:\\ISP0_Before.bin", "--from",
                          "C:\\ISP1_Before.1.bin"},
                         kExitFailure,
                         FormatText(kRestoreMixedDrives, "C:\\ISP0_Before.bin",
                                    "C:\\ISP1_Before.1.bin", kStickB.c_str(), kStickA.c_str()),
                         ""},
        // A's Before files were moved aside twice since; they are still A's.
        SharedFolderCase{"NewestOfThisDriveByDefault",
                         {kA, kB, kC},
                         {"a", "b", "c"},
                         "",
                         {"--yes"},
                         kExitDone,
                         "[SUCCESS] Restore ISP code Success, please replug device to ensure it "
                         "normal.",
                         "a"},
        // One serial, two sticks: A's backups are not its twin's own.
        SharedFolderCase{"OneSerialAnotherCisPage",
                         {kTwinOfA, kA},
                         {"a"},
                         "",
                         {"--yes"},
                         kExitFailure,
                         "of its USB serial comes from a stick whose CIS page has SHA-256 ",
                         ""},
        SharedFolderCase{"OneSerialAnotherCisPageNamed",
                         {kTwinOfA, kA},
                         {"a"},
                         "",
                         With({"--yes"}, kFromBefore),
                         kExitFailure,
                         "(the same USB serial, but that stick's CIS page has SHA-256 ",
                         ""},
        SharedFolderCase{"OneSerialAnotherCisPageAsDonor",
                         {kTwinOfA, kA},
                         {"a"},
                         "",
                         With({"--donor", "--yes"}, kFromBefore),
                         kExitDone,
                         "(the same USB serial, but that stick's CIS page has SHA-256 ",
                         "a"},
        // B's copy 1 was never saved: ISP1_Before.bin is still A's, and B
        // takes nothing of it: its save is refused whole.
        SharedFolderCase{"ACopyWhoseBackupFailed",
                         {kB, kA},
                         {"a", "b"},
                         "b",
                         {"--yes"},
                         kExitFailure,
                         "lacks ISP copy 1. Nothing was written: a restore writes one save whole "
                         "and never fills a gap from another.",
                         ""}),
    [](const auto& info) { return std::string(info.param.name); });

// --- a shared C: folder: what another user put there is not this user's ---

constexpr uid_t kOtherUser = 54321;

enum class Planted : uint8_t {
  kInC,            // that user's records and Before files in C:, before the fix
  kSwappedFile,    // this user's recorded file, replaced by the same bytes of that user
  kFolderOfTheirs  // that user's folder, records and files, named with --from
};

struct OtherUserCase {
  const char* name;
  Planted planted;
  std::vector<std::string> restore;  // after --drive E=<drive> restore
  int code;
  std::string said;      // part of the output
  bool endsWithPlanted;  // the drive holds the planted bytes at the end
};

class OtherUser : public ConsoleRun, public ::testing::WithParamInterface<OtherUserCase> {
 protected:
  // The records `backup` keeps of this drive, in a folder of their own.
  nlohmann::json RecordsOfTheDrive(const std::string& drive) {
    const TempFolder scratch;
    const auto r = testing::RunConsoleWith({"--c-drive", scratch.path().string(), "--temp", temp(),
                                            "--drive", "E=" + drive, "backup"});
    EXPECT_EQ(r.code, kExitDone) << r.err;
    std::ifstream in(scratch.path() / "kestrune-backups.json");
    return nlohmann::json::parse(in);
  }
  // Before files of `bytes` and records that name them for this drive,
  // all of that user, in `where`.
  void Plant(const fs::path& where, const std::string& suffix, const std::string& bytes,
             nlohmann::json records) {
    const std::span<const uint8_t> content(reinterpret_cast<const uint8_t*>(bytes.data()),
                                           bytes.size());
    const std::string sha = HexText(platform::Sha256({&content, 1})->data(), 32);
    for (auto& record : records["files"]) {
      const std::string name = "ISP" + std::to_string(record["copy"].get<int>()) + suffix;
      record["file"] = name;
      record["kind"] = "Before";
      record["sha256"] = sha;
      record["sequence"] = 18446744073709551615u;
      std::ofstream(where / name, std::ios::binary) << bytes;
      ASSERT_EQ(::chown((where / name).c_str(), kOtherUser, kOtherUser), 0);
    }
    std::ofstream(where / "kestrune-backups.json") << records.dump(2);
    ASSERT_EQ(::chown((where / "kestrune-backups.json").c_str(), kOtherUser, kOtherUser), 0);
  }
};

TEST_P(OtherUser, IsNeverTakenForThisDrivesOwn) {
  if (::geteuid() != 0) GTEST_SKIP() << "files of another user need root to make";
  const OtherUserCase& c = GetParam();
  const std::string drive = CopyDrive("ctrl163_broken.json");
  const fs::path cFolder = cDrive();
  fs::permissions(cFolder, fs::perms::all | fs::perms::sticky_bit);
  const nlohmann::json records = RecordsOfTheDrive(drive);
  const std::string planted(kIspPayloadBytes, 'Z');
  const fs::path theirs = folder.path() / "theirs";
  if (c.planted == Planted::kInC) Plant(cFolder, "_Before.7.bin", planted, records);

  const RunResult fix = Run({"--drive", "E=" + drive, "--yes", "fix"});
  ASSERT_EQ(fix.code, kExitDone) << fix.out << fix.err;
  // The document the fix wrote is this user's, and holds nothing of theirs.
  struct stat st {};
  ASSERT_EQ(::stat((cFolder / "kestrune-backups.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  std::ifstream doc(cFolder / "kestrune-backups.json");
  const std::string written{std::istreambuf_iterator<char>(doc), {}};
  EXPECT_EQ(written.find("_Before.7.bin"), std::string::npos) << written;

  std::vector<std::string> restore{"--drive", "E=" + drive, "restore"};
  if (c.planted == Planted::kSwappedFile) {
    const std::vector<uint8_t> own = FileBytes(cFolder / "ISP0_Before.bin");
    fs::remove(cFolder / "ISP0_Before.bin");
    std::ofstream(cFolder / "ISP0_Before.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(own.data()), static_cast<std::streamsize>(own.size()));
    ASSERT_EQ(::chown((cFolder / "ISP0_Before.bin").c_str(), kOtherUser, kOtherUser), 0);
  } else if (c.planted == Planted::kFolderOfTheirs) {
    fs::create_directories(theirs);
    Plant(theirs, "_Before.bin", planted, records);
    ASSERT_EQ(::chown(theirs.c_str(), kOtherUser, kOtherUser), 0);
    restore.insert(restore.end(), {"--from", (theirs / "ISP0_Before.bin").string(), "--from",
                                   (theirs / "ISP1_Before.bin").string()});
  }
  restore.insert(restore.end(), c.restore.begin(), c.restore.end());
  const RunResult r = Run(restore);
  EXPECT_EQ(r.code, c.code) << r.out << r.err;
  EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;

  // What the drive holds now, as a backup reads it.
  ASSERT_EQ(Run({"--drive", "E=" + drive, "backup"}).code, kExitDone);
  const std::vector<uint8_t> now = FileBytes(cFolder / "ISP0_Backup.bin");
  const std::vector<uint8_t> expected =
      c.endsWithPlanted ? std::vector<uint8_t>(planted.begin(), planted.end())
      // A restore moved the fix's Before file aside for its own.
      : c.code == kExitDone ? FileBytes(cFolder / "ISP0_Before.1.bin")
                            : FileBytes(cFolder / "ISP0_After.bin");
  EXPECT_EQ(now, expected);
}

INSTANTIATE_TEST_SUITE_P(
    SharedC, OtherUser,
    ::testing::Values(
        // Their document says their files are this stick's newest backups:
        // the fix replaces it with one of its own, and restore takes this
        // user's files.
        OtherUserCase{"RecordsAndFilesInC",
                      Planted::kInC,
                      {"--yes"},
                      kExitDone,
                      "[SUCCESS] Restore ISP code Success",
                      false},
        OtherUserCase{"AFileUnderThisUsersRecord",
                      Planted::kSwappedFile,
                      {"--yes"},
                      kExitFailure,
                      "; the file belongs to uid 54321, not to this user",
                      false},
        OtherUserCase{"AFileUnderThisUsersRecordAsDonor",
                      Planted::kSwappedFile,
                      {"--yes", "--donor"},
                      kExitDone,
                      "; the file belongs to uid 54321, not to this user",
                      false},
        OtherUserCase{"TheirFolderNamed",
                      Planted::kFolderOfTheirs,
                      {"--yes"},
                      kExitFailure,
                      "kestrune-backups.json> belongs to uid 54321; the file belongs to uid 54321",
                      false},
        OtherUserCase{"TheirFolderAsDonor",
                      Planted::kFolderOfTheirs,
                      {"--yes", "--donor"},
                      kExitDone,
                      // The question names whose they are.
                      "belongs to uid 54321; the file belongs to uid 54321, not to this user.\n",
                      true}),
    [](const auto& info) { return std::string(info.param.name); });

// Each failure box is followed by the line that says what the drive
// answered the command that failed, from the simulated drive's fault plan.
struct WhyCase {
  const char* name;
  nlohmann::json fault;
  std::vector<std::string> options;
  const char* box;
  // A line ending in "..." is the start of the line.
  std::string why;
  // How the progress ends the step the fault met, when it matters.
  const char* step = "";
  // What the document says of it: the outcome and the sense bytes' start.
  const char* outcome = "scsi status";
  const char* sense = "";
};

class ConsoleWhy : public ConsoleRun, public ::testing::WithParamInterface<WhyCase> {};

TEST_P(ConsoleWhy, FollowsTheFailureBoxWithWhatTheDriveAnswered) {
  const WhyCase& c = GetParam();
  const std::string drive = CopyDrive("ctrl163_broken.json");
  nlohmann::json d = nlohmann::json::parse(folder.Read("ctrl163_broken.json"));
  d["faults"] = nlohmann::json::array({c.fault});
  std::ofstream(drive, std::ios::trunc) << d.dump();
  std::vector<std::string> arguments{"--drive", "E=" + drive, "--yes"};
  arguments.insert(arguments.end(), c.options.begin(), c.options.end());
  arguments.push_back("fix");
  const RunResult r = Run(arguments);
  EXPECT_EQ(r.code, kExitFailure) << r.out << r.err;
  const std::vector<std::string> lines = r.OutLines();
  const auto box = std::find(lines.begin(), lines.end(), c.box);
  ASSERT_NE(box, lines.end()) << r.out;
  ASSERT_NE(box + 1, lines.end()) << r.out;
  if (c.why.ends_with("...")) {
    EXPECT_EQ((box + 1)->substr(0, c.why.size() - 3), c.why.substr(0, c.why.size() - 3));
  } else {
    EXPECT_EQ(*(box + 1), c.why);
  }
  if (*c.step != '\0') {
    EXPECT_NE(r.err.find(std::string("... failed: ") + c.step), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(std::string("... done: ") + c.step), std::string::npos) << r.err;
  }
  // The document tells the same cause, with the drive's own sense bytes.
  std::ofstream(drive, std::ios::trunc) << d.dump();
  arguments.insert(arguments.begin(), "--json");
  const RunResult json = Run(arguments);
  const nlohmann::json document = nlohmann::json::parse(json.out);
  const auto why = std::find_if(document["messages"].begin(), document["messages"].end(),
                                [](const nlohmann::json& m) { return m.contains("why"); });
  ASSERT_NE(why, document["messages"].end()) << json.out;
  EXPECT_EQ((*why)["why"]["line"], *(box + 1));
  EXPECT_EQ((*why)["why"]["outcome"], c.outcome);
  if (*c.sense == '\0') {
    EXPECT_TRUE((*why)["why"]["sense"].is_null()) << (*why)["why"];
  } else {
    EXPECT_EQ((*why)["why"]["sense"].get<std::string>().rfind(c.sense, 0), 0u) << (*why)["why"];
  }
  // Only a failure's box has one.
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.rfind("Why: ", 0) == 0; }),
            1)
      << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ConsoleWhy,
    ::testing::Values(
        WhyCase{"WriteCheckCondition",
                {{"opcode", "0xFA"}, {"action", "check"}},
                {},
                "[ERROR] Write ISP code to flash fail",
                "Why: flash page write (FA) answered CHECK CONDITION, sense key 0x5 ILLEGAL "
                "REQUEST, ASC/ASCQ 24/00 invalid field in CDB, residual 65536 of 65536 bytes",
                "",
                "scsi status",
                "70000500"},
        WhyCase{"WriteMediumErrorQuiet",
                {{"opcode", "0xFA"}, {"action", "check"}, {"sense", "3/0c/00"}},
                {"--quiet"},
                "[ERROR] Write ISP code to flash fail",
                "Why: flash page write (FA) answered CHECK CONDITION, sense key 0x3 MEDIUM ERROR, "
                "ASC/ASCQ 0c/00 write error, residual 65536 of 65536 bytes",
                "",
                "scsi status",
                "70000300"},
        WhyCase{"WriteRefusedInTransport",
                {{"opcode", "0xFA"}, {"action", "refuse"}},
                {},
                "[ERROR] Write ISP code to flash fail",
                "Why: flash page write (FA) failed in transport",
                "",
                "transport error"},
        // The write is taken and lost: every command went well, and the
        // line names the copy and the first byte that differs.
        WhyCase{"WriteLostReadBackDiffers",
                {{"opcode", "0xFA"}, {"action", "drop-write"}},
                {},
                "[ERROR] Update ISP code fail",
                "Why: every command answered GOOD, but ISP copy 0 read back differs from what "
                "was written at byte 0x...",
                "Verify ISP copy 0",
                "check failed"},
        // An erase refused: nothing is programmed over the block, the write
        // step fails, and the erase is named though later commands worked.
        WhyCase{"EraseRefused",
                {{"opcode", "0xFE"}, {"action", "refuse"}},
                {},
                "[ERROR] Write ISP code to flash fail",
                "Why: block erase (FE) failed in transport",
                "Write ISP copy 0",
                "transport error"},
        // A stick that answered the scan and could not be listed is named
        // with what failed, not taken for one that is not there.
        WhyCase{"InquiryNotReady",
                {{"opcode", "0x12"}, {"action", "check"}, {"sense", "2/04/01"}},
                {},
                "[ERROR] Drive E: answered, but its identification (INQUIRY) failed, so it is not "
                "listed. Nothing was written to it.",
                "Why: INQUIRY (12) answered CHECK CONDITION, sense key 0x2 NOT READY, ASC/ASCQ "
                "04/01 becoming ready, residual 180 of 180 bytes",
                "",
                "scsi status",
                "70000200"},
        WhyCase{
            "InitFlashHardwareError",
            {{"opcode", "0xFD"}, {"sub", "0x11"}, {"action", "check"}, {"sense", "4/44/00"}},
            {"--quiet"},
            "[ERROR] Drive E: answered, but initialising its flash failed, so it is not listed. "
            "Nothing was written to it.",
            "Why: flash init (FD 11) answered CHECK CONDITION, sense key 0x4 HARDWARE ERROR, "
            "ASC/ASCQ 44/00 internal target failure, residual 0 of 0 bytes",
            "",
            "scsi status",
            "70000400"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConsoleRun, TraceFileHasALinePerCommand) {
  const std::string drive = CopyDrive("ctrl163_broken.json");
  const fs::path trace = folder.path() / "trace.txt";
  ASSERT_EQ(Run({"--drive", "E=" + drive, "--trace", trace.string(), "scan"}).code, kExitDone);
  std::ifstream file(trace);
  std::string first;
  ASSERT_TRUE(std::getline(file, first));
  EXPECT_EQ(first.rfind("E: ", 0), 0u) << first;
}

// Each debug message is a line of its own, on one drive and with --all.
TEST_F(ConsoleRun, VerboseGivesEachDebugMessageALine) {
  const std::string drive = CopyDrive("ctrl163_broken.json");
  for (const bool all : {false, true}) {
    std::vector<std::string> words{KESTRUNE_CONSOLE_PROGRAM,
                                   "--c-drive",
                                   cDrive(),
                                   "--temp",
                                   temp(),
                                   "--drive",
                                   "E=" + drive,
                                   "--verbose"};
    if (all) words.push_back("--all");
    words.push_back("scan");
    const testing::ChildRun r = testing::RunChild(words);
    ASSERT_TRUE(r.exited && r.code == kExitDone) << r.Describe();
    const std::string prefix = all ? "E: " : "";
    for (const char* line : {"CheckDriveExist : DriverIndex -> 0", "ID = 163"}) {
      EXPECT_NE(("\n" + r.err).find("\n" + prefix + line + "\n"), std::string::npos)
          << line << " is not a line of its own:\n"
          << r.err;
    }
  }
}

TEST_F(ConsoleRun, InteractiveOffersTheDialogsActions) {
  const std::string drive = CopyDrive("ctrl163_broken.json");
  const RunResult r = Run({"--drive", "E=" + drive, "--yes"}, "select 0\nlist\nfix\nquit\n");
  EXPECT_EQ(r.code, kExitDone) << r.err;
  EXPECT_TRUE(r.Said("Commands: select N | fix (Start Fix) | list | quit"));
  EXPECT_NE(r.out.find(kFixed), std::string::npos);
  EXPECT_TRUE(Backup("ISP0_Before.bin"));

  // Destroy is not among the actions unless the destroy command started it.
  const RunResult again = Run({"--drive", "E=" + drive}, "destroy\nquit\n");
  EXPECT_EQ(again.code, kExitDone);
  EXPECT_EQ(again.out.find(kDestroyed), std::string::npos);
  EXPECT_NE(again.err.find("unknown command 'destroy'"), std::string::npos);
}

// --- the work folder and the images, chosen before the scan ---

TEST_F(ConsoleRun, AnUnusableWorkFolderOrImageFolderIsNamedBeforeTheScan) {
  const std::string drive = CopyDrive("ctrl163_broken.json");
  tempArgument = folder.str() + "/none";
  RunResult r = Run({"--drive", "E=" + drive, "scan"});
  EXPECT_EQ(r.code, kExitUsage);
  EXPECT_EQ(r.err, "kestrune: the work folder " + tempArgument + " does not exist\n");
  EXPECT_EQ(r.out, "") << "no drive was scanned";
  EXPECT_FALSE(fs::exists(tempArgument)) << "a named work folder is never made";

  tempArgument = temp();
  r = Run({"--drive", "E=" + drive, "--images", cDrive(), "scan"});
  EXPECT_EQ(r.code, kExitUsage);
  EXPECT_EQ(r.err,
            "kestrune: The image folder <" + cDrive() + "> holds none of the 31 ISP images.\n");
  EXPECT_EQ(r.out, "");
}

// A folder whose files another user could change or swap is refused before
// the scan, named with its cause. A C: folder others share is taken when it
// is sticky, and one of another user's when nobody else may write it (sudo
// with a folder in the technician's home).
struct FolderRuleCase {
  const char* name;
  const char* option;  // --images, --c-drive, or KESTRUNE_IMAGES for the variable
  unsigned mode;
  uid_t owner;          // 0: this user's
  bool link;            // the option names a link to the folder
  const char* refusal;  // after "the <kind> folder <path>"; nullptr when taken
};

class ConsoleSharedFolder : public ConsoleRun,
                            public ::testing::WithParamInterface<FolderRuleCase> {};

TEST_P(ConsoleSharedFolder, IsRefusedBeforeTheScanUnlessNoOneElseCanTurnIt) {
  const FolderRuleCase& c = GetParam();
  const std::string drive = CopyDrive("ctrl163_broken.json");
  const fs::path real = folder.path() / "shared";
  fs::create_directory(real);
  fs::permissions(real, static_cast<fs::perms>(c.mode));
  if (c.owner != 0 && ::chown(real.c_str(), c.owner, c.owner) != 0) {
    GTEST_SKIP() << "only root can give a folder away";
  }
  const fs::path named = c.link ? folder.path() / "alias" : real;
  if (c.link) fs::create_directory_symlink(real, named);
  const std::string option = c.option;
  const bool images = option != "--c-drive";
  std::vector<std::string> arguments{
      "--c-drive", images ? cDrive() : named.string(), "--temp", temp(), "--drive", "E=" + drive};
  if (option == "--images") arguments.insert(arguments.end(), {"--images", named.string()});
  arguments.push_back("scan");
  testing::ScopedEnv variable(kImagesVariable, option == kImagesVariable
                                                   ? std::optional<std::string>(named.string())
                                                   : std::nullopt);

  const testing::ConsoleResult r = testing::RunConsoleWith(arguments);

  if (c.refusal == nullptr) {
    EXPECT_EQ(r.code, kExitDone) << r.err;
    EXPECT_EQ(r.out.rfind(kBroken, 0), 0u) << r.out;
    return;
  }
  EXPECT_EQ(r.code, kExitUsage);
  EXPECT_EQ(r.err, std::string("kestrune: the ") + (images ? "image" : "C:") + " folder " +
                       named.string() + c.refusal + "\n");
  EXPECT_EQ(r.out, "") << "a drive was scanned";
}

INSTANTIATE_TEST_SUITE_P(
    Folders, ConsoleSharedFolder,
    ::testing::Values(
        FolderRuleCase{"ImagesOfAnotherUser", kImagesVariable, 0755, 65534, false,
                       " belongs to another user (uid 65534)"},
        FolderRuleCase{"ImagesWritableByOthers", "--images", 0777, 0, false,
                       " can be written by other users (mode 0777)"},
        FolderRuleCase{"ImagesThroughALink", "--images", 0755, 0, true,
                       " is a symbolic link; it must be a folder of your own"},
        FolderRuleCase{"CDriveWritableByOthers", "--c-drive", 0777, 0, false,
                       " can be written by other users (mode 0777) and has no sticky bit"},
        FolderRuleCase{"CDriveThroughALink", "--c-drive", 0755, 0, true,
                       " is a symbolic link; name the folder itself"},
        FolderRuleCase{"CDriveSticky", "--c-drive", 01777, 0, false, nullptr},
        FolderRuleCase{"CDriveOfAnotherUser", "--c-drive", 0755, 65534, false, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// Another user's folder, or a link, under the default work folder's name
// does not stop the run: a fresh folder of the run's own stands in, said in
// one line, and goes with everything in it when the run ends.
struct TakenDefault {
  const char* name;
  bool (*plant)(const fs::path& at);  // false: this user cannot set the scene
  const char* cause;
};

class ConsoleTakenDefault : public ConsoleRun,
                            public ::testing::WithParamInterface<TakenDefault> {};

TEST_P(ConsoleTakenDefault, GivesWayToAFolderOfTheRunsOwn) {
  TempFolder base;
  testing::ScopedEnv tmpdir("TMPDIR", base.str());
  const std::string taken = base.str() + "/kestrune-" + std::to_string(::geteuid());
  if (!GetParam().plant(taken)) GTEST_SKIP() << "only root can give a folder away";
  const std::string drive = CopyDrive("ctrl163_broken.json");

  const testing::ConsoleResult r =
      testing::RunConsoleWith({"--c-drive", cDrive(), "--drive", "E=" + drive, "scan"});

  EXPECT_EQ(r.code, kExitDone) << r.err;
  EXPECT_EQ(r.out.rfind(kBroken, 0), 0u) << r.out;
  EXPECT_TRUE(std::regex_match(
      r.err,
      std::regex("kestrune: the work folder " + taken + GetParam().cause + "; this run works in " +
                 taken + "-[A-Za-z0-9]{6} instead and removes it at its end\n")))
      << r.err;
  std::vector<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(base.path())) {
    left.push_back(entry.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"elsewhere", fs::path(taken).filename().string()}));
}

INSTANTIATE_TEST_SUITE_P(
    Plants, ConsoleTakenDefault,
    ::testing::Values(TakenDefault{"OfAnotherUser",
                                   [](const fs::path& at) {
                                     fs::create_directory(at.parent_path() / "elsewhere");
                                     fs::create_directory(at);
                                     return ::chown(at.c_str(), 65534, 65534) == 0;
                                   },
                                   " belongs to another user \\(uid 65534\\)"},
                      TakenDefault{"ALink",
                                   [](const fs::path& at) {
                                     fs::create_directory(at.parent_path() / "elsewhere");
                                     fs::create_directory_symlink(at.parent_path() / "elsewhere",
                                                                  at);
                                     return true;
                                   },
                                   " is a symbolic link; it must be a folder of your own"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConsoleRun, GivenImagesAreWrittenAndNamed) {
  const std::string drive = CopyDrive("ctrl163_broken.json");
  if (resources::PayloadsAreStandIns()) {
    EXPECT_EQ(Run({"--version"}).OutLines(),
              (std::vector<std::string>{kVersionText, "stand-in images"}));
  }
  // A folder of images, named in lower case, that differ from the built-in
  // ones in one byte each; their catalogue-order concatenation is hashed
  // by the system's own tool.
  ASSERT_EQ(Run({"--drive", "E=" + drive, "scan"}).code, kExitDone);
  const fs::path copied = folder.path() / "copied";  // the work folder of that run
  fs::copy(temp(), copied, fs::copy_options::recursive);
  const fs::path given = folder.path() / "given";
  fs::create_directories(given / "163a2c");
  std::ofstream all(folder.path() / "all.bin", std::ios::binary);
  std::vector<uint8_t> us163;
  for (const CatalogueEntry& entry : kCatalogue) {
    std::string name = entry.pathFormat + 3;
    std::replace(name.begin(), name.end(), '\\', '/');
    std::ifstream in(fs::path(temp()) / name, std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(bytes.size(), entry.size) << name;
    bytes[20000] ^= 0xFF;
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    std::ofstream(given / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(entry.size));
    all.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(entry.size));
    if (name == "163a2c/us.bin") us163 = bytes;
  }
  all.close();
  FILE* sum = popen(("sha256sum '" + (folder.path() / "all.bin").string() + "'").c_str(), "r");
  ASSERT_NE(sum, nullptr);
  char hex[13] = {};
  ASSERT_EQ(fread(hex, 1, 12, sum), 12u);
  pclose(sum);
  EXPECT_EQ(Run({"--version", "--images", given.string()}).OutLines(),
            (std::vector<std::string>{
                kVersionText, std::string("images: ") + hex + " (from " + given.string() + ")"}));

  // The fix writes the given image this drive takes, 163A2C\US.BIN, which
  // the check now compares against.
  const RunResult fix = Run({"--drive", "E=" + drive, "--images", given.string(), "--yes", "fix"});
  EXPECT_EQ(fix.code, kExitDone) << fix.out << fix.err;
  std::ifstream after(folder.path() / "c" / "ISP0_After.bin", std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(after), {}),
            std::vector<uint8_t>(us163.begin() + 16384, us163.end()));

  // A folder is judged by its bytes: a copy of the work folder of a run
  // holds the stand-ins, and one stand-in among real images makes the set
  // stand-in.
  if (resources::PayloadsAreStandIns()) {
    const std::string first = kCatalogue[0].pathFormat + 3;  // "CAUS.BIN"
    std::string lower = first;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    fs::copy_file(copied / first, given / lower, fs::copy_options::overwrite_existing);
    for (const std::string& images : {copied.string(), given.string()}) {
      EXPECT_EQ(Run({"--version", "--images", images}).OutLines(),
                (std::vector<std::string>{kVersionText, "stand-in images (from " + images + ")"}));
    }
  }
}

// --- the built program, end to end ---

// `errTo`: where stderr goes ("2>&1": among the boxes, as a terminal shows
// both).
RunResult RunProgram(const std::string& arguments, const char* errTo = "2>/dev/null") {
  const std::string command =
      std::string("'") + KESTRUNE_CONSOLE_PROGRAM + "' " + arguments + " </dev/null " + errTo;
  RunResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
  const int status = pclose(pipe);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// The success box tells the technician to pull the stick: on screen it
// comes only after the last thing done to the drive, its After backups,
// whether the fix is the command or one of the interactive prompt's.
TEST_F(ConsoleRun, ProgramAsksForTheReplugOnlyAfterItsLastWorkOnTheDrive) {
  for (const char* file : {"ctrl163_broken.json", "ctrl165_broken.json", "interactive"}) {
    const bool interactive = file == std::string("interactive");
    const std::string drive = CopyDrive(interactive ? "ctrl162_broken.json" : file);
    const RunResult fix =
        RunProgram("--drive 'E=" + drive + "' --c-drive '" + cDrive() + "' --temp '" + temp() +
                       "' --yes" + (interactive ? "" : " fix"),
                   interactive ? "2>&1 <<'EOF'\nfix\nquit\nEOF" : "2>&1");
    ASSERT_EQ(fix.code, kExitDone) << file << "\n" << fix.out;
    const size_t replug = fix.out.find(kFixed);
    const size_t lastAfter = fix.out.rfind("_After.bin");
    ASSERT_NE(replug, std::string::npos) << file << "\n" << fix.out;
    ASSERT_NE(lastAfter, std::string::npos) << file << "\n" << fix.out;
    EXPECT_GT(replug, lastAfter) << file << "\n" << fix.out;
  }
}

TEST_F(ConsoleRun, ProgramFixesThenScansHealthy) {
  const std::string drive = CopyDrive("ctrl165_broken.json");
  const std::string common =
      "--drive 'E=" + drive + "' --c-drive '" + cDrive() + "' --temp '" + temp() + "' ";

  const RunResult fix = RunProgram(common + "--yes fix");
  EXPECT_EQ(fix.code, kExitDone) << fix.out;
  const std::vector<std::string> lines = fix.OutLines();
  ASSERT_GE(lines.size(), 4u) << fix.out;
  EXPECT_EQ(lines[0], kBroken);
  EXPECT_EQ(lines[1].rfind("* 0 Drive Volume [E]: ", 0), 0u);
  EXPECT_EQ(lines[2].rfind("Drive E: ", 0), 0u);
  EXPECT_EQ(lines[3], kConfirm);
  EXPECT_EQ(lines.back(), kFixed);
  EXPECT_TRUE(Backup("ISP0_Before.bin"));

  const RunResult scan = RunProgram(common + "scan");
  EXPECT_EQ(scan.code, kExitDone);
  ASSERT_FALSE(scan.OutLines().empty());
  EXPECT_EQ(scan.OutLines()[0], kHealthy);

  EXPECT_EQ(RunProgram(common + "-d").code, kExitUsage);
  EXPECT_EQ(RunProgram("--version").code, kExitDone);
}

// --- interrupts of the built program ---

// The drive sends the program a signal right after one chosen command.
struct InterruptCase {
  const char* name;
  const char* drive;
  std::vector<std::string> before;  // a command run first, without the signal
  std::vector<std::string> command;
  nlohmann::json fault;
  // The signal comes between the first erase and the end of the read-back:
  // it waits, and the run ends once the outcome (the box, then the run's
  // last line) is shown.
  const char* heldOutcome;
  const char* verdictAfter;  // what a scan says afterwards
  // Instead the signal comes once the write and its outcome are over, and
  // ends the run at once: the box the write earned (heldOutcome) is still
  // shown, then the run's last line, and what follows is not done.
  bool atOnce = false;
  // The line that tells the interrupt; null: the write's notice when held,
  // else that the run stops now.
  const char* said = nullptr;
};

void PrintTo(const InterruptCase& c, std::ostream* os) { *os << c.name; }

class ConsoleInterrupt : public ConsoleRun, public ::testing::WithParamInterface<InterruptCase> {
 protected:
  testing::ChildRun RunWith(const std::string& drive, const std::vector<std::string>& command) {
    std::vector<std::string> argv{
        KESTRUNE_CONSOLE_PROGRAM, "--drive", "E=" + drive, "--c-drive", cDrive(), "--temp", temp()};
    argv.insert(argv.end(), command.begin(), command.end());
    return testing::RunChild(argv);
  }
};

TEST_P(ConsoleInterrupt, EndsWith130AndNeverLeavesAHalfWrittenIspOrFile) {
  const InterruptCase& c = GetParam();
  const std::string drive = CopyDrive(c.drive);
  const std::string original = folder.Read(c.drive);
  if (!c.before.empty()) {
    ASSERT_EQ(RunWith(drive, c.before).code, kExitDone);
  }

  nlohmann::json withSignal = nlohmann::json::parse(original);
  withSignal["faults"] = nlohmann::json::array({c.fault});
  std::ofstream(drive, std::ios::trunc) << withSignal.dump();
  const testing::ChildRun run = RunWith(drive, c.command);
  std::ofstream(drive, std::ios::trunc) << original;

  ASSERT_TRUE(run.exited && run.code == kExitInterrupted) << run.Describe();
  // One line tells the interrupt, once: held over the write, held while its
  // outcome is told, or the run stopping at once.
  const bool held = c.heldOutcome != nullptr && !c.atOnce;
  const char* said = c.said != nullptr ? c.said : held ? kInterruptNotice : kInterruptStopNotice;
  for (const char* line : {kInterruptNotice, kInterruptOutcomeNotice, kInterruptStopNotice}) {
    const size_t at = run.err.find(line);
    EXPECT_EQ(at != std::string::npos, line == said) << line << "\n" << run.err;
    if (at != std::string::npos) {
      EXPECT_EQ(run.err.find(line, at + 1), std::string::npos) << "said twice: " << line;
    }
  }
  if (c.heldOutcome != nullptr) {
    // The box the write earned, then the line that says what the run did:
    // the change stands, and the interrupt ended the run.
    const std::string command = c.command.back();
    const std::string stands = command == "fix"       ? "repaired, pull it now"
                               : command == "restore" ? "restored, pull it now"
                                                      : "destroyed, pull it now";
    const size_t last = run.out.rfind('\n', run.out.size() - 2);
    const std::string lastLine = run.out.substr(last + 1);
    EXPECT_EQ(
        run.out.substr(run.out.rfind('\n', last - 1) + 1, last - run.out.rfind('\n', last - 1)),
        std::string(c.heldOutcome) + "\n");
    EXPECT_TRUE(lastLine.ends_with(command + ": " + stands + "; interrupted\n")) << lastLine;
    // No step follows the write: a fix makes no After backups.
    if (c.command.back() == "fix") {
      EXPECT_FALSE(fs::exists(folder.path() / "c" / "ISP0_After.bin"));
    }
  } else {
    EXPECT_EQ(run.out.find("SUCCESS"), std::string::npos) << run.out;
  }
  for (const auto& entry : fs::directory_iterator(folder.path() / "c")) {
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
    if (entry.path().extension() == ".bin") {
      const bool aux = entry.path().filename().string().find("_Aux") != std::string::npos;
      EXPECT_EQ(fs::file_size(entry.path()), aux ? 16384u : 49152u) << entry.path();
    }
  }
  const testing::ChildRun scan = RunWith(drive, {"scan"});
  EXPECT_EQ(scan.FirstLine(), c.verdictAfter) << scan.Describe();
}

nlohmann::json SignalAt(const char* opcode, int nth, const char* action) {
  return {{"opcode", opcode}, {"nth", nth}, {"action", action}};
}

const InterruptCase kInterruptCases[] = {
    {"FixHeldFromTheFirstErase",
     "ctrl163_broken.json",
     {},
     {"--yes", "fix"},
     SignalAt("0xFE", 1, "interrupt"),
     kFixed,
     kHealthy},
    {"Fix190HeldOverBothAreas",
     "ctrl190_broken.json",
     {},
     {"--yes", "fix"},
     SignalAt("0xFE", 2, "terminate"),
     "[SUCCESS] Update ISP code Success, please replug the device",
     kHealthy},
    {"DestroyHeld",
     "ctrl163_healthy.json",
     {},
     {"--yes", "destroy"},
     SignalAt("0xFE", 1, "hangup"),
     kDestroyed,
     kBroken},
    {"DestroyByErasesHeld",
     "ctrl161_healthy.json",
     {},
     {"--yes", "destroy"},
     SignalAt("0xFE", 1, "interrupt"),
     kDestroyed,
     kBroken},
    {"RestoreHeld",
     "ctrl163_broken.json",
     {"--yes", "fix"},
     {"--yes", "restore"},
     SignalAt("0xFE", 1, "terminate"),
     kRestored,
     kBroken},
    // A 0x190's restore restarts it twice: right after the write, while its
    // outcome is told, and once more as it ends, when an interrupt ends the
    // run at once. Either way the box the verified write earned is shown.
    {"Restore190InItsRestart",
     "ctrl190_broken.json",
     {"--yes", "fix"},
     {"--yes", "restore"},
     {{"opcode", "0xFD"}, {"sub", "0x06"}, {"nth", 1}, {"action", "interrupt"}},
     kRestored,
     kBroken,
     false,
     kInterruptOutcomeNotice},
    {"Restore190InItsClosingRestart",
     "ctrl190_broken.json",
     {"--yes", "fix"},
     {"--yes", "restore"},
     {{"opcode", "0xFD"}, {"sub", "0x06"}, {"nth", 2}, {"action", "interrupt"}},
     kRestored,
     kBroken,
     true},
    // The update's InitFlash, right before the first erase: nothing is erased.
    {"FixEndsAtOnceBeforeTheFirstErase",
     "ctrl163_broken.json",
     {},
     {"--yes", "fix"},
     {{"opcode", "0xFD"}, {"sub", "0x11"}, {"nth", 2}, {"action", "interrupt"}},
     nullptr,
     kBroken},
    {"ScanEndsAtOnce",
     "ctrl163_broken.json",
     {},
     {"scan"},
     SignalAt("0x12", 1, "hangup"),
     nullptr,
     kBroken},
};

INSTANTIATE_TEST_SUITE_P(Signals, ConsoleInterrupt, ::testing::ValuesIn(kInterruptCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune::console
