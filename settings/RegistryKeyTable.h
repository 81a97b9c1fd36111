#pragma once
// The key table shared by the programs of the product family: one path per row, relative to
// HKEY_LOCAL_MACHINE. Other programs and installers find their keys by these indexes.
#include <array>

constexpr int kRegistryKeyCount = 69;

// The rows this program opens.
constexpr int kProductKeyIndex = 0;    // the recorder's own key
constexpr int kCollectorKeyIndex = 43; // this program's settings

// Only the rows this program uses are carried; the others are empty but keep their places.
extern const std::array<const char*, kRegistryKeyCount> kRegistryKeyTable;
