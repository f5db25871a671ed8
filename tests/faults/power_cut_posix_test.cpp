// Power cuts during `kestrune fix`: for each command from the first erase to
// the end of the read-back, the console program is killed (SIGKILL) right
// after that command completes, through the drive's "kill" fault. The stick
// then holds what it had written so far. A second `fix` must end in success,
// and after a replug (a new process) the scan must find the ISP healthy. A
// table per drive shows each cut: the command, the state it left (the
// verdict a fresh scan gives and each rewritten block: new, erased, half
// written or as before) and the outcome.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "simulator/virtual_drive.h"
#include "tests/support/child_process.h"
#include "tests/support/device_temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using testing::ChildRun;
using testing::RunChild;

constexpr const char* kFixed =
    "[SUCCESS] Update ISP code Success, please replug device to ensure it normal.";
constexpr const char* kHealthy = "[Check ISP] ISP is OK!";
constexpr const char* kBroken = "[Check ISP] ISP was borken!";
constexpr uint8_t kOpErase = 0xFE;
constexpr uint8_t kOpWrite = 0xFA;
constexpr uint8_t kOpRead = 0xF8;
// Cases run side by side: each mostly waits on its child processes.
constexpr unsigned kWorkers = 3;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// One line of a trace file: the CDB bytes before the first '|'.
std::vector<uint8_t> CdbOf(const std::string& line) {
  std::vector<uint8_t> cdb;
  std::istringstream words(line.substr(line.find(':') + 1));
  for (std::string word; words >> word && word != "|";) {
    cdb.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
  }
  return cdb;
}

uint32_t PageOf(const std::vector<uint8_t>& cdb) {
  return cdb.size() < 6 ? 0 : (uint32_t{cdb[2]} << 24) | (cdb[3] << 16) | (cdb[4] << 8) | cdb[5];
}
uint32_t CountOf(const std::vector<uint8_t>& cdb) {
  return cdb.size() < 9 ? 0 : (uint32_t{cdb[7]} << 8) | cdb[8];
}

std::string DescribeCommand(const std::vector<uint8_t>& cdb, uint32_t pagesPerBlock) {
  char text[64];
  if (cdb.empty()) return "?";
  switch (cdb[0]) {
    case kOpErase:
      std::snprintf(text, sizeof text, "FE erase block %u", PageOf(cdb) / pagesPerBlock);
      break;
    case kOpWrite:
    case kOpRead: {
      const char* what = cdb[0] == kOpWrite ? "FA write" : "F8 read";
      const uint32_t first = PageOf(cdb);
      if (CountOf(cdb) <= 1) {
        std::snprintf(text, sizeof text, "%s page %u", what, first);
      } else {
        std::snprintf(text, sizeof text, "%s pages %u-%u", what, first, first + CountOf(cdb) - 1);
      }
      break;
    }
    default:
      std::snprintf(text, sizeof text, "%02X %02X", cdb[0], cdb.size() > 1 ? cdb[1] : 0);
  }
  return text;
}

std::string Verdict(const ChildRun& scan) {
  if (scan.FirstLine() == kHealthy) return "OK";
  if (scan.FirstLine() == kBroken) return "borken";
  return scan.exited ? "exit " + std::to_string(scan.code) : "killed";
}

// The pages of one block, data and spare.
std::vector<uint8_t> BlockBytes(sim::VirtualDrive& drive, uint32_t block, uint32_t pagesPerBlock) {
  std::vector<uint8_t> bytes;
  for (uint32_t p = block * pagesPerBlock; p < (block + 1) * pagesPerBlock; ++p) {
    const std::vector<uint8_t> raw = drive.ReadRawPage(p);
    bytes.insert(bytes.end(), raw.begin(), raw.end());
  }
  return bytes;
}

struct Row {
  uint64_t k = 0;
  std::string command;
  std::string verdict;                     // of a fresh scan after the cut
  std::map<uint32_t, std::string> blocks;  // each rewritten block after the cut
  std::string outcome;
  bool recovered = false;

  std::string State() const {
    std::string state = "scan " + verdict + ";";
    const char* lead = " block ";
    for (const auto& [block, word] : blocks) {
      state += lead + std::to_string(block) + " " + word;
      lead = ", ";
    }
    return state;
  }
};

