#include "app/console/live_table.h"

#include <gtest/gtest.h>

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
                                         WidthCase{40, false, 6}, WidthCase{12, false, 0}));

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
  EXPECT_EQ(lines[2], "... 2 more finished");
}

}  // namespace
}  // namespace kestrune::console
