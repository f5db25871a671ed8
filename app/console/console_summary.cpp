#include "app/console/console_summary.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <ostream>

#include "app/console/console_end.h"
#include "app/console/console_json.h"
#include "app/console/console_live.h"
#include "app/console/console_view.h"
#include "app/console/live_table.h"
#include "app/drive_session.h"
#include "discovery/discovery.h"

namespace kestrune::console {

namespace {

// "-" when the drive gave none: the slot then holds its empty fill.
std::string FlashIdText(const DriveSlot& slot) {
  const std::string hex = FlashIdHex(slot);
  return hex.empty() ? "-" : hex;
}

// A column no drive fills (the port, where the host named none) is left out
// of the table, and of the order in which columns give way.
void LeaveOutColumn(std::vector<std::vector<std::string>>& rows, std::vector<size_t>& dropped,
                    size_t column) {
  for (auto& row : rows) {
    if (column < row.size()) row.erase(row.begin() + static_cast<std::ptrdiff_t>(column));
  }
  std::vector<size_t> kept;
  for (const size_t index : dropped) {
    if (index != column) kept.push_back(index > column ? index - 1 : index);
  }
  dropped = std::move(kept);
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

}  // namespace

void PrintSummary(std::ostream& out, Command command, const std::vector<DriveSummary>& drives,
                  size_t columns) {
  std::vector<std::vector<std::string>> rows;
  // What a narrow terminal gives up first, whole: the drive's names, then
  // what a technician can read again in the document.
  std::vector<size_t> dropped;
  size_t portColumn = 0;
  // Where the table tells each drive's failure; none in a scan's.
  std::optional<size_t> failureColumn;
  bool failures = false;
  // The port tells apart two sticks that one letter took in turn: of the
  // two, it goes last.
  if (command == Command::kScan || command == Command::kMap) {
    dropped = {3, 4, 9, 6, 5, 2, 1, 8};
    portColumn = 8;
    rows.push_back({"drive", "verdict", "capacity", "vendor", "product", "controller", "flash id",
                    "outcome", "port", "serial"});
    for (const DriveSummary& d : drives) {
      const std::string letter = std::string(1, d.letter) + ":";
      if (!d.drive) {
        rows.push_back({letter, "-", "-", "-", "-", "-", "-", OutcomeShown(d),
                        PortText(d.port, d.stick), SerialText(d.serial)});
        continue;
      }
      const DriveSlot& s = *d.drive;
      rows.push_back({letter, d.healthy ? "healthy" : "broken", FormatCapacity(s),
                      RowText(s.vendorId), RowText(s.productId), ControllerText(s), FlashIdText(s),
                      OutcomeShown(d), PortText(d.port, d.stick), SerialText(d.serial)});
    }
  } else {
    rows.push_back({"drive", "verdict before", "outcome", "copies verified", "backups", "seconds",
                    "port", "serial", "failure"});
    for (const DriveSummary& d : drives) {
      rows.push_back(
          {std::string(1, d.letter) + ":", d.drive ? (d.healthy ? "healthy" : "broken") : "-",
           OutcomeShown(d), std::to_string(d.copiesVerified), std::to_string(d.backups),
           Seconds(d.seconds), PortText(d.port, d.stick), SerialText(d.serial), d.failure});
      failures = failures || !d.failure.empty();
    }
    dropped = {8, 5, 7, 4, 3, 1, 6};
    portColumn = 6;
    failureColumn = 8;
  }
  const bool ports = std::any_of(drives.begin(), drives.end(),
                                 [](const DriveSummary& d) { return !d.port.empty(); });
  if (!ports) {
    LeaveOutColumn(rows, dropped, portColumn);
    if (failureColumn && *failureColumn > portColumn) --*failureColumn;
  }
  std::vector<bool> shown;
  const std::vector<std::string> lines = ColumnLines(rows, columns, dropped, shown);
  for (const std::string& line : lines) out << line << '\n';
  // A failure the table had no room for follows it, in whole words.
  if (failures && failureColumn && *failureColumn < shown.size() && !shown[*failureColumn]) {
    for (const DriveSummary& d : drives) {
      if (d.failure.empty()) continue;
      // Behind the letter, the port that tells apart the sticks it named.
      const std::string drive = std::string(1, d.letter) + ":" +
                                (d.port.empty() ? "" : " (" + PortText(d.port, d.stick) + ")");
      for (const std::string& line : WrappedWords(drive + " " + d.failure, columns))
        out << line << '\n';
    }
  }
  out << std::flush;
}

void PrintColumns(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
  for (const std::string& line : ColumnLines(rows)) out << line << '\n';
  out << std::flush;
}

}  // namespace kestrune::console
