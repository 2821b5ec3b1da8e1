// burnwell-tool list: finds the bridges as the updater does and prints one line per device
// table record, as key=value fields a script can pick apart.
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>

#include "common/Hex.h"
#include "bridge/DeviceApi.h"
#include "device/DeviceRecord.h"
#include "tools/burnwell-tool/BridgeSession.h"
#include "tools/burnwell-tool/Commands.h"
#include "tools/burnwell-tool/Records.h"
#include "tools/burnwell-tool/Selection.h"

namespace burnwell::tool {
namespace {

constexpr const char* kListFields =
    "Finds the bridges and prints one line per bridge, in table order:\n"
    "  index=N           table index (flash --index takes it)\n"
    "  id=C              id letter (the first drive letter; 0 when it has none)\n"
    "  transport=T       mass-storage, ide, scsi or unset\n"
    "  class=C           disk, cdrom or other\n"
    "  vid=XXXX pid=XXXX the bridge's own vendor and product IDs (hexadecimal)\n"
    "  firmware=XXXXXXXX firmware version\n"
    "  memory=M          spi, eeprom-256, eeprom-64k or none\n"
    "  path=P            the device node the bridge is reached through\n"
    "  serial=S          the USB serial number (bytes outside printable ASCII, blanks and\n"
    "                    '%' are written as %XX)\n"
    "  usb=LOC           the USB location: bus (on Windows the host controller's place among\n"
    "                    the controllers), then the port on each hub (1-2.3; - when unknown);\n"
    "                    the same for a socket whatever is plugged into it; --port LOC selects\n"
    "                    the bridge by it\n"
    "  hub=N port=N ports=N  ordinal of its port among all ports, port number, ports on its hub\n"
    "  speed=S           low, full, high, super, or unknown when its port was not found\n"
    "  address=N         USB device address\n"
    "  second-unit=0|1   whether a second storage unit (e.g. a virtual CD-ROM) was merged in\n"
    "With no bridge, standard error says what to check.\n\n";

const char* TransportName(device::TransportKind kind) {
  switch (kind) {
    case device::TransportKind::MassStorage: return "mass-storage";
    case device::TransportKind::Ide: return "ide";
    case device::TransportKind::Scsi: return "scsi";
    case device::TransportKind::Unset: break;
  }
  return "unset";
}

const char* ClassName(device::DeviceClass deviceClass) {
  switch (deviceClass) {
    case device::DeviceClass::Disk: return "disk";
    case device::DeviceClass::CdRom: return "cdrom";
    case device::DeviceClass::Other: break;
  }
  return "other";
}

const char* SpeedName(const device::DeviceRecord& record) {
  if (record.HubNumber == 0) return "unknown";
  static constexpr const char* names[] = {"low", "full", "high", "super"};
  return record.PortSpeed < 4 ? names[record.PortSpeed] : "unknown";
}

std::string Escaped(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c > ' ' && c < 0x7F && c != '%') {
      out += static_cast<char>(c);
    } else {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", c);
      out += code;
    }
  }
  return out;
}

int RunList(bool json, JsonOutput& jsonOut, std::ostream& out, std::ostream& err) {
  BridgeSession session;
  if (const int status = session.ReportOpenFailure("list", err); status != 0) {
    if (json && status == Code(ExitStatus::NoBridge))
      jsonOut.Print(Json{{"command", "list"}, {"bridges", Json::array()}});
    if (json) jsonOut.PrintUnlessPrinted("list", status);
    return status;
  }

  const device::DeviceTable& table = device::DeviceLayer().table;
  if (json) {
    Json bridges = Json::array();
    for (std::uint32_t i = 0; i < table.count; ++i)
      bridges.push_back(BridgeJson(static_cast<int>(i), table.records[i]));
    jsonOut.Print(Json{{"command", "list"}, {"bridges", bridges}});
    return Code(ExitStatus::Success);
  }
  for (std::uint32_t i = 0; i < table.count; ++i) {
    const device::DeviceRecord& r = table.records[i];
    const unsigned char id = static_cast<unsigned char>(r.IdLetter);
    out << "index=" << i << " id=" << (std::isalnum(id) ? static_cast<char>(id) : '0')
        << " transport=" << TransportName(r.TransportKind) << " class=" << ClassName(r.DeviceClass)
        << " vid=" << Hex(r.VendorId, 4) << " pid=" << Hex(r.ProductId, 4)
        << " firmware=" << Hex(r.FirmwareVersion, 8) << " memory=" << MemoryKind(r)
        << " path=" << Escaped(r.DevicePath.data()) << " serial=" << Escaped(r.SerialNumber.data())
        << " usb=" << (UsbLocation(r).empty() ? std::string("-") : UsbLocation(r))
        << " hub=" << r.HubNumber << " port=" << r.PortNumber << " ports=" << r.PortCount
        << " speed=" << SpeedName(r) << " address=" << r.UsbAddress
        << " second-unit=" << (r.HasSecondUnit ? 1 : 0) << "\n";
  }
  return Code(ExitStatus::Success);
}

// The JSON's fields, named from the JSON a bridge gets: fewer than the lines', they are the
// ones the history and the other commands' JSON keep of a bridge.
std::string JsonDescription() {
  const Json bridge = BridgeJson(0, device::DeviceRecord{});
  std::string fields;
  for (const auto& [key, value] : bridge.items()) fields += (fields.empty() ? "" : ", ") + key;
  return "print one JSON document instead of the lines: {\"command\": \"list\", \"bridges\": "
         "[...]}, "
         "each bridge with " +
         fields + " (code_size: the main code's size in bytes for the bridge's product)";
}

}  // namespace

CommandAction DeclareList(CLI::App& command) {
  auto json = std::make_shared<bool>(false);
  cli::SetUsage(command, "burnwell-tool list [--json]");
  command.add_flag("--json", *json, JsonDescription());
  command.footer(std::string(kListFields) +
                 ExitStatusHelp({ExitStatus::Success, ExitStatus::Failed, ExitStatus::Usage,
                                 ExitStatus::NoBridge}));
  return [json](std::ostream& out, std::ostream& err) {
    JsonOutput jsonOut(stdout);
    return RunList(*json, jsonOut, out, err);
  };
}

}  // namespace burnwell::tool
