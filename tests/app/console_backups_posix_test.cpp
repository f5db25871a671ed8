// The way back as a technician walks it through the console: what each
// save holds, which one restore takes for a stick, wherever its letter
// was, and what it says before it writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "operations/backup_files.h"
#include "operations/isp_areas.h"
#include "simulator/virtual_drive.h"
#include "tests/support/console_harness.h"
#include "tests/support/console_runner.h"
#include "tests/support/device_temp_folder.h"

namespace kestrune::console {
namespace {

namespace fs = std::filesystem;
using testing::ConsoleResult;

constexpr int kDone = 0;
constexpr int kFailure = 1;

// A stick: a ready-made drive with a serial of its own.
struct Stick {
  const char* name;
  const char* ready;
  const char* serial;
};

// What befalls stick `a` in one step, planted in its fault plan at the
// reads of one copy's ISP area that a dry run of the step's command makes.
enum class Plant {
  kNone,
  kCopy1Unread,      // every read of copy 1 fails
  kBadSecondRead,    // the second read of copy 0 comes back with one byte wrong
  kReadsNeverAgree,  // each read of copy 0 comes back with another byte wrong
  kFlashIdChanged,   // the stick reports another flash ID from now on
};

// One command line of a story. `drives` is "E=a F=b" (sticks by name) or
// "export" for the desk copy of stick `a` made from a recording of it.
struct Step {
  std::string drives;
  std::vector<std::string> arguments;
  Plant plant = Plant::kNone;
};

struct Story {
  const char* name;
  std::vector<Stick> sticks;
  std::vector<Step> steps;  // the last is the one judged
  int code;
  std::string said;  // a line, or part of one, of the last step's output
  // What each stick's ISP areas hold at the end: "original" (before the
  // story), "before-last" (before the last step).
  const char* holds;
  // The command the last step's refusal names; it must then work.
  std::vector<std::string> named = {};
};

class SaveStory : public testing::ConsoleHarness, public ::testing::WithParamInterface<Story> {
 protected:
  std::string MakeStick(const Stick& stick) {
    nlohmann::json d =
        nlohmann::json::parse(std::ifstream(fs::path(KESTRUNE_TEST_DRIVES) / stick.ready));
    d["usbSerial"] = stick.serial;
    const fs::path path = folder.path() / (std::string(stick.name) + ".json");
    std::ofstream(path) << d.dump(2);
    return path.string();
  }

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

  ConsoleResult RunWith(const std::vector<std::string>& drives,
                        const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"--c-drive", CFolder().string(), "--temp", tempArgument};
    all.insert(all.end(), drives.begin(), drives.end());
    all.insert(all.end(), arguments.begin(), arguments.end());
    return testing::RunConsoleWith(all);
  }

