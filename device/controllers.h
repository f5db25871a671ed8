// The controllers of the family that the vendor command set addresses, by
// the number their identification text gives.
#pragma once

#include <cstdint>

namespace kestrune {

using ControllerId = uint16_t;
inline constexpr ControllerId kCtrl161 = 0x161;
inline constexpr ControllerId kCtrl162 = 0x162;
inline constexpr ControllerId kCtrl163 = 0x163;
inline constexpr ControllerId kCtrl165 = 0x165;
inline constexpr ControllerId kCtrl168 = 0x168;
inline constexpr ControllerId kCtrl169 = 0x169;
inline constexpr ControllerId kCtrl190 = 0x190;

inline constexpr bool IsFamilyA(ControllerId id) {
  return id == kCtrl161 || id == kCtrl168 || id == kCtrl169;
}
inline constexpr bool IsFamilyB(ControllerId id) {
  return id == kCtrl162 || id == kCtrl163 || id == kCtrl165 || id == kCtrl190;
}

}  // namespace kestrune
