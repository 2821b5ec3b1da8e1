// Carrying one ScsiRequest to a bridge: pass-through (optionally through the I/O relay) when
// the NT flag is set, the ASPI library otherwise; plus the relay-aware open, I/O control and
// close, and the plain ATA pass-through. Every routine returns nonzero for success, 0 for
// failure, and records no last-error code.
#pragma once

#include <cstdint>

#include "device/DeviceRecord.h"
#include "device/ScsiRequest.h"
#include "platform/Handle.h"

namespace burnwell::device {

// NT flag set: RelayDeviceIoControl(record.Handle, IOCTL_SCSI_PASS_THROUGH, request as input
// and output); completed when that succeeds and ScsiStatus is 0 or 1. NT flag clear:
// AspiExecute with the record's ASPI address.
int SendScsiCommand(const DeviceRecord& record, ScsiRequest& request, std::uint32_t size);

// The same pass-through, always made directly on the handle (never relayed).
int SendScsiCommandDirect(platform::Handle handle, ScsiRequest& request, std::uint32_t size,
                          std::uint32_t* returned);

// IOCTL_ATA_PASS_THROUGH with a 32-bit ATA_PASS_THROUGH_EX block followed by its data area.
// Success: the control succeeded and bit 0 (ERR) of the returned status register is clear.
int SendAtaCommand(platform::Handle handle, std::uint8_t* block, std::uint32_t size,
                   std::uint32_t* returned);

// ASPI: 1 when the library reports SS_COMP.
int AspiExecute(std::uint8_t hostAdapter, std::uint8_t target, std::uint8_t lun,
                ScsiRequest& request);

platform::Handle RelayOpenDevice(const char* path);
int RelayDeviceIoControl(platform::Handle handle, std::uint32_t code, void* in,
                         std::uint32_t inSize, void* out, std::uint32_t outSize,
                         std::uint32_t* returned);
int RelayCloseDevice(platform::Handle handle);

}  // namespace burnwell::device
