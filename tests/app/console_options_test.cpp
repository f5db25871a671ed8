#include "app/console/console_options.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/console/console_front.h"
#include "app/console/console_run.h"

namespace kestrune::console {
namespace {

struct ParseCase {
  const char* name;
  std::vector<std::string> arguments;
  std::optional<int> stop;  // the exit code when parsing stops the program
  Command command = Command::kInteractive;
  size_t drives = 0;
};

class ConsoleParse : public ::testing::TestWithParam<ParseCase> {
 protected:
  std::optional<int> Parse(const std::vector<std::string>& arguments) {
    std::vector<const char*> argv{"kestrune"};
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    return ParseConsoleOptions(static_cast<int>(argv.size()), argv.data(), options, out, err);
  }
  ConsoleOptions options;
  std::ostringstream out;
  std::ostringstream err;
};

TEST_P(ConsoleParse, CommandAndExit) {
  const ParseCase& c = GetParam();
  const std::optional<int> stop = Parse(c.arguments);
  EXPECT_EQ(stop, c.stop) << err.str();
  if (stop == kExitUsage) {
    EXPECT_FALSE(err.str().empty());
    EXPECT_TRUE(out.str().empty());
  }
  if (stop) return;
  EXPECT_EQ(options.command, c.command);
  EXPECT_EQ(options.drives.size(), c.drives);
  // Only the destroy command may put the run into destroy mode, however
  // the options looked.
  std::istringstream in;
  const ConsoleStreams io{in, out, err, false};
  EXPECT_EQ(RequestOf(options, io).destroyMode, c.command == Command::kDestroy);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, ConsoleParse,
    ::testing::Values(
        ParseCase{"NoCommandIsInteractive", {}, std::nullopt},
        ParseCase{"Scan", {"scan"}, std::nullopt, Command::kScan},
        ParseCase{"FixWithOptions", {"--yes", "fix", "--verbose"}, std::nullopt, Command::kFix},
        ParseCase{"Destroy", {"destroy"}, std::nullopt, Command::kDestroy},
        ParseCase{"Backup", {"backup"}, std::nullopt, Command::kBackup},
        ParseCase{"RestoreFrom",
                  {"--from", "a.bin", "restore", "--from", "b.bin"},
                  std::nullopt,
                  Command::kRestore},
        ParseCase{"FromOnlyWithRestore", {"--from", "a.bin", "fix"}, kExitUsage},
        ParseCase{"DashDIsUnknownNotDestroy", {"-d"}, kExitUsage},
        ParseCase{"DashXIsUnknown", {"-x", "scan"}, kExitUsage},
        ParseCase{"SlashDIsNoCommand", {"/d"}, kExitUsage},
        ParseCase{"SecondLetterDIsNoCommand", {"ad"}, kExitUsage},
        ParseCase{"TwoCommands", {"scan", "fix"}, kExitUsage},
        ParseCase{
            "DriveThenCommand", {"--drive", "E=x.json", "fix"}, std::nullopt, Command::kFix, 1},
        ParseCase{"DriveWithEquals", {"--drive=E=x.json", "scan"}, std::nullopt, Command::kScan, 1},
        ParseCase{"TwoDrives",
                  {"--drive", "E=x.json", "--drive", "f=/dev/sdb", "scan"},
                  std::nullopt,
                  Command::kScan,
                  2},
        ParseCase{"DriveWithoutPath", {"--drive", "E", "scan"}, kExitUsage},
        ParseCase{"DriveWithoutLetter", {"--drive", "=x.json"}, kExitUsage},
        ParseCase{"DriveOnA", {"--drive", "A=x.json"}, kExitUsage},
        ParseCase{"SameLetterTwice", {"--drive", "E=x.json", "--drive", "e=y.json"}, kExitUsage},
        ParseCase{"SimulateTakesE", {"--simulate", "--drive", "E=x.json"}, kExitUsage},
        ParseCase{"SimulateBesideF",
                  {"--simulate", "--drive", "F=x.json"},
                  std::nullopt,
                  Command::kInteractive,
                  1},
        ParseCase{"JsonWithScan", {"--json", "scan"}, std::nullopt, Command::kScan},
        ParseCase{"JsonWithFix", {"--json", "fix"}, std::nullopt, Command::kFix},
        ParseCase{"JsonAlone", {"--json"}, kExitUsage},
        ParseCase{"QuietAlone", {"--quiet"}, kExitUsage},
        ParseCase{"QuietAndVerbose", {"--quiet", "--verbose", "fix"}, kExitUsage},
        ParseCase{"SelectInRange", {"--select", "3", "scan"}, std::nullopt, Command::kScan},
        ParseCase{"SelectNegative", {"--select", "-1", "scan"}, kExitUsage},
        ParseCase{"SelectNotANumber", {"--select", "x", "scan"}, kExitUsage},
        ParseCase{"SelectBeyondTheTable", {"--select", "25", "scan"}, kExitUsage},
        ParseCase{"Help", {"--help"}, kExitDone},
        ParseCase{"Version", {"--version"}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConsoleParse, OptionValuesAreKept) {
  ASSERT_EQ(Parse({"--drive", "f=drives/One.JSON", "--drive", "G=/dev/sdc", "--select", "2",
                   "--c-drive", "/tmp/c", "--temp", "/tmp/t", "--trace", "/tmp/trace.txt", "--yes",
                   "--verbose", "--simulate", "scan"}),
            std::nullopt);
  ASSERT_EQ(options.drives.size(), 2u);
  EXPECT_EQ(options.drives[0].letter, 'F');
  EXPECT_EQ(options.drives[0].path, "drives/One.JSON");
  EXPECT_TRUE(options.drives[0].simulated);
  EXPECT_EQ(options.drives[1].letter, 'G');
  EXPECT_EQ(options.drives[1].path, "/dev/sdc");
  EXPECT_FALSE(options.drives[1].simulated);
  EXPECT_EQ(options.select, 2);
  EXPECT_EQ(options.cDriveFolder, "/tmp/c");
  EXPECT_EQ(options.tempFolder, "/tmp/t");
  EXPECT_EQ(options.traceFile, "/tmp/trace.txt");
  EXPECT_TRUE(options.yes);
  EXPECT_TRUE(options.verbose);
  EXPECT_TRUE(options.simulate);
  EXPECT_FALSE(options.json);
}

TEST_F(ConsoleParse, RestoreFilesKeepTheirOrder) {
  ASSERT_EQ(Parse({"restore", "--from", "/tmp/ISP1.bin", "--from", "ISP0.bin"}), std::nullopt);
  EXPECT_EQ(options.restoreFiles, (std::vector<std::string>{"/tmp/ISP1.bin", "ISP0.bin"}));
}

TEST_F(ConsoleParse, HelpAndVersionPrintOnStdout) {
  ASSERT_EQ(Parse({"--help"}), kExitDone);
  EXPECT_NE(out.str().find("--drive"), std::string::npos);
  EXPECT_NE(out.str().find("--c-drive"), std::string::npos);
  // What --version prints depends on the images, so the run prints it.
  ASSERT_EQ(Parse({"--version", "--images", "/srv/isp"}), std::nullopt);
  EXPECT_TRUE(options.version);
  EXPECT_EQ(options.imagesFolder, "/srv/isp");
}

TEST_F(ConsoleParse, UnknownOptionIsNamed) {
  ASSERT_EQ(Parse({"--destroy"}), kExitUsage);
  EXPECT_NE(err.str().find("--destroy"), std::string::npos);
}

// Every refusal of a command line is said in words of its own, which
// scripts and the documents quote: each case names the one thing wrong.
struct RefusalCase {
  const char* name;
  std::vector<std::string> arguments;
  const char* said;
};

class ConsoleRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ConsoleRefusal, SaysWhatIsWrongInItsOwnWords) {
  const RefusalCase& c = GetParam();
  std::vector<const char*> argv{"kestrune"};
  for (const std::string& argument : c.arguments) argv.push_back(argument.c_str());
  ConsoleOptions options;
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(ParseConsoleOptions(static_cast<int>(argv.size()), argv.data(), options, out, err),
            kExitUsage);
  EXPECT_EQ(err.str(), std::string("kestrune: ") + c.said + "\n");
  EXPECT_EQ(options.problem, c.said);
  EXPECT_TRUE(out.str().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ConsoleRefusal,
    ::testing::Values(
        RefusalCase{"DriveMalformed",
                    {"--drive", "E", "scan"},
                    "--drive takes X=PATH, a drive letter and a device node or virtual-drive "
                    "file: 'E'"},
        RefusalCase{"DriveOnA",
                    {"--drive", "a=x.json"},
                    "--drive A=... is never scanned; use a "
                    "letter from B to Z"},
        RefusalCase{"DriveTwice",
                    {"--drive", "E=x.json", "--drive", "e=y.json"},
                    "drive E: is given twice"},
        RefusalCase{"SimulateOnE",
                    {"--simulate", "--drive", "E=x.json"},
                    "--simulate already puts a drive on E:"},
        RefusalCase{"WatchOther",
                    {"watch", "destroy"},
                    "watch runs scan, fix or backup on each drive: 'destroy'"},
        RefusalCase{"FromWithoutRestore",
                    {"--from", "a.bin", "fix"},
                    "--from goes with the restore command only"},
        RefusalCase{"DonorWithoutRestore",
                    {"--donor", "scan"},
                    "--donor goes with the restore command only"},
        RefusalCase{"IncludePresentWithoutWatch",
                    {"--include-present", "scan"},
                    "--include-present goes with watch only"},
        RefusalCase{
            "WatchAll", {"--all", "watch"}, "watch runs every drive plugged in; --all is implied"},
        RefusalCase{"WatchDrive",
                    {"--drive", "E=x.json", "watch"},
                    "watch takes the USB drives plugged in; --drive and --simulate name others"},
        RefusalCase{"WatchSimulate",
                    {"--simulate", "watch", "fix"},
                    "watch takes the USB drives plugged in; --drive and --simulate name others"},
        RefusalCase{"WatchRecord",
                    {"--record", "r.krec", "watch"},
                    "watch records nothing; --record goes with a run"},
        RefusalCase{"ExportWithoutFile",
                    {"--drive", "E=r.krec", "export-drive"},
                    "export-drive takes the name of the virtual-drive file to write"},
        RefusalCase{"FileWithoutExport",
                    {"scan", "out.json"},
                    "only export-drive takes a file name after the command"},
        RefusalCase{"ExportNotJson",
                    {"--drive", "E=r.krec", "export-drive", "out.txt"},
                    "export-drive writes a virtual-drive file, whose name ends in .json: "
                    "'out.txt'"},
        RefusalCase{"ExportWithAll",
                    {"--drive", "E=r.krec", "--all", "export-drive", "out.json"},
                    "export-drive goes with one --drive X=FILE naming a recording, and nothing "
                    "of a run"},
        RefusalCase{"OverwriteWithoutRecord",
                    {"--record-overwrite", "scan"},
                    "--record-overwrite goes with --record"},
        RefusalCase{"AllReplays",
                    {"--all", "--drive", "E=r.krec", "scan"},
                    "--all does not replay; replay each letter's recording in a run of its own"},
        RefusalCase{"MapWithBackup",
                    {"--map", "backup"},
                    "--map goes with scan or fix (the map command draws without it)"},
        RefusalCase{"AllWithRestoreFrom",
                    {"--all", "restore", "--from", "a.bin"},
                    "--all restores each drive from its own save; --from, --donor and --save go "
                    "with a restore of one drive"},
        RefusalCase{
            "SaveWithFix", {"fix", "--save", "x"}, "--save goes with the restore command only"},
        RefusalCase{"AllWithoutCommand",
                    {"--all"},
                    "--all goes with scan, fix, backup, destroy, restore or map"},
        RefusalCase{"AllWithSelect",
                    {"--all", "--select", "1", "scan"},
                    "--all acts on every drive; --select picks one"},
        RefusalCase{"JsonWithoutCommand",
                    {"--json"},
                    "--json goes with a command: scan, fix, destroy, backup, restore, backups, "
                    "list, map, images, export-drive or watch"},
        RefusalCase{"QuietWithoutCommand",
                    {"--quiet"},
                    "--quiet goes with a command: scan, fix, destroy, backup, restore, backups, "
                    "list, map, images, export-drive or watch"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune::console
