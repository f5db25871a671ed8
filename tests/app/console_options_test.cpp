#include "app/console/console_options.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/dialog.h"

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
  // Only the destroy command may put the dialog into destroy mode, however
  // the options looked.
  EXPECT_EQ(SelectsDestroyMode(DialogArguments(options)), c.command == Command::kDestroy);
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

}  // namespace
}  // namespace kestrune::console
