#include "app/console/console_map.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>
#include <sstream>
#include <vector>

#include "app/drive_session.h"
#include "base/program.h"
#include "base/report.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace kestrune::console {

namespace {

// Blocks per line of the terminal rendition, and at most this many blocks
// are drawn one by one in the picture's close-up.
constexpr uint32_t kLineBlocks = 64;
constexpr uint32_t kCloseUpBlocks = 64;
// Above this many zones the picture draws only the zones that hold a mark.
constexpr uint64_t kDrawnZones = 32;

uint64_t MarkEnd(const MapMark& mark) { return uint64_t{mark.firstBlock} + mark.blockCount; }

bool Covers(const MapMark& mark, uint64_t block) {
  return mark.inFlash && block >= mark.firstBlock && block < MarkEnd(mark);
}

bool Overlaps(const MapMark& mark, uint64_t begin, uint64_t end) {
  return mark.inFlash && mark.firstBlock < end && MarkEnd(mark) > begin;
}

// The first mark over `block`, CIS pages before ISP and auxiliary areas.
const MapMark* MarkAt(const FlashMap& map, uint64_t block) {
  for (const MapMark& mark : map.marks) {
    if (Covers(mark, block)) return &mark;
  }
  return nullptr;
}

bool ZoneMarked(const FlashMap& map, uint64_t begin, uint64_t end) {
  return std::any_of(map.marks.begin(), map.marks.end(),
                     [&](const MapMark& mark) { return Overlaps(mark, begin, end); });
}

char MarkLetter(MarkKind kind) { return RowOf(kind).letter; }

const char* MarkTitle(MarkKind kind) { return RowOf(kind).title; }

const char* StateWords(CopyState state) { return RowOf(state).words; }

const char* StateColour(CopyState state) { return RowOf(state).colour; }

constexpr const char* kCisColour = "#3366cc";

const char* MarkColour(const MapMark& mark) {
  return mark.kind == MarkKind::kCis ? kCisColour : StateColour(mark.state);
}

constexpr const char* kReset = "\033[0m";
constexpr const char* kDim = "\033[2m";

// ANSI colour of a mark in the terminal.
const char* MarkAnsi(const MapMark& mark) {
  if (mark.kind == MarkKind::kCis) return "\033[36m";
  return RowOf(mark.state).ansi;
}

std::string BlockRange(uint64_t first, uint64_t count) {
  if (count <= 1) return "block " + std::to_string(first);
  return "blocks " + std::to_string(first) + "-" + std::to_string(first + count - 1);
}

// One line per mark: what it is, where, and what is known of it.
std::string MarkLine(const MapMark& mark) {
  std::string line = std::string(MarkTitle(mark.kind)) + " " + std::to_string(mark.copy) + ": " +
                     BlockRange(mark.firstBlock, mark.blockCount);
  if (mark.kind != MarkKind::kCis) line += ", " + std::string(StateWords(mark.state));
  if (!mark.inFlash) line += " (outside the flash its geometry gives)";
  return line;
}

// "CE0 zone 3" for the zone counted across chip enables.
std::string ZoneName(const FlashMap& map, uint64_t zone) {
  return "CE" + std::to_string(zone / map.zoneCount) + " zone " +
         std::to_string(zone % map.zoneCount);
}

std::string CaptionLine(const MapCaption& caption) {
  std::string line = "verdict: " + caption.verdict;
  if (!caption.outcome.empty()) line += "; " + caption.outcome;
  return line;
}

std::string Number(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", value);
  return buffer;
}

// --- the SVG picture ---

constexpr int kWidth = 1040;
constexpr int kStripX = 130;
constexpr int kStripWidth = 880;
constexpr int kRowHeight = 22;
constexpr int kCellWidth = 13;

class Svg {
 public:
  void Text(int x, int y, const std::string& text, const char* extra = "") {
    body_ << "<text x=\"" << x << "\" y=\"" << y << "\"" << extra << ">" << XmlText(text)
          << "</text>\n";
  }
  void Rect(double x, double y, double w, double h, const char* fill, const char* extra = "") {
    body_ << "<rect x=\"" << Number(x) << "\" y=\"" << Number(y) << "\" width=\"" << Number(w)
          << "\" height=\"" << Number(h) << "\" fill=\"" << fill << "\"" << extra << "/>\n";
  }
  std::ostringstream& Raw() { return body_; }

