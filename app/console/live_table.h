// The live table: one row per drive, redrawn in place on a terminal while
// the drives are worked on, and left on screen when the run ends. Plain
// ANSI sequences (cursor up, erase line) and nothing else: the terminal
// keeps its scrollback, and lines printed meanwhile (questions, warnings)
// stay above the table.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

namespace kestrune::console {

// What one row shows.
struct LiveRow {
  char letter = 0;
  std::string model;  // printable text; shortened first when the terminal is narrow
  std::string step;   // "scan", "backup", "write", ...
  // The share of the operation's steps taken, 0 to 1.
  double progress = 0;
  double seconds = 0;
  // The outcome once the drive is done ("success", "failed", ...); empty
  // while it is under way.
  std::string outcome;
};

// The rows as lines of text, each narrower than `columns` so that no
// terminal wraps it: whole columns give way, the model first, then the bar,
// then the seconds; no word is cut. At most `lines` lines (0: no limit):
// rows still under way are kept before finished ones, and one last line
// counts those left out, working and finished apart.
std::vector<std::string> LiveTableLines(const std::vector<LiveRow>& rows, size_t columns,
                                        size_t lines = 0);

// Draws the table on a terminal, each time over its last drawing.
class LiveTable {
 public:
  explicit LiveTable(std::ostream& out) : out_(out) {}

  void Draw(const std::vector<LiveRow>& rows, size_t columns, size_t lines = 0);
  // A line that must stay on screen: it takes the table's place, and the
  // table is drawn again below it.
  void Line(const std::string& text);
  // Takes the last drawing off the screen, for output of another stream
  // that shows on the same terminal; Redraw puts it back below.
  void Erase();
  void Redraw();
  // Leaves the last drawing where it is; what is printed next goes below.
  void Finish() { drawn_ = 0; }

 private:
  std::ostream& out_;
  std::vector<LiveRow> rows_;
  size_t columns_ = 80;
  size_t lines_ = 0;
  size_t drawn_ = 0;
};

}  // namespace kestrune::console
