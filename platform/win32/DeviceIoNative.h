// The pass-through requests converted between their 32-bit wire layouts and the native
// SCSI_PASS_THROUGH / ATA_PASS_THROUGH_EX structures of the running Windows (56 and 48 bytes
// on x64), around one DeviceIoControl. The call is passed in so that tests can check the
// native buffer without a device.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

#include "platform/IoFailure.h"

namespace burnwell::platform {

// DeviceIoControl with one buffer as input and output.
using NativeIoControl =
    std::function<BOOL(HANDLE device, DWORD code, void* buffer, DWORD size, DWORD* returned)>;

// How a failed DeviceIoControl failed, from its last-error value: ERROR_DEVICE_NOT_CONNECTED,
// ERROR_NO_SUCH_DEVICE, ERROR_DEVICE_REMOVED and ERROR_DEV_NOT_EXIST mean the device is gone.
IoFailure Win32FailureKind(DWORD error);

// The real DeviceIoControl; a failure is noted (platform/IoFailure.h) with the last error kept.
BOOL SystemDeviceIoControl(HANDLE device, DWORD code, void* buffer, DWORD size, DWORD* got);

// After a failure with an error the command in flight may get when its device is pulled (a
// general device error, a time-out), TEST UNIT READY probes through `call` look whether the
// device is going away (platform/GoneSettle.h); what they see is noted.
bool NativeScsiPassThrough(HANDLE device, const void* in, std::uint32_t inSize, void* out,
                           std::uint32_t outSize, std::uint32_t* returned,
                           const NativeIoControl& call);
bool NativeAtaPassThrough(HANDLE device, const void* in, std::uint32_t inSize, void* out,
                          std::uint32_t outSize, std::uint32_t* returned,
                          const NativeIoControl& call);

}  // namespace burnwell::platform
