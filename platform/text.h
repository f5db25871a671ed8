// Text made of bytes a drive or a file gave: the one rule for what of it may
// reach a screen or a document, and the one writer of bytes as hex digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune::platform {

// A byte a screen shows as itself: printable ASCII, the blank included.
constexpr bool IsPrintableByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x20 && byte < 0x7F;
}

// `text` with every byte that is not printable ASCII shown as '?', so that
// a drive's own words can neither steer a terminal nor break a document.
inline std::string PrintableText(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    if (!IsPrintableByte(c)) c = '?';
  }
  return shown;
}

enum class HexCase : uint8_t { kLower, kUpper };

// Two hex digits per byte, `separator` between bytes when it is not NUL:
// digests are lower-case, a flash id is shown upper-case as drives' data
// sheets write it.
inline std::string HexText(const uint8_t* bytes, size_t count, HexCase letters = HexCase::kLower,
                           char separator = '\0') {
  const char* digits = letters == HexCase::kLower ? "0123456789abcdef" : "0123456789ABCDEF";
  std::string text;
  text.reserve(count * 3);
  for (size_t i = 0; i < count; ++i) {
    if (i > 0 && separator != '\0') text.push_back(separator);
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 0x0F]);
  }
  return text;
}

}  // namespace kestrune::platform
