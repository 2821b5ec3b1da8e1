// Whether a firmware file fits a bridge before anything is written: the bridge's vendor ID,
// the product the file is meant for, and whether the file holds any code at all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/DeviceRecord.h"
#include "image/FirmwareReaders.h"
#include "image/ImageBuffer.h"

namespace burnwell::tool {

struct FitRules {
  std::vector<std::uint16_t> vendors;    // vendor IDs allowed beside the maker's own
  std::optional<std::uint16_t> product;  // the product a HEX file is meant for (HEX carries none)
  bool force = false;                    // write anyway, after a warning
};

struct FitVerdict {
  std::vector<std::string> refusals;  // each a reason the file does not fit (empty: it fits)
  std::vector<std::string> warnings;  // printed, and the update goes on
};

// The verdict for writing the loaded file (of the given type) onto the bridge.
FitVerdict CheckFit(const device::DeviceRecord& bridge, const image::ImageBuffer& loaded,
                    image::FileType type, const FitRules& rules);

// True when the loaded file's code is all erased (0xFF) or zero. An Intel HEX file without
// data records loads that way, with a valid marker; written, it wipes the firmware. (A file of
// code length 0 carries no code at all; CheckFit refuses it for a serial-flash bridge.)
bool HoldsNoCode(const image::ImageBuffer& loaded);

}  // namespace burnwell::tool
