#include "settings/RegistryKeyTable.h"

namespace {

constexpr std::array<const char*, kRegistryKeyCount> BuildTable()
{
    std::array<const char*, kRegistryKeyCount> table{};
    for (auto& row : table) row = "";
    table[kProductKeyIndex] = "SOFTWARE\\Tarnwick\\Orvane DVR\\";
    table[kCollectorKeyIndex] = "SOFTWARE\\Tarnwick\\Orvane DVR\\POSCollector\\";
    return table;
}

} // namespace

const std::array<const char*, kRegistryKeyCount> kRegistryKeyTable = BuildTable();
