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
  // Where the drive is plugged in, its serial and, with watch, its stick's
  // number in that port (see session::DriveWork); printable text, empty
  // when the host did not say: a table whose rows have none shows no such
  // column.
  std::string port{};
  std::string serial{};
  int stick = 0;
};

// A drive's port as the rows and tables show it: "1-1.2", and with watch
// the stick's number in that port ("1-1.2 #2"); "-" when the host named no
// port.
std::string PortText(const std::string& port, int stick);
// A drive's serial as the tables show it; "-" when it gave none.
std::string SerialText(const std::string& serial);

// The rows as lines of text, each narrower than `columns` so that no
// terminal wraps it: whole columns give way, the model first, then the
// serial, the bar, the seconds, the step and the port; no word is cut. At most `lines` lines (0: no
// limit): rows still under way are kept before finished ones, and one last line counts those left
// out, working and finished apart.
std::vector<std::string> LiveTableLines(const std::vector<LiveRow>& rows, size_t columns,
                                        size_t lines = 0);

// Rows of cells in columns, each padded to its widest cell, two blanks
// apart. With `columns` (0: no limit) every line is narrower than that, so
// that no terminal wraps it: the columns `dropped` names (by index) give way
// whole, in that order, until the lines fit; no cell is ever cut.
std::vector<std::string> ColumnLines(const std::vector<std::vector<std::string>>& rows,
                                     size_t columns = 0, const std::vector<size_t>& dropped = {});
// The same, telling in `shown` which columns kept their place.
std::vector<std::string> ColumnLines(const std::vector<std::vector<std::string>>& rows,
                                     size_t columns, const std::vector<size_t>& dropped,
                                     std::vector<bool>& shown);

// `text` in lines narrower than `columns` (0: one line), broken only
// between words; a word longer than a line stands alone on its own.
std::vector<std::string> WrappedWords(const std::string& text, size_t columns);

}  // namespace kestrune::console
