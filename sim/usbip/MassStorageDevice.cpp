#include "sim/usbip/MassStorageDevice.h"

#include <algorithm>

#include "common/Bytes.h"
#include "wire/ScsiRequest.h"

namespace burnwell::sim::usbip {
namespace {

// Descriptor types and the requests the device answers.
constexpr std::uint8_t kDeviceDescriptor = 1;
constexpr std::uint8_t kConfigurationDescriptor = 2;
constexpr std::uint8_t kStringDescriptor = 3;
constexpr std::uint8_t kInterfaceDescriptor = 4;
constexpr std::uint8_t kEndpointDescriptor = 5;
constexpr std::uint8_t kDeviceQualifierDescriptor = 6;

constexpr std::uint8_t GET_STATUS = 0x00;
constexpr std::uint8_t CLEAR_FEATURE = 0x01;
constexpr std::uint8_t SET_FEATURE = 0x03;
constexpr std::uint8_t SET_ADDRESS = 0x05;
constexpr std::uint8_t GET_DESCRIPTOR = 0x06;
constexpr std::uint8_t GET_CONFIGURATION = 0x08;
constexpr std::uint8_t SET_CONFIGURATION = 0x09;
constexpr std::uint8_t GET_INTERFACE = 0x0A;
constexpr std::uint8_t SET_INTERFACE = 0x0B;
constexpr std::uint8_t kBulkOnlyReset = 0xFF;  // class request, host to interface
constexpr std::uint8_t kGetMaxLun = 0xFE;      // class request, interface to host
constexpr std::uint16_t kEndpointHalt = 0;     // feature selector

// bmRequestType: bit 7 direction, bits 6..5 type, bits 4..0 recipient.
constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kTypeStandard = 0x00;
constexpr std::uint8_t kTypeClass = 0x20;
constexpr std::uint8_t kRecipientMask = 0x1F;
constexpr std::uint8_t kRecipientDevice = 0;
constexpr std::uint8_t kRecipientInterface = 1;
constexpr std::uint8_t kRecipientEndpoint = 2;

constexpr std::uint8_t kMassStorageClass = 0x08;
constexpr std::uint8_t kScsiTransparentSubClass = 0x06;
constexpr std::uint8_t kBulkOnlyProtocol = 0x50;
constexpr std::uint8_t kControlMaxPacket = 64;
constexpr std::uint16_t kLanguageEnglishUs = 0x0409;
enum StringIndex : std::uint8_t { kLanguages = 0, kManufacturer = 1, kProduct = 2, kSerial = 3 };

namespace device_descriptor {
constexpr std::size_t Length = 0, Type = 1, BcdUsb = 2, Class = 4, SubClass = 5, Protocol = 6,
                      MaxPacket0 = 7, IdVendor = 8, IdProduct = 10, BcdDevice = 12,
                      Manufacturer = 14, Product = 15, Serial = 16, NumConfigurations = 17,
                      kSize = 18;
}  // namespace device_descriptor
namespace qualifier_descriptor {
constexpr std::size_t Length = 0, Type = 1, BcdUsb = 2, Class = 4, SubClass = 5, Protocol = 6,
                      MaxPacket0 = 7, NumConfigurations = 8, Reserved = 9, kSize = 10;
}  // namespace qualifier_descriptor
namespace configuration_descriptor {
constexpr std::size_t Length = 0, Type = 1, TotalLength = 2, NumInterfaces = 4,
                      ConfigurationValue = 5, ConfigurationString = 6, Attributes = 7, MaxPower = 8,
                      kSize = 9;
}  // namespace configuration_descriptor
namespace interface_descriptor {
constexpr std::size_t Length = 0, Type = 1, Number = 2, AlternateSetting = 3, NumEndpoints = 4,
                      Class = 5, SubClass = 6, Protocol = 7, InterfaceString = 8, kSize = 9;
}  // namespace interface_descriptor
namespace endpoint_descriptor {
constexpr std::size_t Length = 0, Type = 1, Address = 2, Attributes = 3, MaxPacket = 4,
                      Interval = 6, kSize = 7;
}  // namespace endpoint_descriptor
static_assert(device_descriptor::NumConfigurations + 1 == device_descriptor::kSize);
static_assert(qualifier_descriptor::Reserved + 1 == qualifier_descriptor::kSize);
static_assert(configuration_descriptor::MaxPower + 1 == configuration_descriptor::kSize);
static_assert(interface_descriptor::InterfaceString + 1 == interface_descriptor::kSize);
static_assert(endpoint_descriptor::Interval + 1 == endpoint_descriptor::kSize);
// The one-byte fields the descriptors share, each right after the one before.
static_assert(device_descriptor::Class + 1 == device_descriptor::SubClass &&
              device_descriptor::SubClass + 1 == device_descriptor::Protocol &&
              device_descriptor::Protocol + 1 == device_descriptor::MaxPacket0);
static_assert(qualifier_descriptor::Class + 1 == qualifier_descriptor::SubClass &&
              qualifier_descriptor::SubClass + 1 == qualifier_descriptor::Protocol &&
              qualifier_descriptor::Protocol + 1 == qualifier_descriptor::MaxPacket0);
static_assert(configuration_descriptor::ConfigurationString + 1 ==
              configuration_descriptor::Attributes);
static_assert(interface_descriptor::Number + 1 == interface_descriptor::AlternateSetting &&
              interface_descriptor::AlternateSetting + 1 == interface_descriptor::NumEndpoints);
constexpr std::size_t kConfigurationTotal =
    configuration_descriptor::kSize + interface_descriptor::kSize + 2 * endpoint_descriptor::kSize;
static_assert(kConfigurationTotal == 32);

constexpr std::uint16_t kUsb20 = 0x0200;
constexpr std::uint8_t kBusPowered = 0x80;
constexpr std::uint8_t kMaxPower500mA = 250;  // in 2 mA units
constexpr std::uint8_t kBulk = 0x02;
constexpr std::uint8_t kDirectionIn = 0x80;

std::vector<std::uint8_t> DeviceDescriptor(const BridgeConfig& config) {
  using namespace device_descriptor;
  std::vector<std::uint8_t> d(kSize, 0);
  d[Length] = kSize;
  d[Type] = kDeviceDescriptor;
  StoreLe16(&d[BcdUsb], kUsb20);
  d[Class] = d[SubClass] = d[Protocol] = 0;  // defined by the interface
  d[MaxPacket0] = kControlMaxPacket;
  StoreLe16(&d[IdVendor], config.vendorId);
  StoreLe16(&d[IdProduct], config.productId);
  StoreLe16(&d[BcdDevice], static_cast<std::uint16_t>(config.firmwareVersion >> 16));
  d[Manufacturer] = kManufacturer;
  d[Product] = kProduct;
  d[Serial] = kSerial;
  d[NumConfigurations] = 1;
  return d;
}

// Every high-speed device answers for how it would look at full speed: the same here.
std::vector<std::uint8_t> DeviceQualifier() {
  using namespace qualifier_descriptor;
  std::vector<std::uint8_t> d(kSize, 0);
  d[Length] = kSize;
  d[Type] = kDeviceQualifierDescriptor;
  StoreLe16(&d[BcdUsb], kUsb20);
  d[MaxPacket0] = kControlMaxPacket;
  d[NumConfigurations] = 1;
  return d;
}

std::vector<std::uint8_t> ConfigurationDescriptor() {
  std::vector<std::uint8_t> d(kConfigurationTotal, 0);
  {
    using namespace configuration_descriptor;
    d[Length] = kSize;
    d[Type] = kConfigurationDescriptor;
    StoreLe16(&d[TotalLength], static_cast<std::uint16_t>(kConfigurationTotal));
    d[NumInterfaces] = 1;
    d[ConfigurationValue] = 1;
    d[Attributes] = kBusPowered;
    d[MaxPower] = kMaxPower500mA;
  }
  {
    using namespace interface_descriptor;
    std::uint8_t* i = &d[configuration_descriptor::kSize];
    i[Length] = kSize;
    i[Type] = kInterfaceDescriptor;
    i[NumEndpoints] = 2;
    i[Class] = kMassStorageClass;
    i[SubClass] = kScsiTransparentSubClass;
    i[Protocol] = kBulkOnlyProtocol;
  }
  const std::size_t firstEndpoint = configuration_descriptor::kSize + interface_descriptor::kSize;
  const std::uint8_t addresses[] = {static_cast<std::uint8_t>(kDirectionIn | kBulkInEndpoint),
                                    kBulkOutEndpoint};
  for (std::size_t n = 0; n < 2; ++n) {
    using namespace endpoint_descriptor;
    std::uint8_t* e = &d[firstEndpoint + n * kSize];
    e[Length] = kSize;
    e[Type] = kEndpointDescriptor;
    e[Address] = addresses[n];
    e[Attributes] = kBulk;
    StoreLe16(&e[MaxPacket], kBulkMaxPacket);
  }
  return d;
}

std::vector<std::uint8_t> StringDescriptor(std::string_view text) {
  text = text.substr(0, 126);
  std::vector<std::uint8_t> d(2 + 2 * text.size(), 0);
  d[0] = static_cast<std::uint8_t>(d.size());
  d[1] = kStringDescriptor;
  for (std::size_t i = 0; i < text.size(); ++i)
    StoreLe16(&d[2 + 2 * i], static_cast<unsigned char>(text[i]));
  return d;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

UrbCompletion Done(const Urb& urb, std::uint32_t actualLength = 0) {
  return UrbCompletion{urb.seqNum, kStatusOk, actualLength, {}};
}

UrbCompletion Stall(const Urb& urb) { return UrbCompletion{urb.seqNum, kStatusStall, 0, {}}; }

UrbCompletion Answer(const Urb& urb, std::vector<std::uint8_t> data, std::uint16_t requested) {
  data.resize(std::min<std::size_t>({data.size(), requested, urb.length}));
  const auto length = static_cast<std::uint32_t>(data.size());
  return UrbCompletion{urb.seqNum, kStatusOk, length, std::move(data)};
}

// GET_DESCRIPTOR: the device, configuration, qualifier and string descriptors.
UrbCompletion GetDescriptor(const Urb& urb, const BridgeConfig& config) {
  const std::uint16_t value = LoadLe16(&urb.setup[setup::Value]);
  const std::uint16_t length = LoadLe16(&urb.setup[setup::Length]);
  const std::uint8_t recipient = urb.setup[setup::RequestType] & kRecipientMask;
  if (!urb.in || recipient != kRecipientDevice) return Stall(urb);
  const std::uint8_t kind = static_cast<std::uint8_t>(value >> 8);
  const std::uint8_t number = static_cast<std::uint8_t>(value & 0xFF);
  if (kind == kDeviceDescriptor && number == 0)
    return Answer(urb, DeviceDescriptor(config), length);
  if (kind == kConfigurationDescriptor && number == 0)
    return Answer(urb, ConfigurationDescriptor(), length);
  if (kind == kDeviceQualifierDescriptor && number == 0)
    return Answer(urb, DeviceQualifier(), length);
  if (kind == kStringDescriptor) {
    switch (number) {
      case kLanguages: {
        std::vector<std::uint8_t> d = {4, kStringDescriptor, 0, 0};
        StoreLe16(&d[2], kLanguageEnglishUs);
        return Answer(urb, d, length);
      }
      case kManufacturer:
        return Answer(urb, StringDescriptor(Trimmed(config.inquiryVendor)), length);
      case kProduct: return Answer(urb, StringDescriptor(Trimmed(config.inquiryProduct)), length);
      case kSerial: return Answer(urb, StringDescriptor(config.serial), length);
      default: return Stall(urb);
    }
  }
  return Stall(urb);
}

}  // namespace

MassStorageDevice::MassStorageDevice(std::shared_ptr<EmulatedBridge> bridge)
    : bridge_(std::move(bridge)) {}

ExportedDevice MassStorageDevice::Describe(const std::string& busId, std::uint32_t busNum,
                                           std::uint32_t devNum) const {
  const BridgeConfig& config = bridge_->Config();
  ExportedDevice device;
  device.path = "/sys/devices/platform/burnwell-sim/usb" + std::to_string(busNum) + "/" + busId;
  device.busId = busId;
  device.busNum = busNum;
  device.devNum = devNum;
  device.speed = kSpeedHigh;
  device.idVendor = config.vendorId;
  device.idProduct = config.productId;
  device.bcdDevice = static_cast<std::uint16_t>(config.firmwareVersion >> 16);
  device.configurationValue = 1;
  device.numConfigurations = 1;
  device.interfaces = {
      InterfaceClass{kMassStorageClass, kScsiTransparentSubClass, kBulkOnlyProtocol}};
  return device;
}

void MassStorageDevice::Plug() {
  configuration_ = 0;
  inHalted_ = outHalted_ = resetNeeded_ = false;
  waitingIn_.clear();
  ResetTransport();
}

void MassStorageDevice::ResetTransport() {
  phase_ = Phase::Command;
  data_.clear();
  dataSent_ = 0;
  residue_ = 0;
  status_ = csw::kPassed;
}

std::vector<UrbCompletion> MassStorageDevice::Submit(Urb urb) {
  std::vector<UrbCompletion> done;
  if (unplugged_.load()) return done;
  if (urb.endpoint == 0) {
    done.push_back(Control(urb));
  } else if (configuration_ == 0) {
    done.push_back(Stall(urb));  // no bulk endpoint exists before the configuration is set
  } else if (urb.endpoint == kBulkOutEndpoint && !urb.in) {
    done.push_back(BulkOut(urb));
  } else if (urb.endpoint == kBulkInEndpoint && urb.in) {
    waitingIn_.push_back(std::move(urb));
  } else {
    done.push_back(Stall(urb));
  }
  if (unplugged_.load()) return {};
  auto served = ServeWaitingIn();
  done.insert(done.end(), served.begin(), served.end());
  return done;
}

bool MassStorageDevice::Unlink(std::uint32_t seqNum) {
  const auto found = std::find_if(waitingIn_.begin(), waitingIn_.end(),
                                  [&](const Urb& urb) { return urb.seqNum == seqNum; });
  if (found == waitingIn_.end()) return false;
  waitingIn_.erase(found);
  return true;
}

UrbCompletion MassStorageDevice::Control(const Urb& urb) {
  const std::uint8_t type = urb.setup[setup::RequestType];
  const std::uint8_t request = urb.setup[setup::Request];
  const std::uint16_t value = LoadLe16(&urb.setup[setup::Value]);
  const std::uint16_t index = LoadLe16(&urb.setup[setup::Index]);
  const std::uint16_t length = LoadLe16(&urb.setup[setup::Length]);
  const std::uint8_t recipient = type & kRecipientMask;
  const BridgeConfig& config = bridge_->Config();

  // The halt state of an endpoint named by its address in wIndex.
  auto haltOf = [&](std::uint16_t address) -> bool* {
    if (address == (kDirectionIn | kBulkInEndpoint)) return &inHalted_;
    if (address == kBulkOutEndpoint) return &outHalted_;
    return nullptr;
  };

  if ((type & kTypeMask) == kTypeClass && recipient == kRecipientInterface && index == 0) {
    if (request == kGetMaxLun && urb.in && value == 0 && length >= 1)
      return Answer(urb, {0}, length);
    if (request == kBulkOnlyReset && !urb.in && value == 0 && length == 0) {
      // Ends whatever command was under way; the halts stay for the host to clear.
      resetNeeded_ = false;
      waitingIn_.clear();
      ResetTransport();
      return Done(urb);
    }
    return Stall(urb);
  }
  if ((type & kTypeMask) != kTypeStandard) return Stall(urb);

  switch (request) {
    case GET_DESCRIPTOR: return GetDescriptor(urb, config);
    case SET_ADDRESS: return urb.in ? Stall(urb) : Done(urb);
    case GET_CONFIGURATION: return urb.in ? Answer(urb, {configuration_}, length) : Stall(urb);
    case SET_CONFIGURATION:
      if (urb.in || value > 1) return Stall(urb);
      Plug();  // a new configuration starts the device afresh
      configuration_ = static_cast<std::uint8_t>(value);
      return Done(urb);
    case GET_INTERFACE:
      if (!urb.in || configuration_ == 0 || index != 0) return Stall(urb);
      return Answer(urb, {0}, length);
    case SET_INTERFACE:
      if (urb.in || configuration_ == 0 || index != 0 || value != 0) return Stall(urb);
      inHalted_ = outHalted_ = false;
      return Done(urb);
    case GET_STATUS: {
      if (!urb.in) return Stall(urb);
      if (recipient == kRecipientEndpoint) {
        if (index == 0) return Answer(urb, {0, 0}, length);
        const bool* halt = haltOf(index);
        if (!halt || configuration_ == 0) return Stall(urb);
        return Answer(urb, {static_cast<std::uint8_t>(*halt ? 1 : 0), 0}, length);
      }
      return Answer(urb, {0, 0}, length);  // bus-powered, no remote wake-up
    }
    case CLEAR_FEATURE:
    case SET_FEATURE: {
      if (urb.in || recipient != kRecipientEndpoint || value != kEndpointHalt) {
        return recipient == kRecipientDevice && !urb.in ? Done(urb) : Stall(urb);
      }
      if (index == 0) return Done(urb);
      bool* halt = haltOf(index);
      if (!halt || configuration_ == 0) return Stall(urb);
      // After an invalid command wrapper only the bulk-only reset ends the stall.
      *halt = request == SET_FEATURE || resetNeeded_;
      return Done(urb);
    }
    default: return Stall(urb);
  }
}

UrbCompletion MassStorageDevice::BulkOut(const Urb& urb) {
  if (outHalted_) return Stall(urb);
  switch (phase_) {
    case Phase::Command: return AcceptCommand(urb);
    case Phase::DataOut: {
      const std::size_t wanted = hostLength_ - data_.size();
      const std::size_t taken = std::min(wanted, urb.outData.size());
      data_.insert(data_.end(), urb.outData.begin(),
                   urb.outData.begin() + static_cast<std::ptrdiff_t>(taken));
      if (data_.size() == hostLength_) Execute();
      return Done(urb, static_cast<std::uint32_t>(urb.outData.size()));
    }
    case Phase::DataIn:
    case Phase::Status:
      // The host sends while the device has data or status for it: it is out of step.
      Invalidate();
      return Stall(urb);
  }
  return Stall(urb);
}

UrbCompletion MassStorageDevice::AcceptCommand(const Urb& urb) {
  const auto& wrapper = urb.outData;
  const auto received = static_cast<std::uint32_t>(wrapper.size());
  if (wrapper.size() != cbw::kSize || LoadLe32(&wrapper[cbw::Signature]) != cbw::kSignature) {
    Invalidate();
    return Done(urb, received);
  }
  tag_ = LoadLe32(&wrapper[cbw::Tag]);
  hostLength_ = LoadLe32(&wrapper[cbw::DataTransferLength]);
  hostIn_ = (wrapper[cbw::Flags] & 0x80) != 0;
  cbLength_ = wrapper[cbw::CbLength];
  std::copy_n(wrapper.begin() + cbw::Cb, cb_.size(), cb_.begin());
  data_.clear();
  dataSent_ = 0;

  const bool meaningful = (wrapper[cbw::Lun] & 0x0F) == 0 && cbLength_ >= 1 && cbLength_ <= 16;
  if (!meaningful || hostLength_ > kMaxCommandData) {
    PhaseError();
  } else if (hostLength_ > 0 && !hostIn_) {
    phase_ = Phase::DataOut;
  } else {
    Execute();
  }
  return Done(urb, received);
}

void MassStorageDevice::Execute() {
  wire::ScsiRequest request = wire::ScsiRequest::For(
      {.cdb = cb_,
       .cdbLength = cbLength_,
       .direction = hostIn_ ? wire::DataDirection::In : wire::DataDirection::Out,
       .transferLength = hostLength_},
      hostLength_);
  if (!hostIn_) std::copy(data_.begin(), data_.end(), request.Data().begin());

  const CommandOutcome outcome = bridge_->Execute(request.Bytes());
  if (outcome == CommandOutcome::Disconnected) {
    unplugged_.store(true);
    return;
  }
  if (outcome == CommandOutcome::TransportFailure) {
    PhaseError();  // the command was lost inside the bridge: its state is unknown
    return;
  }
  const auto answer = request.Header();
  const bool good = answer.ScsiStatus == kScsiGood;
  status_ = good ? csw::kPassed : csw::kFailed;
  if (hostIn_) {
    const std::uint32_t moved = good ? std::min(answer.DataTransferLength, hostLength_) : 0;
    data_.assign(request.Data().begin(), request.Data().begin() + moved);
    dataSent_ = 0;
    residue_ = hostLength_ - moved;
    phase_ = hostLength_ > 0 ? Phase::DataIn : Phase::Status;
  } else {
    residue_ = good ? 0 : hostLength_;
    phase_ = Phase::Status;
  }
}

// The device cannot carry out the command wrapper as the host framed it: it stalls the data
// stage the host expects and reports a phase error, after which the host resets the transport.
void MassStorageDevice::PhaseError() {
  status_ = csw::kPhaseError;
  residue_ = hostLength_;
  data_.clear();
  dataSent_ = 0;
  if (hostLength_ > 0 && hostIn_) inHalted_ = true;
  if (hostLength_ > 0 && !hostIn_) outHalted_ = true;
  phase_ = Phase::Status;
}

// Not a valid command wrapper (or one out of step): both endpoints stall until the host's
// reset recovery (bulk-only reset, then clearing both halts).
void MassStorageDevice::Invalidate() {
  inHalted_ = outHalted_ = resetNeeded_ = true;
  ResetTransport();
}

std::vector<UrbCompletion> MassStorageDevice::ServeWaitingIn() {
  std::vector<UrbCompletion> done;
  while (!waitingIn_.empty()) {
    const Urb& urb = waitingIn_.front();
    if (inHalted_) {
      done.push_back(Stall(urb));
    } else if (phase_ == Phase::DataIn) {
      done.push_back(DeliverData(urb));
    } else if (phase_ == Phase::Status) {
      done.push_back(DeliverStatus(urb));
    } else {
      break;  // nothing to send: the device NAKs until a command gives it something
    }
    waitingIn_.pop_front();
  }
  return done;
}

UrbCompletion MassStorageDevice::DeliverData(const Urb& urb) {
  const std::size_t left = data_.size() - dataSent_;
  const std::size_t n = std::min<std::size_t>(urb.length, left);
  std::vector<std::uint8_t> chunk(data_.begin() + static_cast<std::ptrdiff_t>(dataSent_),
                                  data_.begin() + static_cast<std::ptrdiff_t>(dataSent_ + n));
  dataSent_ += n;
  const auto actual = static_cast<std::uint32_t>(n);
  UrbCompletion done{urb.seqNum, kStatusOk, actual, std::move(chunk)};
  if (dataSent_ < data_.size()) return done;  // this transfer is full, more data follows
  if (dataSent_ == hostLength_) {
    phase_ = Phase::Status;
    return done;
  }
  // The device has sent all it has and the host expects more.
  if (n == urb.length) return done;  // the next transfer finds nothing and stalls
  phase_ = Phase::Status;
  if (n % kBulkMaxPacket != 0) {
    if (urb.flags & kUrbShortNotOk) done.status = kStatusShortNotOk;
    return done;  // a short packet ends the data stage
  }
  inHalted_ = true;  // a full last packet cannot end it: the device stalls
  done.status = kStatusStall;
  return done;
}

UrbCompletion MassStorageDevice::DeliverStatus(const Urb& urb) {
  std::vector<std::uint8_t> wrapper(csw::kSize, 0);
  StoreLe32(&wrapper[csw::Signature], csw::kSignature);
  StoreLe32(&wrapper[csw::Tag], tag_);
  StoreLe32(&wrapper[csw::DataResidue], residue_);
  wrapper[csw::Status] = status_;
  wrapper.resize(std::min<std::size_t>(wrapper.size(), urb.length));
  ResetTransport();
  const auto actual = static_cast<std::uint32_t>(wrapper.size());
  return UrbCompletion{urb.seqNum, kStatusOk, actual, std::move(wrapper)};
}

}  // namespace burnwell::sim::usbip
