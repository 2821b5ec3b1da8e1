// burnwell-tool list: finds the bridges as the updater does and prints one line per device
// table record, as key=value fields a script can pick apart.
#include <cctype>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Hex.h"
#include "bridge/DeviceApi.h"
#include "device/DeviceRecord.h"
#include "image/ConfigBlock.h"
#include "protocol/FlashOperations.h"
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
    "  marker=XX         the validity marker, byte 11 of the block in its memory (- unread)\n"
    "  valid=yes|no|unknown  whether the firmware is marked valid (marker 5A); a bridge whose\n"
    "                    update did not finish has no marker (FF), and standard error says so\n"
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

// How long list waits for a bridge another program is updating before it leaves its marker
// unread: a look at the bridges should not wait for their updates.
constexpr std::uint32_t kMarkerLockWaitMs = 500;

// The validity marker of the block at the start of the bridge's memory; nothing when the block
// cannot be read (no memory reported, not mass storage, busy).
std::optional<std::uint8_t> ReadMarker(const device::DeviceRecord& record) {
  if (std::string(MemoryKind(record)) == "none" ||
      record.TransportKind != device::TransportKind::MassStorage)
    return std::nullopt;
  std::uint8_t marker = 0;
  bool read = false;
  UnderDeviceLock(
      record,
      [&](device::DeviceRecord& copy) {
        read = protocol::FlashRead(copy, &marker, image::offset::kMarker, 1, 0, 0) ==
               protocol::FlashResult::Ok;
      },
      kMarkerLockWaitMs);
  if (!read) return std::nullopt;
  return marker;
}

const char* ValidName(const std::optional<std::uint8_t>& marker) {
  if (!marker) return "unknown";
  return *marker == image::kValidMarker ? "yes" : "no";
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

// A bridge in list's JSON: discovery's facts, then its validity marker and whether it is valid
// (null when unread).
Json ListedBridgeJson(int index, const device::DeviceRecord& record,
                      const std::optional<std::uint8_t>& marker) {
  Json bridge = BridgeJson(index, record);
  bridge["marker"] = marker ? Json(Hex(*marker, 2, HexDigits::Upper)) : Json(nullptr);
  bridge["marked_valid"] = marker ? Json(*marker == image::kValidMarker) : Json(nullptr);
  return bridge;
}

// After the lines, so that it is the last thing read: each bridge whose firmware is not marked
// valid, with what to do.
void WarnUnmarked(const std::vector<std::optional<std::uint8_t>>& markers, std::ostream& err) {
  const device::DeviceTable& table = device::DeviceLayer().table;
  for (std::uint32_t i = 0; i < markers.size(); ++i) {
    if (!markers[i] || *markers[i] == image::kValidMarker) continue;
    err << "burnwell-tool list: " << BridgeLine(static_cast<int>(i), table.records[i])
        << ": the firmware is not marked valid (marker " << Hex(*markers[i], 2, HexDigits::Upper)
        << ", not 5A): an update did not finish, or the memory is blank; update it before it is "
           "power-cycled\n";
  }
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
  std::vector<std::optional<std::uint8_t>> markers;
  for (std::uint32_t i = 0; i < table.count; ++i) markers.push_back(ReadMarker(table.records[i]));
  if (json) {
    Json bridges = Json::array();
    for (std::uint32_t i = 0; i < table.count; ++i)
      bridges.push_back(ListedBridgeJson(static_cast<int>(i), table.records[i], markers[i]));
    jsonOut.Print(Json{{"command", "list"}, {"bridges", bridges}});
    WarnUnmarked(markers, err);
    return Code(ExitStatus::Success);
  }
  for (std::uint32_t i = 0; i < table.count; ++i) {
    const device::DeviceRecord& r = table.records[i];
    const std::string marker =
        markers[i] ? Hex(*markers[i], 2, HexDigits::Upper) : std::string("-");
    const unsigned char id = static_cast<unsigned char>(r.IdLetter);
    out << "index=" << i << " id=" << (std::isalnum(id) ? static_cast<char>(id) : '0')
        << " transport=" << TransportName(r.TransportKind) << " class=" << ClassName(r.DeviceClass)
        << " vid=" << Hex(r.VendorId, 4) << " pid=" << Hex(r.ProductId, 4)
        << " firmware=" << Hex(r.FirmwareVersion, 8) << " memory=" << MemoryKind(r)
        << " marker=" << marker << " valid=" << ValidName(markers[i])
        << " path=" << Escaped(r.DevicePath.data()) << " serial=" << Escaped(r.SerialNumber.data())
        << " usb=" << (UsbLocation(r).empty() ? std::string("-") : UsbLocation(r))
        << " hub=" << r.HubNumber << " port=" << r.PortNumber << " ports=" << r.PortCount
        << " speed=" << SpeedName(r) << " address=" << r.UsbAddress
        << " second-unit=" << (r.HasSecondUnit ? 1 : 0) << "\n";
  }
  out.flush();
  WarnUnmarked(markers, err);
  return Code(ExitStatus::Success);
}

// The JSON's fields, named from the JSON a bridge gets: fewer than the lines', they are the
// ones the history and the other commands' JSON keep of a bridge.
std::string JsonDescription() {
  const Json bridge = ListedBridgeJson(0, device::DeviceRecord{}, std::nullopt);
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
