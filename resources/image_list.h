// The image catalogue as the build embedded it, generated from
// resources/catalogue.csv into every program that carries the images.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace kestrune::resources {

struct ListedImage {
  uint16_t id;
  uint32_t size;
  const char* path;  // inside the work folder, Windows spelling ("163A2C\\US.BIN")
};

// The rows of the catalogue list, in file order.
std::span<const ListedImage> ListedImages();

// True when the build generated its payloads because KESTRUNE_IMAGE_DIR
// named none. The program itself goes by content (ImagesAreStandIns); this
// fact of the build is what checks of that decision compare against.
bool PayloadsAreStandIns();

// The SHA-256 of each generated stand-in payload, in catalogue order; every
// build carries it, whatever its own payloads are.
using PayloadDigest = std::array<uint8_t, 32>;
std::span<const PayloadDigest> StandInDigests();

}  // namespace kestrune::resources
