// A serial NOR flash as its datasheet describes it: a command-set engine driven by a
// per-part description. The host's bytes between chip select and deselect form one command;
// like a real part, the chip starts program, erase and status writes at the rising edge of
// chip select, and answers read and identification commands byte by byte while selected.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/SimClock.h"

namespace burnwell::sim {

// How a part answers the 0xAB command (release from deep power-down / read signature).
enum class SignatureAnswer : std::uint8_t {
  None,                // the part does not know 0xAB
  Signature,           // after three dummy bytes, the signature bytes, repeated
  ManufacturerDevice,  // like 0x90: manufacturer and device ID, order by address bit 0
};

struct EraseCommand {
  std::uint8_t opcode = 0;
  std::uint32_t size = 0;    // bytes of the aligned region it erases
  std::uint32_t timeUs = 0;  // typical erase time
};

// Everything that distinguishes one part from another. Values come from the part's datasheet;
// the defaults are the common 25-series part (fast read, chip erase by 0x60 or 0xC7, three
// block-protect bits over 64 KiB units, SRWD at bit 7), so a description names where its part
// differs.
struct ChipDescription {
  std::string name{};
  std::string maker{};
  // The supported-chip entry that the part's identification answers lead detection to.
  int tableEntry = 0;
  std::uint32_t size = 0;  // bytes, a power of two

  std::vector<std::uint8_t> jedecId{};  // answer to 0x9F; empty when the part does not know it
  // Answer to 0x90 (after three address bytes); absent when the part does not know it.
  std::optional<std::uint8_t> manufacturerId{};
  std::uint8_t deviceId = 0;
  SignatureAnswer signatureAnswer = SignatureAnswer::None;
  std::vector<std::uint8_t> signature{};    // for SignatureAnswer::Signature
  std::vector<std::uint8_t> productId15{};  // answer to 0x15 (older product-ID read); may be empty

  bool fastRead = true;               // 0x0B with one dummy byte
  bool byteProgramOnly = false;       // 0x02 programs one byte (no page buffer)
  bool autoIncrementProgram = false;  // 0xAF address-auto-increment byte program
  bool enableWriteStatus = false;     // 0x50 enables the next status write
  std::vector<std::uint8_t> chipEraseOpcodes = {0x60, 0xC7};
  std::vector<EraseCommand> regionErases{};

  int statusRegisters = 1;                    // 1..3 (0x05, 0x35, 0x15)
  std::uint8_t blockProtectMask = 0x1C;       // block-protect bits of status register 1
  std::uint32_t protectUnit = 64 * 1024;      // bytes at the top protected by the lowest level
  std::uint8_t statusWriteProtectBit = 0x80;  // SRWD / BPL: with WP# asserted, status is locked
  std::uint8_t writableStatus1 = 0x9C;        // bits a status write changes
  std::uint8_t writableStatus2 = 0;
  std::uint8_t writableStatus3 = 0;
  std::uint8_t initialStatus2 = 0;
  std::uint8_t initialStatus3 = 0;

  std::uint32_t pageProgramUs = 0;  // typical page (or byte) program time
  std::uint32_t statusWriteUs = 0;
  std::uint32_t chipEraseUs = 0;
};

// What the chip's busy periods cost the host, for measurements: the chip's own busy time, and
// how late the host saw each period's end (from the moment the chip became ready to the first
// status read that answered ready).
struct BusyStatistics {
  std::uint64_t periods = 0;
  std::uint64_t busyUs = 0;
  std::uint64_t readySeenLateUs = 0;
};

// One chip on the bus.
class FlashChip {
 public:
  FlashChip(ChipDescription description, SimClock& clock);

  const ChipDescription& Description() const { return description_; }

  // Bus side.
  void Select();
  // Clocks one byte: the host drives `mosi`, the chip answers with the returned byte
  // (0xFF when it drives nothing).
  std::uint8_t Exchange(std::uint8_t mosi);
  void Deselect();

  // Direct access for tests and image files.
  std::span<std::uint8_t> Memory() { return memory_; }
  std::span<const std::uint8_t> Memory() const { return memory_; }
  std::uint8_t Status(int index = 0);
  bool Busy();
  bool WriteEnabled() const { return writeEnabled_; }
  bool AutoIncrementActive() const { return autoIncrement_; }
  void SetStatusForTest(int index, std::uint8_t value) { status_[index] = value; }
  const BusyStatistics& Statistics() const { return statistics_; }

  // The WP# pin: when asserted, a set status-write-protect bit locks the status register.
  void SetWriteProtectPin(bool asserted) { writeProtectPin_ = asserted; }

  // Faults.
  void SetStuckBusy(bool stuck) { stuckBusy_ = stuck; }
  void SetDropPrograms(bool drop) { dropPrograms_ = drop; }
  // Bytes in [first, last] are never changed by a program (a cell that does not keep data).
  void SetForgetfulRange(std::uint32_t first, std::uint32_t last) { forget_ = {first, last}; }

  // The range [start, size) that the block-protect bits currently protect; start == size when
  // nothing is protected.
  std::uint32_t ProtectedFrom() const;

 private:
  std::uint32_t Address(std::size_t firstByte) const;
  std::uint8_t Answer(std::size_t position);
  void Execute();
  // What the command taken while the part was selected does (Deselect).
  void TakeAutoIncrementByte(std::uint8_t opcode);
  void WriteStatus(bool armed);
  void ProgramCommand();
  void StartAutoIncrement();
  void Erase(std::uint8_t opcode);  // whole chip or a region; any other opcode does nothing
  void ProgramPage(std::uint32_t address, std::span<const std::uint8_t> data);
  void ProgramByte(std::uint32_t address, std::uint8_t value);
  void StartBusy(std::uint64_t microseconds);
  bool IsProtected(std::uint32_t first, std::uint32_t last) const;
  bool StatusLocked() const;

  ChipDescription description_;
  SimClock& clock_;
  std::vector<std::uint8_t> memory_;
  std::uint8_t status_[3] = {0, 0, 0};
  bool writeEnabled_ = false;
  bool statusWriteArmed_ = false;  // 0x50 seen in the previous transaction
  bool autoIncrement_ = false;
  std::uint32_t autoIncrementAddress_ = 0;
  std::uint64_t busyUntilUs_ = 0;
  bool readyUnseen_ = false;  // a busy period began and no status read has seen its end
  BusyStatistics statistics_;
  bool selected_ = false;
  bool busyAtSelect_ = false;
  std::vector<std::uint8_t> command_;
  bool writeProtectPin_ = false;
  bool stuckBusy_ = false;
  bool dropPrograms_ = false;
  std::optional<std::pair<std::uint32_t, std::uint32_t>> forget_;
};

}  // namespace burnwell::sim