  std::string Document(int height, const std::string& title, const std::string& defs) const {
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\""
        << height << "\" viewBox=\"0 0 " << kWidth << " " << height
        << "\" font-family=\"monospace\" font-size=\"12\">\n"
        << "<title>" << XmlText(title) << "</title>\n"
        << "<defs>" << defs << "</defs>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
        << body_.str() << "</svg>\n";
    return out.str();
  }

 private:
  std::ostringstream body_;
};

const char* MarkStroke(const MapMark& mark) {
  return mark.kind == MarkKind::kAux ? " stroke=\"#000000\" stroke-dasharray=\"3,2\""
                                     : " stroke=\"#000000\" stroke-width=\"0.6\"";
}

// The zones drawn as rows of the overview: all of them on a small flash,
// else those that hold a mark.
std::vector<uint64_t> DrawnZones(const FlashMap& map, uint64_t& leftOut) {
  std::vector<uint64_t> zones;
  const uint64_t total = uint64_t{map.ceCount} * map.zoneCount;
  leftOut = 0;
  if (total <= kDrawnZones) {
    for (uint64_t z = 0; z < total; ++z) zones.push_back(z);
    return zones;
  }
  std::set<uint64_t> marked;
  for (const MapMark& mark : map.marks) {
    if (!mark.inFlash) continue;
    const uint64_t last = MarkEnd(mark) - 1;
    for (uint64_t z = mark.firstBlock / map.blocksPerZone;
         z <= last / map.blocksPerZone && marked.size() < kDrawnZones; ++z) {
      marked.insert(z);
    }
  }
  zones.assign(marked.begin(), marked.end());
  leftOut = total - zones.size();
  return zones;
}

// The pieces of the picture, top to bottom. Each draws at `y` and leaves it
// below what it drew.

// The drive's list line and the verdict.
void DrawTitle(Svg& svg, const MapCaption& caption, int& y) {
  svg.Text(10, y, caption.driveLine, " font-size=\"14\" font-weight=\"bold\"");
  y += 20;
  svg.Text(10, y, CaptionLine(caption));
  y += 28;
}

// The tile of one block, for a strip whose blocks are wide enough to show:
// a grid the size of the flash costs one element.
std::string BlockPattern(double blockWidth) {
  return "<pattern id=\"block\" patternUnits=\"userSpaceOnUse\" x=\"" + std::to_string(kStripX) +
         "\" y=\"0\" width=\"" + Number(blockWidth) + "\" height=\"" + std::to_string(kRowHeight) +
         "\"><rect width=\"" + Number(blockWidth) + "\" height=\"" + std::to_string(kRowHeight) +
         "\" fill=\"#eef0f4\" stroke=\"#c8ccd6\" stroke-width=\"0.6\"/></pattern>";
}

// One zone's row of the overview: its name, its strip, and each mark over
// the blocks of the zone it covers.
void DrawZoneRow(Svg& svg, const FlashMap& map, uint64_t zone, int top, double blockWidth,
                 const char* stripFill) {
  const uint64_t begin = zone * map.blocksPerZone;
  const uint64_t end = begin + map.blocksPerZone;
  svg.Text(10, top + 15, ZoneName(map, zone));
  svg.Rect(kStripX, top, kStripWidth, kRowHeight - 4, stripFill,
           " stroke=\"#8a8f99\" stroke-width=\"0.6\"");
  for (const MapMark& mark : map.marks) {
    if (!Overlaps(mark, begin, end)) continue;
    const uint64_t from = std::max<uint64_t>(mark.firstBlock, begin);
    const uint64_t to = std::min<uint64_t>(MarkEnd(mark), end);
    svg.Raw() << "<g class=\"overview\" data-kind=\"" << MarkKindName(mark.kind)
              << "\" data-copy=\"" << mark.copy << "\">";
    svg.Rect(kStripX + static_cast<double>(from - begin) * blockWidth, top,
             std::max(static_cast<double>(to - from) * blockWidth, 2.0), kRowHeight - 4,
             MarkColour(mark), MarkStroke(mark));
    svg.Raw() << "</g>\n";
  }
}

// The geometry in words, then one row per drawn zone; `defs` gets the
// block tile when the rows use it.
void DrawOverview(Svg& svg, const FlashMap& map, int& y, std::string& defs) {
  svg.Text(10, y,
           std::to_string(map.ceCount) + " chip enable(s), " + std::to_string(map.zoneCount) +
               " zone(s) of " + std::to_string(map.blocksPerZone) + " blocks, " +
               std::to_string(map.pagesPerBlock) + " pages per block");
  y += 12;
  const double blockWidth = static_cast<double>(kStripWidth) / map.blocksPerZone;
  const char* stripFill = "#eef0f4";
  if (blockWidth >= 4) {
    defs = BlockPattern(blockWidth);
    stripFill = "url(#block)";
  }
  uint64_t leftOut = 0;
  for (const uint64_t zone : DrawnZones(map, leftOut)) {
    DrawZoneRow(svg, map, zone, y, blockWidth, stripFill);
    y += kRowHeight;
  }
  if (leftOut != 0) {
    svg.Text(10, y + 12, std::to_string(leftOut) + " zone(s) without marks not drawn");
    y += 20;
  }
}

// A close-up of the first blocks, where the controller keeps its CIS pages
// and ISP copies, one cell per block.
void DrawCloseUp(Svg& svg, const FlashMap& map, int& y) {
  uint64_t closeUp = std::min<uint64_t>(kCloseUpBlocks, map.BlockCount());
  y += 22;
  svg.Text(10, y, "blocks 0-" + std::to_string(closeUp - 1) + ", one cell per block");
  y += 8;
  for (uint64_t block = 0; block < closeUp; ++block) {
    const double x = kStripX + static_cast<double>(block) * kCellWidth;
    const MapMark* mark = MarkAt(map, block);
    if (mark == nullptr) {
      svg.Rect(x, y, kCellWidth - 2, 24, "#eef0f4", " stroke=\"#c8ccd6\" stroke-width=\"0.6\"");
      continue;
    }
    svg.Raw() << "<g class=\"block\" data-kind=\"" << MarkKindName(mark->kind) << "\" data-copy=\""
              << mark->copy << "\">";
    svg.Rect(x, y, kCellWidth - 2, 24, MarkColour(*mark), MarkStroke(*mark));
    svg.Raw() << "</g>\n";
    svg.Text(static_cast<int>(x) + 2, y + 16, std::string(1, MarkLetter(mark->kind)),
             " font-size=\"10\" fill=\"#ffffff\"");
  }
  for (uint64_t block = 0; block < closeUp; block += 8) {
    svg.Text(kStripX + static_cast<int>(block) * kCellWidth, y + 38, std::to_string(block),
             " font-size=\"10\"");
  }
  y += 56;
}

// Every mark in words: a copy is counted by these, one element each.
void DrawMarkList(Svg& svg, const FlashMap& map, int& y) {
  for (const MapMark& mark : map.marks) {
    svg.Raw() << "<g class=\"mark\" data-kind=\"" << MarkKindName(mark.kind) << "\" data-copy=\""
              << mark.copy << "\" data-state=\"" << CopyStateName(mark.state)
              << "\" data-first-block=\"" << mark.firstBlock << "\" data-blocks=\""
              << mark.blockCount << "\">";
    svg.Rect(10, y - 10, 12, 12, MarkColour(mark), MarkStroke(mark));
    svg.Text(30, y, MarkLine(mark));
    svg.Raw() << "</g>\n";
    y += 18;
  }
  if (map.marks.empty()) {
    svg.Text(10, y, "no CIS page and no ISP copy found");
    y += 18;
  }
}

// The legend: what each colour and outline means, three to a line.
void DrawLegend(Svg& svg, int& y) {
  y += 14;
  svg.Text(10, y, "legend", " font-weight=\"bold\"");
  y += 8;
  struct Swatch {
    const char* fill;
    const char* stroke;
    const char* words;
  };
  const Swatch swatches[] = {
      {kCisColour, " stroke=\"#000000\" stroke-width=\"0.6\"", "CIS page (C)"},
      {"#ffffff", " stroke=\"#000000\" stroke-width=\"0.6\"", "ISP copy (I), solid outline"},
      {"#ffffff", " stroke=\"#000000\" stroke-dasharray=\"3,2\"",
       "auxiliary area (A), dashed outline"},
      {StateColour(CopyState::kMatches), "", StateWords(CopyState::kMatches)},
      {StateColour(CopyState::kDiffers), "", StateWords(CopyState::kDiffers)},
      {StateColour(CopyState::kUnreadable), "", StateWords(CopyState::kUnreadable)},
      {StateColour(CopyState::kWritten), "", StateWords(CopyState::kWritten)},
      {StateColour(CopyState::kVerified), "", StateWords(CopyState::kVerified)},
      {StateColour(CopyState::kUnchecked), "", StateWords(CopyState::kUnchecked)},
  };
  int column = 0;
  for (const Swatch& swatch : swatches) {
    const int x = 10 + column * 340;
    svg.Rect(x, y, 12, 12, swatch.fill, swatch.stroke);
    svg.Text(x + 20, y + 10, swatch.words);
    if (++column == 3) {
      column = 0;
      y += 18;
    }
  }
  y += 12;
}

}  // namespace

