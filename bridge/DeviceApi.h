// The device API the application calls: a process-wide device table rebuilt by BridgeOpen,
// cross-process locks ("ZQ5x8xAPIMutex" for the table, "DeviceIndex_%02d" per device), and
// per-device wrappers that hand a copy of a record to a flash operation. Results: a count or 0
// for success, a negative code for failure; nothing throws.
#pragma once

#include <cstdint>

#include "platform/WindowMessages.h"

namespace burnwell::bridge {

// Negative results of the device API.
inline constexpr int kApiTooManyDevices = -2;   // more devices than capacity; or a device mutex failed
inline constexpr int kApiNoInterfaceList = -3;  // discovery could not list the device interfaces
inline constexpr int kApiLockFailed = -4;       // a wait for the API or a device mutex did not succeed
inline constexpr int kApiBadIndex = -5;         // index negative or not below the count
inline constexpr int kApiIdNotFound = -10;      // BridgeFindById: no record carries that id
inline constexpr int kApiNoAspi = -11;          // the ASPI library or an entry point is missing
inline constexpr int kApiNotMassStorage = -15;  // the record's transport is not mass storage

inline constexpr char kApiMutexName[] = "ZQ5x8xAPIMutex";
inline constexpr std::uint32_t kApiMutexTimeoutMs = 5000;
inline constexpr std::uint32_t kShutdownMutexTimeoutMs = 30000;
inline constexpr std::uint32_t kDeviceMutexTimeoutPerDeviceMs = 5000;

int BridgeInitialize();
int BridgeUninitialize();
int BridgeOpen(std::uint8_t* ids, std::uint32_t capacity);
int BridgeClose();
int BridgeGetVersion(int id, std::uint32_t* version, std::uint32_t* firmware);
int BridgeGetVersionByIndex(int index, std::uint32_t* version, std::uint32_t* firmware);
int BridgeFindById(int id);
int BridgeIcpSwitch(int index, std::uint32_t mode);
int BridgeEraseFlash(int index, platform::WindowHandle progressWindow, std::uint32_t messageNumber);
int BridgeReadFlash(int index, std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length,
                    platform::WindowHandle progressWindow, std::uint32_t messageNumber);
int BridgeWriteFlash(int index, const std::uint8_t* buffer, std::uint32_t offset,
                     std::uint32_t length, platform::WindowHandle progressWindow,
                     std::uint32_t messageNumber);
int DiscoverDevices();
void ReleaseDevices();
bool IsWindowsNt();

}  // namespace burnwell::bridge
