#pragma once

#include <cstdint>

#include "device/controllers.h"

namespace kestrune {

// What the image choosers go by: values copied from the drive's slot.
struct DriveTraits {
  ControllerId controllerId = 0;
  uint8_t flashId[5] = {};
  uint8_t revision = 0;
  char inquiryText[17] = {};  // characters 9 and 10 are tested
};

}  // namespace kestrune
