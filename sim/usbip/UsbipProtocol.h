// The USB/IP protocol as Linux's USB/IP host driver (vhci-hcd) and its `usbip` program speak
// it: the operation messages of a fresh connection (list the exported devices, import one)
// and, on an imported device's connection, the URB messages (submit, unlink, and their
// returns). Every field is big-endian; messages are encoded and decoded field by field at the
// offsets below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace burnwell::sim::usbip {

inline constexpr std::uint16_t kProtocolVersion = 0x0111;  // v1.1.1
inline constexpr std::uint16_t kDefaultPort = 3240;

// Operation codes of the connection's first message and of its reply.
inline constexpr std::uint16_t OP_REQ_DEVLIST = 0x8005;
inline constexpr std::uint16_t OP_REP_DEVLIST = 0x0005;
inline constexpr std::uint16_t OP_REQ_IMPORT = 0x8003;
inline constexpr std::uint16_t OP_REP_IMPORT = 0x0003;
inline constexpr std::uint32_t kOpStatusOk = 0;
inline constexpr std::uint32_t kOpStatusError = 1;

// URB message commands.
inline constexpr std::uint32_t USBIP_CMD_SUBMIT = 0x00000001;
inline constexpr std::uint32_t USBIP_CMD_UNLINK = 0x00000002;
inline constexpr std::uint32_t USBIP_RET_SUBMIT = 0x00000003;
inline constexpr std::uint32_t USBIP_RET_UNLINK = 0x00000004;
inline constexpr std::uint32_t USBIP_DIR_OUT = 0;
inline constexpr std::uint32_t USBIP_DIR_IN = 1;

// The speed field: the kernel's numbering of USB speeds.
inline constexpr std::uint32_t kSpeedHigh = 3;

// URB completion statuses are negative Linux error numbers, whatever system the server runs on.
inline constexpr std::int32_t kStatusOk = 0;
inline constexpr std::int32_t kStatusStall = -32;        // -EPIPE: the endpoint is halted
inline constexpr std::int32_t kStatusUnlinked = -104;    // -ECONNRESET: unlinked before completion
inline constexpr std::int32_t kStatusShortNotOk = -121;  // -EREMOTEIO: short with URB_SHORT_NOT_OK
// transfer_flags bit asking for a short IN transfer to count as an error.
inline constexpr std::uint32_t kUrbShortNotOk = 0x00000001;

// The 8-byte header of every operation message.
namespace op {
inline constexpr std::size_t Version = 0;  // u16
inline constexpr std::size_t Code = 2;     // u16
inline constexpr std::size_t Status = 4;   // u32
inline constexpr std::size_t kSize = 8;
}  // namespace op

// OP_REQ_IMPORT: the header and the bus ID of the wanted device.
namespace import_request {
inline constexpr std::size_t BusId = 8;  // 32 bytes, zero-terminated and zero-filled
inline constexpr std::size_t kSize = 40;
}  // namespace import_request

// OP_REP_DEVLIST: the header, the device count, then per device its record and one
// interface record per interface.
namespace devlist_reply {
inline constexpr std::size_t DeviceCount = 8;  // u32
inline constexpr std::size_t kHeaderSize = 12;
}  // namespace devlist_reply

// One exported device, as both replies carry it (OP_REP_IMPORT: right after its header,
// without interface records).
namespace device_record {
inline constexpr std::size_t Path = 0x000;            // 256 bytes, zero-terminated and zero-filled
inline constexpr std::size_t BusId = 0x100;           // 32 bytes, likewise
inline constexpr std::size_t BusNum = 0x120;          // u32
inline constexpr std::size_t DevNum = 0x124;          // u32
inline constexpr std::size_t Speed = 0x128;           // u32
inline constexpr std::size_t IdVendor = 0x12C;        // u16
inline constexpr std::size_t IdProduct = 0x12E;       // u16
inline constexpr std::size_t BcdDevice = 0x130;       // u16
inline constexpr std::size_t DeviceClass = 0x132;     // u8
inline constexpr std::size_t DeviceSubClass = 0x133;  // u8
inline constexpr std::size_t DeviceProtocol = 0x134;  // u8
inline constexpr std::size_t ConfigurationValue = 0x135;  // u8
inline constexpr std::size_t NumConfigurations = 0x136;   // u8
inline constexpr std::size_t NumInterfaces = 0x137;       // u8
inline constexpr std::size_t kSize = 0x138;
inline constexpr std::size_t kPathSize = 256;
inline constexpr std::size_t kBusIdSize = 32;
}  // namespace device_record
namespace interface_record {
inline constexpr std::size_t Class = 0;
inline constexpr std::size_t SubClass = 1;
inline constexpr std::size_t Protocol = 2;
inline constexpr std::size_t Padding = 3;
inline constexpr std::size_t kSize = 4;
}  // namespace interface_record

// The absolute offsets the protocol documents for the first device of a list and for an import.
static_assert(devlist_reply::kHeaderSize + device_record::BusId == 0x10C);
static_assert(devlist_reply::kHeaderSize + device_record::NumInterfaces == 0x143);
static_assert(devlist_reply::kHeaderSize + device_record::kSize == 0x144);
static_assert(op::kSize + device_record::BusId == 0x108);
static_assert(op::kSize + device_record::NumInterfaces == 0x13F);
static_assert(import_request::BusId + device_record::kBusIdSize == import_request::kSize);

