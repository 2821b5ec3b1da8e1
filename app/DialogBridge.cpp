#include "app/DialogBridge.h"

#include <algorithm>

#include "app/BridgeUpdate.h"
#include "bridge/BridgeNames.h"
#include "common/Hex.h"
#include "common/MakerIds.h"

namespace burnwell::app {

std::optional<std::string> OtherVendorText(const device::DeviceRecord& bridge,
                                           std::span<const std::uint16_t> allowed) {
  if (bridge.VendorId == VID_MAKER ||
      std::find(allowed.begin(), allowed.end(), bridge.VendorId) != allowed.end())
    return std::nullopt;
  return "the bridge reports vendor ID " + Hex(bridge.VendorId, 4) + ", not " + Hex(VID_MAKER, 4);
}

std::optional<std::string> NoCodeText(const device::DeviceRecord& bridge,
                                      const image::ImageBuffer& loaded) {
  if (CarriesCode(loaded) || std::string(bridge::MemoryKind(bridge)) != "spi") return std::nullopt;
  return "the file holds no code (configuration block only): written, it would erase the "
         "bridge's firmware and leave only the block";
}

DialogBridge ChooseDialogBridge(const device::DeviceTable& table,
                                const image::ImageBuffer& loaded) {
  DialogBridge chosen;
  if (table.count == 0) return chosen;
  if (table.count > 1) {
    chosen.choice = BridgeChoice::Several;
    std::string names;
    for (std::uint32_t i = 0; i < table.count; ++i)
      names += (i ? ",\n" : "") + bridge::BridgeLine(static_cast<int>(i), table.records[i]);
    chosen.text = std::to_string(table.count) + " bridges are attached (" + names +
                  "); none is updated.\nAttach one bridge at a time, or update them all with "
                  "burnwell-tool update --all.";
    return chosen;
  }
  const device::DeviceRecord& record = table.records[0];
  if (const std::optional<std::string> vendor = OtherVendorText(record)) {
    chosen.choice = BridgeChoice::OtherVendor;
    chosen.text = "Not updated: " + *vendor + " (" + bridge::BridgeLine(0, record) +
                  ").\nburnwell-tool update --vendor writes it when it is meant.";
    return chosen;
  }
  if (const std::optional<std::string> noCode = NoCodeText(record, loaded)) {
    chosen.choice = BridgeChoice::OtherVendor;
    chosen.text = "Not updated: " + *noCode + ".\nburnwell-tool update --force writes it.";
    return chosen;
  }
  const std::string location = bridge::UsbLocation(record);
  chosen.choice = BridgeChoice::One;
  chosen.text = "Bridge: serial=" + bridge::SerialOf(record) +
                " usb=" + (location.empty() ? std::string("-") : location) + " " +
                Hex(record.VendorId, 4) + ":" + Hex(record.ProductId, 4) + "\nfirmware " +
                Hex(record.FirmwareVersion, 8) + ", " + bridge::MemoryWords(record);
  return chosen;
}

}  // namespace burnwell::app
