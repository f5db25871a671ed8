// The picture of a drive's flash: an SVG file, and a compact rendition for
// the terminal with one character per block. Both are drawn from a
// FlashMap and the drive's caption, nothing else.
#pragma once

#include <string>

#include "operations/flash_map.h"

namespace kestrune {
struct Program;
}  // namespace kestrune

namespace kestrune::console {

// What the picture says of the drive besides its flash. Drive texts may
// hold any bytes; the renderings make them safe.
struct MapCaption {
  std::string driveLine;  // the drive list's line
  std::string verdict;    // "healthy" or "broken"
  std::string outcome;    // "fix: success"; empty when only scanned
};

// A complete SVG document.
std::string FlashMapSvg(const FlashMap& map, const MapCaption& caption);

// Lines for the terminal; with `colour`, ANSI colours tell the states.
std::string FlashMapText(const FlashMap& map, const MapCaption& caption, bool colour);

// The name the picture is kept under in the drive's C: folder.
inline constexpr const char* kFlashMapFile = "C:\\ISP_Map.svg";

// The caption of the selected drive: its list line, its verdict, and the
// outcome of the last operation run on it.
MapCaption CaptionOf(Program& p);

// Writes the SVG of `map` to kFlashMapFile and records it as a kept file.
// False, with `problem` set and no file left, when the file cannot be kept.
bool KeepFlashMap(Program& p, const FlashMap& map, const MapCaption& caption, std::string& problem);

// `text` as SVG character data: markup characters escaped, and every byte
// outside printable ASCII shown as '?', so no drive text can break the
// document or smuggle markup into it.
std::string XmlText(const std::string& text);

}  // namespace kestrune::console
