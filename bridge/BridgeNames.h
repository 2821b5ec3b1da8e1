// How a discovered bridge is named for people, selections and records: its USB serial number,
// its USB location and the kind of firmware memory its bridge information reports.
#pragma once

#include <string>
#include <string_view>

#include "device/DeviceRecord.h"

namespace burnwell::bridge {

// BUS-PORT then .PORT per hub ("1-2.3"): digits separated by one '-' and then dots.
bool LooksLikeLocation(std::string_view text);

// The USB location of the bridge's USB device ("1-2.3"), or "" when discovery did not learn it.
std::string UsbLocation(const device::DeviceRecord& record);

// The USB serial number as discovery read it.
std::string SerialOf(const device::DeviceRecord& record);

// The firmware memory a record's bridge information reports: "spi", "eeprom-256",
// "eeprom-64k" or "none".
const char* MemoryKind(const device::DeviceRecord& record);

// The same memory in words, from the bridge information alone (no command sent): "serial
// flash", "EEPROM 256 bytes", "EEPROM 64 KiB" or "no firmware memory reported".
std::string MemoryWords(const device::DeviceRecord& record);

// One line naming a bridge for people: "#1 serial=FIRST usb=1-2.3 7e55:5801".
std::string BridgeLine(int index, const device::DeviceRecord& record);

}  // namespace burnwell::bridge
