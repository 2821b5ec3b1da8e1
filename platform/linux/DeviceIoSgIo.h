// The pass-through I/O controls carried out with the Linux SG_IO ioctl (sg_io_hdr v3). The
// requests arrive in their wire layouts (the ScsiRequest, the 32-bit ATA_PASS_THROUGH_EX block)
// and are answered in place, as DeviceIoControl would. The ioctl is passed in so that tests can
// check the header the translation builds and feed it outcomes without a device.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <functional>

#include "platform/IoFailure.h"

namespace burnwell::platform::sgio {

// Issues SG_IO on fd; returns the ioctl's result (-1 on failure).
using SgIoCall = std::function<int(int fd, sg_io_hdr_t& header)>;

// The real SG_IO: on an sg node through the driver's write/read interface with a deadline of
// the command's time-out plus kDeadlineMarginMs (ETIMEDOUT when it passes); elsewhere the ioctl.
int SystemSgIo(int fd, sg_io_hdr_t& header);

// SG_IO ended well enough for its status to count: the ioctl succeeded, no host error, and no
// driver error besides "sense data present".
bool SgIoSucceeded(int ioctlResult, const sg_io_hdr_t& header);

// How a failed SG_IO failed: ENODEV / ENXIO or host status DID_NO_CONNECT mean the device is
// gone (after an unplug every SG_IO on the open descriptor fails with ENODEV); ETIMEDOUT is the
// program's own deadline; anything else is a failed command. `error` is errno after the call.
IoFailure SgIoFailureKind(int ioctlResult, int error, const sg_io_hdr_t& header);

// How long past a command's own time-out the program waits for its answer before it calls the
// device one that stopped answering.
inline constexpr unsigned kDeadlineMarginMs = 5000;

// The time-out of the TEST UNIT READY that looks at a device after a failed transfer (a failed
// transfer waits up to kGoneSettleMs, platform/GoneSettle.h, to see whether the device is
// going away: its sysfs entry removed, or the probe failing as on a gone device).
inline constexpr unsigned kProbeTimeoutMs = 1000;

// IOCTL_SCSI_PASS_THROUGH: `in` holds the ScsiRequest (header, sense area, data area within
// inSize); the updated request (ScsiStatus, sense, data, DataTransferLength) is written to
// `out` (at most outSize bytes). False on a malformed request or a failed transfer, whose kind
// is noted (platform/IoFailure.h) once the device has been looked at again through `call`.
bool ScsiPassThrough(int fd, const void* in, std::uint32_t inSize, void* out, std::uint32_t outSize,
                     std::uint32_t* returned, const SgIoCall& call);

// IOCTL_ATA_PASS_THROUGH through SCSI ATA PASS-THROUGH(16): the task file goes into the CDB,
// the returned registers come back from the ATA status return descriptor into CurrentTaskFile.
bool AtaPassThrough(int fd, const void* in, std::uint32_t inSize, void* out, std::uint32_t outSize,
                    std::uint32_t* returned, const SgIoCall& call);

// Sizes fixed by the translation.
inline constexpr unsigned kSenseBytes = 32;
inline constexpr std::uint8_t kAtaPassThrough16 = 0x85;

}  // namespace burnwell::platform::sgio
