#include "app/console/console_summary.h"

#include <cstdio>
#include <ostream>

#include "app/console/console_json.h"
#include "app/console/console_view.h"
#include "app/console/live_table.h"
#include "app/dialog.h"
#include "discovery/discovery.h"

namespace kestrune::console {

namespace {

// A text field of the drive as the table shows it: without the blanks that
// pad it, nothing that steers a terminal.
template <size_t N>
std::string TableText(const char (&field)[N]) {
  std::string text = PrintableText(FieldText(field));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// "-" when the drive gave none: the slot then holds its empty fill.
std::string FlashIdText(const DriveSlot& slot) {
  const std::string hex = FlashIdHex(slot);
  return hex.empty() ? "-" : hex;
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
  bool failures = false;
  if (command == Command::kScan || command == Command::kMap) {
    dropped = {3, 4, 6, 5, 2, 1};
    rows.push_back(
        {"drive", "verdict", "capacity", "vendor", "product", "controller", "flash id", "outcome"});
    for (const DriveSummary& d : drives) {
      const std::string letter = std::string(1, d.letter) + ":";
      if (!d.drive) {
        rows.push_back({letter, "-", "-", "-", "-", "-", "-", OutcomeText(d.outcome)});
        continue;
      }
      const DriveSlot& s = *d.drive;
      rows.push_back({letter, d.healthy ? "healthy" : "broken", FormatCapacity(s),
                      TableText(s.vendorId), TableText(s.productId), ControllerText(s),
                      FlashIdText(s), OutcomeText(d.outcome)});
    }
  } else {
    rows.push_back(
        {"drive", "verdict before", "outcome", "copies verified", "backups", "seconds", "failure"});
    for (const DriveSummary& d : drives) {
      rows.push_back({std::string(1, d.letter) + ":",
                      d.drive ? (d.healthy ? "healthy" : "broken") : "-", OutcomeText(d.outcome),
                      std::to_string(d.copiesVerified), std::to_string(d.backups),
                      Seconds(d.seconds), d.failure});
      failures = failures || !d.failure.empty();
    }
    dropped = {6, 5, 4, 3, 1};
  }
  const std::vector<std::string> lines = ColumnLines(rows, columns, dropped);
  for (const std::string& line : lines) out << line << '\n';
  // A failure the table had no room for follows it, in whole words.
  if (failures && columns > 0 && !lines.empty() &&
      lines.front().find("failure") == std::string::npos) {
    for (const DriveSummary& d : drives) {
      if (d.failure.empty()) continue;
      for (const std::string& line :
           WrappedWords(std::string(1, d.letter) + ": " + d.failure, columns))
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
