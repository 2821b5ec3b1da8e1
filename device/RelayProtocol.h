// The I/O relay's message format, shared by the client (Transport.cpp) and the server
// library (device/relay). Every message is raw bytes: one request per write, one reply per
// read. A request starts with an opcode; a reply starts with a status byte (0 = success).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/WinNames.h"

namespace burnwell::device::relay {

enum class Opcode : std::uint8_t {
  Open = 0x00,               // device path + NUL
  PassThrough = 0x01,        // the whole ScsiRequest
  PassThroughDirect = 0x02,  // 80-byte block, then the data bytes when not reading
  GetDriveLayout = 0x03,     // output-size zero bytes
  GetDriveGeometry = 0x33,
  GetDriveGeometryEx = 0x34,
  GetDriveLayoutEx = 0x35,
  Close = 0x0F,  // nothing; 1-byte reply
};

inline constexpr std::uint8_t kReplyOk = 0x00;
inline constexpr std::uint8_t kReplyFailed = 0x01;
// The I/O control failed because the device is gone (unplugged): no later request can succeed.
inline constexpr std::uint8_t kReplyDeviceGone = 0x02;
// The relay turned the connection away: it serves as many connections as it may, in all or for
// the client's user. Sent as the first message of the connection, which the relay then closes.
inline constexpr std::uint8_t kReplyRelayFull = 0x03;
// The open names a bridge that another connection has open; it is free again once that one
// closes it or ends. The connection stays open.
inline constexpr std::uint8_t kReplyBridgeBusy = 0x04;
// Every nonzero status fails the request, so a client that knows none of these still fails
// cleanly.

// The block of a pass-through-direct request: the 44-byte header, filler and sense area.
inline constexpr std::size_t kDirectBlockSize = 80;
// Largest data phase of a pass-through-direct request (0x103AF).
inline constexpr std::uint32_t kMaxDirectData = 66479;
// Largest message either side ever sends: opcode, block and the largest data phase.
inline constexpr std::size_t kMaxMessageSize = 1 + kDirectBlockSize + kMaxDirectData;
static_assert(kMaxMessageSize == 66560);
static_assert(kMaxDirectData == 0x103AF);

// Largest device path an open carries (the record's 260-character path field).
inline constexpr std::size_t kMaxPathLength = 259;

// Opcode for an I/O control code; nothing for a code the relay does not carry.
inline std::optional<Opcode> OpcodeForControlCode(std::uint32_t code) {
  switch (code) {
    case IOCTL_SCSI_PASS_THROUGH: return Opcode::PassThrough;
    case IOCTL_SCSI_PASS_THROUGH_DIRECT: return Opcode::PassThroughDirect;
    case IOCTL_DISK_GET_DRIVE_LAYOUT: return Opcode::GetDriveLayout;
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: return Opcode::GetDriveGeometry;
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: return Opcode::GetDriveGeometryEx;
    case IOCTL_DISK_GET_DRIVE_LAYOUT_EX: return Opcode::GetDriveLayoutEx;
    default: return std::nullopt;
  }
}

// Control code for one of the four disk-query opcodes; nothing for any other byte.
inline std::optional<std::uint32_t> DiskQueryCode(std::uint8_t opcode) {
  switch (static_cast<Opcode>(opcode)) {
    case Opcode::GetDriveLayout: return IOCTL_DISK_GET_DRIVE_LAYOUT;
    case Opcode::GetDriveGeometry: return IOCTL_DISK_GET_DRIVE_GEOMETRY;
    case Opcode::GetDriveGeometryEx: return IOCTL_DISK_GET_DRIVE_GEOMETRY_EX;
    case Opcode::GetDriveLayoutEx: return IOCTL_DISK_GET_DRIVE_LAYOUT_EX;
    default: return std::nullopt;
  }
}

}  // namespace burnwell::device::relay
