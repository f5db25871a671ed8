// --json and --quiet as a script or a technician meets them. Every document
// a case prints is also kept in json-documents/, where the json_schema test
// checks it against docs/kestrune-output.schema.json.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "app/console/console_list.h"
#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "platform/platform.h"
#include "tests/support/device_temp_folder.h"

namespace kestrune::console {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::TempFolder;

const fs::path kDocuments = "json-documents";

struct RunResult {
  int code = -1;
  std::string out;
  std::string err;
};

std::string Sha256Of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  const std::span<const uint8_t> piece(bytes);
  const auto digest = platform::Sha256(std::span<const std::span<const uint8_t>>(&piece, 1));
  std::string hex;
  char byte[3];
  for (uint8_t b : *digest) {
    std::snprintf(byte, sizeof byte, "%02x", b);
    hex += byte;
  }
  return hex;
}

// Every file under `folder`, by its path, with its digest.
std::map<std::string, std::string> FilesUnder(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) files[entry.path().string()] = Sha256Of(entry.path());
  }
  return files;
}

class ConsoleJson : public ::testing::Test {
 protected:
  // Once per run of the program, so no document of an earlier run is
  // checked in place of this one's.
  static void SetUpTestSuite() {
    static const bool emptied = [] {
      fs::remove_all(kDocuments);
      return fs::create_directories(kDocuments);
    }();
    (void)emptied;
  }

  ConsoleJson() {
    fs::create_directories(cDrive());
    fs::create_directories(temp());
    fs::permissions(temp(), fs::perms::owner_all, fs::perm_options::replace);
  }

  fs::path cDrive() const { return folder.path() / "c"; }
  fs::path temp() const { return folder.path() / "t"; }

  // A copy of a ready-made drive on the next letter from E, optionally with
  // a fault plan.
  void AddDrive(const std::string& name, const json& faults = nullptr) {
    std::ifstream in(fs::path(KESTRUNE_TEST_DRIVES) / name);
    json drive = json::parse(in);
    if (!faults.is_null()) drive["faults"] = faults;
    const char letter = static_cast<char>('E' + drives.size() / 2);
    const fs::path path = folder.path() / (std::string(1, letter) + ".json");
    std::ofstream(path) << drive.dump();
    drives.insert(drives.end(), {"--drive", std::string(1, letter) + "=" + path.string()});
  }

  RunResult Run(const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"kestrune", "--c-drive", cDrive().string(), "--temp",
                                 temp().string()};
    all.insert(all.end(), drives.begin(), drives.end());
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<const char*> argv;
    for (const std::string& a : all) argv.push_back(a.c_str());
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    RunResult result;
    result.code =
        RunConsole(static_cast<int>(argv.size()), argv.data(), ConsoleStreams{in, out, err, false});
    result.out = out.str();
    result.err = err.str();
    return result;
  }

  TempFolder folder;
  std::vector<std::string> drives;
};

struct JsonCase {
  const char* name;
  std::vector<std::string> drives;
  std::vector<std::string> arguments;
  int code;
  // Run first, in the same folders: the Before files a restore needs.
  std::vector<std::string> before = {};
  json faults = nullptr;
};

class ConsoleJsonCommand : public ConsoleJson, public ::testing::WithParamInterface<JsonCase> {};