  // Plants `plant` on `drive` for its next `arguments`. A fault goes at the
  // reads of a copy's ISP area, found on a dry run of that command: the
  // first flash read of the area's page whose length is an area's (0x163)
  // or, where the scan reads that page too, the second read of it (0x190);
  // every read after it is another try at the same area.
  void PlantOn(const std::string& drive, const std::vector<std::string>& arguments, Plant plant) {
    nlohmann::json d = nlohmann::json::parse(std::ifstream(drive));
    if (plant == Plant::kFlashIdChanged) {
      // Byte 2 & 0x0C = 4: another row of the update chooser.
      d["flashId"] = "EC D3 55 95 58";
      std::ofstream(drive, std::ios::trunc) << d.dump(2);
      return;
    }
    const int copy = plant == Plant::kCopy1Unread ? 1 : 0;
    const testing::TempFolder dry;
    const fs::path copied = dry.path() / "dry.json";
    fs::copy_file(drive, copied);
    if (fs::exists(drive + ".flash")) fs::copy_file(drive + ".flash", copied.string() + ".flash");
    // A restore's dry run takes the saves the story kept so far.
    for (const auto& entry : fs::directory_iterator(CFolder())) {
      fs::copy(entry.path(), dry.path() / entry.path().filename(), fs::copy_options::recursive);
    }
    const std::string trace = (dry.path() / "trace.txt").string();
    std::vector<std::string> run{"--c-drive", dry.path().string(),    "--temp",  tempArgument,
                                 "--drive",   "E=" + copied.string(), "--trace", trace};
    run.insert(run.end(), arguments.begin(), arguments.end());
    testing::RunConsoleWith(run);
    const uint32_t page = IspPages(drive).at(static_cast<size_t>(copy));
    const std::string at = FormatText("E: f8 02 %02x %02x %02x %02x ", page >> 24,
                                      (page >> 16) & 0xFF, (page >> 8) & 0xFF, page & 0xFF);
    std::ifstream lines(trace);
    int reads = 0;
    int seen = 0;
    bool found = false;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("E: f8 ", 0) != 0) continue;
      ++reads;
      if (line.rfind(at, 0) != 0) continue;
      if (line.find("| in 49152 |") != std::string::npos || ++seen == 2) {
        found = true;
        break;
      }
    }
    ASSERT_TRUE(found) << "the dry run read no backup of copy " << copy;
    nlohmann::json faults = nlohmann::json::array();
    for (int k = 0; k < kAreaReadAttempts; ++k) {
      if (plant == Plant::kCopy1Unread) faults.push_back({{"opcode", "0xF8"}, {"nth", reads + k}});
      if (plant == Plant::kReadsNeverAgree || (plant == Plant::kBadSecondRead && k == 1)) {
        faults.push_back(
            {{"opcode", "0xF8"}, {"nth", reads + k}, {"action", "corrupt"}, {"byte", 100 + k}});
      }
    }
    d["faults"] = faults;
    std::ofstream(drive, std::ios::trunc) << d.dump(2);
  }

  static std::vector<uint32_t> IspPages(const std::string& drive) {
    std::string error;
    const auto d = sim::VirtualDrive::FromFile(drive, &error, "");
    if (!d) throw std::runtime_error(error);
    return d->IspAreaPages();
  }

  void Export(const std::string& stick, const std::string& desk) {
    const std::string recording = (folder.path() / "stick.krec").string();
    ASSERT_EQ(RunWith({"--drive", "E=" + stick, "--record", recording}, {"scan"}).code, kDone);
    const ConsoleResult made = RunWith({"--drive", "E=" + recording}, {"export-drive", desk});
    ASSERT_EQ(made.code, kDone) << made.out << made.err;
  }
};

TEST_P(SaveStory, RestoreWritesOneWholeSaveOfThisStick) {
  const Story& s = GetParam();
  std::map<std::string, std::string> paths;
  std::map<std::string, std::vector<std::vector<uint8_t>>> original;
  for (const Stick& stick : s.sticks) {
    paths[stick.name] = MakeStick(stick);
    original[stick.name] = IspCode(paths[stick.name]);
  }
  std::map<std::string, std::vector<std::vector<uint8_t>>> beforeLast;
  ConsoleResult last;
  for (size_t i = 0; i < s.steps.size(); ++i) {
    const Step& step = s.steps[i];
    std::vector<std::string> drives;
    if (step.drives == "export") {
      const std::string desk = (folder.path() / "desk.json").string();
      Export(paths["a"], desk);
      drives = {"--drive", "E=" + desk};
    } else {
      for (size_t at = 0; at < step.drives.size(); at += 4) {
        drives.insert(drives.end(), {"--drive", step.drives.substr(at, 2) +
                                                    paths[step.drives.substr(at + 2, 1)]});
      }
    }
    if (step.plant != Plant::kNone) PlantOn(paths["a"], step.arguments, step.plant);
    if (i + 1 == s.steps.size()) {
      for (const auto& [name, path] : paths) beforeLast[name] = IspCode(path);
    }
    last = RunWith(drives, step.arguments);
    if (i + 1 < s.steps.size()) {
      ASSERT_EQ(last.code, kDone) << i << "\n" << last.out << last.err;
    }
  }
  EXPECT_EQ(last.code, s.code) << last.out << last.err;
  EXPECT_NE(last.out.find(s.said), std::string::npos) << s.said << "\n" << last.out;
  for (const auto& [name, path] : paths) {
    EXPECT_EQ(IspCode(path), std::string(s.holds) == "original" ? original[name] : beforeLast[name])
        << name;
  }
  if (!s.named.empty()) {
    const ConsoleResult named = RunWith({"--drive", "E=" + paths["a"]}, s.named);
    EXPECT_EQ(named.code, kDone) << named.out << named.err;
  }
}

