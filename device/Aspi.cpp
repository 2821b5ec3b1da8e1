#include "device/Transport.h"

namespace burnwell::device {

// The ASPI path is not wired yet: every command reports not completed.
int AspiExecute(std::uint8_t, std::uint8_t, std::uint8_t, ScsiRequest&) { return 0; }

}  // namespace burnwell::device
