// Recording, replaying and exporting a drive, through the console as a
// technician runs it. The round trip of every ready-made drive over SG_IO
// is tests/e2e/console_sgio_record_test.sh.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "app/console/console_options.h"
#include "device/bytes.h"
#include "device/recording.h"
#include "operations/backup_records.h"
#include "platform/platform.h"
#include "tests/support/console_runner.h"
#include "tests/support/device_temp_folder.h"

namespace kestrune::console {
namespace {

namespace fs = std::filesystem;
using testing::ConsoleResult;

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Where each open record before the first command starts, and last where
// that command starts.
std::vector<size_t> RecordsBeforeFirstCommand(const std::string& file) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
  std::vector<size_t> at{16 + bytes::LoadBe32(bytes + 12)};
  while (file[at.back()] == 'O')
    at.push_back(at.back() + 7 + bytes::LoadBe32(bytes + at.back() + 3));
  return at;
}

class ConsoleRecord : public ::testing::Test {
 protected:
  ConsoleRecord() {
    fs::create_directories(folder.path() / "t");
    fs::permissions(folder.path() / "t", fs::perms::owner_all);
  }

  std::string Path(const std::string& name) const { return (folder.path() / name).string(); }

  std::string CopyDrive(const std::string& name) {
    fs::copy_file(fs::path(KESTRUNE_TEST_DRIVES) / name, folder.path() / name);
    return Path(name);
  }

  // A run in a C: folder of its own.
  ConsoleResult Run(const std::string& cDrive, std::vector<std::string> arguments) {
    fs::create_directories(Path(cDrive));
    std::vector<std::string> all{"--c-drive", Path(cDrive), "--temp", Path("t")};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return testing::RunConsoleWith(all);
  }

  // A recording of `arguments` on a copy of the ready-made drive `drive`.
  std::string Record(const std::string& drive, const std::string& file,
                     std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(),
                     {"--drive", "E=" + CopyDrive(drive), "--record", Path(file)});
    const ConsoleResult r = Run("recorded", arguments);
    EXPECT_EQ(r.code, kExitDone) << r.err;
    return Path(file);
  }

  testing::TempFolder folder;
};

// --- the file a recording is ---