const std::vector<std::string> kFix{"--yes", "fix"};
const std::vector<std::string> kRestore{"--yes", "restore"};
constexpr const char* kRestored =
    "[SUCCESS] Restore ISP code Success, please replug device to ensure it normal.";
constexpr const char* kNotWhole =
    "lacks ISP copy 1. Nothing was written: a restore writes one save whole and never fills a gap "
    "from another.";

INSTANTIATE_TEST_SUITE_P(
    Stories, SaveStory,
    ::testing::Values(
        // The second fix could not read copy 1 before writing: its save is
        // refused whole, never paired with the first fix's copy 1.
        Story{"Copy1Unread163",
              {{"a", "ctrl163_broken.json", "A163"}},
              {{"E=a", kFix}, {"E=a", kFix, Plant::kCopy1Unread}, {"E=a", kRestore}},
              kFailure,
              kNotWhole,
              "before-last"},
        Story{"Copy1Unread190",
              {{"a", "ctrl190_broken.json", "A190"}},
              {{"E=a", kFix}, {"E=a", kFix, Plant::kCopy1Unread}, {"E=a", kRestore}},
              kFailure,
              kNotWhole,
              "before-last"},
        // A backup is no change: restore goes back to before the fix.
        Story{"FixBackupRestore190",
              {{"a", "ctrl190_broken.json", "A190"}},
              {{"E=a", kFix}, {"E=a", {"backup"}}, {"E=a", kRestore}},
              kDone,
              kRestored,
              "original"},
        Story{"DestroyThenRestore",
              {{"a", "ctrl163_healthy.json", "A163"}},
              {{"E=a", {"--yes", "destroy"}}, {"E=a", kRestore}},
              kDone,
              kRestored,
              "original"},
        // A read that disagreed is read again: the destroy keeps copy 0
        // whole, and restore brings it back.
        Story{"DestroyReadsCopy0Again",
              {{"a", "ctrl163_healthy.json", "A163"}},
              {{"E=a", {"--yes", "destroy"}, Plant::kBadSecondRead}, {"E=a", kRestore}},
              kDone,
              kRestored,
              "original"},
        // No two reads agree: nothing is erased that was not saved.
        Story{"DestroyStopsWithoutAWholeSave",
              {{"a", "ctrl163_healthy.json", "A163"}},
              {{"E=a", {"--yes", "destroy"}, Plant::kReadsNeverAgree}},
              kFailure,
              "Read ISP code from flash fail\nThe destroy was stopped before anything was written "
              "to the drive.",
              "before-last"},
        Story{"RestoreStopsWithoutAWholeSave",
              {{"a", "ctrl163_broken.json", "A163"}},
              {{"E=a", kFix}, {"E=a", kRestore, Plant::kReadsNeverAgree}},
              kFailure,
              "The restore was stopped before anything was written to the drive.",
              "before-last"},
        // The flash ID changed since the save: restore, --donor or not, can
        // write none of it, and says what does reach the stick.
        Story{"FlashIdChangedNamesTheFix",
              {{"a", "ctrl163_broken.json", "A163"}},
              {{"E=a", kFix}, {"E=a", kRestore, Plant::kFlashIdChanged}},
              kFailure,
              "kestrune fix writes the ISP image chosen for the drive as it is now: 163A2C/US1.BIN",
              "before-last",
              kFix},
        // A donor's code goes in, and what it overwrote is kept: a plain
        // restore then brings the stick's own code back.
        Story{"DonorThenBack",
              {{"a", "ctrl163_healthy.json", "A163"}, {"b", "ctrl163_broken.json", "B163"}},
              {{"E=b", {"backup"}},
               {"E=a",
                {"--yes", "--donor", "restore", "--from", "C:\\ISP0_Backup.bin", "--from",
                 "C:\\ISP1_Backup.bin"}},
               {"E=a", kRestore}},
              kDone,
              "Restore writes save ",
              "original"},
        // The desk copy's save is an exported drive's, never the stick's.
        Story{"DeskCopyIsNotTheStick",
              {{"a", "ctrl163_broken.json", "A163"}},
              {{"export", kFix}, {"E=a", kRestore}},
              kFailure,
              "was made from the drive exported from the recording <stick.krec>",
              "before-last"},
        // Fixed on E: by --all, restored on F: without it.
        Story{"AllOnEThenF",
              {{"a", "ctrl163_broken.json", "A163"}},
              {{"E=a", {"--all", "--yes", "fix"}}, {"F=a", kRestore}},
              kDone,
              kRestored,
              "original"},
        // Three sticks, one question, each from its own save.
        Story{"AllRestoreThree",
              {{"a", "ctrl163_broken.json", "A163"},
               {"b", "ctrl190_broken.json", "B190"},
               {"c", "ctrl165_broken.json", "C165"}},
              {{"E=a F=b G=c", {"--all", "--yes", "fix"}},
               {"G=a E=b F=c", {"--all", "--yes", "restore"}}},
              kDone,
              "Drives to restore, each from its own save:",
              "original"}),
    [](const auto& info) { return std::string(info.param.name); });