// One document on stdout and nothing else; what it says is what the run
// showed on stderr, left on disk and returned.
TEST_P(ConsoleJsonCommand, TellsWhatTheRunShowedAndKept) {
  const JsonCase& c = GetParam();
  for (size_t i = 0; i < c.drives.size(); ++i) AddDrive(c.drives[i], i == 0 ? c.faults : nullptr);
  std::ofstream(cDrive() / "ISP.log") << "an older log\n";
  if (!c.before.empty()) Run(c.before);
  const std::map<std::string, std::string> before = FilesUnder(cDrive());

  const RunResult r = Run(c.arguments);
  EXPECT_EQ(r.code, c.code) << r.err;
  json document;
  ASSERT_NO_THROW(document = json::parse(r.out)) << r.out;
  std::ofstream(kDocuments / (std::string(c.name) + ".json")) << r.out;
  EXPECT_EQ(document["exitCode"], r.code);

  // Every box, in the order stderr showed it, behind its drive's letter;
  // the lines of two drives of --all interleave.
  std::map<std::string, size_t> at;
  for (const json& box : document["messages"]) {
    const std::string prefix = box["drive"].is_null() ? "" : box["drive"].get<std::string>() + ": ";
    const std::string line = prefix + "[" + box["caption"].get<std::string>() + "] " +
                             box["text"].get<std::string>() + "\n";
    const size_t found = r.err.find(line, at[prefix]);
    ASSERT_NE(found, std::string::npos) << line << " not shown in order in " << r.err;
    at[prefix] = found + line.size();
    // The verdict box and the drive's verdict agree.
    if (box["caption"] != "Check ISP") continue;
    const json* drive = nullptr;
    for (const json& d : document["drives"]) {
      if (box["drive"].is_null() || d["letter"] == box["drive"]) drive = &d;
    }
    ASSERT_NE(drive, nullptr) << box;
    EXPECT_EQ((*drive)["verdict"], box["text"] == "ISP is OK!" ? "healthy" : "broken");
  }

  // Every file it names is there as it says, and every file it made is named.
  std::set<std::string> named;
  for (const json& file : document["files"]) {
    const std::string path = file["path"];
    named.insert(path);
    ASSERT_TRUE(fs::is_regular_file(path)) << path;
    EXPECT_EQ(file["size"], fs::file_size(path)) << path;
    EXPECT_EQ(file["sha256"], Sha256Of(path)) << path;
  }
  for (const auto& [path, digest] : FilesUnder(cDrive())) {
    const auto old = before.find(path);
    const bool made = old == before.end() || old->second != digest;
    EXPECT_TRUE(!made || named.count(path) == 1) << path << " was kept but not named";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ConsoleJsonCommand,
    ::testing::Values(
        JsonCase{"scan", {"ctrl163_broken.json"}, {"--json", "scan"}, kExitDone},
        JsonCase{"fix", {"ctrl163_broken.json"}, {"--json", "--yes", "fix"}, kExitDone},
        JsonCase{"destroy", {"ctrl163_healthy.json"}, {"--json", "--yes", "destroy"}, kExitDone},
        JsonCase{"backup", {"ctrl190_broken.json"}, {"--json", "backup"}, kExitDone},
        JsonCase{"restore",
                 {"ctrl165_broken.json"},
                 {"--json", "--yes", "restore"},
                 kExitDone,
                 {"--yes", "fix"}},
        JsonCase{"fix_cancelled", {"ctrl163_broken.json"}, {"--json", "fix"}, kExitCancelled},
        JsonCase{"fix_failed",
                 {"ctrl163_broken.json"},
                 {"--json", "--yes", "fix"},
                 kExitFailure,
                 {},
                 {{{"opcode", "0xFA"}, {"action", "refuse"}, {"repeat", true}}}},
        JsonCase{"no_such_entry",
                 {"ctrl163_broken.json"},
                 {"--json", "--select", "2", "scan"},
                 kExitUsage},
        JsonCase{"all_scan",
                 {"ctrl163_broken.json", "ctrl190_healthy.json"},
                 {"--json", "--all", "scan"},
                 kExitDone},
        JsonCase{"all_fix",
                 {"ctrl161_broken.json", "ctrl165_broken.json"},
                 {"--json", "--all", "--yes", "fix"},
                 kExitDone},
        JsonCase{"all_destroy",
                 {"ctrl163_healthy.json", "ctrl168_healthy.json"},
                 {"--json", "--all", "--yes", "destroy"},
                 kExitDone},
        JsonCase{"all_backup",
                 {"ctrl162_broken.json", "ctrl169_healthy.json"},
                 {"--json", "--all", "backup"},
                 kExitDone},
        JsonCase{"all_cancelled",
                 {"ctrl163_broken.json", "ctrl165_broken.json"},
                 {"--json", "--all", "fix"},
                 kExitCancelled}),
    [](const auto& info) { return std::string(info.param.name); });

// list reads a sysfs tree laid out as the kernel lays out one stick.
TEST_F(ConsoleJson, ListDescribesTheDisks) {
  const fs::path root = fs::canonical(folder.path());
  const auto write = [&](const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  };
  const fs::path device = root / "devices/usb1/1-2";
  const fs::path disk = device / "1-2:1.0/host6/target6:0:0/6:0:0:0";
  write(device / "serial", "SN12");
  write(disk / "vendor", "KSTRUNE ");
  write(disk / "model", "USB DISK 163    ");
  write(disk / "block/sdb/removable", "1");
  write(disk / "block/sdb/size", "256000");
  fs::create_directory_symlink(disk, disk / "block/sdb/device");
  fs::create_directories(root / "block");
  fs::create_directory_symlink(disk / "block/sdb", root / "block/sdb");

  ConsoleOptions options;
  options.command = Command::kList;
  options.json = true;
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  const int code =
      RunList(options, {in, out, err, false}, (root / "block").string(), (root / "dev").string());
  std::ofstream(kDocuments / "list.json") << out.str();
  const json document = json::parse(out.str());
  EXPECT_EQ(code, kExitDone);
  EXPECT_EQ(document["exitCode"], code);
  ASSERT_EQ(document["devices"].size(), 1u);
  EXPECT_EQ(document["devices"][0]["letter"], "C");
  EXPECT_EQ(document["devices"][0]["serial"], "SN12");
}

// --quiet: the errors, the questions nobody answered for the user, and one
// last line; no progress and no file lines.
struct QuietCase {
  const char* name;
  std::vector<std::string> arguments;
  json faults;
  std::string out;
  std::string err;
};

class ConsoleQuiet : public ConsoleJson, public ::testing::WithParamInterface<QuietCase> {};

TEST_P(ConsoleQuiet, SaysOnlyWhatWentWrongAndHowItEnded) {
  const QuietCase& c = GetParam();
  AddDrive("ctrl163_broken.json", c.faults);
  std::ofstream(cDrive() / "ISP.log");
  const RunResult r = Run(c.arguments);
  // The summary of --all is its last word: its header, then a row per drive.
  const bool table = c.out.rfind("drive ", 0) == 0;
  EXPECT_EQ(table ? r.out.substr(0, c.out.size()) : r.out, c.out);
  if (table) EXPECT_EQ(r.out.find('[', c.out.size()), std::string::npos) << r.out;
  EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ConsoleQuiet,
    ::testing::Values(
        QuietCase{
            "Repaired", {"--quiet", "--yes", "fix"}, nullptr, "E: ISP broken; fix: success\n", ""},
        QuietCase{"Unanswered",
                  {"--quiet", "fix"},
                  nullptr,
                  "[Update ISP Warning] Are you sure to update new ISP code ?\n"
                  "E: ISP broken; fix: cancelled\n",
                  "(no terminal to ask: answered Cancel; --yes answers OK)\n"},
        QuietCase{"WriteRefused",
                  {"--quiet", "--yes", "fix"},
                  {{{"opcode", "0xFA"}, {"action", "refuse"}, {"repeat", true}}},
                  "[ERROR] Write ISP code to flash fail\nE: ISP broken; fix: failed\n",
                  ""},
        QuietCase{"EveryDrive",
                  {"--quiet", "--all", "--yes", "backup"},
                  nullptr,
                  "drive  verdict before  outcome  copies verified  backups  seconds  failure\n",
                  ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune::console
