// The USB host-controller and hub I/O controls of the hub port scan and the byte layouts of
// their buffers (packed Windows structures, read and written by offset).
#pragma once

#include <cstddef>
#include <cstdint>

namespace burnwell::bridge::usb {

inline constexpr std::uint32_t IOCTL_GET_HCD_DRIVERKEY_NAME = 0x220424;
inline constexpr std::uint32_t IOCTL_USB_GET_ROOT_HUB_NAME = 0x220408;
inline constexpr std::uint32_t IOCTL_USB_GET_NODE_INFORMATION = 0x220408;
inline constexpr std::uint32_t IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX = 0x220448;
inline constexpr std::uint32_t IOCTL_USB_GET_NODE_CONNECTION_INFORMATION = 0x22040C;
inline constexpr std::uint32_t IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME = 0x220420;
inline constexpr std::uint32_t IOCTL_USB_GET_NODE_CONNECTION_NAME = 0x220414;

// Name answers: USB_HCD_DRIVERKEY_NAME / USB_ROOT_HUB_NAME {ActualLength, name} and
// USB_NODE_CONNECTION_(DRIVERKEY_)NAME {ConnectionIndex, ActualLength, name}; UTF-16 names.
inline constexpr std::uint32_t kControllerNameHeader = 4;
inline constexpr std::uint32_t kPortNameHeader = 8;
inline constexpr std::uint32_t kMaxNameBytes = 4096;

// USB_NODE_INFORMATION: NodeType (4 bytes), then the hub descriptor's bDescriptorLength,
// bDescriptorType, bNumberOfPorts.
inline constexpr std::uint32_t kNodeInformationSize = 76;
inline constexpr std::size_t kNodeNumberOfPortsOffset = 6;

// USB_NODE_CONNECTION_INFORMATION(_EX), packed; the older form has a low-speed flag where the
// extended form has the speed code.
namespace conn {
inline constexpr std::size_t ConnectionIndex = 0;   // u32
inline constexpr std::size_t DeviceDescriptor = 4;  // 18 bytes
inline constexpr std::size_t CurrentConfigurationValue = 22;
inline constexpr std::size_t SpeedOrLowSpeed = 23;
inline constexpr std::size_t DeviceIsHub = 24;
inline constexpr std::size_t DeviceAddress = 25;      // u16
inline constexpr std::size_t NumberOfOpenPipes = 27;  // u32
inline constexpr std::size_t ConnectionStatus = 31;   // u32
inline constexpr std::size_t PipeList = 35;           // 11 bytes per pipe
}  // namespace conn
static_assert(conn::DeviceDescriptor + 18 == conn::CurrentConfigurationValue);
inline constexpr std::uint32_t kPipeInfoSize = 11;
inline constexpr std::uint32_t kConnectionInfoSize = conn::PipeList + 30 * kPipeInfoSize;
static_assert(kConnectionInfoSize == 365);

inline constexpr std::uint32_t kNoDeviceConnected = 0;
inline constexpr std::uint32_t kDeviceConnected = 1;
inline constexpr std::uint32_t kDeviceFailedEnumeration = 2;

inline constexpr std::uint8_t kSpeedLow = 0;
inline constexpr std::uint8_t kSpeedFull = 1;
inline constexpr std::uint8_t kSpeedHigh = 2;

}  // namespace burnwell::bridge::usb
