#include "app/console/live_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

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

}  // namespace

std::vector<std::string> LiveTableLines(const std::vector<LiveRow>& rows, size_t columns,
                                        size_t lines) {
  LeftOut left;
  const std::vector<const LiveRow*> shown = RowsShown(rows, lines, left);
  size_t modelWidth = 0;
  size_t outcomeWidth = kOutcomeWidth;
  for (const LiveRow* row : shown) {
    modelWidth = std::max(modelWidth, row->model.size());
    outcomeWidth = std::max(outcomeWidth, row->outcome.size());
  }
  // A line as wide as the terminal makes some terminals wrap at its end.
  const size_t room = columns > 1 ? columns - 1 : 0;
  // A narrow terminal drops whole columns, never part of a word: the model
  // first (after it was shortened to whole words), then the bar (after it
  // was narrowed), then the seconds, then the step.
  bool showSeconds = true;
  bool showStep = true;
  size_t barWidth = kWidestBar;
  const auto width = [&](size_t model, size_t bar) {
    return 2 + (model > 0 ? kGap + model : 0) + (showStep ? kGap + kStepWidth : 0) +
           (bar > 0 ? kGap + bar + 2 : 0) + (showSeconds ? kGap + kSecondsWidth : 0) + kGap +
           outcomeWidth;
  };
  if (width(modelWidth, barWidth) > room) {
    const size_t others = width(0, barWidth);
    modelWidth = room > others + kGap ? std::min(modelWidth, room - others - kGap) : 0;
  }
  while (width(modelWidth, barWidth) > room && barWidth > kNarrowestBar) --barWidth;
  if (width(modelWidth, barWidth) > room) barWidth = 0;
  if (width(modelWidth, barWidth) > room) showSeconds = false;
  if (width(modelWidth, barWidth) > room) showStep = false;

  std::vector<std::string> out;
  for (const LiveRow* row : shown) {
    std::string line{row->letter != 0 ? row->letter : '?', ':'};
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

void LiveTable::Erase() {
  // Back to the first line of the last drawing; what is below goes.
  if (drawn_ > 0) out_ << "\x1b[" << drawn_ << "A";
  out_ << "\r\x1b[J";
  drawn_ = 0;
}

void LiveTable::Draw(const std::vector<LiveRow>& rows, size_t columns, size_t lines) {
  rows_ = rows;
  columns_ = columns;
  lines_ = lines;
  const std::vector<std::string> text = LiveTableLines(rows, columns, lines);
  std::string frame;
  if (drawn_ > 0) frame += "\x1b[" + std::to_string(drawn_) + "A";
  for (const std::string& line : text) frame += "\r\x1b[2K" + line + "\n";
  frame += "\x1b[J";  // a drawing of fewer lines leaves none of the last one
  out_ << frame << std::flush;
  drawn_ = text.size();
}

void LiveTable::Line(const std::string& text) {
  Erase();
  out_ << text << '\n';
  Redraw();
}

void LiveTable::Redraw() {
  if (rows_.empty()) {
    out_ << std::flush;
    return;
  }
  Draw(rows_, columns_, lines_);
}

}  // namespace kestrune::console
