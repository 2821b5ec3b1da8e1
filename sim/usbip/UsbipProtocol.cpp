#include "sim/usbip/UsbipProtocol.h"

#include <algorithm>

#include "common/Bytes.h"

namespace burnwell::sim::usbip {
namespace {

// A zero-terminated, zero-filled text field; the text is cut to leave room for the zero.
void StoreText(std::uint8_t* field, std::size_t size, const std::string& text) {
  std::fill(field, field + size, 0);
  std::copy_n(text.begin(), std::min(text.size(), size - 1), field);
}

std::string LoadText(const std::uint8_t* field, std::size_t size) {
  const auto* end = std::find(field, field + size, 0);
  return std::string(field, end);
}

void StoreDeviceRecord(std::uint8_t* record, const ExportedDevice& device) {
  using namespace device_record;
  StoreText(record + Path, kPathSize, device.path);
  StoreText(record + BusId, kBusIdSize, device.busId);
  StoreBe32(record + BusNum, device.busNum);
  StoreBe32(record + DevNum, device.devNum);
  StoreBe32(record + Speed, device.speed);
  StoreBe16(record + IdVendor, device.idVendor);
  StoreBe16(record + IdProduct, device.idProduct);
  StoreBe16(record + BcdDevice, device.bcdDevice);
  record[DeviceClass] = device.deviceClass;
  record[DeviceSubClass] = device.deviceSubClass;
  record[DeviceProtocol] = device.deviceProtocol;
  record[ConfigurationValue] = device.configurationValue;
  record[NumConfigurations] = device.numConfigurations;
  record[NumInterfaces] = static_cast<std::uint8_t>(device.interfaces.size());
}

}  // namespace

std::array<std::uint8_t, op::kSize> EncodeOpHeader(const OpHeader& header) {
  std::array<std::uint8_t, op::kSize> bytes{};
  StoreBe16(&bytes[op::Version], header.version);
  StoreBe16(&bytes[op::Code], header.code);
  StoreBe32(&bytes[op::Status], header.status);
  return bytes;
}

OpHeader DecodeOpHeader(std::span<const std::uint8_t> bytes) {
  return OpHeader{LoadBe16(&bytes[op::Version]), LoadBe16(&bytes[op::Code]),
                  LoadBe32(&bytes[op::Status])};
}

std::vector<std::uint8_t> EncodeImportRequest(const std::string& busId) {
  std::vector<std::uint8_t> bytes(import_request::kSize, 0);
  const auto header = EncodeOpHeader({kProtocolVersion, OP_REQ_IMPORT, kOpStatusOk});
  std::copy(header.begin(), header.end(), bytes.begin());
  StoreText(&bytes[import_request::BusId], device_record::kBusIdSize, busId);
  return bytes;
}

std::string DecodeImportBusId(std::span<const std::uint8_t> request) {
  return LoadText(&request[import_request::BusId], device_record::kBusIdSize);
}

std::vector<std::uint8_t> EncodeDeviceList(std::span<const ExportedDevice> devices) {
  std::vector<std::uint8_t> bytes(devlist_reply::kHeaderSize, 0);
  const auto header = EncodeOpHeader({kProtocolVersion, OP_REP_DEVLIST, kOpStatusOk});
  std::copy(header.begin(), header.end(), bytes.begin());
  StoreBe32(&bytes[devlist_reply::DeviceCount], static_cast<std::uint32_t>(devices.size()));
  for (const ExportedDevice& device : devices) {
    const std::size_t at = bytes.size();
    bytes.resize(at + device_record::kSize + device.interfaces.size() * interface_record::kSize, 0);
    StoreDeviceRecord(&bytes[at], device);
    std::size_t next = at + device_record::kSize;
    for (const InterfaceClass& interface : device.interfaces) {
      bytes[next + interface_record::Class] = interface.interfaceClass;
      bytes[next + interface_record::SubClass] = interface.subClass;
      bytes[next + interface_record::Protocol] = interface.protocol;
      bytes[next + interface_record::Padding] = 0;
      next += interface_record::kSize;
    }
  }
  return bytes;
}

std::vector<std::uint8_t> EncodeImportReply(const std::optional<ExportedDevice>& device) {
  std::vector<std::uint8_t> bytes(op::kSize + (device ? device_record::kSize : 0), 0);
  const auto header =
      EncodeOpHeader({kProtocolVersion, OP_REP_IMPORT, device ? kOpStatusOk : kOpStatusError});
  std::copy(header.begin(), header.end(), bytes.begin());
  if (device) StoreDeviceRecord(&bytes[op::kSize], *device);
  return bytes;
}

ExportedDevice DecodeDeviceRecord(std::span<const std::uint8_t> record) {
  using namespace device_record;
  ExportedDevice device;
  device.path = LoadText(&record[Path], kPathSize);
  device.busId = LoadText(&record[BusId], kBusIdSize);
  device.busNum = LoadBe32(&record[BusNum]);
  device.devNum = LoadBe32(&record[DevNum]);
  device.speed = LoadBe32(&record[Speed]);
  device.idVendor = LoadBe16(&record[IdVendor]);
  device.idProduct = LoadBe16(&record[IdProduct]);
  device.bcdDevice = LoadBe16(&record[BcdDevice]);
  device.deviceClass = record[DeviceClass];
  device.deviceSubClass = record[DeviceSubClass];
  device.deviceProtocol = record[DeviceProtocol];
  device.configurationValue = record[ConfigurationValue];
  device.numConfigurations = record[NumConfigurations];
  return device;
}

std::array<std::uint8_t, urb::kSize> EncodeUrbHeader(const UrbHeader& header) {
  std::array<std::uint8_t, urb::kSize> bytes{};
  StoreBe32(&bytes[urb::Command], header.command);
  StoreBe32(&bytes[urb::SeqNum], header.seqNum);
  StoreBe32(&bytes[urb::DevId], header.devId);
  StoreBe32(&bytes[urb::Direction], header.direction);
  StoreBe32(&bytes[urb::Endpoint], header.endpoint);
  switch (header.command) {
    case USBIP_CMD_SUBMIT:
      StoreBe32(&bytes[urb::TransferFlags], header.transferFlags);
      StoreBe32(&bytes[urb::TransferBufferLength], header.transferBufferLength);
      StoreBe32(&bytes[urb::NumberOfPackets], header.numberOfPackets);
      StoreBe32(&bytes[urb::Interval], header.interval);
      std::copy(header.setup.begin(), header.setup.end(), bytes.begin() + urb::Setup);
      break;
    case USBIP_CMD_UNLINK: StoreBe32(&bytes[urb::UnlinkSeqNum], header.unlinkSeqNum); break;
    case USBIP_RET_SUBMIT:
      StoreBe32(&bytes[urb::Status], static_cast<std::uint32_t>(header.status));
      StoreBe32(&bytes[urb::ActualLength], header.actualLength);
      StoreBe32(&bytes[urb::NumberOfPackets], kNotIsochronous);
      break;
    case USBIP_RET_UNLINK:
      StoreBe32(&bytes[urb::Status], static_cast<std::uint32_t>(header.status));
      break;
    default: break;
  }
  return bytes;
}

UrbHeader DecodeUrbHeader(std::span<const std::uint8_t> bytes) {
  UrbHeader header;
  header.command = LoadBe32(&bytes[urb::Command]);
  header.seqNum = LoadBe32(&bytes[urb::SeqNum]);
  header.devId = LoadBe32(&bytes[urb::DevId]);
  header.direction = LoadBe32(&bytes[urb::Direction]);
  header.endpoint = LoadBe32(&bytes[urb::Endpoint]);
  switch (header.command) {
    case USBIP_CMD_SUBMIT:
      header.transferFlags = LoadBe32(&bytes[urb::TransferFlags]);
      header.transferBufferLength = LoadBe32(&bytes[urb::TransferBufferLength]);
      header.numberOfPackets = LoadBe32(&bytes[urb::NumberOfPackets]);
      header.interval = LoadBe32(&bytes[urb::Interval]);
      std::copy_n(bytes.begin() + urb::Setup, header.setup.size(), header.setup.begin());
      break;
    case USBIP_CMD_UNLINK: header.unlinkSeqNum = LoadBe32(&bytes[urb::UnlinkSeqNum]); break;
    case USBIP_RET_SUBMIT:
      header.status = static_cast<std::int32_t>(LoadBe32(&bytes[urb::Status]));
      header.actualLength = LoadBe32(&bytes[urb::ActualLength]);
      header.numberOfPackets = LoadBe32(&bytes[urb::NumberOfPackets]);
      break;
    case USBIP_RET_UNLINK:
      header.status = static_cast<std::int32_t>(LoadBe32(&bytes[urb::Status]));
      break;
    default: break;
  }
  return header;
}

std::vector<std::uint8_t> EncodeReturnSubmit(std::uint32_t seqNum, std::int32_t status,
                                             std::uint32_t actualLength,
                                             std::span<const std::uint8_t> inData) {
  UrbHeader header;
  header.command = USBIP_RET_SUBMIT;
  header.seqNum = seqNum;
  header.status = status;
  header.actualLength = actualLength;
  const auto head = EncodeUrbHeader(header);
  std::vector<std::uint8_t> bytes(head.size() + inData.size());
  std::copy(head.begin(), head.end(), bytes.begin());
  std::copy(inData.begin(), inData.end(), bytes.begin() + static_cast<std::ptrdiff_t>(head.size()));
  return bytes;
}

std::array<std::uint8_t, urb::kSize> EncodeReturnUnlink(std::uint32_t seqNum, std::int32_t status) {
  UrbHeader header;
  header.command = USBIP_RET_UNLINK;
  header.seqNum = seqNum;
  header.status = status;
  return EncodeUrbHeader(header);
}

}  // namespace burnwell::sim::usbip