TEST_F(ConsoleRecord, IsPrivateAndTakesTheNameOnlyWhenAskedTo) {
  const std::string file = Record("ctrl163_broken.json", "scan.krec", {"scan"});
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file holds flash pages of the drive";

  const std::string kept = ReadBytes(file);
  const std::string drive = Path("ctrl163_broken.json");
  ConsoleResult r = Run("again", {"--drive", "E=" + drive, "--record", file, "scan"});
  EXPECT_EQ(r.code, kExitUsage);
  EXPECT_NE(r.err.find(file + " exists; name a new file, or add --record-overwrite"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "") << "the drive was scanned unrecorded";
  EXPECT_EQ(ReadBytes(file), kept);

  // Replaced, a link at the name is removed, never written through.
  WriteBytes(Path("target"), "someone else's");
  fs::remove(file);
  fs::create_symlink(Path("target"), file);
  r = Run("again", {"--drive", "E=" + drive, "--record", file, "--record-overwrite", "scan"});
  EXPECT_EQ(r.code, kExitDone) << r.err;
  EXPECT_EQ(ReadBytes(Path("target")), "someone else's");
  EXPECT_FALSE(fs::is_symlink(file));
  EXPECT_EQ(Run("replayed", {"--drive", "E=" + file, "scan"}).code, kExitDone);
}

TEST_F(ConsoleRecord, AllKeepsAFileForEachLetter) {
  const ConsoleResult r = Run("all", {"--drive", "E=" + CopyDrive("ctrl163_broken.json"), "--drive",
                                      "F=" + CopyDrive("ctrl161_healthy.json"), "--record",
                                      Path("run.krec"), "--all", "scan"});
  ASSERT_EQ(r.code, kExitDone) << r.err;
  EXPECT_FALSE(fs::exists(Path("run.krec")));
  for (const char* letter : {"E", "F"}) {
    const std::string file = Path(std::string("run.") + letter + ".krec");
    const ConsoleResult replay =
        Run(std::string("replay") + letter, {"--drive", std::string(letter) + "=" + file, "scan"});
    EXPECT_EQ(replay.code, kExitDone) << replay.err;
  }
  const ConsoleResult wrong = Run("wrong", {"--drive", "F=" + Path("run.E.krec"), "scan"});
  EXPECT_EQ(wrong.code, kExitUsage);
  EXPECT_NE(wrong.err.find("holds no drive F: (it holds E:)"), std::string::npos) << wrong.err;
}

// --- what a replay keeps is not the stick's ---

// A replay of a fix keeps Before and After files in the stick's own C:
// folder, under the stick's serial; a later restore of that stick takes
// none of them by default, and names the recording when they are given.
TEST_F(ConsoleRecord, TheFilesAReplayKeepsAreNoBackupOfTheStick) {
  const std::string file = Record("ctrl163_broken.json", "fix.krec", {"--yes", "fix"});
  const std::string stick = Path("ctrl163_broken.json");  // fixed by the recorded run
  const ConsoleResult replay = Run("c", {"--drive", "E=" + file, "--yes", "fix"});
  ASSERT_EQ(replay.code, kExitDone) << replay.err;
  ASSERT_TRUE(fs::exists(Path("c/ISP0_Before.bin")));

  const std::string recording = ReadBytes(file);
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(recording.data()),
                                       recording.size());
  const auto digest = platform::Sha256({&bytes, 1});
  ASSERT_TRUE(digest);
  const std::string hex = HexText(digest->data(), digest->size());
  const auto records = nlohmann::json::parse(ReadBytes(Path("c/kestrune-backups.json")));
  ASSERT_EQ(records["files"].size(), 4u);
  for (const auto& record : records["files"]) EXPECT_EQ(record["replayOf"], hex) << record;

  const ConsoleResult restore = Run("c", {"--drive", "E=" + stick, "--yes", "restore"});
  EXPECT_EQ(restore.code, kExitFailure) << restore.out;
  EXPECT_NE(restore.out.find("No backup of ISP copy 0 of this drive"), std::string::npos)
      << restore.out;
  const std::vector<std::string> named{"--from", Path("c/ISP0_Before.bin"), "--from",
                                       Path("c/ISP1_Before.bin")};
  std::vector<std::string> from{"--drive", "E=" + stick, "--yes", "restore"};
  from.insert(from.end(), named.begin(), named.end());
  const ConsoleResult refused = Run("c", from);
  EXPECT_EQ(refused.code, kExitFailure);
  EXPECT_NE(refused.out.find("kept by a replay of the recording with SHA-256 " + hex),
            std::string::npos)
      << refused.out;
  EXPECT_EQ(Run("c", {"--drive", "E=" + stick, "scan"}).out.rfind("[Check ISP] ISP is OK!", 0), 0u);
  from.push_back("--donor");
  EXPECT_EQ(Run("c", from).code, kExitDone);
  EXPECT_EQ(Run("c", {"--drive", "E=" + stick, "scan"}).out.rfind("[Check ISP] ISP was borken!", 0),
            0u);
}

// --- a replay that leaves its recording stops there ---

struct DivergenceCase {
  const char* name;
  std::vector<std::string> recorded;  // the recorded run's command
  bool otherData;                     // the first page write's data changed in the recording
  std::vector<std::string> replayed;  // the replay's command
  const char* recordedText;           // how the message names the recorded step
  const char* runText;                // and what the run did there
};

class ConsoleReplayDivergence : public ConsoleRecord,
                                public ::testing::WithParamInterface<DivergenceCase> {};