class PowerCut : public ::testing::TestWithParam<const char*> {
 protected:
  std::string Source() const { return (fs::path(KESTRUNE_TEST_DRIVES) / GetParam()).string(); }

  // A folder for one run: the drive file, its C: folder and work folder.
  struct Place {
    fs::path dir;
    std::string drive() const { return (dir / "drive.json").string(); }
    std::vector<std::string> Command(const std::string& command) const {
      return {KESTRUNE_CONSOLE_PROGRAM,
              "--drive",
              "E=" + drive(),
              "--c-drive",
              (dir / "c").string(),
              "--temp",
              (dir / "t").string(),
              "--yes",
              command};
    }
  };
  Place MakePlace(const std::string& name, const std::string& driveText) const {
    Place place{folder.path() / name};
    fs::create_directories(place.dir / "c");
    fs::create_directories(place.dir / "t");
    fs::permissions(place.dir / "t", fs::perms::owner_all, fs::perm_options::replace);
    std::ofstream(place.drive(), std::ios::binary) << driveText;
    return place;
  }

  std::unique_ptr<sim::VirtualDrive> Load(const Place& place) const {
    std::string error;
    auto drive =
        sim::VirtualDrive::FromFile(place.drive(), &error, sim::FlashPathFor(place.drive()));
    EXPECT_TRUE(drive) << error;
    return drive;
  }

  Row Cut(uint64_t k, const std::string& command) const {
    Row row;
    row.k = k;
    row.command = command;
    nlohmann::json withKill = nlohmann::json::parse(original);
    withKill["faults"].push_back({{"overall", k}, {"action", "kill"}});
    const Place place = MakePlace("k" + std::to_string(k), withKill.dump());

    const ChildRun cut = RunChild(place.Command("fix"));
    if (cut.exited || cut.signal != SIGKILL) {
      row.outcome = "not cut: " + cut.Describe();
      return row;
    }
    // Plugged in again without the fault: the same stick, the same flash file.
    std::ofstream(place.drive(), std::ios::binary | std::ios::trunc) << original;
    std::string error;
    if (auto drive =
            sim::VirtualDrive::FromFile(place.drive(), &error, sim::FlashPathFor(place.drive()))) {
      row.blocks = StateOf(*drive);
    } else {
      row.outcome = "the cut left a flash file the next run refuses: " + error;
      return row;
    }
    row.verdict = Verdict(RunChild(place.Command("scan")));

    const ChildRun again = RunChild(place.Command("fix"));
    if (again.code != 0 || !again.Said(kFixed)) {
      row.outcome = "second fix failed: " + again.Describe();
      return row;
    }
    const ChildRun replug = RunChild(place.Command("scan"));
    if (replug.FirstLine() != kHealthy) {
      row.outcome = "after replug: " + replug.Describe();
      return row;
    }
    row.outcome = "fix OK, then ISP is OK!";
    row.recovered = true;
    return row;
  }

  // Each block the uncut fix rewrote, as the cut left it.
  std::map<uint32_t, std::string> StateOf(sim::VirtualDrive& cut) const {
    std::map<uint32_t, std::string> state;
    for (uint32_t block : blocks) {
      const std::vector<uint8_t> now = BlockBytes(cut, block, pagesPerBlock);
      const char* word = "half";
      if (now == after.at(block)) {
        word = "new";
      } else if (std::all_of(now.begin(), now.end(), [](uint8_t b) { return b == 0xFF; })) {
        word = "erased";
      } else if (now == before.at(block)) {
        word = "old";
      }
      state[block] = word;
    }
    return state;
  }

  testing::TempFolder folder;
  std::string original;
  uint32_t pagesPerBlock = 0;
  std::vector<uint32_t> blocks;  // erased by the uncut fix, in order
  std::map<uint32_t, std::vector<uint8_t>> before;
  std::map<uint32_t, std::vector<uint8_t>> after;
};

