// How the flash operations move data to and from a serial flash. Kept in its own header so that
// the device API and its callers can name a mode without the flash operations' declarations.
#pragma once

#include <cstdint>

namespace burnwell::protocol {

enum class TransferMode : std::uint8_t {
  // 32-byte pieces, each its own chip transaction with its own write enable and waits: the
  // shape every bridge handles, and the default of the operations' original entry points.
  Classic,
  // Whole program pages and 4 KiB read runs, each one chip transaction that spans many
  // 32-byte transfers: four to six times fewer commands, but it needs a bridge that holds
  // chip select from the select command to the deselect command.
  Fast,
};

}  // namespace burnwell::protocol
