// Which SCSI commands the relay's device back end passes on to a bridge: exactly those the tool
// itself sends, each with its own CDB length, data direction and data length, so that a client
// of the relay can reprogram a bridge but can neither write to the disk behind it nor reach
// any other command of the device. A pure function of the request's header.
#pragma once

#include <cstdint>
#include <string_view>

#include "wire/ScsiRequest.h"

namespace burnwell::device::relay {

enum class CommandRefusal {
  None,              // the command is one of the tool's own
  UnknownOperation,  // not a command the tool sends (WRITE(10), ATA PASS-THROUGH, ...)
  CdbLength,         // a CDB length the tool never uses for this command
  Direction,         // data flows the other way than this command moves it
  Signature,         // a vendor command without the maker's vendor ID in CDB bytes 4-5
  Fields,            // the data length or a CDB field differs from what the tool sends
};

struct CommandCheck {
  CommandRefusal refusal = CommandRefusal::None;
  // The command's name ("READ(10)", "bridge information"); "operation 0x2A" style text is the
  // caller's to make when it is empty.
  std::string_view name;

  bool Allowed() const { return refusal == CommandRefusal::None; }
};

// Judges one pass-through request:
//   0xD0 bridge information   12-byte CDB, in, 16..512 bytes
//   0xD1 / 0xD2 EEPROM write / read      12, out / in, CDB byte 1 bytes (at most 32)
//   0xD3 / 0xD4 flash select / deselect  16, no data
//   0xD5 / 0xD6 flash write / read       12, out / in, CDB byte 3 bytes (at most 32)
//   0xD8 ATA IDENTIFY DEVICE through the bridge   16, in, 512 bytes (no other ATA command)
//   (all vendor commands carry the maker's vendor ID in CDB bytes 4-5)
//   INQUIRY             6 or 12, in, CDB byte 4 bytes
//   READ(10)            10, in, one 512-byte block at one of the reserved identification
//                       addresses the tool reads (0xFF0000 + each byte of the maker's vendor ID
//                       and of product B's ID, and 0x600000)
//   TEST UNIT READY     6 or 12, no data
//   REQUEST SENSE       6 or 12, in, CDB byte 4 bytes
// CDB bytes the tool leaves at zero must be zero.
CommandCheck CheckBridgeCommand(const wire::ScsiPassThroughHeader& header);

std::string_view RefusalText(CommandRefusal refusal);

}  // namespace burnwell::device::relay
