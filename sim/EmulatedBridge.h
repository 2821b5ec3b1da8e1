// One emulated ZQ5x8x bridge: its identity, the memory behind it (a serial flash on its SPI
// bus or an I2C EEPROM), the drive behind it, and its answers to the SCSI commands the tool
// sends. Requests arrive in the ScsiRequest wire layout and are answered in place.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/MakerIds.h"
#include "sim/Eeprom.h"
#include "sim/Faults.h"
#include "sim/FlashChip.h"
#include "sim/SimClock.h"
#include "wire/BridgeInfoBlock.h"

namespace burnwell::sim {

struct BridgeConfig {
  std::uint16_t vendorId = VID_MAKER;
  std::uint16_t productId = PID_C;
  std::uint32_t firmwareVersion = 0x01020304;
  // Bytes 8-9 of the bridge information; bytes 12-13 repeat them unless pairMismatch is set.
  std::array<std::uint8_t, 2> pairBytes{0x5A, 0xA5};
  bool pairMismatch = false;
  std::string serial = "ZQ5X8X00000001";

  // The memory: a flash model name (or kAbsentChipName for an empty socket), or an EEPROM.
  std::string chip = "MX25L1005";
  // A flash model described in place (a catalog part with other answers or times, for tests);
  // when set it is used instead of the named model.
  std::optional<ChipDescription> chipModel;
  std::optional<EepromKind> eeprom;

  // Initial memory contents; without them the bridge holds its factory image.
  std::optional<std::vector<std::uint8_t>> memoryContents;

  // INQUIRY strings (padded or cut to 8, 16 and 4 characters).
  std::string inquiryVendor = "TESSALIN";
  std::string inquiryProduct = "USB-SATA Bridge";
  std::string inquiryRevision;  // empty: from the firmware version

  std::uint32_t latencyUs = 300;  // cost of one command: a USB 2.0 bulk-only round trip
  // How long the bridge holds chip select. 0: from the select command to the deselect command,
  // across any number of SPI transfers. N: the bridge ends the selection itself after the N-th
  // SPI write or read inside it, as a bridge would that cannot hold chip select between
  // commands; transfers after that reach no chip (reads see 0xFF) until the next select.
  // With 1 no command that needs its bytes and its data or answer in one selection works;
  // with 2 a command with one data transfer or one answer (the 32-byte pieces) still does,
  // and longer transactions are cut.
  std::uint32_t selectionEndsAfterTransfers = 0;
  FaultPlan faults;

  // Shorthands (designated initialisers of this struct trip -Wmissing-field-initializers).
  static BridgeConfig WithChip(std::string model) {
    BridgeConfig config;
    config.chip = std::move(model);
    return config;
  }
  static BridgeConfig WithEeprom(EepromKind kind) {
    BridgeConfig config;
    config.eeprom = kind;
    return config;
  }
};

// Disconnected: the bridge is gone (the fault plan's disconnect); every later command is too.
enum class CommandOutcome : std::uint8_t { Completed, TransportFailure, Disconnected };

// The SCSI statuses and sense keys the bridge answers with.
enum ScsiStatus : std::uint8_t { kScsiGood = 0x00, kScsiCheckCondition = 0x02 };
enum SenseKey : std::uint8_t {
  kSenseHardwareError = 0x04,
  kSenseIllegalRequest = 0x05,
  kSenseAbortedCommand = 0x0B,
};

// Blocks of the drive behind the bridge (8 GiB): the reserved identification reads lie inside.
inline constexpr std::uint32_t kDriveBlocks = 0x01000000;

class EmulatedBridge {
 public:
  // Throws std::invalid_argument for an unknown chip model or contents larger than the memory.
  EmulatedBridge(BridgeConfig config, SimClock& clock);
  ~EmulatedBridge();
  EmulatedBridge(const EmulatedBridge&) = delete;
  EmulatedBridge& operator=(const EmulatedBridge&) = delete;

  // Carries out one request (header, sense area and data area in the wire layout) in place.
  // TransportFailure: the command never reached the bridge or its answer was lost; the
  // request is left as it was.
  CommandOutcome Execute(std::span<std::uint8_t> request);

  const BridgeConfig& Config() const { return config_; }
  wire::BridgeInfoBytes InfoBlock() const;
  // IDENTIFY DEVICE data of the drive, with the bridge's vendor and product IDs (high byte
  // first) at bytes 40..43, where identification through IDE or SCSI disk drivers finds them.
  std::array<std::uint8_t, 512> IdentifyData() const;
  // One 512-byte block of the drive behind the bridge (sector 0 carries an MBR signature).
  std::array<std::uint8_t, 512> DriveBlock(std::uint64_t lba) const;
  std::uint32_t DiskSignature() const;

  FlashChip* Chip() { return chip_.get(); }
  Eeprom* EepromPart() { return eeprom_.get(); }
  // The whole flash or EEPROM array (empty for an empty socket).
  std::span<std::uint8_t> Memory();
  std::span<const std::uint8_t> Memory() const;

  // Traces go to the given streams (nullptr: none). The streams must outlive the bridge.
  void SetScsiTrace(std::ostream* stream);
  void SetSpiTrace(std::ostream* stream);

  // Adds a failure to the fault plan of the running bridge: the command with that number
  // (1-based, counted since the bridge started) fails as `kind` says.
  void FailCommand(std::uint64_t commandNumber, FailureKind kind);

  std::uint64_t CommandCount() const;
  bool ChipSelected() const;

 private:
  struct Reply;
  Reply Dispatch(const std::uint8_t* cdb, std::uint8_t cdbLength, bool dataIn,
                 std::span<std::uint8_t> data);
  Reply Vendor(const std::uint8_t* cdb, bool dataIn, std::span<std::uint8_t> data);
  Reply Inquiry(const std::uint8_t* cdb, bool dataIn, std::span<std::uint8_t> data);
  Reply Read10(const std::uint8_t* cdb, bool dataIn, std::span<std::uint8_t> data);
  Reply ModeSense(const std::uint8_t* cdb, bool dataIn, std::span<std::uint8_t> data);
  // The failure the fault plan injects into this command, if any.
  std::optional<FailureKind> InjectedFailure(std::uint8_t operation) const;
  // Keeps the reply's sense for REQUEST SENSE and writes `asked` bytes of it into `sense`.
  void AnswerSense(const Reply& reply, std::size_t asked, std::span<std::uint8_t> sense);
  void SpiSelect();
  void SpiDeselect();

  mutable std::mutex mutex_;
  BridgeConfig config_;
  SimClock& clock_;
  std::unique_ptr<FlashChip> chip_;
  std::unique_ptr<Eeprom> eeprom_;
  bool hasSpiSocket_ = false;

  std::uint64_t commands_ = 0;
  std::uint64_t dataInCommands_ = 0;
  std::vector<std::uint32_t> recentReads_;  // block addresses of the latest single-block reads
  std::array<std::uint8_t, 18> lastSense_{};

  bool selected_ = false;
  std::uint32_t transfersInSelection_ = 0;
  std::vector<std::uint8_t> spiWritten_;
  std::vector<std::uint8_t> spiRead_;

  std::ostream* scsiTrace_ = nullptr;
  std::ostream* spiTrace_ = nullptr;
};

}  // namespace burnwell::sim
