// The picture of a drive's flash: an SVG file, and a compact rendition for
// the terminal with one character per block. Both are drawn from a
// FlashMap and the drive's caption, nothing else.
#pragma once

#include <string>

#include "operations/flash_map.h"

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

// `text` as SVG character data: markup characters escaped, and every byte
// outside printable ASCII shown as '?', so no drive text can break the
// document or smuggle markup into it.
std::string XmlText(const std::string& text);

}  // namespace kestrune::console
