// The flash parts the emulator can put behind a bridge. Each is described from its own
// datasheet (identification answers, command set, status bits, typical times); the entry of
// the supported-chip list that its answers lead detection to is recorded for listings and
// checked by the tests, never used to build the answers.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "sim/FlashChip.h"

namespace burnwell::sim {

// Every model, in entry order (entry 0 first); several parts may share an entry.
std::span<const ChipDescription> ChipCatalog();

// The model of that name (case-insensitive), if any.
std::optional<ChipDescription> FindChip(std::string_view name);

// The name used for a bridge with a serial-flash socket and no chip in it (the bus reads 0xFF).
inline constexpr std::string_view kAbsentChipName = "absent";

}  // namespace burnwell::sim