TEST_P(PowerCut, EveryCutDuringTheUpdateIsRepairedByASecondFix) {
  original = ReadText(Source());
  ASSERT_FALSE(original.empty());

  // An uncut run gives the commands, by number, and the flash a fix leaves.
  const Place reference = MakePlace("reference", original);
  std::vector<std::string> command = reference.Command("fix");
  const std::string traceFile = (reference.dir / "trace.txt").string();
  command.insert(command.end() - 1, {"--trace", traceFile});
  const ChildRun uncut = RunChild(command);
  ASSERT_EQ(uncut.code, 0) << uncut.Describe();
  ASSERT_TRUE(uncut.Said(kFixed)) << uncut.out;

  std::vector<std::vector<uint8_t>> trace;
  std::istringstream lines(ReadText(traceFile));
  for (std::string line; std::getline(lines, line);) trace.push_back(CdbOf(line));
  auto opcodeAt = [&](size_t i) { return trace[i].empty() ? 0 : trace[i][0]; };
  size_t firstErase = trace.size();
  size_t lastWrite = trace.size();
  for (size_t i = 0; i < trace.size(); ++i) {
    if (opcodeAt(i) == kOpErase && firstErase == trace.size()) firstErase = i;
    if (opcodeAt(i) == kOpWrite) lastWrite = i;
  }
  ASSERT_LT(firstErase, trace.size()) << "the fix erased nothing";
  ASSERT_LT(lastWrite, trace.size()) << "the fix wrote nothing";
  size_t endOfReadBack = lastWrite;
  while (endOfReadBack + 1 < trace.size() && opcodeAt(endOfReadBack + 1) == kOpRead) {
    ++endOfReadBack;
  }
  ASSERT_GT(endOfReadBack, lastWrite) << "no read-back after the last write";

  {
    std::string error;
    auto fresh = sim::VirtualDrive::FromFile(Source(), &error, "");
    ASSERT_TRUE(fresh) << error;
    auto repaired = Load(reference);
    ASSERT_TRUE(repaired);
    pagesPerBlock = fresh->Description().pagesPerBlock;
    for (size_t i = firstErase; i <= endOfReadBack; ++i) {
      const uint32_t block = PageOf(trace[i]) / pagesPerBlock;
      if (opcodeAt(i) != kOpErase || before.count(block)) continue;
      blocks.push_back(block);
      before[block] = BlockBytes(*fresh, block, pagesPerBlock);
      after[block] = BlockBytes(*repaired, block, pagesPerBlock);
    }
  }

  // Command k counts from 1, as the drive's "overall" does.
  std::vector<Row> rows(endOfReadBack - firstErase + 1);
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  for (unsigned w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&] {
      for (size_t i; (i = next++) < rows.size();) {
        const size_t index = firstErase + i;
        rows[i] = Cut(index + 1, DescribeCommand(trace[index], pagesPerBlock));
      }
    });
  }
  for (std::thread& worker : workers) worker.join();

  std::printf("\nPower cuts during fix, %s (commands %zu to %zu of %zu)\n", GetParam(),
              firstErase + 1, endOfReadBack + 1, trace.size());
  std::printf("%-16s %5s  %-26s %-50s %s\n", "drive", "k", "command k", "state after the cut",
              "outcome");
  size_t recovered = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    std::printf("%-16s %5llu  %-26s %-50s %s\n", fs::path(GetParam()).stem().c_str(),
                static_cast<unsigned long long>(row.k), row.command.c_str(), row.State().c_str(),
                row.outcome.c_str());
    recovered += row.recovered ? 1 : 0;
    EXPECT_TRUE(row.recovered) << "cut after command " << row.k << " (" << row.command
                               << "): " << row.outcome;
    // The stick holds what was written before the cut: a block erased just
    // then reads erased, and once the read-back ends every block is new.
    const std::vector<uint8_t>& cdb = trace[firstErase + i];
    if (!cdb.empty() && cdb[0] == kOpErase) {
      const auto block = row.blocks.find(PageOf(cdb) / pagesPerBlock);
      EXPECT_TRUE(block != row.blocks.end() && block->second == "erased")
          << "cut after command " << row.k << ": " << row.State();
    }
    if (i + 1 == rows.size()) {
      for (const auto& [block, word] : row.blocks) EXPECT_EQ(word, "new") << "block " << block;
    }
  }
  std::printf("%zu of %zu cuts recovered\n", recovered, rows.size());
  std::fflush(stdout);
}

INSTANTIATE_TEST_SUITE_P(Drives, PowerCut,
                         ::testing::Values("ctrl163_broken.json", "ctrl165_broken.json",
                                           "ctrl190_broken.json", "ctrl161_broken.json"),
                         [](const auto& info) {
                           std::string name = info.param;
                           return name.substr(0, name.find('.'));
                         });

}  // namespace
}  // namespace kestrune
