// --json and --quiet as a script or a technician meets them. Every document
// a case prints is also kept in json-documents/, where the json_schema test
// checks it against docs/kestrune-output.schema.json.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "app/console/console_json.h"
#include "app/console/console_list.h"
#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "images/images.h"
#include "platform/platform.h"
#include "resources/image_list.h"
#include "simulator/drive_description.h"
#include "simulator/flash_file.h"
#include "simulator/virtual_drive.h"
#include "tests/support/child_process.h"
#include "tests/support/console_harness.h"
#include "tests/support/console_runner.h"
#include "tests/support/device_temp_folder.h"

namespace kestrune::console {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::TempFolder;

const fs::path kDocuments = "json-documents";

using RunResult = testing::ConsoleResult;

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

std::string Sha256Of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  const std::span<const uint8_t> piece(bytes);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : *platform::Sha256({&piece, 1})) hex += {kDigits[b >> 4], kDigits[b & 15]};
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

// The fault plan of a drive whose page writes are all refused.
const json kWritesRefused = {{{"opcode", "0xFA"}, {"action", "refuse"}, {"repeat", true}}};

class ConsoleJson : public testing::ConsoleHarness {
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

  fs::path cDrive() const { return CFolder(); }
  fs::path temp() const { return WorkFolder(); }

  // A copy of a ready-made drive on the next letter from E, with `changes`
  // merged into its description; returns the copy's path.
  fs::path AddDrive(const std::string& name, bool writesRefused,
                    const json& changes = json::object()) {
    return AddDriveOn(NextLetter(), name + ".json", writesRefused ? kWritesRefused : json(),
                      changes);
  }

  RunResult Run(const std::string& arguments) { return RunHere(Words(arguments)); }

  // The drive arguments every run is given.
  std::vector<std::string>& drives = driveArguments;
};

struct JsonCase {
  const char* name;
  const char* drives;  // ready-made drives, on E, F, ...
  const char* arguments;
  int code;
  // Run first, in the same folders: the Before files a restore needs.
  const char* before = "";
  bool writesRefused = false;  // on the first drive
};

class ConsoleJsonCommand : public ConsoleJson, public ::testing::WithParamInterface<JsonCase> {};