TEST_P(ConsoleReplayDivergence, StopsTheRunAndSaysWhere) {
  const DivergenceCase& c = GetParam();
  std::string file = Record("ctrl163_broken.json", "run.krec", c.recorded);
  uint32_t expected = 0;
  {
    std::string problem;
    auto reader = device::RecordingReader::Open(file, problem);
    ASSERT_TRUE(reader) << problem;
    device::RecordedOpen open;
    device::RecordedCommand command;
    std::vector<device::RecordedCommand> commands;
    std::vector<device::RecordedOpen> opens;
    auto writer = c.otherData ? device::RecordingWriter::Create(Path("edited.krec"), false,
                                                                reader->header(), problem)
                              : nullptr;
    for (;;) {
      const auto item = reader->Next(open, command, problem);
      ASSERT_NE(item, device::RecordingReader::Item::kBad) << problem;
      if (item == device::RecordingReader::Item::kEnd) break;
      if (item == device::RecordingReader::Item::kOpen) {
        if (writer) writer->Open(open.letter, open.opened, open.facts ? &*open.facts : nullptr);
        continue;
      }
      if (c.otherData && expected == 0 && command.cdb[0] == 0xFA) {
        command.dataOut[100] ^= 0x01;
        expected = command.number;
      }
      if (!writer) continue;
      device::Request request;
      request.cdb = command.cdb.data();
      request.cdbLength = static_cast<uint8_t>(command.cdb.size());
      request.carrier = command.carrier;
      request.transferLength = command.transferLength;
      request.data =
          command.carrier == device::Carrier::kOut ? command.dataOut.data() : command.dataIn.data();
      writer->Sent(command.letter, request);
      writer->Reply(request, command.result, command.durationNanoseconds);
    }
    if (!c.otherData) expected = reader->commands() + 1;
    if (writer) {
      writer->Finish();
      file = Path("edited.krec");
    }
  }
  ASSERT_NE(expected, 0u) << "the recording writes no page";

  std::vector<std::string> arguments{"--drive", "E=" + file, "--json"};
  arguments.insert(arguments.end(), c.replayed.begin(), c.replayed.end());
  const ConsoleResult r = Run("replayed", arguments);

  EXPECT_EQ(r.code, kExitUsage);
  const std::string message = "kestrune: the replay left its recording at command " +
                              std::to_string(expected) + ": recorded " + c.recordedText;
  EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(std::string("; the run ") + c.runText), std::string::npos) << r.err;
  const auto document = nlohmann::json::parse(r.out);
  EXPECT_EQ(document["divergence"]["command"], expected);
  EXPECT_EQ(document["outcome"], "usage error");
  // Nothing after the divergence happened: no box tells of a failure or a
  // success, and no backup was taken after it.
  for (const auto& box : document["messages"]) {
    for (const char* outcome : {"ERROR", "Fail", "Allocate Fail Warning", "SUCCESS", "Success"}) {
      EXPECT_NE(box["caption"], outcome) << box["text"];
    }
  }
  EXPECT_FALSE(fs::exists(Path("replayed/ISP0_After.bin")));
}

