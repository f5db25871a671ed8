#include "app/console/live_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kestrune::console {

namespace {

constexpr size_t kStepWidth = 7;  // "restart"
constexpr size_t kWidestBar = 20;
constexpr size_t kNarrowestBar = 5;
constexpr size_t kSecondsWidth = 7;  // "9999.9s"
constexpr size_t kGap = 2;

std::string Padded(std::string text, size_t width) {
  if (text.size() > width) text.resize(width);
  text.append(width - text.size(), ' ');
  return text;
}

std::string Bar(double progress, size_t width) {
  const double share = std::isfinite(progress) ? std::clamp(progress, 0.0, 1.0) : 0.0;
  const auto filled = static_cast<size_t>(std::lround(share * static_cast<double>(width)));
  return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
}

std::string SecondsText(double seconds) {
  char text[32];
  const double shown = std::isfinite(seconds) ? std::clamp(seconds, 0.0, 9999.9) : 0.0;
  std::snprintf(text, sizeof text, "%6.1fs", shown);
  return text;
}

// What was left out of a short terminal, counted as what it is: a drive
// still at work is never counted finished.
struct LeftOut {
  size_t working = 0;
  size_t finished = 0;
};

// The rows that fit in `lines`: those under way first, then the finished
// ones that came last, in the table's order.
std::vector<const LiveRow*> RowsShown(const std::vector<LiveRow>& rows, size_t lines,
                                      LeftOut& left) {
  std::vector<const LiveRow*> shown;
  left = {};
  if (lines == 0 || rows.size() <= lines) {
    for (const LiveRow& row : rows) shown.push_back(&row);
    return shown;
  }
  const size_t room = lines > 1 ? lines - 1 : 0;  // one line tells of the rest
  std::vector<bool> keep(rows.size(), false);
  size_t kept = 0;
  for (size_t i = 0; i < rows.size() && kept < room; ++i) {
    if (rows[i].outcome.empty()) {
      keep[i] = true;
      ++kept;
    }
  }
  for (size_t i = rows.size(); i-- > 0 && kept < room;) {
    if (!keep[i]) {
      keep[i] = true;
      ++kept;
    }
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    if (keep[i]) {
      shown.push_back(&rows[i]);
    } else if (rows[i].outcome.empty()) {
      ++left.working;
    } else {
      ++left.finished;
    }
  }
  return shown;
}

// "... 3 working, 4 finished": the parts that count anything.
std::string LeftOutText(const LeftOut& left) {
  std::string text = "...";
  if (left.working > 0) text += " " + std::to_string(left.working) + " working";
  if (left.working > 0 && left.finished > 0) text += ",";
  if (left.finished > 0) text += " " + std::to_string(left.finished) + " finished";
  return text;
}

// `text` in at most `width` characters, cut only where a word ends; empty
// when not even its first word fits.
std::string WholeWords(const std::string& text, size_t width) {
  if (text.size() <= width) return text;
  const size_t blank = text.rfind(' ', width);
  if (blank == std::string::npos) return {};
  std::string cut = text.substr(0, blank);
  while (!cut.empty() && cut.back() == ' ') cut.pop_back();
  return cut;
}

// The widest outcome a row usually ends with ("interrupted"): the column is
// that wide from the first drawing on, so the columns before it stay where
// they are when the first drive ends.
constexpr size_t kOutcomeWidth = 11;
// A drive's product name, as its inquiry data holds it.
constexpr size_t kModelWidth = 16;
// A port behind a hub and its stick's number ("1-1.2 #2"), and a serial of
// a usual length: as wide as that from the first drawing on, so that a
// watch's later sticks seldom move the columns behind.
constexpr size_t kPortWidth = 8;
constexpr size_t kSerialWidth = 12;

// A row's port cell; empty when the host named no port.
std::string RowPort(const LiveRow& row) {
  return row.port.empty() ? std::string() : PortText(row.port, row.stick);
}

// The widest of the rows' cells, and at least `least` once any row has
// one; 0 when none has.
size_t CellWidth(const std::vector<LiveRow>& rows, std::string (*cell)(const LiveRow&),
                 size_t least) {
  size_t widest = 0;
  for (const LiveRow& row : rows) widest = std::max(widest, cell(row).size());
  return widest > 0 ? std::max(widest, least) : 0;
}

}  // namespace

