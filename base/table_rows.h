// Tables with one row for each value of an enumeration, in its order, so
// that a value's row is found by its number.
#pragma once

#include <cstddef>

namespace kestrune {

// The row of `value`; a value outside the enumeration reads as the first row.
template <typename Row, size_t N, typename Value>
constexpr const Row& RowFor(const Row (&rows)[N], Value value) {
  const auto index = static_cast<size_t>(value);
  return index < N ? rows[index] : rows[0];
}

// True when row i holds value i in `field`, for every value up to `last`.
template <typename Row, size_t N, typename Value>
constexpr bool RowsInOrder(const Row (&rows)[N], Value Row::*field, Value last) {
  for (size_t i = 0; i < N; ++i) {
    if (static_cast<size_t>(rows[i].*field) != i) return false;
  }
  return N == static_cast<size_t>(last) + 1;
}

}  // namespace kestrune
