// Arbitrary bytes as a machine file: the parser accepts or refuses with invalid_argument, and
// what it accepts is a machine the tree writer takes without complaint.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "sim/machine/MachineFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace burnwell::sim::machine;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  MachineDescription machine;
  try {
    machine = ParseMachineText(text);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  const MachineSpec layout = SysfsSpecOf(machine);
  try {
    CheckMachineSpec(layout);
  } catch (const std::invalid_argument&) {
    std::abort();  // accepted by the parser, refused by the writer
  }
  for (const StorageSpec& storage : layout.storage) {
    if (!IsValidLocation(storage.location) || storage.units.empty()) std::abort();
  }
  return 0;
}