// The 48-byte header of every URB message: a 20-byte basic part, then the command's own fields.
namespace urb {
inline constexpr std::size_t Command = 0x00;  // u32
inline constexpr std::size_t SeqNum = 0x04;   // u32
inline constexpr std::size_t DevId = 0x08;  // u32, (busnum << 16) | devnum from the client, 0 back
inline constexpr std::size_t Direction = 0x0C;  // u32, USBIP_DIR_*; 0 from the server
inline constexpr std::size_t Endpoint = 0x10;   // u32, endpoint number; 0 from the server
inline constexpr std::size_t kBasicSize = 0x14;
// USBIP_CMD_SUBMIT
inline constexpr std::size_t TransferFlags = 0x14;         // u32
inline constexpr std::size_t TransferBufferLength = 0x18;  // u32
inline constexpr std::size_t StartFrame = 0x1C;            // i32
inline constexpr std::size_t NumberOfPackets = 0x20;       // i32, 0xFFFFFFFF when not isochronous
inline constexpr std::size_t Interval = 0x24;              // i32
inline constexpr std::size_t Setup = 0x28;                 // 8 bytes, as on the bus
// USBIP_RET_SUBMIT (StartFrame and NumberOfPackets as above)
inline constexpr std::size_t Status = 0x14;        // i32
inline constexpr std::size_t ActualLength = 0x18;  // u32
inline constexpr std::size_t ErrorCount = 0x24;    // i32
// USBIP_CMD_UNLINK (USBIP_RET_UNLINK carries Status at 0x14)
inline constexpr std::size_t UnlinkSeqNum = 0x14;  // u32
inline constexpr std::size_t kSize = 0x30;  // transfer buffer (OUT submits, IN returns) follows
}  // namespace urb
static_assert(urb::TransferFlags == urb::kBasicSize && urb::Status == urb::kBasicSize &&
              urb::UnlinkSeqNum == urb::kBasicSize);
static_assert(urb::Setup + 8 == urb::kSize);

inline constexpr std::uint32_t kNotIsochronous = 0xFFFFFFFF;

struct OpHeader {
  std::uint16_t version = kProtocolVersion;
  std::uint16_t code = 0;
  std::uint32_t status = kOpStatusOk;
};

struct InterfaceClass {
  std::uint8_t interfaceClass = 0;
  std::uint8_t subClass = 0;
  std::uint8_t protocol = 0;
};

struct ExportedDevice {
  std::string path;
  std::string busId;
  std::uint32_t busNum = 0;
  std::uint32_t devNum = 0;
  std::uint32_t speed = kSpeedHigh;
  std::uint16_t idVendor = 0;
  std::uint16_t idProduct = 0;
  std::uint16_t bcdDevice = 0;
  std::uint8_t deviceClass = 0;
  std::uint8_t deviceSubClass = 0;
  std::uint8_t deviceProtocol = 0;
  std::uint8_t configurationValue = 0;
  std::uint8_t numConfigurations = 1;
  std::vector<InterfaceClass> interfaces;
};

// The decoded 48-byte header of a URB message (fields of other commands stay zero).
struct UrbHeader {
  std::uint32_t command = 0;
  std::uint32_t seqNum = 0;
  std::uint32_t devId = 0;
  std::uint32_t direction = USBIP_DIR_OUT;
  std::uint32_t endpoint = 0;
  // CMD_SUBMIT
  std::uint32_t transferFlags = 0;
  std::uint32_t transferBufferLength = 0;
  std::uint32_t numberOfPackets = kNotIsochronous;
  std::uint32_t interval = 0;
  std::array<std::uint8_t, 8> setup{};
  // CMD_UNLINK
  std::uint32_t unlinkSeqNum = 0;
  // RET_SUBMIT / RET_UNLINK
  std::int32_t status = 0;
  std::uint32_t actualLength = 0;
};

std::array<std::uint8_t, op::kSize> EncodeOpHeader(const OpHeader& header);
OpHeader DecodeOpHeader(std::span<const std::uint8_t> bytes);  // at least op::kSize bytes

std::vector<std::uint8_t> EncodeImportRequest(const std::string& busId);
// The bus ID of an OP_REQ_IMPORT (all import_request::kSize bytes).
std::string DecodeImportBusId(std::span<const std::uint8_t> request);

std::vector<std::uint8_t> EncodeDeviceList(std::span<const ExportedDevice> devices);
// OP_REP_IMPORT: the device on success; only the header (status error) without one.
std::vector<std::uint8_t> EncodeImportReply(const std::optional<ExportedDevice>& device);
// One device record (device_record::kSize bytes) without its interfaces.
ExportedDevice DecodeDeviceRecord(std::span<const std::uint8_t> record);

// URB messages: the 48-byte header of each command, with the data that follows it.
std::array<std::uint8_t, urb::kSize> EncodeUrbHeader(const UrbHeader& header);
UrbHeader DecodeUrbHeader(std::span<const std::uint8_t> bytes);  // at least urb::kSize bytes
// USBIP_RET_SUBMIT for `seqNum`, followed by the IN data (empty for OUT transfers).
std::vector<std::uint8_t> EncodeReturnSubmit(std::uint32_t seqNum, std::int32_t status,
                                             std::uint32_t actualLength,
                                             std::span<const std::uint8_t> inData);
std::array<std::uint8_t, urb::kSize> EncodeReturnUnlink(std::uint32_t seqNum, std::int32_t status);

}  // namespace burnwell::sim::usbip
