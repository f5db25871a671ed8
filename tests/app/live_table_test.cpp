#include "app/console/live_table.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

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

TEST(LiveTable, RedrawsOverItsLastDrawingAndKeepsLinesAboveIt) {
  std::ostringstream out;
  LiveTable table(out);
  std::vector<LiveRow> rows = FourDrives();
  table.Draw(rows, 100);
  EXPECT_EQ(out.str().find("\x1b["), out.str().find("\x1b[2K")) << "no move before the first";
  out.str("");
  rows[0].step = "verify";
  table.Draw(rows, 100);
  // Four lines up, then each row erased and written again.
  EXPECT_EQ(out.str().rfind("\x1b[4A", 0), 0U) << out.str();
  EXPECT_NE(out.str().find("\r\x1b[2KE:  USB DISK 163 PRO LONG NAME  verify"), std::string::npos);
  out.str("");
  table.Line("[Update ISP Warning] a question");
  const std::string shown = out.str();
  EXPECT_EQ(shown.rfind("\x1b[4A\r\x1b[J[Update ISP Warning] a question\n", 0), 0U) << shown;
  // Drawn again below the line, not over it.
  EXPECT_EQ(shown.find("\x1b[4A", 1), std::string::npos) << shown;
  EXPECT_NE(shown.find("H:"), std::string::npos);
  out.str("");
  table.Finish();
  table.Draw(rows, 100);
  EXPECT_NE(out.str().rfind("\x1b[4A", 0), 0U) << "a finished table is not drawn over";
}

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

}  // namespace
}  // namespace kestrune::console