INSTANTIATE_TEST_SUITE_P(Divergences, ConsoleReplayDivergence,
                         ::testing::Values(
                             // The run goes on where the recorded one ended.
                             DivergenceCase{"RunGoesFurther",
                                            {"scan"},
                                            false,
                                            {"--yes", "fix"},
                                            "the end of the recording",
                                            "opened E:"},
                             // The run writes other bytes than the recorded one did.
                             DivergenceCase{"OtherDataWritten",
                                            {"--yes", "fix"},
                                            true,
                                            {"--yes", "fix"},
                                            "E: fa 00 ",
                                            "sent E: fa 00 "}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- recordings are untrusted files ---

struct BadRecording {
  const char* name;
  const char* refusal;  // after "cannot replay <file>: "
};

class ConsoleBadRecording : public ConsoleRecord,
                            public ::testing::WithParamInterface<BadRecording> {
 protected:
  // The recording of a scan, spoilt as the case says.
  std::string Spoil(const std::string& name) {
    const std::string good = Record("ctrl163_broken.json", "good.krec", {"scan"});
    const std::string bytes = ReadBytes(good);
    const std::vector<size_t> records = RecordsBeforeFirstCommand(bytes);
    const size_t first = records.back();
    const std::string bad = Path("bad.krec");
    std::string spoilt = bytes;
    if (name == "CutInTheHeader") {
      spoilt.resize(20);
    } else if (name == "CutInsideACommand") {
      spoilt.resize(first + 10);
    } else if (name == "WithoutItsEnd") {
      spoilt.resize(bytes.size() - 5);
    } else if (name == "Reordered") {
      // The open of E:, the last before the first command, moved behind
      // the commands sent to it.
      const size_t open = records[records.size() - 2];
      spoilt = bytes.substr(0, open) + bytes.substr(first) + bytes.substr(open, first - open);
    } else if (name == "HugeLength") {
      const size_t transfer = first + 7 + static_cast<uint8_t>(bytes[first + 6]) + 2;
      spoilt.replace(transfer, 4, "\xff\xff\xff\xf0", 4);
    } else if (name == "NewerVersion") {
      spoilt.replace(8, 4, std::string("\0\0\0\2", 4));
    } else if (name == "AFlashFile") {
      return Path("ctrl163_broken.json.flash");
    } else if (name == "AFifo") {
      EXPECT_EQ(::mkfifo(bad.c_str(), 0600), 0);
      return bad;
    } else if (name == "ALink") {
      fs::create_symlink(good, bad);
      return bad;
    }
    WriteBytes(bad, spoilt);
    return bad;
  }
};

TEST_P(ConsoleBadRecording, IsRefusedByNameBeforeAnythingRuns) {
  const BadRecording& c = GetParam();
  const std::string file = Spoil(c.name);
  const ConsoleResult r = Run("replayed", {"--drive", "E=" + file, "scan"});
  EXPECT_EQ(r.code, kExitUsage);
  EXPECT_EQ(r.err.rfind("kestrune: cannot replay " + file + ": " + c.refusal, 0), 0u) << r.err;
  EXPECT_EQ(r.out, "") << "a replay ran from it";
}

INSTANTIATE_TEST_SUITE_P(
    Files, ConsoleBadRecording,
    ::testing::Values(
        BadRecording{"CutInTheHeader", "is cut short in its header"},
        BadRecording{"CutInsideACommand", "is cut short in command 1"},
        BadRecording{"WithoutItsEnd", "ends after command "},
        BadRecording{"Reordered",
                     "goes to a drive never opened (records out of order) in command 1"},
        BadRecording{"HugeLength", "moves 4294967280 bytes, over 16 MiB in command 1"},
        BadRecording{"NewerVersion", "is a recording of version 2, written by a newer Kestrune"},
        BadRecording{"AFlashFile", "is the flash file of a virtual drive, not a recording"},
        BadRecording{"AFifo", "is a FIFO, not a file"},
        BadRecording{"ALink", "is a symbolic link"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- export ---

TEST_F(ConsoleRecord, ExportNamesTheCommandARecordingLacks) {
  struct Case {
    const char* fault;  // the command the drive turns down, every time
    const char* lacking;
  };
  for (const Case& c : {Case{"0x12", "INQUIRY (12)"}, Case{"0xF2", "flash configuration (F2)"}}) {
    SCOPED_TRACE(c.fault);
    const std::string drive = Path(std::string("faulty") + c.fault + ".json");
    std::string text = ReadBytes(fs::path(KESTRUNE_TEST_DRIVES) / "ctrl163_broken.json");
    text.replace(0, 1,
                 std::string("{\"faults\": [{\"opcode\": \"") + c.fault +
                     "\", \"action\": \"check\", \"repeat\": true}],");
    WriteBytes(drive, text);
    const std::string file = Path(std::string("faulty") + c.fault + ".krec");
    Run("recorded", {"--drive", "E=" + drive, "--record", file, "scan"});
    const std::string out = Path(std::string("out") + c.fault + ".json");
    const ConsoleResult r = Run("export", {"--drive", "E=" + file, "export-drive", out});
    EXPECT_EQ(r.code, kExitUsage);
    EXPECT_NE(
        r.err.find(std::string("the recording holds no ") + c.lacking + " the drive answered"),
        std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(out + ".flash"));
  }
}

// --- the kept recordings: a change of the commands a run sends shows here ---

class KeptRecording : public ConsoleRecord, public ::testing::WithParamInterface<std::string> {};

TEST_P(KeptRecording, ReplaysToItsEnd) {
  const std::string file = std::string(KESTRUNE_KEPT_RECORDINGS) + "/" + GetParam();
  std::string problem;
  auto reader = device::RecordingReader::Open(file, problem);
  ASSERT_TRUE(reader) << problem;
  // The recorded command line, without the files and folders of the run
  // that made it.
  std::vector<std::string> arguments{"--drive", "E=" + file};
  const std::vector<std::string>& recorded = reader->header().arguments;
  for (size_t i = 0; i < recorded.size(); ++i) {
    const std::string& a = recorded[i];
    if (a == "--drive" || a == "--c-drive" || a == "--temp" || a == "--record") {
      ++i;
    } else if (a != "--record-overwrite") {
      arguments.push_back(a);
    }
  }
  const ConsoleResult r = Run("replayed", arguments);
  EXPECT_EQ(r.code, kExitDone) << r.err;
}

std::vector<std::string> KeptRecordings() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(KESTRUNE_KEPT_RECORDINGS)) {
    if (entry.path().extension() == kRecordingExtension) {
      names.push_back(entry.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Kept, KeptRecording, ::testing::ValuesIn(KeptRecordings()),
                         [](const auto& info) {
                           std::string name = info.param.substr(0, info.param.find('.'));
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
}  // namespace kestrune::console