std::vector<std::string> LiveTableLines(const std::vector<LiveRow>& rows, size_t columns,
                                        size_t lines) {
  LeftOut left;
  const std::vector<const LiveRow*> shown = RowsShown(rows, lines, left);
  // The columns follow from the terminal's width alone, not from what the
  // rows say yet: they stay where they are as drives are identified and
  // end. A model wider than a product name widens its column for good.
  size_t modelWidth = kModelWidth;
  for (const LiveRow& row : rows) modelWidth = std::max(modelWidth, row.model.size());
  size_t portWidth = CellWidth(rows, RowPort, kPortWidth);
  size_t serialWidth = CellWidth(
      rows, [](const LiveRow& row) { return row.serial; }, kSerialWidth);
  // An outcome wider than the usual ("repaired, pull it now") widens its
  // column, so that the columns before it give way to it, never it to them.
  size_t outcomeWidth = kOutcomeWidth;
  for (const LiveRow& row : rows) outcomeWidth = std::max(outcomeWidth, row.outcome.size());
  // A line as wide as the terminal makes some terminals wrap at its end.
  const size_t room = columns > 1 ? columns - 1 : 0;
  // A narrow terminal drops whole columns, never part of a word: the model
  // first (after it was shortened to whole words), then the serial, then
  // the bar (after it was narrowed), then the seconds, then the step, and
  // the port, which tells apart two sticks one letter took in turn, last.
  bool showSeconds = true;
  bool showStep = true;
  size_t barWidth = kWidestBar;
  const auto width = [&](size_t model, size_t bar) {
    return 2 + (portWidth > 0 ? kGap + portWidth : 0) + (serialWidth > 0 ? kGap + serialWidth : 0) +
           (model > 0 ? kGap + model : 0) + (showStep ? kGap + kStepWidth : 0) +
           (bar > 0 ? kGap + bar + 2 : 0) + (showSeconds ? kGap + kSecondsWidth : 0) + kGap +
           outcomeWidth;
  };
  const size_t widestModel = modelWidth;
  const auto fitModel = [&] {
    modelWidth = widestModel;
    if (width(modelWidth, barWidth) <= room) return;
    const size_t others = width(0, barWidth);
    modelWidth = room > others + kGap ? std::min(modelWidth, room - others - kGap) : 0;
  };
  fitModel();
  // The model gets back what a serial that gives way leaves.
  if (width(modelWidth, barWidth) > room) {
    serialWidth = 0;
    fitModel();
  }
  while (width(modelWidth, barWidth) > room && barWidth > kNarrowestBar) --barWidth;
  if (width(modelWidth, barWidth) > room) barWidth = 0;
  if (width(modelWidth, barWidth) > room) showSeconds = false;
  if (width(modelWidth, barWidth) > room) showStep = false;
  if (width(modelWidth, barWidth) > room) portWidth = 0;

  std::vector<std::string> out;
  for (const LiveRow* row : shown) {
    std::string line{row->letter != 0 ? row->letter : '?', ':'};
    if (portWidth > 0) line += std::string(kGap, ' ') + Padded(RowPort(*row), portWidth);
    if (serialWidth > 0) line += std::string(kGap, ' ') + Padded(row->serial, serialWidth);
    if (modelWidth > 0) {
      line += std::string(kGap, ' ') + Padded(WholeWords(row->model, modelWidth), modelWidth);
    }
    if (showStep) line += std::string(kGap, ' ') + Padded(row->step, kStepWidth);
    if (barWidth > 0) {
      line +=
          std::string(kGap, ' ') + Bar(row->outcome == "success" ? 1.0 : row->progress, barWidth);
    }
    if (showSeconds) line += std::string(kGap, ' ') + SecondsText(row->seconds);
    // The outcome is what the row is for: on the narrowest terminal it
    // stands alone behind the letter, or the row says only the letter.
    if (!row->outcome.empty() && line.size() + kGap + row->outcome.size() <= room) {
      line += std::string(kGap, ' ') + row->outcome;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out.push_back(std::move(line));
  }
  if (left.working + left.finished > 0) {
    out.push_back(WholeWords(LeftOutText(left), room));
  }
  return out;
}

std::string PortText(const std::string& port, int stick) {
  if (port.empty()) return "-";
  return stick > 0 ? port + " #" + std::to_string(stick) : port;
}

std::string SerialText(const std::string& serial) { return serial.empty() ? "-" : serial; }

std::vector<std::string> ColumnLines(const std::vector<std::vector<std::string>>& rows,
                                     size_t columns, const std::vector<size_t>& dropped) {
  std::vector<bool> shown;
  return ColumnLines(rows, columns, dropped, shown);
}

std::vector<std::string> ColumnLines(const std::vector<std::vector<std::string>>& rows,
                                     size_t columns, const std::vector<size_t>& dropped,
                                     std::vector<bool>& shown) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()), 0);
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  shown.assign(widths.size(), true);
  const auto widest = [&] {
    size_t width = 0;
    size_t count = 0;
    for (size_t i = 0; i < widths.size(); ++i) {
      if (!shown[i]) continue;
      width += widths[i];
      ++count;
    }
    return width + (count > 1 ? (count - 1) * kGap : 0);
  };
  // A line as wide as the terminal makes some terminals wrap at its end.
  for (size_t drop = 0; columns > 0 && widest() >= columns && drop < dropped.size(); ++drop) {
    if (dropped[drop] < shown.size()) shown[dropped[drop]] = false;
  }
  std::vector<std::string> lines;
  for (const auto& row : rows) {
    std::string line;
    bool first = true;
    for (size_t i = 0; i < row.size(); ++i) {
      if (!shown[i]) continue;
      if (!first) line.append(kGap, ' ');
      first = false;
      line += row[i];
      line.append(widths[i] - row[i].size(), ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<std::string> WrappedWords(const std::string& text, size_t columns) {
  std::vector<std::string> lines;
  const size_t room = columns > 1 ? columns - 1 : 0;
  std::string line;
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = text.find_first_not_of(' ', at);
    if (start == std::string::npos) break;
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    if (!line.empty() && room > 0 && line.size() + 1 + word.size() > room) {
      lines.push_back(std::move(line));
      line.clear();
    }
    if (!line.empty()) line += ' ';
    line += word;
    at = end;
  }
  if (!line.empty() || lines.empty()) lines.push_back(std::move(line));
  return lines;
}

}  // namespace kestrune::console
