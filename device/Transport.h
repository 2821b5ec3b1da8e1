// Carrying one ScsiRequest to a bridge: pass-through (optionally through the I/O relay) when
// the NT flag is set, the ASPI library otherwise; plus the relay-aware open, I/O control and
// close, and the plain ATA pass-through. Every routine returns true for success, false for
// failure, and records no last-error code.
#pragma once

#include <array>
#include <cstdint>

#include "device/DeviceRecord.h"
#include "wire/ScsiRequest.h"
#include "platform/Handle.h"

namespace burnwell::device {

// NT flag set: RelayDeviceIoControl(record.Handle, IOCTL_SCSI_PASS_THROUGH, request as input
// and output); completed when that succeeds and ScsiStatus is 0 or 1. NT flag clear:
// AspiExecute with the record's ASPI address. `size` is the number of request bytes to carry
// (at most request.Size(); the data phase must fit inside it).
bool SendScsiCommand(const DeviceRecord& record, wire::ScsiRequest& request, std::uint32_t size);

// The same pass-through, always made directly on the handle (never relayed).
bool SendScsiCommandDirect(platform::Handle handle, wire::ScsiRequest& request, std::uint32_t size,
                           std::uint32_t* returned);

// IOCTL_ATA_PASS_THROUGH with a 32-bit ATA_PASS_THROUGH_EX block (wire/AtaPassThrough.h)
// followed by its data area, `size` bytes in all. Success: the control succeeded and bit 0
// (ERR) of the returned status register is clear.
bool SendAtaCommand(platform::Handle handle, std::uint8_t* block, std::uint32_t size,
                    std::uint32_t* returned);

// ASPI: true when the library reports SS_COMP (device/Aspi.h has the details).
bool AspiExecute(std::uint8_t hostAdapter, std::uint8_t target, std::uint8_t lun,
                 wire::ScsiRequest& request);

// The caller's block for IOCTL_SCSI_PASS_THROUGH_DIRECT: the 80 bytes of header, filler and
// sense in the wire layout, with the data area kept apart (the platform structure's pointer).
// The header's DataBufferOffset field is not used; `dataBuffer` holds DataTransferLength bytes.
struct ScsiPassThroughDirect {
  std::array<std::uint8_t, wire::kDataOffset> block{};
  std::uint8_t* dataBuffer = nullptr;
};

// Opens a device through the relay while the use-relay flag is set (each device gets its own
// relay connection), directly otherwise. kInvalidHandle (-1) on failure; when the relay said
// why (the bridge is open on another connection, the relay serves all it may), the device
// layer's lastRelayRefusal says so until the next open.
platform::Handle RelayOpenDevice(const char* path);

// DeviceIoControl on a handle from RelayOpenDevice. A relay connection carries
// IOCTL_SCSI_PASS_THROUGH (in = out = the request), IOCTL_SCSI_PASS_THROUGH_DIRECT (in points
// at a ScsiPassThroughDirect) and the four disk queries; any other code fails without writing.
// Once a request on a connection cannot be written or its reply cannot be read (none in time,
// or one too long), every later call on that connection fails without sending anything.
bool RelayDeviceIoControl(platform::Handle handle, std::uint32_t code, void* in,
                          std::uint32_t inSize, void* out, std::uint32_t outSize,
                          std::uint32_t* returned);

// Closes a handle from RelayOpenDevice (a relay connection with the close message; one given
// up after a failed exchange without it, and the call fails).
bool RelayCloseDevice(platform::Handle handle);

// True while `handle` is an open relay connection made by RelayOpenDevice. Relay connections
// are told apart from device handles by this, not by the use-relay flag, so a connection opened
// before the flag was cleared still closes through the relay, and a device opened directly is
// never sent relay messages.
bool IsRelayHandle(platform::Handle handle);

}  // namespace burnwell::device
