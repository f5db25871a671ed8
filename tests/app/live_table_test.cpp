#include "app/console/live_table.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/console/console_end.h"
#include "app/console/console_summary.h"

namespace kestrune::console {

namespace {

std::vector<LiveRow> FourDrives() {
  return {{'E', "USB DISK 163 PRO LONG NAME", "write", 0.5, 12.3, ""},
          {'F', "USB DISK", "verify", 0.75, 14.0, ""},
          {'G', "STICK", "restart", 1.0, 20.0, "success"},
          {'H', "STICK", "backup", 0.25, 3.0, "failed"}};
}

size_t BarWidth(const std::string& line) {
  const size_t open = line.find('[');
  const size_t close = line.find(']');
  return open == std::string::npos || close == std::string::npos ? 0 : close - open - 1;
}

// A row wider than the terminal wraps into a second line that the next
// redraw does not erase: every width must give lines that fit, keeping the
// bar whole for as long as shortening the model is enough.
struct WidthCase {
  size_t columns;
  bool fullModel;  // the longest model shown whole
  size_t bar;      // the bar's width, 0: cut off
};

class LiveTableWidth : public testing::TestWithParam<WidthCase> {};

TEST_P(LiveTableWidth, RowsFitAndTheModelGivesWayFirst) {
  const WidthCase& c = GetParam();
  const std::vector<std::string> lines = LiveTableLines(FourDrives(), c.columns);
  ASSERT_EQ(lines.size(), 4U);
  for (const std::string& line : lines) {
    EXPECT_LT(line.size(), c.columns) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
  EXPECT_EQ(lines[0].find("USB DISK 163 PRO LONG NAME") != std::string::npos, c.fullModel)
      << lines[0];
  // Columns give way whole: every word shown is a whole word of its row.
  const std::vector<LiveRow> drives = FourDrives();
  for (size_t i = 0; i < lines.size(); ++i) {
    const LiveRow& row = drives[i];
    std::set<std::string> words{std::string{row.letter, ':'}, row.step, row.outcome};
    std::istringstream model(row.model);
    for (std::string word; model >> word;) words.insert(word);
    std::ostringstream seconds;
    seconds.setf(std::ios::fixed);
    seconds.precision(1);
    seconds << row.seconds << 's';
    words.insert(seconds.str());
    std::istringstream shown(lines[i]);
    for (std::string word; shown >> word;) {
      if (word.front() == '[' && word.back() == ']') continue;  // the bar
      EXPECT_TRUE(words.count(word)) << "'" << word << "' cut from: " << lines[i];
    }
  }
  // The outcome is the last column to go.
  EXPECT_NE(lines[2].find("success"), std::string::npos) << lines[2];
  EXPECT_EQ(BarWidth(lines[0]), c.bar) << lines[0];
  if (c.bar > 0) {
    EXPECT_NE(lines[2].find("success"), std::string::npos) << lines[2];
    // A success fills its bar, half a write fills half of it.
    const auto bar = [](const std::string& line) {
      return line.substr(line.find('[') + 1, line.find(']') - line.find('[') - 1);
    };
    EXPECT_EQ(bar(lines[2]), std::string(c.bar, '#')) << lines[2];
    EXPECT_EQ(bar(lines[0]), std::string(c.bar / 2, '#') + std::string(c.bar - c.bar / 2, '.'))
        << lines[0];
  }
}

INSTANTIATE_TEST_SUITE_P(Columns, LiveTableWidth,
                         testing::Values(WidthCase{120, true, 20}, WidthCase{60, false, 20},
                                         WidthCase{40, false, 0}, WidthCase{12, false, 0}));

// On a short terminal a cursor moved above the screen's top garbles every
// row: the drives under way are the ones kept.
TEST(LiveTable, AShortTerminalKeepsTheDrivesUnderWay) {
  const std::vector<std::string> lines = LiveTableLines(FourDrives(), 100, 3);
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_EQ(lines[0].rfind("E:", 0), 0U);
  EXPECT_EQ(lines[1].rfind("F:", 0), 0U);
  EXPECT_EQ(lines[2], "... 2 finished");
}

// A drive left out of a short terminal is counted as what it is: one still
// at work is never called finished, for a technician pulls finished sticks.
TEST(LiveTable, RowsLeftOutAreCountedAsWorkingOrFinished) {
  struct Case {
    size_t working;
    size_t finished;
    size_t lines;
    const char* last;
  };
  for (const Case& c :
       {Case{12, 0, 10, "... 3 working"}, Case{7, 5, 5, "... 3 working, 5 finished"},
        Case{2, 10, 10, "... 3 finished"}}) {
    std::vector<LiveRow> rows;
    for (size_t i = 0; i < c.working + c.finished; ++i) {
      rows.push_back(
          {static_cast<char>('D' + i), "STICK", "write", 0.5, 1.0, i < c.working ? "" : "success"});
    }
    const std::vector<std::string> lines = LiveTableLines(rows, 80, c.lines);
    ASSERT_EQ(lines.size(), c.lines);
    EXPECT_EQ(lines.back(), c.last);
    size_t workingShown = 0;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
      workingShown += lines[i].find("success") == std::string::npos;
    }
    EXPECT_EQ(workingShown, std::min(c.working, c.lines - 1)) << "working rows come first";
  }
}

// Columns that moved once drives were identified or ended made the table
// jump: at one width every drawing puts each column in the same place.
TEST(LiveTable, ColumnsStayPutAsModelsAndOutcomesAppear) {
  for (const size_t columns : {size_t{120}, size_t{80}, size_t{60}, size_t{40}}) {
    std::vector<LiveRow> rows = {{'E', "", "scan", 0.0, 0.1, ""}, {'F', "", "scan", 0.0, 0.1, ""}};
    const std::vector<std::string> before = LiveTableLines(rows, columns);
    rows[0].model = "USB DISK 163";
    rows[0].step = "write";
    rows[1] = {'F', "STICK 2", "restart", 1.0, 2.0, "interrupted"};
    const std::vector<std::string> after = LiveTableLines(rows, columns);
    const auto at = [](const std::string& line, const std::string& word) {
      return line.find(word);
    };
    EXPECT_EQ(at(before[0], "scan"), at(after[0], "write")) << columns << "\n"
                                                            << before[0] << "\n"
                                                            << after[0];
    EXPECT_EQ(at(before[1], "scan"), at(after[1], "restart")) << columns << "\n" << after[1];
  }
}

// The run's last table wrapped mid-word on a narrow terminal ("se" /
// "conds"): whole columns give way, in the order asked, never part of one.
struct ColumnCase {
  size_t columns;
  std::vector<std::string> header;  // what stays of the header
};

class ColumnFit : public testing::TestWithParam<ColumnCase> {};

TEST_P(ColumnFit, WholeColumnsGiveWayUntilTheLinesFit) {
  const std::vector<std::vector<std::string>> rows = {
      {"drive", "verdict before", "outcome", "copies verified", "backups", "seconds"},
      {"E:", "broken", "interrupted", "2", "4", "12.5"},
      {"F:", "healthy", "success", "1", "2", "3.0"}};
  const std::vector<std::string> lines = ColumnLines(rows, GetParam().columns, {5, 4, 3, 1});
  ASSERT_EQ(lines.size(), rows.size());
  for (const std::string& line : lines) {
    if (GetParam().columns > 0) {
      EXPECT_LT(line.size(), GetParam().columns) << line;
    }
  }
  std::string header;
  for (const std::string& cell : GetParam().header) header += (header.empty() ? "" : "  ") + cell;
  std::istringstream shown(lines[0]);
  std::string words;
  for (std::string word; shown >> word;) words += (words.empty() ? "" : " ") + word;
  std::string expected;
  std::istringstream wanted(header);
  for (std::string word; wanted >> word;) expected += (expected.empty() ? "" : " ") + word;
  EXPECT_EQ(words, expected) << lines[0];
  // Each row's cells start where the header's do.
  for (const std::string& cell : GetParam().header) {
    const size_t at = lines[0].find(cell);
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(lines[1][at], ' ') << cell << ": " << lines[1];
    if (at > 0) {
      EXPECT_EQ(lines[1][at - 1], ' ') << cell << ": " << lines[1];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Widths, ColumnFit,
    testing::Values(
        ColumnCase{0,
                   {"drive", "verdict before", "outcome", "copies verified", "backups", "seconds"}},
        ColumnCase{80,
                   {"drive", "verdict before", "outcome", "copies verified", "backups", "seconds"}},
        ColumnCase{60, {"drive", "verdict before", "outcome", "copies verified"}},
        ColumnCase{40, {"drive", "verdict before", "outcome"}},
        ColumnCase{20, {"drive", "outcome"}}));

// A watch gives a port's second stick the letter its first had: the two
// rows are told apart by the port, the stick's number there and the
// serial. The serial gives way early, the port only after every column
// but the outcome.
struct PortCase {
  size_t columns;
  bool serial;  // the serials shown
  bool port;    // the ports and the sticks' numbers shown
  bool model;   // the model, in whole words: it gets back a serial's room
};

class LiveTablePorts : public testing::TestWithParam<PortCase> {};

TEST_P(LiveTablePorts, TwoSticksOfOneLetterAreToldApart) {
  const PortCase& c = GetParam();
  const std::vector<LiveRow> rows = {
      {'D', "USB DISK 163", "restart", 1.0, 20.0, "success", "1-1.2", "KS0001ABCDEF", 1},
      {'D', "USB DISK 163", "write", 0.5, 3.0, "", "1-1.2", "KS0002ABCDEF", 2}};
  const std::vector<std::string> lines = LiveTableLines(rows, c.columns);
  ASSERT_EQ(lines.size(), 2U);
  for (const std::string& line : lines) EXPECT_LT(line.size(), c.columns) << line;
  EXPECT_EQ(lines[0].find(" 1-1.2 #1 ") != std::string::npos, c.port) << lines[0];
  EXPECT_EQ(lines[1].find(" 1-1.2 #2 ") != std::string::npos, c.port) << lines[1];
  EXPECT_EQ(lines[0].find(" KS0001ABCDEF ") != std::string::npos, c.serial) << lines[0];
  // Nothing is cut: a serial is shown whole or not at all.
  EXPECT_EQ(lines[1].find("KS0"), c.serial ? lines[1].find("KS0002ABCDEF") : std::string::npos);
  EXPECT_NE(lines[0].find("success"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].find(" USB DISK ") != std::string::npos, c.model) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(Columns, LiveTablePorts,
                         testing::Values(PortCase{120, true, true, true},
                                         PortCase{80, false, true, true},
                                         PortCase{40, false, true, false},
                                         PortCase{24, false, false, false}));

// The summary that ends --all and watch: the same two sticks, one failed.
// On a narrow terminal the serial gives way before the counts, the port
// after them, and the failure that had no room below the table names the
// port too.
TEST(RunSummary, TwoSticksOfOneLetterAreToldApartAtEveryWidth) {
  std::vector<DriveSummary> drives(2);
  drives[0].letter = drives[1].letter = 'D';
  drives[0].port = drives[1].port = "1-1";
  drives[0].serial = "KS0001";
  drives[1].serial = "KS0002";
  drives[0].stick = 1;
  drives[1].stick = 2;
  drives[0].outcome = Outcome::kSuccess;
  drives[1].outcome = Outcome::kFailed;
  drives[1].failure = "the stick was pulled";
  struct Case {
    size_t columns;
    bool serial;
    bool port;
  };
  for (const Case& c : {Case{0, true, true}, Case{100, true, true}, Case{60, false, true},
                        Case{30, false, true}, Case{15, false, false}}) {
    std::ostringstream out;
    PrintSummary(out, Command::kFix, drives, c.columns);
    std::vector<std::string> lines;
    std::istringstream text(out.str());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    ASSERT_GE(lines.size(), 3U) << out.str();
    for (const std::string& line : lines) {
      if (c.columns > 0) {
        EXPECT_LT(line.size(), c.columns) << line;
      }
    }
    EXPECT_EQ(lines[1].find(" 1-1 #1") != std::string::npos, c.port) << c.columns << "\n"
                                                                     << out.str();
    EXPECT_EQ(lines[2].find(" 1-1 #2") != std::string::npos, c.port) << c.columns << "\n"
                                                                     << out.str();
    EXPECT_EQ(lines[2].find(" KS0002") != std::string::npos, c.serial) << c.columns << "\n"
                                                                       << out.str();
    const bool below = lines[0].find("failure") == std::string::npos;
    EXPECT_EQ(below, c.columns > 0 && c.columns <= 100) << out.str();
    std::string after;
    for (size_t i = 3; i < lines.size(); ++i) after += (after.empty() ? "" : " ") + lines[i];
    EXPECT_EQ(after, below ? "D: (1-1 #2) the stick was pulled" : "") << out.str();
  }
  // Where the host named no port (--all), the table has no column of
  // dashes for it; the serial column stays.
  drives[0].port = drives[1].port = "";
  std::ostringstream out;
  PrintSummary(out, Command::kFix, drives);
  const std::string header = out.str().substr(0, out.str().find('\n'));
  EXPECT_EQ(header,
            "drive  verdict before  outcome  copies verified  backups  seconds  serial  failure");
}

// A fix whose After backups could not be made succeeded: its row says so,
// and that it came with warnings.
TEST(RunSummary, ASuccessWithWarningsSaysSoInItsRow) {
  std::vector<DriveSummary> drives(3);
  drives[0].letter = 'D';
  drives[1].letter = 'E';
  drives[2].letter = 'F';
  for (DriveSummary& d : drives) d.outcome = Outcome::kSuccess;
  drives[1].warnings = {"Download ISP fail because open handle fail"};
  drives[2].warnings = {"one", "two"};
  std::ostringstream out;
  PrintSummary(out, Command::kFix, drives);
  std::vector<std::string> rows;
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 4U) << out.str();
  EXPECT_NE(rows[1].find(" success "), std::string::npos) << rows[1];
  EXPECT_EQ(rows[1].find("warning"), std::string::npos) << rows[1];
  EXPECT_NE(rows[2].find(" success (1 warning) "), std::string::npos) << rows[2];
  EXPECT_NE(rows[3].find(" success (2 warnings) "), std::string::npos) << rows[3];
}

TEST(LiveTable, LongTextIsWrappedBetweenWords) {
  const std::vector<std::string> lines =
      WrappedWords("E: the flash of the virtual drive could not be saved", 20);
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_EQ(lines[0], "E: the flash of the");
  EXPECT_EQ(lines[1], "virtual drive could");
  EXPECT_EQ(lines[2], "not be saved");
}

}  // namespace
}  // namespace kestrune::console