class SaveWords : public testing::ConsoleHarness {};

// A C: folder named that is not there holds no save: backups and restore
// name it and stop, where "no save is kept" would hide a mistyped name.
TEST_F(SaveWords, AMissingCFolderIsNamedNotReadAsEmpty) {
  const std::string missing = (CFolder() / "no-such-folder").string();
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"backups"}, {"--simulate", "--yes", "restore"}}) {
    std::vector<std::string> arguments{"--c-drive", missing};
    arguments.insert(arguments.end(), command.begin(), command.end());
    const ConsoleResult r = testing::RunConsoleWith(arguments);
    EXPECT_EQ(r.code, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("the C: folder " + missing + " does not exist"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("No save is kept"), std::string::npos) << r.out;
  }
  EXPECT_FALSE(fs::exists(missing));
}

// In a shared C: folder, another user's files under our names in another
// case are theirs: never renamed, never read as ours.
TEST_F(SaveWords, ANameInAnotherCaseOfAnotherUserIsLeftAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "files of another user need root to make";
  constexpr uid_t kOtherUser = 54321;
  AddDriveOn('E', "ctrl163_broken.json");
  fs::permissions(CFolder(), fs::perms::all | fs::perms::sticky_bit);
  const std::map<std::string, std::string> theirs{
      {"isp0_before.bin", std::string(kIspPayloadBytes, 'Z')},
      {"KESTRUNE-BACKUPS.JSON",
       R"({"format": "kestrune-backup-records", "version": 1, "files": []})"}};
  for (const auto& [name, bytes] : theirs) {
    std::ofstream(CFolder() / name, std::ios::binary) << bytes;
    ASSERT_EQ(::chown((CFolder() / name).c_str(), kOtherUser, kOtherUser), 0);
  }
  const ConsoleResult fixed = RunHere({"--yes", "fix"});
  ASSERT_EQ(fixed.code, kDone) << fixed.out << fixed.err;
  ASSERT_EQ(RunHere({"--yes", "restore"}).code, kDone);
  for (const auto& [name, bytes] : theirs) {
    std::ifstream in(CFolder() / name, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bytes) << name;
  }
  // Ours stand beside theirs, and nothing of theirs was moved aside.
  EXPECT_TRUE(fs::exists(CFolder() / "ISP0_Before.bin"));
  EXPECT_TRUE(fs::exists(CFolder() / "kestrune-backups.json"));
  EXPECT_FALSE(fs::exists(CFolder() / "isp0_before.1.bin"));
  EXPECT_EQ(RunHere({"scan"}).out.rfind("[Check ISP] ISP was borken!", 0), 0u);
}

