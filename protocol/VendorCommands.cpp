#include "protocol/VendorCommands.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "common/Bytes.h"
#include "common/MakerIds.h"
#include "wire/AtaPassThrough.h"
#include "wire/ScsiRequest.h"
#include "wire/VendorOpcodes.h"
#include "device/Transport.h"
#include "platform/DeviceIo.h"
#include "platform/System.h"
#include "platform/WinNames.h"

namespace burnwell::protocol {
namespace {

using device::TransportKind;
using wire::DataDirection;
using wire::kAtaIdentifyDevice;
using wire::kBlockSize;
using wire::ScsiCommand;
using wire::ScsiRequest;
namespace opcode = wire::opcode;

// The bridge answers only to this target id.
constexpr std::uint8_t kBridgeTargetId = 1;

std::uint32_t DeviceCount() { return device::DeviceLayer().table.count; }

// A zeroed request for one command to the bridge, with a data area of dataAreaSize bytes.
ScsiRequest BridgeRequest(ScsiCommand command, std::size_t dataAreaSize = wire::kStandardDataSize) {
  command.targetId = kBridgeTargetId;
  return ScsiRequest::For(command, dataAreaSize);
}

// A vendor CDB: operation code in byte 0 and the maker's vendor ID in bytes 4..5.
std::array<std::uint8_t, 16> VendorCdb(std::uint8_t operation) {
  std::array<std::uint8_t, 16> cdb{};
  cdb[0] = operation;
  StoreBe16(&cdb[wire::kVendorSignatureOffset], VID_MAKER);
  return cdb;
}

bool SendByRule(const DeviceRecord& record, ScsiRequest& request) {
  return device::SendScsiCommand(record, request, static_cast<std::uint32_t>(request.Size()));
}

// INQUIRY, bridge information and READ(10) honour the record's transport: Scsi devices take the
// plain pass-through that never goes through the relay.
bool SendByTransport(const DeviceRecord& record, ScsiRequest& request) {
  if (record.TransportKind == TransportKind::Scsi) {
    std::uint32_t returned = 0;
    return device::SendScsiCommandDirect(record.Handle, request,
                                         static_cast<std::uint32_t>(request.Size()), &returned);
  }
  return SendByRule(record, request);
}

// The command is not for this device: the system's last error says so.
bool NotSupported() {
  platform::Current<platform::System>().SetLastSystemError(ERROR_NOT_SUPPORTED);
  return true;
}

// Ide devices take none of the SCSI identification commands.
bool RejectIde(const DeviceRecord& record) {
  return record.TransportKind == TransportKind::Ide && NotSupported();
}

// The storage-control identifications work on Scsi devices only, into a destination.
bool RejectForControls(const DeviceRecord& record, const std::uint8_t* destination) {
  return (record.TransportKind != TransportKind::Scsi && NotSupported()) || destination == nullptr;
}

CommandResult Fail(device::DeviceError error) {
  device::SetLastDeviceError(error);
  return CommandResult::Failed;
}

// Sends one short (at most 32-byte) vendor transfer to the device.
CommandResult ShortTransferOut(const DeviceRecord& record, const std::array<std::uint8_t, 16>& cdb,
                               const std::uint8_t* source, std::uint32_t length,
                               device::DeviceError failure) {
  ScsiRequest request = BridgeRequest({.cdb = cdb,
                                       .cdbLength = 12,
                                       .direction = DataDirection::Out,
                                       .transferLength = length,
                                       .timeoutSeconds = ShortCommandTimeout()});
  if (length != 0) std::memcpy(request.Data().data(), source, length);
  if (!SendByRule(record, request)) return Fail(failure);
  return CommandResult::Ok;
}

CommandResult ShortTransferIn(const DeviceRecord& record, const std::array<std::uint8_t, 16>& cdb,
                              std::uint8_t* destination, std::uint32_t length,
                              device::DeviceError failure) {
  ScsiRequest request = BridgeRequest({.cdb = cdb,
                                       .cdbLength = 12,
                                       .direction = DataDirection::In,
                                       .transferLength = length,
                                       .timeoutSeconds = ShortCommandTimeout()});
  if (!SendByRule(record, request)) return Fail(failure);
  if (length != 0) std::memcpy(destination, request.Data().data(), length);
  return CommandResult::Ok;
}

// A pointer may be absent only when nothing is to be moved.
bool MissingBuffer(const void* buffer, std::uint32_t length) {
  return buffer == nullptr && length != 0;
}

// The ATA pass-through block: the 40-byte header, then a data area of 4096 bytes.
namespace ata {
constexpr std::size_t HeaderSize = wire::kAtaPassThroughSize;
constexpr std::size_t DataAreaSize = 4096;
constexpr std::size_t BlockSize = HeaderSize + DataAreaSize;
static_assert(BlockSize == 4136);
}  // namespace ata

// --- SENDCMDINPARAMS / SENDCMDOUTPARAMS (byte-packed) ----------------------------------------
namespace smart {
constexpr std::size_t BufferSize = 0;     // u32 cBufferSize
constexpr std::size_t Registers = 4;      // IDEREGS: features, count, number, cyl low, cyl high,
                                          // drive/head, command, reserved
constexpr std::size_t DriveNumber = 12;   // u8
constexpr std::size_t InParamsSize = 33;  // with its one-byte bBuffer
constexpr std::size_t InParamsHeaderSize = 32;                        // without bBuffer
constexpr std::size_t OutDataOffset = 16;                             // cBufferSize + DRIVERSTATUS
constexpr std::size_t OutParamsSize = OutDataOffset + kIdentifySize;  // 528
static_assert(Registers + 8 == DriveNumber);
static_assert(OutParamsSize == 528);
}  // namespace smart

// --- SRB_IO_CONTROL followed by SENDCMDINPARAMS / SENDCMDOUTPARAMS --------------------------
namespace miniport {
constexpr std::size_t HeaderLength = 0;  // u32
constexpr std::size_t Signature = 4;     // 8 bytes
constexpr std::size_t Timeout = 12;      // u32
constexpr std::size_t ControlCode = 16;  // u32
constexpr std::size_t ReturnCode = 20;   // u32
constexpr std::size_t Length = 24;       // u32
constexpr std::size_t HeaderSize = 28;
constexpr std::uint32_t IdentifyControlCode = 0x1B0501;  // IOCTL_SCSI_MINIPORT_IDENTIFY
constexpr std::uint32_t PayloadLength = 529;             // SENDCMDOUTPARAMS + 512 data + 1
constexpr std::uint32_t InputLength = HeaderSize + smart::InParamsHeaderSize;  // 60
constexpr std::uint32_t OutputLength = HeaderSize + PayloadLength;             // 557
constexpr std::size_t DataOffset = HeaderSize + smart::OutDataOffset;
static_assert(ReturnCode + 4 == Length && Length + 4 == HeaderSize);
static_assert(InputLength == 60 && OutputLength == 557);
}  // namespace miniport

}  // namespace

std::uint32_t ShortCommandTimeout() {
  const std::uint32_t n = DeviceCount();
  return n == 0 ? 3 : 3 * n;
}

std::uint32_t StandardCommandTimeout() {
  const std::uint32_t n = DeviceCount();
  return n == 0 ? 30 : 30 * n;
}

std::uint32_t BridgeInfoTimeout(std::uint32_t multiplier) {
  const std::uint32_t n = DeviceCount();
  return n == 0 ? multiplier : multiplier * n;
}

std::uint32_t VendorAtaTimeout(std::uint32_t multiplier) {
  const std::uint32_t product = multiplier * DeviceCount();
  return product == 0 ? 30 : product;
}

std::uint32_t AtaPassThroughTimeout() { return 300 * (DeviceCount() + 1); }

CommandResult ReadBridgeInfo(const DeviceRecord& record, std::uint8_t* destination,
                             std::uint32_t length, std::uint32_t timeoutMultiplier) {
  if (RejectIde(record)) return CommandResult::Failed;
  if (length < kBridgeInfoMinLength || length > kBridgeInfoMaxLength || destination == nullptr)
    return Fail(device::DeviceError::ReadBridgeInfo);
  ScsiRequest request = BridgeRequest({.cdb = VendorCdb(opcode::kBridgeInfo),
                                       .cdbLength = 12,
                                       .direction = DataDirection::In,
                                       .transferLength = length,
                                       .timeoutSeconds = BridgeInfoTimeout(timeoutMultiplier)});
  if (!SendByTransport(record, request)) return Fail(device::DeviceError::ReadBridgeInfo);
  std::memcpy(destination, request.Data().data(), length);
  return CommandResult::Ok;
}

CommandResult VendorAtaCommand(const DeviceRecord& record, const AtaTaskFile& taskFile,
                               std::uint8_t* buffer, std::uint32_t bufferLength, std::uint8_t lun,
                               std::uint32_t timeoutMultiplier) {
  if (bufferLength < taskFile.length || MissingBuffer(buffer, bufferLength))
    return CommandResult::Failed;
  std::array<std::uint8_t, 16> cdb = VendorCdb(opcode::kVendorAta);
  cdb[1] = taskFile.read ? wire::kVendorAtaRead : wire::kVendorAtaWrite;
  cdb[2] = lun;
  cdb[3] = taskFile.features;
  StoreBe32(&cdb[6], taskFile.length);
  cdb[10] = static_cast<std::uint8_t>(taskFile.count);
  cdb[11] = static_cast<std::uint8_t>(taskFile.lbaLow);
  cdb[12] = static_cast<std::uint8_t>(taskFile.lbaMid);
  cdb[13] = static_cast<std::uint8_t>(taskFile.lbaHigh);
  cdb[14] = taskFile.device;
  cdb[15] = taskFile.command;

  ScsiRequest request =
      BridgeRequest({.cdb = cdb,
                     .cdbLength = 16,
                     .direction = taskFile.read ? DataDirection::In : DataDirection::Out,
                     .transferLength = taskFile.length,
                     .timeoutSeconds = VendorAtaTimeout(timeoutMultiplier),
                     .lun = lun},
                    std::max<std::size_t>(bufferLength, wire::kStandardDataSize));
  if (taskFile.read) {
    if (bufferLength != 0) std::memset(buffer, 0, bufferLength);
  } else if (bufferLength != 0) {
    std::memcpy(request.Data().data(), buffer, bufferLength);
  }
  const bool sent = SendByRule(record, request);
  // The drive's answer is handed back whatever the outcome: a failed command may still have
  // delivered the data the caller wants to look at.
  if (taskFile.read && bufferLength != 0) std::memcpy(buffer, request.Data().data(), bufferLength);
  if (!sent) return Fail(device::DeviceError::VendorAtaCommand);
  return CommandResult::Ok;
}

CommandResult EepromWrite(const DeviceRecord& record, std::uint16_t address,
                          const std::uint8_t* source, std::uint32_t length) {
  if (length > kMaxShortTransfer || MissingBuffer(source, length)) return CommandResult::Failed;
  std::array<std::uint8_t, 16> cdb = VendorCdb(opcode::kEepromWrite);
  cdb[1] = static_cast<std::uint8_t>(length);
  StoreBe16(&cdb[2], address);
  return ShortTransferOut(record, cdb, source, length, device::DeviceError::EepromWrite);
}

CommandResult EepromRead(const DeviceRecord& record, std::uint16_t address,
                         std::uint8_t* destination, std::uint32_t length) {
  if (length > kMaxShortTransfer || MissingBuffer(destination, length))
    return CommandResult::Failed;
  std::array<std::uint8_t, 16> cdb = VendorCdb(opcode::kEepromRead);
  cdb[1] = static_cast<std::uint8_t>(length);
  StoreBe16(&cdb[2], address);
  return ShortTransferIn(record, cdb, destination, length, device::DeviceError::EepromRead);
}

CommandResult SpiChipSelect(const DeviceRecord& record, std::uint32_t select) {
  ScsiRequest request =
      BridgeRequest({.cdb = VendorCdb(select ? opcode::kSpiSelect : opcode::kSpiDeselect),
                     .cdbLength = 16,
                     .direction = DataDirection::Out,
                     .transferLength = 0,
                     .timeoutSeconds = ShortCommandTimeout()});
  if (!SendByRule(record, request)) return Fail(device::DeviceError::SpiChipSelect);
  return CommandResult::Ok;
}

CommandResult SpiWrite(const DeviceRecord& record, const std::uint8_t* source,
                       std::uint32_t length) {
  if (length > kMaxShortTransfer || MissingBuffer(source, length)) return CommandResult::Failed;
  std::array<std::uint8_t, 16> cdb = VendorCdb(opcode::kSpiWrite);
  cdb[3] = static_cast<std::uint8_t>(length);
  return ShortTransferOut(record, cdb, source, length, device::DeviceError::SpiWrite);
}

CommandResult SpiRead(const DeviceRecord& record, std::uint8_t* destination, std::uint32_t length) {
  if (length > kMaxShortTransfer || MissingBuffer(destination, length))
    return CommandResult::Failed;
  std::array<std::uint8_t, 16> cdb = VendorCdb(opcode::kSpiRead);
  cdb[3] = static_cast<std::uint8_t>(length);
  return ShortTransferIn(record, cdb, destination, length, device::DeviceError::SpiRead);
}

CommandResult ScsiInquiry(const DeviceRecord& record, std::uint8_t pageCode,
                          std::uint8_t* destination, std::uint32_t length) {
  if (RejectIde(record)) return CommandResult::Failed;
  // The allocation length is one CDB byte: a longer request cannot be expressed.
  if (length == 0 || length > 255 || destination == nullptr)
    return Fail(device::DeviceError::ScsiInquiry);
  std::array<std::uint8_t, 16> cdb{};
  cdb[0] = opcode::kInquiry;
  if (pageCode != 0) {
    cdb[1] = 0x01;  // EVPD
    cdb[2] = pageCode;
  }
  cdb[4] = static_cast<std::uint8_t>(length);
  ScsiRequest request = BridgeRequest({.cdb = cdb,
                                       .cdbLength = 12,
                                       .direction = DataDirection::In,
                                       .transferLength = length,
                                       .timeoutSeconds = StandardCommandTimeout()});
  std::memset(destination, 0, length);
  const bool sent = SendByTransport(record, request);
  std::memcpy(destination, request.Data().data(), length);
  if (!sent) return Fail(device::DeviceError::ScsiInquiry);
  return CommandResult::Ok;
}

CommandResult ScsiRead10(const DeviceRecord& record, std::uint32_t blockAddress,
                         std::uint8_t* destination, std::uint32_t length, std::uint8_t lun) {
  if (RejectIde(record)) return CommandResult::Failed;
  if (destination == nullptr) return Fail(device::DeviceError::ScsiRead10);
  std::array<std::uint8_t, 16> cdb{};
  cdb[0] = opcode::kRead10;
  StoreBe32(&cdb[2], blockAddress);
  StoreBe16(&cdb[7], static_cast<std::uint16_t>(length / kBlockSize));
  ScsiRequest request = BridgeRequest({.cdb = cdb,
                                       .cdbLength = 10,
                                       .direction = DataDirection::In,
                                       .transferLength = length,
                                       .timeoutSeconds = StandardCommandTimeout(),
                                       .lun = lun},
                                      std::max<std::size_t>(length, wire::kStandardDataSize));
  const bool sent = SendByTransport(record, request);
  // The returned length comes from the device (or the relay): never copy more than asked for.
  const std::uint32_t reported = request.Header().DataTransferLength;
  const std::uint32_t copied = std::min(reported, length);
  if (copied != 0) std::memcpy(destination, request.Data().data(), copied);
  if (!sent) return Fail(device::DeviceError::ScsiRead10);
  return CommandResult::Ok;
}

CommandResult IdentifyViaAtaPassThrough(const DeviceRecord& record, std::uint8_t* destination,
                                        bool raw) {
  if (record.TransportKind != TransportKind::Ide && NotSupported()) return CommandResult::Failed;
  if (!platform::Current<platform::System>().IsWindowsNt() && NotSupported())
    return Fail(device::DeviceError::VendorAtaCommand);
  if (destination == nullptr) return Fail(device::DeviceError::VendorAtaCommand);

  std::vector<std::uint8_t> block(ata::BlockSize, 0);
  wire::AtaPassThroughHeader header;
  header.Length = static_cast<std::uint16_t>(ata::HeaderSize);
  header.AtaFlags = wire::ATA_FLAGS_DATA_IN;
  header.DataTransferLength = static_cast<std::uint32_t>(kIdentifySize);
  header.TimeOutValue = AtaPassThroughTimeout();
  header.DataBufferOffset = static_cast<std::uint32_t>(ata::HeaderSize);
  header.CurrentTaskFile[wire::reg::Command] = kAtaIdentifyDevice;
  wire::EncodeAtaPassThroughHeader(header, block);

  std::uint32_t returned = 0;
  if (!device::SendAtaCommand(record.Handle, block.data(), static_cast<std::uint32_t>(block.size()),
                              &returned))
    return Fail(device::DeviceError::VendorAtaCommand);

  const std::uint8_t* data = &block[ata::HeaderSize];
  if (raw) {
    std::memcpy(destination, data, kIdentifySize);
  } else {
    // The text form: each 16-bit word with its bytes swapped, then a terminating zero byte.
    for (std::size_t i = 0; i < kIdentifySize; i += 2) {
      destination[i] = data[i + 1];
      destination[i + 1] = data[i];
    }
    destination[kIdentifySize] = 0;
  }
  return CommandResult::Ok;
}

CommandResult IdentifyViaSmart(const DeviceRecord& record, std::uint8_t* destination) {
  if (RejectForControls(record, destination)) return CommandResult::Failed;
  std::array<std::uint8_t, smart::InParamsSize> in{};
  StoreLe32(&in[smart::BufferSize], static_cast<std::uint32_t>(kIdentifySize));
  const std::array<std::uint8_t, 8> registers = {
      0, 1, 1, 0, 0, wire::kAtaDeviceRegister, kAtaIdentifyDevice, 0};
  std::copy(registers.begin(), registers.end(), in.begin() + smart::Registers);
  in[smart::DriveNumber] = 0;
  std::array<std::uint8_t, smart::OutParamsSize> out{};
  std::uint32_t returned = 0;
  if (!platform::Current<platform::DeviceIo>().IoControl(
          record.Handle, SMART_RCV_DRIVE_DATA, in.data(), static_cast<std::uint32_t>(in.size()),
          out.data(), static_cast<std::uint32_t>(out.size()), &returned))
    return CommandResult::Failed;
  std::memcpy(destination, &out[smart::OutDataOffset], kIdentifySize);
  return CommandResult::Ok;
}

CommandResult IdentifyViaMiniport(const DeviceRecord& record, std::uint8_t* destination) {
  if (RejectForControls(record, destination)) return CommandResult::Failed;
  std::array<std::uint8_t, miniport::OutputLength> buffer{};
  StoreLe32(&buffer[miniport::HeaderLength], static_cast<std::uint32_t>(miniport::HeaderSize));
  std::memcpy(&buffer[miniport::Signature], "SCSIDISK", 8);
  StoreLe32(&buffer[miniport::Timeout], 10000);
  StoreLe32(&buffer[miniport::ControlCode], miniport::IdentifyControlCode);
  StoreLe32(&buffer[miniport::Length], miniport::PayloadLength);
  buffer[miniport::HeaderSize + smart::Registers + 6] = kAtaIdentifyDevice;
  buffer[miniport::HeaderSize + smart::DriveNumber] = 0;
  std::uint32_t returned = 0;
  if (!platform::Current<platform::DeviceIo>().IoControl(
          record.Handle, IOCTL_SCSI_MINIPORT, buffer.data(), miniport::InputLength, buffer.data(),
          miniport::OutputLength, &returned))
    return CommandResult::Failed;
  std::memcpy(destination, &buffer[miniport::DataOffset], kIdentifySize);
  return CommandResult::Ok;
}

CommandResult ReadBridgeIdByLba(const DeviceRecord& record, std::uint8_t* identification) {
  if (identification == nullptr) return CommandResult::Failed;
  std::array<std::uint8_t, kBlockSize> scratch{};
  auto read = [&](std::uint32_t address) {
    scratch.fill(0);
    return ScsiRead10(record, address, scratch.data(), kBlockSize, 0) == CommandResult::Ok;
  };
  for (const std::uint32_t address : wire::kIdentificationSequence)
    if (!read(address)) return CommandResult::Failed;
  if (!read(wire::kIdentificationBlock)) return CommandResult::Failed;
  std::memcpy(identification + 40, &scratch[2], 4);
  return CommandResult::Ok;
}

}  // namespace burnwell::protocol
