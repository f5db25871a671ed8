// The live table's rows as lines that fit a terminal, and the columns of a
// run's last tables, fitted the same way: whole columns give way, no word
// is cut. The terminal owner draws them.
#pragma once

#include <cstddef>
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

// Rows of cells in columns, each padded to its widest cell, two blanks
// apart. With `columns` (0: no limit) every line is narrower than that, so
// that no terminal wraps it: the columns `dropped` names (by index) give way
// whole, in that order, until the lines fit; no cell is ever cut.
std::vector<std::string> ColumnLines(const std::vector<std::vector<std::string>>& rows,
                                     size_t columns = 0, const std::vector<size_t>& dropped = {});

// `text` in lines narrower than `columns` (0: one line), broken only
// between words; a word longer than a line stands alone on its own.
std::vector<std::string> WrappedWords(const std::string& text, size_t columns);

}  // namespace kestrune::console
