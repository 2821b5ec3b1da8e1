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

// The numeric fields of a device record (the texts and the interface count aside).
template <typename Device, typename At>
void EachDeviceField(Device& device, const At& at) {
  using namespace device_record;
  at(BusNum, device.busNum);
  at(DevNum, device.devNum);
  at(Speed, device.speed);
  at(IdVendor, device.idVendor);
  at(IdProduct, device.idProduct);
  at(BcdDevice, device.bcdDevice);
  at(DeviceClass, device.deviceClass);
  at(DeviceSubClass, device.deviceSubClass);
  at(DeviceProtocol, device.deviceProtocol);
  at(ConfigurationValue, device.configurationValue);
  at(NumConfigurations, device.numConfigurations);
}

void StoreDeviceRecord(std::uint8_t* record, const ExportedDevice& device) {
  using namespace device_record;
  StoreText(record + Path, kPathSize, device.path);
  StoreText(record + BusId, kBusIdSize, device.busId);
  EachDeviceField(device, FieldWriter<ByteOrder::Big>{record});
  record[NumInterfaces] = static_cast<std::uint8_t>(device.interfaces.size());
}

// The fields of a URB header: the basic part, then the command's own (read after the command).
template <typename Header, typename At>
void EachUrbField(Header& header, const At& at) {
  at(urb::Command, header.command);
  at(urb::SeqNum, header.seqNum);
  at(urb::DevId, header.devId);
  at(urb::Direction, header.direction);
  at(urb::Endpoint, header.endpoint);
  switch (header.command) {
    case USBIP_CMD_SUBMIT:
      at(urb::TransferFlags, header.transferFlags);
      at(urb::TransferBufferLength, header.transferBufferLength);
      at(urb::NumberOfPackets, header.numberOfPackets);
      at(urb::Interval, header.interval);
      at(urb::Setup, header.setup);
      break;
    case USBIP_CMD_UNLINK: at(urb::UnlinkSeqNum, header.unlinkSeqNum); break;
    case USBIP_RET_SUBMIT:
      at(urb::Status, header.status);
      at(urb::ActualLength, header.actualLength);
      at(urb::NumberOfPackets, header.numberOfPackets);
      break;
    case USBIP_RET_UNLINK: at(urb::Status, header.status); break;
    default: break;
  }
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
  ExportedDevice device;
  device.path = LoadText(&record[device_record::Path], device_record::kPathSize);
  device.busId = LoadText(&record[device_record::BusId], device_record::kBusIdSize);
  EachDeviceField(device, FieldReader<ByteOrder::Big>{record.data()});
  return device;
}

std::array<std::uint8_t, urb::kSize> EncodeUrbHeader(const UrbHeader& header) {
  std::array<std::uint8_t, urb::kSize> bytes{};
  EachUrbField(header, FieldWriter<ByteOrder::Big>{bytes.data()});
  return bytes;
}

UrbHeader DecodeUrbHeader(std::span<const std::uint8_t> bytes) {
  UrbHeader header;
  EachUrbField(header, FieldReader<ByteOrder::Big>{bytes.data()});
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