// One document on stdout and nothing else; what it says is what the run
// showed on stderr, left on disk and returned.
TEST_P(ConsoleJsonCommand, TellsWhatTheRunShowedAndKept) {
  const JsonCase& c = GetParam();
  for (const std::string& drive : Words(c.drives))
    AddDrive(drive, c.writesRefused && drives.empty());
  std::ofstream(cDrive() / "ISP.log") << "an older log\n";
  if (*c.before != '\0') Run(c.before);
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
  std::set<std::string> digestsBefore;
  for (const auto& [path, digest] : before) digestsBefore.insert(digest);
  for (const auto& [path, digest] : FilesUnder(cDrive())) {
    // An older file moved aside to a numbered name was not made by the run.
    const bool made = digestsBefore.count(digest) == 0;
    EXPECT_TRUE(!made || named.count(path) == 1) << path << " was kept but not named";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ConsoleJsonCommand,
    ::testing::Values(
        JsonCase{"scan", "ctrl163_broken", "--json scan", kExitDone},
        JsonCase{"fix", "ctrl163_broken", "--json --yes fix", kExitDone},
        JsonCase{"destroy", "ctrl163_healthy", "--json --yes destroy", kExitDone},
        JsonCase{"backup", "ctrl190_broken", "--json backup", kExitDone},
        JsonCase{"map", "ctrl190_broken", "--json map", kExitDone},
        JsonCase{"fix_map", "ctrl163_broken", "--json --yes --map fix", kExitDone},
        JsonCase{"restore", "ctrl165_broken", "--json --yes restore", kExitDone, "--yes fix"},
        JsonCase{"backups", "ctrl190_broken", "--json backups", kExitDone, "--yes fix"},
        JsonCase{"fix_cancelled", "ctrl163_broken", "--json fix", kExitCancelled},
        JsonCase{"fix_failed", "ctrl163_broken", "--json --yes fix", kExitFailure, "", true},
        JsonCase{"no_such_entry", "ctrl163_broken", "--json --select 2 scan", kExitUsage},
        // Command lines that cannot be read get their document too.
        JsonCase{"bad_option", "ctrl163_broken", "--json --no-such-option scan", kExitUsage},
        JsonCase{"select_out_of_range", "ctrl163_broken", "--json --select 99 scan", kExitUsage},
        // A watch refused on its command line is still a watch, of --all.
        JsonCase{"watch_refused", "ctrl163_broken", "--json watch fix", kExitUsage},
        JsonCase{"all_scan", "ctrl163_broken ctrl190_healthy", "--json --all scan", kExitDone},
        JsonCase{"all_fix", "ctrl161_broken ctrl165_broken", "--json --all --yes fix", kExitDone},
        JsonCase{"all_destroy", "ctrl163_healthy ctrl168_healthy", "--json --all --yes destroy",
                 kExitDone},
        JsonCase{"all_backup", "ctrl162_broken ctrl169_healthy", "--json --all backup", kExitDone},
        JsonCase{"all_map", "ctrl163_broken ctrl190_healthy", "--json --all map", kExitDone},
        JsonCase{"all_cancelled", "ctrl163_broken ctrl165_broken", "--json --all fix",
                 kExitCancelled}),
    [](const auto& info) { return std::string(info.param.name); });

// A single-drive run names its stick in one line after the drive list and
// before any question, and its document carries the drive fields a drive
// of --all has. Given two drives without --all it says which one it acts on
// and how the other is reached.
TEST_F(ConsoleJson, ASingleDriveRunNamesItsStick) {
  const fs::path e = AddDrive("ctrl163_broken", false);
  RunResult r = Run("--json --yes fix");
  ASSERT_EQ(r.code, kExitDone) << r.err;
  const json drive = json::parse(r.out)["drives"][0];
  EXPECT_EQ(drive["source"], e.string());
  EXPECT_EQ(drive["serial"], "KST163BROKEN");
  EXPECT_EQ(drive["port"], nullptr);
  EXPECT_EQ(drive["identified"], true);
  EXPECT_EQ(drive["outcome"], "success");
  EXPECT_GT(drive["copiesVerified"].get<int>(), 0);
  EXPECT_EQ(drive["copiesVerified"], drive["copiesWritten"]);
  EXPECT_GT(drive["backups"].get<int>(), 0);
  EXPECT_EQ(drive["codeNotLoaded"], nullptr);

  // Without a terminal the question is answered Cancel, and shown.
  r = Run("fix");
  EXPECT_EQ(r.code, kExitCancelled) << r.err;
  const std::string identity = "Drive E: " + e.string() +
                               ", port unknown, serial KST163BROKEN, controller 0x163, flash ID "
                               "ECD3519558\n";
  const size_t list = r.out.find("* 0 Drive Volume [E]: ");
  const size_t named = r.out.find(identity);
  ASSERT_NE(named, std::string::npos) << r.out;
  EXPECT_LT(list, named) << r.out;
  EXPECT_LT(named, r.out.find("[Update ISP Warning] Are you sure to update new ISP code ?"))
      << r.out;

  AddDrive("ctrl190_healthy", false);
  r = Run("scan");
  EXPECT_NE(r.err.find("kestrune: 2 drives were named without --all: this run acts on E: alone, "
                       "the first the scan identifies; F: is reached with --all, or by a run "
                       "that names it alone\n"),
            std::string::npos)
      << r.err;
}

// images checks a set of ISP images file by file, as a technician checks a
// folder before a run: the built-in set, a folder of 31 real images, one
// that lacks a file, one with a file of the wrong size, the stand-ins with
// two of them swapped, and folders pinned by a SHA256SUMS that sha256sum
// wrote, one file then changed and another removed. The text and the
// document say the same, and the exit code is 0 for a real set alone; a
// fix given a set that cannot be used is refused, naming the file, before
// anything is read from the stick or written.
enum class ImageFolderKind {
  kBuiltIn,
  kReal,
  kMissingOne,
  kWrongSize,
  kSwappedStandIns,
  kPinnedOneChanged,
  kPinnedOneMissing
};

struct ImagesCase {
  const char* name;
  ImageFolderKind folder;
  int code;
  int entry;           // the catalogue entry (from 0) the case is about
  const char* state;   // its state in the document
  const char* line;    // a line the text shows
  const char* refusal = nullptr;  // what a fix with the folder says on stderr
};

class ConsoleImages : public ConsoleJson, public ::testing::WithParamInterface<ImagesCase> {
 protected:
  // The 31 catalogue files under their names, each of its catalogue size
  // and made of bytes no stand-in holds.
  fs::path MakeRealFolder() {
    const fs::path images = folder.path() / "images";
    fs::create_directories(images / "163A2C");
    fs::permissions(images, fs::perms::owner_all, fs::perm_options::replace);
    fs::permissions(images / "163A2C", fs::perms::owner_all, fs::perm_options::replace);
    for (size_t i = 0; i < std::size(kCatalogue); ++i) {
      std::ofstream(images / ImageName(static_cast<int>(i)), std::ios::binary)
          << (standIns ? StandIn(static_cast<int>(i))
                       : std::string(kCatalogue[i].size, static_cast<char>(0x21 + i)));
    }
    return images;
  }

  // The built-in payload of entry `entry`: a stand-in in a build without
  // the real images.
  static std::string StandIn(int entry) {
    const std::unique_ptr<platform::Platform> host = platform::CreateHostPlatform();
    const auto payload = ImagePayload(*host, nullptr, entry);
    return payload ? std::string(payload->begin(), payload->end()) : std::string();
  }

  // SHA256SUMS as the system's sha256sum writes it, run in the folder.
  static void Pin(const fs::path& images) {
    const std::string command =
        "cd '" + images.string() + "' && sha256sum *.BIN 163A2C/*.BIN > SHA256SUMS";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  bool standIns = false;
};

TEST_P(ConsoleImages, TellsEachFileAndWhetherARunCouldWriteIt) {
  const ImagesCase& c = GetParam();
  std::vector<std::string> arguments{"images"};
  fs::path images;
  if (c.folder == ImageFolderKind::kSwappedStandIns && !resources::PayloadsAreStandIns()) {
    GTEST_SKIP() << "this build carries no stand-ins";
  }
  if (c.folder != ImageFolderKind::kBuiltIn) {
    standIns = c.folder == ImageFolderKind::kSwappedStandIns;
    images = MakeRealFolder();
    if (c.folder == ImageFolderKind::kMissingOne) fs::remove(images / "163A2C/UST.BIN");
    if (c.folder == ImageFolderKind::kWrongSize) fs::resize_file(images / "CUS8.BIN", 5);
    if (c.folder == ImageFolderKind::kSwappedStandIns) {
      fs::rename(images / "163A2C/US.BIN", images / "swap");
      fs::rename(images / "163A2C/US1.BIN", images / "163A2C/US.BIN");
      fs::rename(images / "swap", images / "163A2C/US1.BIN");
    }
    if (c.folder == ImageFolderKind::kPinnedOneChanged ||
        c.folder == ImageFolderKind::kPinnedOneMissing) {
      Pin(images);
    }
    if (c.folder == ImageFolderKind::kPinnedOneChanged) {
      std::fstream(images / "163A2C/US.BIN", std::ios::in | std::ios::out | std::ios::binary)
          .seekp(30000)
          .put('x');
    }
    if (c.folder == ImageFolderKind::kPinnedOneMissing) fs::remove(images / "163A2C/UST.BIN");
    arguments.push_back(images.string());
  }
  const RunResult text = testing::RunConsoleWith(arguments);
  EXPECT_EQ(text.code, c.code) << text.err;
  EXPECT_NE(text.out.find(c.line), std::string::npos) << text.out;
  // --quiet: the files that are not as they should be, and the last line.
  std::vector<std::string> quietArguments = arguments;
  quietArguments.push_back("--quiet");
  const RunResult quiet = testing::RunConsoleWith(quietArguments);
  EXPECT_EQ(quiet.code, c.code) << quiet.err;
  EXPECT_NE(quiet.out.find(c.line), std::string::npos) << quiet.out;
  EXPECT_EQ(quiet.out.find("Images "), std::string::npos) << quiet.out;
  EXPECT_LT(quiet.out.size() * 4, text.out.size()) << quiet.out;

  arguments.push_back("--json");
  const RunResult r = testing::RunConsoleWith(arguments);
  EXPECT_EQ(r.code, c.code) << r.err;
  json document;
  ASSERT_NO_THROW(document = json::parse(r.out)) << r.out;
  std::ofstream(kDocuments / (std::string(c.name) + ".json")) << r.out;
  const json& set = document["images"];
  ASSERT_EQ(set["entries"].size(), std::size(kCatalogue));
  EXPECT_EQ(set["complete"], c.code != kExitFailure);
  const json& entry = set["entries"][c.entry];
  EXPECT_EQ(entry["state"], c.state);
  for (const json& file : set["entries"]) {
    if (file["state"] != "present") continue;
    EXPECT_EQ(file["standIn"], (c.folder == ImageFolderKind::kBuiltIn && c.code != kExitDone) ||
                                   c.folder == ImageFolderKind::kSwappedStandIns);
    if (images.empty()) continue;
    EXPECT_EQ(file["sha256"], Sha256Of(images / file["name"].get<std::string>()));
  }
  // Who is sent to a file: the 0x163 sub-folder serves INQUIRY 'C' drives
  // alone, no row that asks for 'Q' reaches it, and seven files serve none.
  EXPECT_EQ(set["entries"][30]["chosenBy"],
            json::parse(R"([{"chooser": "update",
                             "controllers": "0x163 with INQUIRY character 10 'C'",
                             "when": "a UST device code", "row": 2}])"));
  EXPECT_EQ(set["entries"][22]["chosenBy"].size(), 2U);  // 163A2C/US1.BIN: row 13 and fallback
  EXPECT_TRUE(set["entries"][9]["chosenBy"].empty());    // US9.BIN
  const bool pinned = c.folder == ImageFolderKind::kPinnedOneChanged ||
                      c.folder == ImageFolderKind::kPinnedOneMissing;
  EXPECT_EQ(set["sums"].is_null(), !pinned);
  EXPECT_EQ(entry["listed"].is_null(), !pinned);
  if (c.refusal == nullptr) return;

  // The fix is refused at start-up, by name, and the stick keeps its ISP.
  const fs::path drive = AddDrive("ctrl163_broken", false);
  const RunResult fix = RunHere({"--images", images.string(), "--yes", "fix"});
  EXPECT_EQ(fix.code, kExitUsage) << fix.out << fix.err;
  EXPECT_NE(fix.err.find(c.refusal), std::string::npos) << fix.err;
  EXPECT_FALSE(fs::exists(cDrive() / "ISP0_Before.bin"));
  EXPECT_FALSE(fs::exists(drive.string() + ".flash"));
}

INSTANTIATE_TEST_SUITE_P(
    Sets, ConsoleImages,
    ::testing::Values(
        ImagesCase{"images_builtin", ImageFolderKind::kBuiltIn,
                   resources::PayloadsAreStandIns() ? kExitStandInImages : kExitDone, 0, "present",
                   resources::PayloadsAreStandIns()
                       ? "31 of 31 present, 31 of them generated stand-ins"
                       : "31 of 31 present: a complete set of real images"},
        ImagesCase{"images_real", ImageFolderKind::kReal, kExitDone, 0, "present",
                   "31 of 31 present: a complete set of real images\n"},
        ImagesCase{"images_missing", ImageFolderKind::kMissingOne, kExitFailure, 30, "missing",
                   "31 163A2C/UST.BIN     missing (65536 bytes expected)\n"},
        ImagesCase{"images_wrong_size", ImageFolderKind::kWrongSize, kExitFailure, 19, "wrong size",
                   "20 CUS8.BIN           wrong size: 5 bytes, 131072 expected\n"},
        ImagesCase{"images_swapped", ImageFolderKind::kSwappedStandIns, kExitFailure, 20,
                   "misnamed",
                   "21 163A2C/US.BIN      65536 bytes  misnamed: it is the stand-in of "
                   "163A2C/US1.BIN\n",
                   "misnamed: 163A2C/US.BIN holds the stand-in of 163A2C/US1.BIN\n"},
        ImagesCase{"images_pinned_changed", ImageFolderKind::kPinnedOneChanged, kExitFailure, 20,
                   "differs", "21 163A2C/US.BIN      65536 bytes  differs from SHA256SUMS\n",
                   "differs from SHA256SUMS: 163A2C/US.BIN has SHA-256 "},
        ImagesCase{"images_pinned_missing", ImageFolderKind::kPinnedOneMissing, kExitFailure, 30,
                   "missing",
                   "31 163A2C/UST.BIN     missing (65536 bytes expected), listed in SHA256SUMS\n",
                   "missing: 163A2C/UST.BIN (listed in SHA256SUMS)\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// --version --json: the version and the images a run would write, as a
// document of its own; --json --help: the usage, in one.
TEST_F(ConsoleJson, VersionAndHelpAreDocumentsToo) {
  const RunResult r = testing::RunConsoleWith({"--version", "--json"});
  EXPECT_EQ(r.code, kExitDone) << r.err;
  json document;
  ASSERT_NO_THROW(document = json::parse(r.out)) << r.out;
  std::ofstream(kDocuments / "version.json") << r.out;
  EXPECT_EQ(document["version"], kVersionNumber);
  EXPECT_EQ(document["images"]["standIns"], resources::PayloadsAreStandIns());
  EXPECT_FALSE(document.contains("command"));

  const RunResult help = testing::RunConsoleWith({"--json", "--help"});
  EXPECT_EQ(help.code, kExitDone) << help.err;
  ASSERT_NO_THROW(document = json::parse(help.out)) << help.out;
  std::ofstream(kDocuments / "help.json") << help.out;
  EXPECT_NE(document.value("help", "").find("Usage: kestrune"), std::string::npos) << help.out;
  EXPECT_EQ(document["outcome"], "success");
}

// export-drive with --json: one document on stdout and nothing else, which
// tells the drive made and names the two files as they are on disk, or says
// why nothing was made (exit 2, as every export that cannot be made).
struct ExportCase {
  const char* name;
  const char* arguments;  // after --drive E=<a recording of a scan>
  int code;
  std::vector<const char*> written;  // the files named, in order
  const char* error;                 // in errors; "" for none
};

class ConsoleJsonExport : public ConsoleJson, public ::testing::WithParamInterface<ExportCase> {};

TEST_P(ConsoleJsonExport, TellsTheDriveMadeAndTheFilesWritten) {
  const ExportCase& c = GetParam();
  AddDrive("ctrl163_broken", false);
  const fs::path recording = folder.path() / "stick.krec";
  ASSERT_EQ(Run("--record " + recording.string() + " scan").code, kExitDone);
  drives = {"--drive", "E=" + recording.string()};
  std::string arguments = c.arguments;
  for (size_t at; (at = arguments.find("@")) != std::string::npos;) {
    arguments.replace(at, 1, folder.path().string() + "/");
  }

  const RunResult r = Run(arguments);
  EXPECT_EQ(r.code, c.code) << r.err;
  json document;
  ASSERT_NO_THROW(document = json::parse(r.out)) << r.out;
  std::ofstream(kDocuments / (std::string(c.name) + ".json")) << r.out;
  EXPECT_EQ(document["command"], "export-drive");
  EXPECT_EQ(document["exitCode"], c.code);
  EXPECT_EQ(document["outcome"], OutcomeOfExitCode(c.code));
  ASSERT_EQ(document["files"].size(), c.written.size()) << r.out;
  for (size_t i = 0; i < c.written.size(); ++i) {
    const json& file = document["files"][i];
    const fs::path path = folder.path() / c.written[i];
    EXPECT_EQ(file["path"], path.string());
    ASSERT_TRUE(fs::is_regular_file(path)) << path;
    EXPECT_EQ(file["size"], fs::file_size(path));
    EXPECT_EQ(file["sha256"], Sha256Of(path));
  }
  if (c.code == kExitDone) {
    EXPECT_EQ(document["exported"]["letter"], "E");
    EXPECT_EQ(document["exported"]["controllerId"], "0x163");
    EXPECT_EQ(document["exported"]["verdict"], "broken");
    // The line that says what was made goes to stderr, beside the boxes.
    EXPECT_NE(r.err.find("E: controller 0x163, ISP broken"), std::string::npos) << r.err;
  } else {
    EXPECT_FALSE(document.contains("exported"));
    EXPECT_FALSE(fs::exists(folder.path() / "out.json"));
  }
  if (*c.error == '\0') {
    EXPECT_TRUE(document["errors"].empty()) << document["errors"];
  } else {
    ASSERT_EQ(document["errors"].size(), 1u);
    EXPECT_NE(document["errors"][0].get<std::string>().find(c.error), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Exports, ConsoleJsonExport,
                         ::testing::Values(ExportCase{"export_drive",
                                                      "--json export-drive @out.json",
                                                      kExitDone,
                                                      {"out.json", "out.json.flash"},
                                                      ""},
                                           ExportCase{"export_drive_not_json",
                                                      "--json export-drive @out.txt",
                                                      kExitUsage,
                                                      {},
                                                      "whose name ends in .json"},
                                           ExportCase{"export_drive_with_all",
                                                      "--json --all export-drive @out.json",
                                                      kExitUsage,
                                                      {},
                                                      "nothing of a run"},
                                           ExportCase{"export_drive_no_such_letter",
                                                      "--json --drive F=@stick.krec export-drive "
                                                      "@out.json",
                                                      kExitUsage,
                                                      {},
                                                      "one --drive X=FILE that names a recording"}),
                         [](const auto& info) { return std::string(info.param.name); });

// An interrupt at any point of a fix ends the run with 130 and one document
// that tells what was shown and kept up to there. Before the write window
// the run ends at once; an interrupt in it, or just after it, waits until
// the write's box is shown; during the After backups the run ends at once,
// keeping what was complete; a third interrupt ends even a write at once,
// warning that the drive may be left half written.
struct SignalCase {
  const char* name;
  json faults;  // one rule per interrupt sent
  // The interrupt comes at the first read of an After backup (its place is
  // counted on a run without faults).
  bool atAfterBackup;
  std::vector<const char*> said;  // the interrupt lines on stderr, in order
  const char* lastBox;            // the text of the document's last box
  // The drive's outcome in the document of --all, as its summary row says.
  const char* driveOutcome;
};

class ConsoleJsonSignal : public ConsoleJson, public ::testing::WithParamInterface<SignalCase> {
 protected:
  testing::ChildRun RunProgram(const fs::path& drive, const fs::path& cDrive,
                               const std::vector<std::string>& more) {
    std::vector<std::string> argv{
        KESTRUNE_CONSOLE_PROGRAM, "--drive", "E=" + drive.string(), "--c-drive",
        cDrive.string(),          "--temp",  temp().string()};
    argv.insert(argv.end(), more.begin(), more.end());
    return testing::RunChild(argv);
  }

  // Which read of the flash (0xF8) is the first of the After backups: the
  // first that reads a whole backup after the last page write.
  int FirstAfterBackupRead() {
    const fs::path dry = folder.path() / "dry.json";
    fs::copy_file(fs::path(KESTRUNE_TEST_DRIVES) / "ctrl163_broken.json", dry);
    fs::create_directories(folder.path() / "dry-c");
    const fs::path trace = folder.path() / "dry-trace.txt";
    RunProgram(dry, folder.path() / "dry-c", {"--trace", trace.string(), "--yes", "fix"});
    std::vector<std::string> lines;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
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

  // The case's interrupts, placed.
  json Faults() {
    const SignalCase& c = GetParam();
    if (!c.atAfterBackup) return c.faults;
    const int read = FirstAfterBackupRead();
    EXPECT_GT(read, 0) << "the dry run made no After backup";
    return {{{"opcode", "0xF8"}, {"nth", read}, {"action", "interrupt"}}};
  }
};

TEST_P(ConsoleJsonSignal, EndsWith130AndOneDocumentOfWhatWasKept) {
  const SignalCase& c = GetParam();
  const fs::path drive = AddDrive("ctrl163_broken", false, {{"faults", Faults()}});

  const testing::ChildRun run = RunProgram(drive, cDrive(), {"--json", "--yes", "fix"});

  ASSERT_TRUE(run.exited && run.code == kExitInterrupted) << run.Describe();
  json document;
  ASSERT_NO_THROW(document = json::parse(run.out)) << run.out;
  std::ofstream(kDocuments / ("interrupt_" + std::string(c.name) + ".json")) << run.out;
  EXPECT_EQ(document["outcome"], "interrupted");
  EXPECT_EQ(document["exitCode"], kExitInterrupted);
  ASSERT_FALSE(document["messages"].empty());
  EXPECT_EQ(document["messages"].back()["text"], c.lastBox);
  size_t at = 0;
  for (const char* line : {kInterruptNotice, kInterruptAgain, kInterruptForced,
                           kInterruptOutcomeNotice, kInterruptOutcomeAgain, kInterruptStopNotice}) {
    const bool expected = std::find(c.said.begin(), c.said.end(), line) != c.said.end();
    EXPECT_EQ(run.err.find(std::string(line) + "\n") != std::string::npos, expected) << line;
  }
  for (const char* line : c.said) {
    const size_t found = run.err.find(std::string(line) + "\n", at);
    ASSERT_NE(found, std::string::npos) << line << " not said in order: " << run.err;
    at = found;
  }
  // What it names is there, whole, and what it kept is named. After an
  // interrupt held over the write no After backup is made; one that ends
  // the run at once during the After backups keeps only those complete.
  std::set<std::string> named;
  for (const json& file : document["files"]) {
    const std::string path = file["path"];
    named.insert(fs::path(path).filename());
    ASSERT_TRUE(fs::is_regular_file(path)) << path;
    EXPECT_EQ(file["size"], fs::file_size(path)) << path;
  }
  EXPECT_EQ(named.count("ISP0_Before.bin"), 1u);
  for (const auto& entry : fs::directory_iterator(cDrive())) {
    const std::string name = entry.path().filename();
    if (!c.atAfterBackup) {
      EXPECT_EQ(name.find("After"), std::string::npos) << name;
    }
    EXPECT_EQ(named.count(name), 1u) << name << " was kept but not named";
  }
}

// With --all the drive's own outcome says what the interrupt left of it: a
// fix whose write verified before the interrupt is repaired, whether the
// interrupt waited for its write or cut its After backups short.
TEST_P(ConsoleJsonSignal, AllTellsWhatTheDriveCameTo) {
  const SignalCase& c = GetParam();
  const fs::path drive = AddDrive("ctrl163_broken", false, {{"faults", Faults()}});

  const testing::ChildRun run = RunProgram(drive, cDrive(), {"--all", "--json", "--yes", "fix"});

  ASSERT_TRUE(run.exited && run.code == kExitInterrupted) << run.Describe();
  json document;
  ASSERT_NO_THROW(document = json::parse(run.out)) << run.out;
  std::ofstream(kDocuments / ("interrupt_all_" + std::string(c.name) + ".json")) << run.out;
  EXPECT_EQ(document["outcome"], "interrupted");
  ASSERT_EQ(document["drives"].size(), 1u) << run.out;
  EXPECT_EQ(document["drives"][0]["outcome"], c.driveOutcome) << run.err;
}

const char* const kConfirmText = "Are you sure to update new ISP code ?";
const char* const kFixedText = "Update ISP code Success, please replug device to ensure it normal.";

json SignalAt(const char* opcode, int nth, const char* action = "interrupt") {
  return {{"opcode", opcode}, {"nth", nth}, {"action", action}};
}

INSTANTIATE_TEST_SUITE_P(
    Points, ConsoleJsonSignal,
    ::testing::Values(
        // The update's InitFlash, right before the first erase.
        SignalCase{"BeforeTheWrite",
                   {{{"opcode", "0xFD"}, {"sub", "0x11"}, {"nth", 2}, {"action", "interrupt"}}},
                   false,
                   {kInterruptStopNotice},
                   kConfirmText,
                   "interrupted"},
        SignalCase{"InTheWrite",
                   {SignalAt("0xFE", 1)},
                   false,
                   {kInterruptNotice},
                   kFixedText,
                   "repaired, pull it now"},
        // The READ CAPACITY right after the read-back.
        SignalCase{"JustAfterTheWrite",
                   {SignalAt("0x25", 2)},
                   false,
                   {kInterruptOutcomeNotice},
                   kFixedText,
                   "repaired, pull it now"},
        SignalCase{"DuringTheAfterBackups",
                   json::array(),
                   true,
                   {kInterruptStopNotice},
                   kFixedText,
                   "repaired, pull it now"},
        // Three different signals, which the system never merges into one.
        SignalCase{
            "ThirdInTheWrite",
            {SignalAt("0xFE", 1), SignalAt("0xFA", 1, "terminate"), SignalAt("0xFA", 2, "hangup")},
            false,
            {kInterruptNotice, kInterruptAgain, kInterruptForced},
            kConfirmText,
            "interrupted"}),
    [](const auto& info) { return std::string(info.param.name); });

// list reads a sysfs tree laid out as the kernel lays out one stick.
TEST_F(ConsoleJson, ListDescribesTheDisks) {
  const fs::path root = fs::canonical(folder.path());
  const fs::path disk = root / "usb1/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0";
  for (const auto& [file, text] :
       std::map<fs::path, std::string>{{root / "usb1/1-2/serial", "SN12"},
                                       {disk / "vendor", "KSTRUNE "},
                                       {disk / "model", "USB DISK 163"},
                                       {disk / "block/sdb/size", "256000"},
                                       {disk / "block/sdb/removable", "1"}}) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  }
  fs::create_directory_symlink(disk, disk / "block/sdb/device");
  fs::create_directory_symlink(disk / "block", root / "block");

  ConsoleOptions options;
  options.command = Command::kList;
  options.json = true;
  std::istringstream in;
  std::ostringstream out;
  const int code = RunList(options, {in, out, out, false}, (root / "block").string(), "/dev");
  std::ofstream(kDocuments / "list.json") << out.str();
  const json document = json::parse(out.str());
  EXPECT_EQ(document["exitCode"], code);
  EXPECT_EQ(document["devices"][0]["serial"], "SN12");
}

// A flash file is read only when this drive could have left it. One whose
// header is not a flash file's is refused on its header, however large;
// one larger than its geometry and journal allow is refused before a byte
// past its header is read (a sparse file costs no disk): exit 2, one
// document, nothing written, and no memory taken for the file.
struct FlashFileCase {
  const char* name;
  bool header;    // starts as a flash file of the drive's geometry does
  int64_t extra;  // bytes past the largest file the drive can leave
  const char* why;
};

class ConsoleFlashFile : public ConsoleJson, public ::testing::WithParamInterface<FlashFileCase> {};

TEST_P(ConsoleFlashFile, IsRefusedBeforeItIsRead) {
  const FlashFileCase& c = GetParam();
  const fs::path drive = AddDrive("ctrl163_broken", false);
  const fs::path flash = drive.string() + ".flash";
  std::string error;
  const auto loaded = sim::VirtualDrive::FromFile(drive.string(), &error, "");
  ASSERT_NE(loaded, nullptr) << error;
  const sim::DriveDescription& d = loaded->Description();
  const sim::NandFlash geometry(d.pageSize, sim::kSpareSize, d.pagesPerBlock, d.BlockCount());
  if (c.header) {
    ASSERT_TRUE(sim::SaveFlashFile(flash.string(), geometry, &error)) << error;
  } else {
    std::ofstream(flash).close();
  }
  fs::resize_file(flash, static_cast<uint64_t>(
                             static_cast<int64_t>(sim::MaxFlashFileBytes(geometry)) + c.extra));
  const uintmax_t size = fs::file_size(flash);

  const RunResult r = Run("--json --yes fix");
  EXPECT_EQ(r.code, kExitUsage);
  json document;
  ASSERT_NO_THROW(document = json::parse(r.out)) << r.out;
  std::ofstream(kDocuments / ("flash_" + std::string(c.name) + ".json")) << r.out;
  EXPECT_EQ(document["exitCode"], kExitUsage);
  EXPECT_NE(r.err.find(flash.string() + ": " + c.why), std::string::npos) << r.err;
  EXPECT_EQ(fs::file_size(flash), size);
  EXPECT_TRUE(fs::is_empty(cDrive()));
  // The bound for this drive is over a GiB: a file read whole would show.
  rusage usage{};
  ASSERT_EQ(::getrusage(RUSAGE_SELF, &usage), 0);
  EXPECT_LT(usage.ru_maxrss, 512 * 1024) << "KiB at the most";
}

INSTANTIATE_TEST_SUITE_P(Files, ConsoleFlashFile,
                         ::testing::Values(FlashFileCase{"Sparse40GiB", true, int64_t{40} << 30,
                                                         "is "},
                                           FlashFileCase{"OneByteTooMany", true, 1, "is "},
                                           FlashFileCase{"NotAFlashFileJustUnderTheBound", false,
                                                         -1, "not a flash file"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A drive's own bytes never steer the terminal: a vendor and product made of
// escape sequences show as '?' in every line a terminal gets, and the
// document keeps them, escaped as JSON escapes them.
struct DriveTextCase {
  const char* name;
  const char* arguments;
  const char* input;
  const char* shown;  // on stdout; "": a document
};

class ConsoleDriveText : public ConsoleJson, public ::testing::WithParamInterface<DriveTextCase> {};

TEST_P(ConsoleDriveText, ReachesNoTerminalAsControlBytes) {
  const DriveTextCase& c = GetParam();
  const std::string vendor = "\x1b[2J\x1b[H";      // clear the screen
  const std::string product = "\x1b]0;owned\x07";  // set the window title
  AddDrive("ctrl163_broken", false,
           {{"vendor", vendor},
            {"product", product},
            {"codeMarks", {{"vendor", vendor}, {"product", product}}}});
  std::vector<std::string> all{"--c-drive", cDrive().string(), "--temp", temp().string()};
  all.insert(all.end(), drives.begin(), drives.end());
  for (const std::string& word : Words(c.arguments)) all.push_back(word);
  const RunResult r = testing::RunConsoleWith(all, c.input);
  ASSERT_EQ(r.code, kExitDone) << r.out << r.err;

  if (*c.shown == '\0') {
    const json document = json::parse(r.out);
    EXPECT_NE(document["drives"][0]["line"].get<std::string>().find(product), std::string::npos)
        << r.out;
    return;
  }
  EXPECT_NE(r.out.find(c.shown), std::string::npos) << r.out;
  const auto steers = [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return c != '\n' && (byte < 0x20 || byte >= 0x7F);
  };
  EXPECT_EQ(std::count_if(r.out.begin(), r.out.end(), steers), 0);
  EXPECT_EQ(std::count_if(r.err.begin(), r.err.end(), steers), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, ConsoleDriveText,
    ::testing::Values(DriveTextCase{"Scan", "scan", "",
                                    "* 0 Drive Volume [E]: 125.00MB ?[2J?[H ?]0;owned?"},
                      DriveTextCase{"Interactive", "", "list\nselect 0\nquit\n",
                                    "* 0 Drive Volume [E]: 125.00MB ?[2J?[H ?]0;owned?"},
                      DriveTextCase{"EveryDrive", "--all scan", "", "?[2J?[H  ?]0;owned?"},
                      DriveTextCase{"Json", "--json scan", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// --quiet: the errors, the questions nobody answered for the user, and one
// last line; no progress and no file lines.
struct QuietCase {
  const char* name;
  const char* arguments;
  bool writesRefused;
  std::string out;
  std::string err;
};

class ConsoleQuiet : public ConsoleJson, public ::testing::WithParamInterface<QuietCase> {};

TEST_P(ConsoleQuiet, SaysOnlyWhatWentWrongAndHowItEnded) {
  const QuietCase& c = GetParam();
  AddDrive("ctrl163_broken", c.writesRefused);
  std::ofstream(cDrive() / "ISP.log");
  const RunResult r = Run(c.arguments);
  // The summary of --all is its last word: its header, then a row per drive.
  const bool table = c.out.rfind("drive ", 0) == 0;
  EXPECT_EQ(table ? r.out.substr(0, c.out.size()) : r.out, c.out);
  if (table) {
    EXPECT_EQ(r.out.find('[', c.out.size()), std::string::npos) << r.out;
  }
  EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ConsoleQuiet,
    ::testing::Values(
        QuietCase{"Repaired", "--quiet --yes fix", false,
                  "E: scan found ISP broken; fix: success\n", ""},
        QuietCase{"Unanswered", "--quiet fix", false,
                  "[Update ISP Warning] Are you sure to update new ISP code ?\n"
                  "E: scan found ISP broken; fix: cancelled\n",
                  "(no terminal to ask: answered Cancel; --yes answers OK)\n"},
        QuietCase{"WriteRefused", "--quiet --yes fix", true,
                  "[ERROR] Write ISP code to flash fail\n"
                  "Why: flash page write (FA) failed in transport\n"
                  "E: scan found ISP broken; fix: failed\n",
                  ""},
        QuietCase{"EveryDrive", "--quiet --all --yes backup", false,
                  "drive  verdict before  outcome  copies verified  backups  seconds  serial  "
                  "      failure\n",
                  ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune::console
