// Which bridge the updater's dialog updates: the one bridge attached, of the maker's vendor ID.
// With several attached it picks none (nobody chose one of them), and a bridge of another
// vendor ID is refused as burnwell-tool refuses it, so that the dialog never writes a bridge
// the operator did not mean.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "device/DeviceRecord.h"
#include "image/ImageBuffer.h"

namespace burnwell::app {

enum class BridgeChoice {
  One,          // exactly one bridge, of an allowed vendor: the one to update
  None,         // no bridge found (the update says why)
  Several,      // more than one bridge attached: refused, nothing is written
  OtherVendor,  // the one bridge reports another vendor ID, or the file has no code for its
                // serial flash: refused, nothing is written
};

struct DialogBridge {
  BridgeChoice choice = BridgeChoice::None;
  // One: the bridge as the dialog shows it before the warning (two lines); None: why, when a
  // bridge is there but did not answer, else empty; Several and OtherVendor: why nothing is
  // written and what to do.
  std::string text;
};

// The choice among the bridges one discovery found, for writing `loaded`.
DialogBridge ChooseDialogBridge(const device::DeviceTable& table, const image::ImageBuffer& loaded);

// Why a bridge's vendor ID is refused ("the bridge reports vendor ID 1234, not 7e55"), or
// nothing when it is the maker's or one of `allowed`.
std::optional<std::string> OtherVendorText(const device::DeviceRecord& bridge,
                                           std::span<const std::uint16_t> allowed = {});

// Why a file without main code (configuration block only) is refused for a serial-flash bridge:
// written, it would erase the firmware and leave only the block. Nothing for a file with code
// or a bridge whose EEPROM holds the block alone.
std::optional<std::string> NoCodeText(const device::DeviceRecord& bridge,
                                      const image::ImageBuffer& loaded);

}  // namespace burnwell::app
