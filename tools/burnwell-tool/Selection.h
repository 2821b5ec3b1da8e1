// Which bridges a command works on: a table index, a USB serial number, a USB location or every
// bridge, checked against the bridges one discovery found. Values of one option add bridges
// (--serial A --serial B); different options must agree on the same bridges.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/BridgeNames.h"
#include "common/CommandLine.h"
#include "device/DeviceRecord.h"

namespace burnwell::tool {

struct BridgeSelection {
  std::vector<std::uint32_t> indexes;
  std::vector<std::string> serials;
  std::vector<std::string> ports;  // USB locations as the kernel names them: 1-2.3
  bool all = false;

  bool Empty() const { return indexes.empty() && serials.empty() && ports.empty() && !all; }
};

// Declares --index, --serial and --port (and --all when allowAll) as the "Bridge selection"
// group of the command's help.
void AddBridgeSelection(CLI::App& command, BridgeSelection& selection, bool allowAll = false);

using bridge::BridgeLine;
using bridge::SerialOf;
using bridge::UsbLocation;

// What a selection picked among the discovered bridges: the table indexes in table order, or
// the exit status (and what was written to err) when it picked nothing usable.
struct Selected {
  int status = 0;
  std::vector<int> indexes;
};

// Applies the selection to the table. With no selector: the only bridge, or a refusal (usage
// status, the bridges listed) when there are several. A selector that matches nothing: the
// no-bridge status, the bridges listed. many: the command can work on several bridges at once.
Selected SelectBridges(const device::DeviceTable& table, const BridgeSelection& selection,
                       std::string_view command, bool many, std::ostream& err);

}  // namespace burnwell::tool
