// The file that keeps a virtual drive's flash between runs, beside its
// description (drive.json -> drive.json.flash).
//
// Layout, integers big-endian: "KSTRFLSH", version u32 (1), page size u32,
// spare size u32, page count u32, stored page count u32; then per stored page,
// in ascending order, its number u32 and its page + spare bytes; last, the
// CRC-32 of everything before it. Pages not stored are erased (0xFF).
#pragma once

#include <string>

#include "simulator/nand_flash.h"

namespace kestrune::sim {

// Writes through a temporary file and a rename, so a crash leaves either the
// old or the new contents.
bool SaveFlashFile(const std::string& path, const NandFlash& flash, std::string* error);
// False with `error` when the file is damaged or belongs to another geometry;
// `flash` is left untouched then.
bool LoadFlashFile(const std::string& path, NandFlash& flash, std::string* error);

}  // namespace kestrune::sim
