// The identification commands discovery sends, in one place so that the rest of discovery does
// not depend on how the protocol layer spells their arguments.
#pragma once

#include <cstdint>

#include "device/DeviceRecord.h"
#include "protocol/VendorCommands.h"

namespace burnwell::bridge::identify {

inline bool BridgeInfo(const device::DeviceRecord& record, std::uint8_t* block, std::uint32_t multiplier) {
  return protocol::ReadBridgeInfo(record, block, 16, multiplier) != 0;
}
// IDENTIFY DEVICE in its text form (each word's bytes swapped, 512 bytes plus a NUL).
inline bool AtaIdentifyText(const device::DeviceRecord& record, std::uint8_t* text513) {
  return protocol::IdentifyViaAtaPassThrough(record, text513, 0) != 0;
}
inline bool Inquiry(const device::DeviceRecord& record, std::uint8_t* buffer, std::uint32_t length) {
  return protocol::ScsiInquiry(record, 0, buffer, length) != 0;
}
inline bool SmartIdentify(const device::DeviceRecord& record, std::uint8_t* buffer512) {
  return protocol::IdentifyViaSmart(record, buffer512) != 0;
}
inline bool MiniportIdentify(const device::DeviceRecord& record, std::uint8_t* buffer512) {
  return protocol::IdentifyViaMiniport(record, buffer512) != 0;
}
// ReadBridgeIdByLba reports 0 for success.
inline bool LbaIdentify(const device::DeviceRecord& record, std::uint8_t* buffer512) {
  return protocol::ReadBridgeIdByLba(record, buffer512) == 0;
}

}  // namespace burnwell::bridge::identify
