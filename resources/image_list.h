// The image catalogue as the build embedded it, generated from
// resources/catalogue.csv into every program that carries the images.
#pragma once

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

// True when the payloads are the generated stand-ins rather than files
// supplied through KESTRUNE_IMAGE_DIR.
bool PayloadsAreStandIns();

}  // namespace kestrune::resources
