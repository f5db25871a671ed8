// The tables a run ends with: the --all summary, a row per drive, and the
// columns list prints, fitted to the terminal as the live table is.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

#include "app/console/console_options.h"
#include "app/session/run_report.h"

namespace kestrune::console {

using session::DriveSummary;

// Rows of cells in columns, each padded to its widest cell, two blanks apart.
void PrintColumns(std::ostream& out, const std::vector<std::vector<std::string>>& rows);

// The table that ends --all: a row per drive with the state it reached,
// each line narrower than `columns` (0: no limit), columns given up whole.
void PrintSummary(std::ostream& out, Command command, const std::vector<DriveSummary>& drives,
                  size_t columns = 0);

}  // namespace kestrune::console
