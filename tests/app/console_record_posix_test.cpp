// Recording, replaying and exporting a drive, through the console as a
// technician runs it. The round trip of every ready-made drive over SG_IO
// is tests/e2e/console_sgio_record_test.sh.
#include <fcntl.h>
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
#include "operations/backup_records.h"
#include "platform/platform.h"
#include "recording/recording.h"
#include "tests/support/console_harness.h"
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

// One record of a recording as the file lays it out (the current version,
// each record closed by its checksum): its kind ('H' for the header), where
// it starts and ends, and the command it belongs to (0 for none).
struct RecordAt {
  char kind = 0;
  size_t at = 0;
  size_t end = 0;
  uint32_t command = 0;
};

std::vector<RecordAt> Records(const std::string& file) {
  const auto* b = reinterpret_cast<const uint8_t*>(file.data());
  const auto block = [&](size_t p) {
    const uint32_t total = bytes::LoadBe32(b + p);
    p += 4;
    for (uint32_t covered = 0; covered < total;) {
      const uint32_t count = bytes::LoadBe32(b + p + 1);
      p += 5 + (b[p] == 1 ? 1 : count);
      covered += count;
    }
    return p;
  };
  std::vector<RecordAt> records{{'H', 0, 16 + bytes::LoadBe32(b + 12) + 4, 0}};
  bool out = false;
  uint32_t transfer = 0;
  while (records.back().end < file.size()) {
    RecordAt r{static_cast<char>(b[records.back().end]), records.back().end, 0, 0};
    size_t p = r.at;
    if (r.kind == 'O') {
      p += 7 + bytes::LoadBe32(b + p + 3);
    } else if (r.kind == 'S') {
      r.command = bytes::LoadBe32(b + p + 1);
      p += 7 + b[p + 6];
      out = b[p] == 1;
      transfer = bytes::LoadBe32(b + p + 2);
      p += 10;
      if (out && transfer > 0) p = block(p);
    } else if (r.kind == 'R') {
      r.command = bytes::LoadBe32(b + p + 1);
      p += 11;
      p += 1 + b[p] + 8;
      if (!out && transfer > 0) p = block(p);
    } else {
      p += 9;
    }
    r.end = p + 4;
    records.push_back(r);
  }
  return records;
}

// Where each open record before the first command starts, and last where
// that command starts.
std::vector<size_t> RecordsBeforeFirstCommand(const std::string& file) {
  std::vector<size_t> at;
  for (const RecordAt& r : Records(file)) {
    if (r.kind == 'H') continue;
    at.push_back(r.at);
    if (r.kind != 'O') break;
  }
  return at;
}

class ConsoleRecord : public testing::ConsoleHarness {
 protected:
  std::string Path(const std::string& name) const { return (folder.path() / name).string(); }

  std::string CopyDrive(const std::string& name) {
    return ConsoleHarness::CopyDrive(name, name).string();
  }