// What restore says before its question, and what backups lists, word for
// word, with the ids and times the records hold.

TEST_F(SaveWords, RestoreAndBackupsNameTheSameSave) {
  AddDriveOn('E', "ctrl190_broken.json");
  // The log is kept once its file is there.
  std::ofstream(CFolder() / "ISP.log") << "";
  ASSERT_EQ(RunHere({"--yes", "fix"}).code, kDone);
  const ConsoleResult listed = RunHere({"--json", "backups"});
  ASSERT_EQ(listed.code, kDone) << listed.err;
  const nlohmann::json doc = nlohmann::json::parse(listed.out);
  ASSERT_EQ(doc["sticks"].size(), 1u);
  const nlohmann::json& after = doc["sticks"][0]["saves"][0];
  const nlohmann::json& before = doc["sticks"][0]["saves"][1];
  const std::string id = before["id"];
  const std::string at = before["savedAt"];
  EXPECT_EQ(before["restoreTakes"], true);
  EXPECT_EQ(after["restoreTakes"], false);
  EXPECT_EQ(before["complete"], true);

  const std::string cis = doc["sticks"][0]["drive"]["cisSha256"];
  const std::string text = RunHere({"backups"}).out;
  const std::string files =
      "    ISP copy 0: C:\\ISP0_%s.bin\n    ISP copy 1: C:\\ISP1_%s.bin\n"
      "    auxiliary area of copy 0: C:\\ISP0_Aux%s.bin\n"
      "    auxiliary area of copy 1: C:\\ISP1_Aux%s.bin\n";
  EXPECT_EQ(text,
            "Stick: controller 0x190 rev 2, flash EC D5 14 B6 74, page size 4096, USB serial "
            "KST190BROKEN, CIS page SHA-256 " +
                cis + "\n  save " + after["id"].get<std::string>() + " (fix, after, " +
                after["savedAt"].get<std::string>() + ", E:), a simulated drive, complete\n" +
                FormatText(files.c_str(), "After", "After", "After", "After") + "  save " + id +
                " (fix, before, " + at + ", E:), a simulated drive, complete; restore takes it\n" +
                "    image " + before["image"]["file"].get<std::string>() + ", SHA-256 " +
                before["image"]["sha256"].get<std::string>() +
                "; wrote 2 copies, 2 read back equal\n" +
                FormatText(files.c_str(), "Before", "Before", "Before", "Before"));

  const ConsoleResult restored = RunHere({"--yes", "restore"});
  EXPECT_EQ(restored.code, kDone) << restored.out << restored.err;
  const std::string question = "[Restore ISP Warning] Restore writes save " + id +
                               " (fix, before, " + at +
                               ", E:):\nISP copy 0: C:\\ISP0_Before.bin\nISP copy 1: "
                               "C:\\ISP1_Before.bin\nauxiliary area of copy 0: "
                               "C:\\ISP0_AuxBefore.bin\nauxiliary area of copy 1: "
                               "C:\\ISP1_AuxBefore.bin\nAre you sure to restore the ISP code "
                               "from the backup files ?\n";
  EXPECT_NE(restored.out.find(question), std::string::npos) << restored.out;
  // The log holds the same lines.
  std::ifstream log(CFolder() / "ISP.log");
  const std::string logText{std::istreambuf_iterator<char>(log), {}};
  EXPECT_NE(logText.find("Restore writes save " + id + " (fix, before, " + at +
                         ", E:):\r\nISP copy 0: C:\\ISP0_Before.bin\r\n"),
            std::string::npos)
      << logText;
}

}  // namespace
}  // namespace kestrune::console
