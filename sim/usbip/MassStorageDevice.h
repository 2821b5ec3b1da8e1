// An emulated bridge as the USB device it is on the cable: a USB 2.0 high-speed mass-storage
// device with one bulk-only interface (class 8, subclass 6 SCSI, protocol 0x50), a bulk IN and
// a bulk OUT endpoint of 512 bytes, answering the standard and class control requests, and
// carrying every SCSI command of a command wrapper to the emulated bridge. It works on URBs,
// so it is independent of how they travel (USB/IP here).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sim/EmulatedBridge.h"
#include "sim/usbip/UsbipProtocol.h"

namespace burnwell::sim::usbip {

// The bulk-only transport's command block wrapper (host to device, little-endian).
namespace cbw {
inline constexpr std::uint32_t kSignature = 0x43425355;  // "USBC"
inline constexpr std::size_t Signature = 0;              // u32
inline constexpr std::size_t Tag = 4;                    // u32, echoed in the status wrapper
inline constexpr std::size_t DataTransferLength = 8;     // u32, bytes the host expects to move
inline constexpr std::size_t Flags = 12;                 // u8, bit 7 set: data to the host
inline constexpr std::size_t Lun = 13;                   // u8, low 4 bits
inline constexpr std::size_t CbLength = 14;              // u8, 1..16
inline constexpr std::size_t Cb = 15;                    // 16 bytes
inline constexpr std::size_t kSize = 31;
}  // namespace cbw
static_assert(cbw::Cb + 16 == cbw::kSize);

// The command status wrapper (device to host, little-endian).
namespace csw {
inline constexpr std::uint32_t kSignature = 0x53425355;  // "USBS"
inline constexpr std::size_t Signature = 0;              // u32
inline constexpr std::size_t Tag = 4;                    // u32
inline constexpr std::size_t DataResidue = 8;            // u32, expected minus processed bytes
inline constexpr std::size_t Status = 12;                // u8, below
inline constexpr std::size_t kSize = 13;
inline constexpr std::uint8_t kPassed = 0;
inline constexpr std::uint8_t kFailed = 1;
inline constexpr std::uint8_t kPhaseError = 2;
}  // namespace csw
static_assert(csw::Status + 1 == csw::kSize);

// The setup packet of a control transfer (little-endian words).
namespace setup {
inline constexpr std::size_t RequestType = 0;  // u8
inline constexpr std::size_t Request = 1;      // u8
inline constexpr std::size_t Value = 2;        // u16
inline constexpr std::size_t Index = 4;        // u16
inline constexpr std::size_t Length = 6;       // u16
inline constexpr std::size_t kSize = 8;
}  // namespace setup
static_assert(setup::Length + 2 == setup::kSize);

inline constexpr std::uint8_t kBulkInEndpoint = 1;   // address 0x81
inline constexpr std::uint8_t kBulkOutEndpoint = 2;  // address 0x02
inline constexpr std::uint16_t kBulkMaxPacket = 512;
// The largest data stage a command wrapper may announce; more is answered with a phase error.
inline constexpr std::uint32_t kMaxCommandData = 16u << 20;

struct Urb {
  std::uint32_t seqNum = 0;
  std::uint8_t endpoint = 0;  // number, without the direction bit
  bool in = false;
  std::uint32_t flags = 0;
  std::uint32_t length = 0;  // transfer buffer length
  std::array<std::uint8_t, setup::kSize> setup{};
  std::vector<std::uint8_t> outData;
};

struct UrbCompletion {
  std::uint32_t seqNum = 0;
  std::int32_t status = kStatusOk;
  std::uint32_t actualLength = 0;
  std::vector<std::uint8_t> inData;  // IN transfers: the actualLength bytes moved
};

class MassStorageDevice {
 public:
  explicit MassStorageDevice(std::shared_ptr<EmulatedBridge> bridge);

  // How the device shows in a device list and an import reply.
  ExportedDevice Describe(const std::string& busId, std::uint32_t busNum,
                          std::uint32_t devNum) const;

  // A host takes the device: unconfigured, endpoints clear, waiting for a command wrapper.
  void Plug();
  // Takes one URB. Returns the URBs that complete now (this one and/or IN transfers that were
  // waiting for data), in completion order; an IN transfer with nothing to carry waits.
  std::vector<UrbCompletion> Submit(Urb urb);
  // Cancels a waiting URB: true when it was waiting (it never completes), false when it has
  // completed already or never came.
  bool Unlink(std::uint32_t seqNum);
  // The bridge's fault plan has cut it off: the device is gone from the bus for good.
  bool Unplugged() const { return unplugged_.load(); }

  EmulatedBridge& Bridge() { return *bridge_; }

 private:
  enum class Phase { Command, DataOut, DataIn, Status };

  UrbCompletion Control(const Urb& urb);
  UrbCompletion BulkOut(const Urb& urb);
  UrbCompletion AcceptCommand(const Urb& urb);
  void Execute();
  void PhaseError();
  void Invalidate();
  std::vector<UrbCompletion> ServeWaitingIn();
  UrbCompletion DeliverData(const Urb& urb);
  UrbCompletion DeliverStatus(const Urb& urb);
  void ResetTransport();

  std::shared_ptr<EmulatedBridge> bridge_;
  std::atomic<bool> unplugged_{false};

  std::uint8_t configuration_ = 0;
  bool inHalted_ = false;
  bool outHalted_ = false;
  bool resetNeeded_ = false;  // an invalid command wrapper: both endpoints stall until a reset

  Phase phase_ = Phase::Command;
  std::uint32_t tag_ = 0;
  std::uint32_t hostLength_ = 0;
  bool hostIn_ = false;
  std::array<std::uint8_t, 16> cb_{};
  std::uint8_t cbLength_ = 0;
  std::vector<std::uint8_t> data_;  // collected OUT data, or IN data to deliver
  std::size_t dataSent_ = 0;
  std::uint32_t residue_ = 0;
  std::uint8_t status_ = csw::kPassed;
  std::deque<Urb> waitingIn_;
};

}  // namespace burnwell::sim::usbip