  // A run in a C: folder of its own.
  ConsoleResult Run(const std::string& cDrive, std::vector<std::string> arguments) {
    fs::create_directories(Path(cDrive));
    return RunIn(Path(cDrive), arguments);
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
  // A replay names the stick by the serial its recording kept.
  r = Run("replayed", {"--drive", "E=" + file, "scan"});
  EXPECT_EQ(r.code, kExitDone);
  EXPECT_NE(r.out.find("Drive E: " + file + ", port unknown, serial KST163BROKEN,"),
            std::string::npos)
      << r.out;
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
  EXPECT_NE(restore.out.find("was made from a replay of the recording with SHA-256 " + hex),
            std::string::npos)
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
      uint8_t version[4];
      bytes::StoreBe32(version, device::kRecordingVersion + 1);
      spoilt.replace(8, 4, reinterpret_cast<const char*>(version), 4);
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
        BadRecording{"NewerVersion", "is a recording of version 3, written by a newer Kestrune"},
        BadRecording{"AFlashFile", "is the flash file of a virtual drive, not a recording"},
        BadRecording{"AFifo", "is a FIFO, not a file"},
        BadRecording{"ALink", "is a symbolic link"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- a recording proves itself ---

enum class Spot : uint8_t { kReplyData, kHeader, kChecksum };

struct Damage {
  const char* name;
  Spot spot;
  bool exported;  // export-drive reads it, else a replay
};

class ConsoleDamagedRecording : public ConsoleRecord,
                                public ::testing::WithParamInterface<Damage> {};

TEST_P(ConsoleDamagedRecording, IsRefusedNamingTheRecordAndItsCommand) {
  const Damage& c = GetParam();
  std::string bytes = ReadBytes(Record("ctrl163_broken.json", "good.krec", {"scan"}));
  const std::vector<RecordAt> records = Records(bytes);
  // A reply that carries data (the first page read's, or earlier), or
  // the command before it.
  const auto reply = std::find_if(records.begin(), records.end(), [](const RecordAt& r) {
    return r.kind == 'R' && r.end - r.at > 64;
  });
  ASSERT_NE(reply, records.end());
  const RecordAt& target = c.spot == Spot::kHeader     ? records[0]
                           : c.spot == Spot::kChecksum ? *(reply - 1)
                                                       : *reply;
  // A byte of the header's text, the sent record's checksum, or the last
  // byte of the reply's data.
  const size_t flipped = c.spot == Spot::kHeader     ? target.at + 20
                         : c.spot == Spot::kChecksum ? target.end - 1
                                                     : target.end - 5;
  bytes[flipped] = static_cast<char>(bytes[flipped] ^ 0x01);
  const std::string bad = Path("bad.krec");
  WriteBytes(bad, bytes);

  const std::string where = c.spot == Spot::kHeader
                                ? std::string("in its header (the record at byte 0)")
                                : "in command " + std::to_string(target.command) +
                                      " (the record at byte " + std::to_string(target.at) + ")";
  const std::string out = Path("exported.json");
  const ConsoleResult r = c.exported ? Run("export", {"--drive", "E=" + bad, "export-drive", out})
                                     : Run("replayed", {"--drive", "E=" + bad, "scan"});
  EXPECT_EQ(r.code, kExitUsage);
  const std::string message = std::string("kestrune: cannot ") +
                              (c.exported ? "export " : "replay ") + bad + ": " +
                              (c.exported && c.spot != Spot::kHeader ? "it " : "") +
                              "fails its checksum (it is damaged) " + where;
  EXPECT_EQ(r.err.rfind(message, 0), 0u) << r.err;
  EXPECT_EQ(r.out, "") << "a run or an export went ahead on it";
  EXPECT_FALSE(fs::exists(out));
}

INSTANTIATE_TEST_SUITE_P(Bytes, ConsoleDamagedRecording,
                         ::testing::Values(Damage{"ReplyReplayed", Spot::kReplyData, false},
                                           Damage{"ReplyExported", Spot::kReplyData, true},
                                           Damage{"HeaderReplayed", Spot::kHeader, false},
                                           Damage{"HeaderExported", Spot::kHeader, true},
                                           Damage{"ChecksumReplayed", Spot::kChecksum, false},
                                           Damage{"ChecksumExported", Spot::kChecksum, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConsoleRecord, AFileCutAfterAWholeRecordKeepsTheCommandsBeforeTheCut) {
  const std::string bytes = ReadBytes(Record("ctrl163_healthy.json", "good.krec", {"scan"}));
  const std::vector<RecordAt> records = Records(bytes);
  const auto reply = std::find_if(records.begin(), records.end(), [](const RecordAt& r) {
    return r.kind == 'R' && r.command == 500;
  });
  ASSERT_NE(reply, records.end());
  const std::string cut = Path("cut.krec");
  WriteBytes(cut, bytes.substr(0, reply->end));

  // A power cut, not damage: the replay says the run did not finish, and
  // the commands it holds make a drive.
  const ConsoleResult replay = Run("replayed", {"--drive", "E=" + cut, "scan"});
  EXPECT_EQ(replay.code, kExitUsage);
  EXPECT_EQ(
      replay.err.rfind(
          "kestrune: cannot replay " + cut + ": ends after command 500 without its end marker", 0),
      0u)
      << replay.err;
  const ConsoleResult exported =
      Run("export", {"--drive", "E=" + cut, "export-drive", Path("cut.json")});
  EXPECT_EQ(exported.code, kExitDone) << exported.err;
  EXPECT_NE(exported.err.find("the drive is made of the 500 commands it holds"), std::string::npos)
      << exported.err;
  EXPECT_EQ(Run("scanned", {"--drive", "E=" + Path("cut.json"), "scan"}).code, kExitDone);
}

TEST_F(ConsoleRecord, AVersion1RecordingIsReadSayingItCannotProveItself) {
  const std::string file =
      std::string(KESTRUNE_KEPT_RECORDINGS) + "/version1/ctrl163_healthy.scan.krec";
  const std::string warning =
      "kestrune: " + file + " is a recording of version 1, which carries no checksums";
  const ConsoleResult replay = Run("replayed", {"--drive", "E=" + file, "scan"});
  EXPECT_EQ(replay.code, kExitDone) << replay.err;
  EXPECT_NE(replay.err.find(warning), std::string::npos) << replay.err;
  const ConsoleResult exported =
      Run("export", {"--drive", "E=" + file, "export-drive", Path("v1.json")});
  EXPECT_EQ(exported.code, kExitDone) << exported.err;
  EXPECT_NE(exported.err.find(warning), std::string::npos) << exported.err;
}

// --- a recording is bounded by the drive it describes ---

// A recording written command by command: small files whose runs of one
// byte stand for replies of 16 MiB.
class MadeRecording {
 public:
  explicit MadeRecording(const std::string& path) {
    std::string problem;
    writer_ = device::RecordingWriter::Create(path, false, {"test", "", "test", {}}, problem);
    EXPECT_TRUE(writer_) << problem;
    device::DriveFacts facts;
    writer_->Open('E', true, &facts);
  }
  void Read(std::vector<uint8_t> cdb, std::vector<uint8_t>& reply) {
    device::Request request;
    request.cdb = cdb.data();
    request.cdbLength = static_cast<uint8_t>(cdb.size());
    request.carrier = device::Carrier::kIn;
    request.transferLength = static_cast<uint32_t>(reply.size());
    request.data = reply.data();
    device::Result result;
    result.outcome = device::Outcome::kGood;
    writer_->Sent('E', request);
    writer_->Reply(request, result, 1000);
  }
  void Finish() { writer_->Finish(); }

 private:
  std::unique_ptr<device::RecordingWriter> writer_;
};

TEST_F(ConsoleRecord, ExportRefusesWhatNoDriveExplainsNamingTheCommand) {
  struct Case {
    const char* name;
    uint32_t refused;  // the command refused
    const char* command;
    const char* why;
  };
  for (const Case& c :
       {Case{"pages", 9, "E: f8 02 00 01 00 00 00 20 00 00 | in 16777216",
             "it reads over 128 MiB of distinct flash pages, more than any run reads of a drive"},
        Case{"memory", 17, "E: fd 00 00 00 10 ff 00 ff ff 00 | in 65535",
             "it reads over 1 MiB of controller memory, of a controller that has 64 KiB"}}) {
    SCOPED_TRACE(c.name);
    const std::string file = Path(std::string(c.name) + ".krec");
    {
      MadeRecording made(file);
      std::vector<uint8_t> pages(16u << 20, 0x00);
      std::vector<uint8_t> memory(0xFFFF, 0x11);
      // One command past the one refused.
      for (uint32_t i = 0; i <= c.refused; ++i) {
        if (std::string(c.name) == "pages") {
          // 8,192 pages of 2 KiB each, none of them erased.
          const uint32_t page = i * 8192;
          made.Read({0xF8, 0x02, static_cast<uint8_t>(page >> 24), static_cast<uint8_t>(page >> 16),
                     static_cast<uint8_t>(page >> 8), static_cast<uint8_t>(page), 0, 0x20, 0x00, 0},
                    pages);
        } else {
          made.Read({0xFD, 0x00, 0x00, 0x00, static_cast<uint8_t>(i), 0xFF, 0x00, 0xFF, 0xFF, 0},
                    memory);
        }
      }
      made.Finish();
    }
    EXPECT_LT(fs::file_size(file), 8u << 10) << "the runs of one byte are kept once";
    const std::string out = Path(std::string(c.name) + ".json");
    const ConsoleResult r = Run("export", {"--drive", "E=" + file, "export-drive", out});
    EXPECT_EQ(r.code, kExitUsage);
    EXPECT_EQ(r.err, "kestrune: cannot export " + file + ": at command " +
                         std::to_string(c.refused) + " (" + c.command + ") " + c.why + "\n");
    EXPECT_FALSE(fs::exists(out));
  }
}

// export-drive and a replay take a recording under the same letters: one
// its run opened or only tried, never another.
struct LetterCase {
  const char* name;
  char letter;
  bool taken;
};

class ConsoleRecordLetter : public ConsoleRecord,
                            public ::testing::WithParamInterface<LetterCase> {};

TEST_P(ConsoleRecordLetter, ExportTakesTheLettersAReplayTakes) {
  const LetterCase& c = GetParam();
  // A scan of E:, whose run tried C: and D: first.
  const std::string file = Record("ctrl163_healthy.json", "scan.krec", {"scan"});
  const std::string drive = std::string(1, c.letter) + "=" + file;
  const ConsoleResult replayed = Run("replayed", {"--drive", drive, "scan"});
  const std::string out = Path("made.json");
  const ConsoleResult exported = Run("export", {"--drive", drive, "--json", "export-drive", out});
  if (c.taken) {
    EXPECT_EQ(replayed.code, kExitDone) << replayed.err;
    ASSERT_EQ(exported.code, kExitDone) << exported.err;
    const nlohmann::json document = nlohmann::json::parse(exported.out);
    EXPECT_EQ(document["exported"]["letter"], "E") << "the drive the commands went to";
    EXPECT_EQ(document["exported"]["verdict"], "healthy");
    // The drive made scans as the recorded one did.
    const ConsoleResult again = Run("again", {"--drive", "E=" + out, "scan"});
    EXPECT_EQ(again.code, kExitDone) << again.err;
    EXPECT_EQ(again.out.rfind("[Check ISP] ISP is OK!\n", 0), 0u) << again.out;
    return;
  }
  const std::string refusal = file + " holds no drive " + c.letter +
                              ": (it holds C:, D:, E:); give the letter it was recorded on";
  EXPECT_EQ(replayed.code, kExitUsage);
  EXPECT_NE(replayed.err.find(refusal), std::string::npos) << replayed.err;
  EXPECT_EQ(exported.code, kExitUsage);
  EXPECT_NE(exported.err.find(refusal), std::string::npos) << exported.err;
  EXPECT_FALSE(fs::exists(out));
}

INSTANTIATE_TEST_SUITE_P(Letters, ConsoleRecordLetter,
                         ::testing::Values(LetterCase{"Recorded", 'E', true},
                                           LetterCase{"OnlyTried", 'C', true},
                                           LetterCase{"NeverTried", 'Q', false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConsoleRecord, ExportRefusesAFlashConfigurationThatContradictsItself) {
  const std::string good = Record("ctrl163_healthy.json", "good.krec", {"scan"});
  ASSERT_EQ(Run("export", {"--drive", "E=" + good, "export-drive", Path("good.json")}).code,
            kExitDone);
  // The F2 reply rewritten to blocks of 2 pages, while it counts 16 CIS
  // pages a block.
  const std::string bad = Path("bad.krec");
  {
    std::string problem;
    auto reader = device::RecordingReader::Open(good, problem);
    ASSERT_TRUE(reader) << problem;
    auto writer = device::RecordingWriter::Create(bad, false, reader->header(), problem);
    ASSERT_TRUE(writer) << problem;
    device::RecordedOpen open;
    device::RecordedCommand command;
    for (;;) {
      const auto item = reader->Next(open, command, problem);
      ASSERT_NE(item, device::RecordingReader::Item::kBad) << problem;
      if (item == device::RecordingReader::Item::kEnd) break;
      if (item == device::RecordingReader::Item::kOpen) {
        writer->Open(open.letter, open.opened, open.facts ? &*open.facts : nullptr);
        continue;
      }
      if (command.cdb[0] == 0xF2 && command.dataIn.size() >= 14) {
        ASSERT_EQ(bytes::LoadBe16(&command.dataIn[12]), 16u);
        bytes::StoreBe16(&command.dataIn[7], 2);
      }
      device::Request request = device::RequestOf(command);
      if (command.carrier == device::Carrier::kIn) request.data = command.dataIn.data();
      writer->Sent(command.letter, request);
      writer->Reply(request, command.result, command.durationNanoseconds);
    }
    writer->Finish();
  }
  const std::string out = Path("bad.json");
  const ConsoleResult r = Run("export", {"--drive", "E=" + bad, "export-drive", out});
  EXPECT_EQ(r.code, kExitUsage);
  EXPECT_NE(r.err.find("the flash configuration (F2) contradicts itself: it counts 16 CIS pages "
                       "per block in blocks of 2 pages"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(out));
}

// --- a recording is made where the user named it, through no one's link ---

enum class Way : uint8_t {
  kFolderOthersWrite,
  kFolderOnTheWayOthersWrite,
  kLinkOfAnotherUser,
  kLinkOfOwn
};

struct PathCase {
  const char* name;
  Way way;
  const char* refusal;  // nullptr: recorded
};

class ConsoleRecordPath : public ConsoleRecord, public ::testing::WithParamInterface<PathCase> {};

TEST_P(ConsoleRecordPath, RefusesAWayOthersCouldHaveLaid) {
  const PathCase& c = GetParam();
  // A folder only this user may enter, holding a file of its own.
  fs::create_directories(Path("secret"));
  fs::permissions(Path("secret"), fs::perms::owner_all);
  WriteBytes(Path("secret/x.krec"), "kept");
  fs::create_directories(Path("pub"));
  std::string given;
  if (c.way == Way::kFolderOthersWrite) {
    fs::permissions(Path("pub"), fs::perms::all);
    given = Path("pub/x.krec");
  } else if (c.way == Way::kFolderOnTheWayOthersWrite) {
    // A folder of this user's own, in one where anybody may rename it.
    fs::create_directories(Path("pub/own"));
    fs::permissions(Path("pub"), fs::perms::all);
    given = Path("pub/own/x.krec");
  } else {
    // A folder all may write, as /tmp is: its sticky bit keeps a user's
    // entries his, but a link laid there points where its maker likes.
    fs::permissions(Path("pub"), fs::perms::all | fs::perms::sticky_bit);
    fs::create_directory_symlink(Path("secret"), Path("pub/att"));
    if (c.way == Way::kLinkOfAnotherUser && ::lchown(Path("pub/att").c_str(), 65534, 65534) != 0) {
      GTEST_SKIP() << "a link of another user can be laid only by root";
    }
    given = Path("pub/att/x.krec");
  }
  const ConsoleResult r = Run("recorded", {"--drive", "E=" + CopyDrive("ctrl163_broken.json"),
                                           "--record", given, "--record-overwrite", "scan"});
  if (c.refusal == nullptr) {
    EXPECT_EQ(r.code, kExitDone) << r.err;
    EXPECT_NE(ReadBytes(Path("secret/x.krec")), "kept");
    return;
  }
  EXPECT_EQ(r.code, kExitUsage);
  std::string refusal = c.refusal;
  for (const char* folder : {"pub/att", "pub"}) {
    const std::string placeholder = std::string("{") + folder + "}";
    if (const size_t at = refusal.find(placeholder); at != std::string::npos) {
      refusal.replace(at, placeholder.size(), Path(folder));
    }
  }
  EXPECT_NE(r.err.find(given + ": its folder" + refusal), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "") << "the drive was scanned";
  EXPECT_EQ(ReadBytes(Path("secret/x.krec")), "kept");
  EXPECT_FALSE(fs::exists(Path("pub/x.krec")));
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ConsoleRecordPath,
    ::testing::Values(PathCase{"FolderOthersWrite", Way::kFolderOthersWrite,
                               " can be written by other users (mode 0777) and has no sticky bit"},
                      PathCase{"FolderOnTheWayOthersWrite", Way::kFolderOnTheWayOthersWrite,
                               ": {pub} on its way can be written by other users (mode 0777) "
                               "and has no sticky bit"},
                      PathCase{
                          "LinkOfAnotherUser", Way::kLinkOfAnotherUser,
                          ": {pub/att} on its way is a symbolic link of another user (uid 65534)"},
                      PathCase{"LinkOfOwn", Way::kLinkOfOwn, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// --- a trace is appended where the user named it, to no one else's file ---

enum class TraceTarget : uint8_t { kLinkOfAnotherUser, kFifo, kOwnFile };

struct TraceCase {
  const char* name;
  TraceTarget target;
  const char* refusal;  // nullptr: traced
};

class ConsoleTracePath : public ConsoleRecord, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(ConsoleTracePath, AppendsOnlyToAFileOfItsOwn) {
  const TraceCase& c = GetParam();
  // A folder all may write, as /tmp is, with a victim only this user reads.
  fs::create_directories(Path("secret"));
  fs::permissions(Path("secret"), fs::perms::owner_all);
  WriteBytes(Path("secret/victim"), "kept\n");
  fs::create_directories(Path("pub"));
  fs::permissions(Path("pub"), fs::perms::all | fs::perms::sticky_bit);
  const std::string given = Path("pub/run.trace");
  int reader = -1;
  if (c.target == TraceTarget::kLinkOfAnotherUser) {
    fs::create_symlink(Path("secret/victim"), given);
    if (::lchown(given.c_str(), 65534, 65534) != 0) {
      GTEST_SKIP() << "a link of another user can be laid only by root";
    }
  } else if (c.target == TraceTarget::kFifo) {
    ASSERT_EQ(::mkfifo(given.c_str(), 0600), 0);
    // A reader at the other end: a plain open would not wait, but write.
    reader = ::open(given.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
  } else {
    WriteBytes(given, "earlier run\n");
  }
  const ConsoleResult r =
      Run("traced", {"--drive", "E=" + CopyDrive("ctrl163_broken.json"), "--trace", given, "scan"});
  EXPECT_EQ(ReadBytes(Path("secret/victim")), "kept\n");
  if (c.refusal == nullptr) {
    EXPECT_EQ(r.code, kExitDone) << r.err;
    const std::string traced = ReadBytes(given);
    EXPECT_EQ(traced.rfind("earlier run\nE: ", 0), 0u) << traced;
    return;
  }
  EXPECT_EQ(r.code, kExitUsage);
  EXPECT_NE(r.err.find("kestrune: cannot write the trace file " + given + ": it " + c.refusal),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "") << "the drive was scanned";
  if (reader >= 0) {
    char byte = 0;
    EXPECT_LE(::read(reader, &byte, 1), 0) << "a line went into the FIFO";
    ::close(reader);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, ConsoleTracePath,
    ::testing::Values(TraceCase{"LinkOfAnotherUser", TraceTarget::kLinkOfAnotherUser,
                                "is a symbolic link"},
                      TraceCase{"Fifo", TraceTarget::kFifo, "is a FIFO, not a file"},
                      TraceCase{"OwnFile", TraceTarget::kOwnFile, nullptr}),
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
