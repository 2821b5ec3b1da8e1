// The device API the application calls: a process-wide device table rebuilt by BridgeOpen,
// cross-process locks ("ZQ5x8xAPIMutex" for the table, "DeviceIndex_%02d" per device), and
// per-device wrappers that hand a copy of a record to a flash operation. Results: a count or 0
// for success, a negative code for failure (Code of an ApiError or of a protocol::FlashResult);
// BridgeInitialize and BridgeUninitialize alone answer 1 or 0 (Code of an ApiStart). Nothing
// throws.
#pragma once

#include <cstdint>

#include "bridge/ApiResult.h"
#include "platform/WindowMessages.h"
#include "protocol/TransferMode.h"

namespace burnwell::bridge {

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
// Erases only what a write of [offset, offset + length) needs on a serial flash: the chip's own
// sectors or blocks that cover the range (the whole chip for a chip without them); an EEPROM as
// BridgeEraseFlash does.
int BridgeEraseRange(int index, std::uint32_t offset, std::uint32_t length,
                     platform::WindowHandle progressWindow, std::uint32_t messageNumber);
// A serial flash moves in the given transfer mode; an EEPROM always in the bridge's own pieces.
int BridgeReadFlash(int index, std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length,
                    platform::WindowHandle progressWindow, std::uint32_t messageNumber,
                    protocol::TransferMode transfers = protocol::TransferMode::Classic);
int BridgeWriteFlash(int index, const std::uint8_t* buffer, std::uint32_t offset,
                     std::uint32_t length, platform::WindowHandle progressWindow,
                     std::uint32_t messageNumber,
                     protocol::TransferMode transfers = protocol::TransferMode::Classic);
CountOrError DiscoverDevices();
void ReleaseDevices();
bool IsWindowsNt();

}  // namespace burnwell::bridge