std::string XmlText(const std::string& text) {
  std::string out;
  for (const char c : platform::PrintableText(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string FlashMapSvg(const FlashMap& map, const MapCaption& caption) {
  Svg svg;
  std::string defs;
  int y = 24;
  DrawTitle(svg, caption, y);
  if (!map.valid) {
    svg.Text(10, y, "flash geometry unknown: no blocks to draw");
    y += 24;
  } else {
    DrawOverview(svg, map, y, defs);
    DrawCloseUp(svg, map, y);
  }
  DrawMarkList(svg, map, y);
  DrawLegend(svg, y);
  return svg.Document(y, caption.driveLine, defs);
}

std::string FlashMapText(const FlashMap& map, const MapCaption& caption, bool colour) {
  std::ostringstream out;
  out << platform::PrintableText(caption.driveLine) << "\n"
      << platform::PrintableText(CaptionLine(caption)) << "\n";
  if (!map.valid) {
    out << "flash geometry unknown: no blocks to draw\n";
  } else {
    const uint64_t zones = uint64_t{map.ceCount} * map.zoneCount;
    uint64_t zone = 0;
    while (zone < zones) {
      const uint64_t begin = zone * map.blocksPerZone;
      if (!ZoneMarked(map, begin, begin + map.blocksPerZone)) {
        // Zones without marks fold into one line.
        uint64_t last = zone;
        while (last + 1 < zones &&
               !ZoneMarked(map, (last + 1) * map.blocksPerZone, (last + 2) * map.blocksPerZone)) {
          ++last;
        }
        out << ZoneName(map, zone);
        if (last != zone) out << " to " << ZoneName(map, last);
        out << ": no marks\n";
        zone = last + 1;
        continue;
      }
      out << ZoneName(map, zone) << "\n";
      // Lines that hold a mark, one character per block; the rest fold.
      std::set<uint64_t> lines;
      for (const MapMark& mark : map.marks) {
        if (!Overlaps(mark, begin, begin + map.blocksPerZone)) continue;
        const uint64_t from = std::max<uint64_t>(mark.firstBlock, begin) - begin;
        const uint64_t to = std::min<uint64_t>(MarkEnd(mark), begin + map.blocksPerZone) - begin;
        for (uint64_t line = from / kLineBlocks; line <= (to - 1) / kLineBlocks; ++line) {
          lines.insert(line);
        }
      }
      uint64_t next = 0;
      const uint64_t lineCount = (map.blocksPerZone + kLineBlocks - 1) / kLineBlocks;
      auto fold = [&](uint64_t upTo) {
        if (upTo <= next) return;
        const uint64_t end = std::min<uint64_t>(upTo * kLineBlocks, map.blocksPerZone);
        out << "  " << BlockRange(next * kLineBlocks, end - next * kLineBlocks) << ": no marks\n";
      };
      for (const uint64_t line : lines) {
        fold(line);
        const uint64_t first = line * kLineBlocks;
        const uint64_t end = std::min<uint64_t>(first + kLineBlocks, map.blocksPerZone);
        char label[32];
        std::snprintf(label, sizeof label, "  %6llu ", static_cast<unsigned long long>(first));
        out << label;
        // A colour is set where it changes, so a plain run costs no escapes.
        std::string current;
        for (uint64_t block = first; block < end; ++block) {
          const MapMark* mark = MarkAt(map, begin + block);
          const std::string wanted = !colour ? "" : mark == nullptr ? kDim : MarkAnsi(*mark);
          if (wanted != current) out << (current.empty() ? "" : kReset) << wanted;
          current = wanted;
          out << (mark == nullptr ? '.' : MarkLetter(mark->kind));
        }
        out << (current.empty() ? "" : kReset) << "\n";
        next = line + 1;
      }
      fold(lineCount);
      ++zone;
    }
  }
  for (const MapMark& mark : map.marks) out << "  " << MarkLine(mark) << "\n";
  if (map.marks.empty()) out << "  no CIS page and no ISP copy found\n";
  out << "  C CIS page, I ISP copy, A auxiliary area, . other block\n";
  return out.str();
}

MapCaption CaptionOf(Program& p) {
  MapCaption caption;
  const std::vector<Report> reports = p.reports->Snapshot();
  // The drive as the scan listed it, which the list, the summary and the
  // JSON document show too: a fix reads the capacity again in other units.
  if (!reports.empty() && reports.front().drive) {
    caption.driveLine = FormatDriveLine(*reports.front().drive);
  } else if (p.selectedDrive < kSlotCount) {
    caption.driveLine = FormatDriveLine(p.Selected());
  }
  caption.verdict = p.ispHealthy != 0 ? "healthy" : "broken";
  if (!reports.empty() && !reports.back().operation.empty()) {
    caption.outcome = reports.back().operation + ": " + OutcomeText(reports.back().outcome);
  }
  return caption;
}

bool KeepFlashMap(Program& p, const FlashMap& map, const MapCaption& caption,
                  std::string& problem) {
  const std::string svg = FlashMapSvg(map, caption);
  const std::string name = kFlashMapFile;
  std::unique_ptr<platform::File> file =
      p.platform.OpenFile(name, platform::OpenMode::kWriteBinaryTruncate);
  bool kept = file != nullptr;
  std::string cause = kept ? "" : p.platform.LastErrorText();
  if (kept && (file->Write(svg.data(), svg.size()) != svg.size() || !file->Flush())) {
    kept = false;
    cause = file->ErrorText();
  }
  file.reset();
  if (!kept) {
    p.platform.DeleteFile(name);
    problem = "cannot keep the flash picture " + p.platform.HostPath(name) +
              (cause.empty() ? "" : ": " + cause);
    return false;
  }
  ReportFile(p, {name, p.platform.HostPath(name), svg.size(), FileKind::kMap});
  return true;
}

}  // namespace kestrune::console
