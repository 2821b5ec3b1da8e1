#include "sim/FlashChip.h"

#include <algorithm>
#include <bit>

namespace burnwell::sim {
namespace {

constexpr std::uint8_t kStatusBusy = 0x01;
constexpr std::uint8_t kStatusWriteEnable = 0x02;
constexpr std::uint8_t kStatusAutoIncrement = 0x40;  // the AAI bit of parts that have the mode
constexpr std::uint32_t kPageSize = 256;

namespace op {
constexpr std::uint8_t kWriteStatus = 0x01;
constexpr std::uint8_t kPageProgram = 0x02;
constexpr std::uint8_t kRead = 0x03;
constexpr std::uint8_t kWriteDisable = 0x04;
constexpr std::uint8_t kReadStatus1 = 0x05;
constexpr std::uint8_t kWriteEnable = 0x06;
constexpr std::uint8_t kFastRead = 0x0B;
constexpr std::uint8_t kProductId15 = 0x15;  // also status register 3 on three-register parts
constexpr std::uint8_t kReadStatus2 = 0x35;
constexpr std::uint8_t kEnableWriteStatus = 0x50;
constexpr std::uint8_t kManufacturerDevice = 0x90;
constexpr std::uint8_t kJedecId = 0x9F;
constexpr std::uint8_t kSignature = 0xAB;
constexpr std::uint8_t kAutoIncrement = 0xAF;
}  // namespace op

}  // namespace

FlashChip::FlashChip(ChipDescription description, SimClock& clock)
    : description_(std::move(description)), clock_(clock), memory_(description_.size, 0xFF) {
  status_[1] = description_.initialStatus2;
  status_[2] = description_.initialStatus3;
}

bool FlashChip::Busy() { return stuckBusy_ || clock_.NowUs() < busyUntilUs_; }

std::uint8_t FlashChip::Status(int index) {
  if (index != 0) return status_[index];
  std::uint8_t value = status_[0] & static_cast<std::uint8_t>(~(kStatusBusy | kStatusWriteEnable));
  if (Busy()) value |= kStatusBusy;
  if (writeEnabled_) value |= kStatusWriteEnable;
  if (description_.autoIncrementProgram) {
    value = autoIncrement_ ? (value | kStatusAutoIncrement)
                           : (value & static_cast<std::uint8_t>(~kStatusAutoIncrement));
  }
  return value;
}

std::uint32_t FlashChip::ProtectedFrom() const {
  const std::uint8_t mask = description_.blockProtectMask;
  if (mask == 0) return description_.size;
  const unsigned shift = static_cast<unsigned>(std::countr_zero(mask));
  const unsigned level = (status_[0] & mask) >> shift;
  const unsigned top = mask >> shift;
  if (level == 0) return description_.size;
  if (level == top || description_.protectUnit == 0) return 0;
  const std::uint64_t bytes = static_cast<std::uint64_t>(description_.protectUnit) << (level - 1);
  return bytes >= description_.size ? 0 : description_.size - static_cast<std::uint32_t>(bytes);
}

bool FlashChip::IsProtected(std::uint32_t first, std::uint32_t last) const {
  (void)first;
  return last >= ProtectedFrom();
}

bool FlashChip::StatusLocked() const {
  return writeProtectPin_ && (status_[0] & description_.statusWriteProtectBit) != 0;
}

void FlashChip::Select() {
  selected_ = true;
  command_.clear();
}

std::uint32_t FlashChip::Address(std::size_t firstByte) const {
  std::uint32_t address = 0;
  for (std::size_t i = firstByte; i < firstByte + 3; ++i) {
    address = (address << 8) | (i < command_.size() ? command_[i] : 0);
  }
  return address & (description_.size - 1);
}

std::uint8_t FlashChip::Exchange(std::uint8_t mosi) {
  if (!selected_) return 0xFF;
  const std::size_t position = command_.size();
  command_.push_back(mosi);
  if (position == 0) return 0xFF;  // nothing is driven while the opcode shifts in
  return Answer(position);
}

// The byte the chip drives at `position` of the current command (the opcode is position 0).
std::uint8_t FlashChip::Answer(std::size_t position) {
  const std::uint8_t opcode = command_[0];
  const auto& d = description_;
  if (opcode == op::kReadStatus1) {
    const std::uint8_t status = Status(0);
    if (readyUnseen_ && (status & kStatusBusy) == 0) {
      readyUnseen_ = false;
      statistics_.readySeenLateUs += clock_.NowUs() - busyUntilUs_;
    }
    return status;
  }
  if (opcode == op::kReadStatus2 && d.statusRegisters >= 2) return status_[1];
  if (opcode == op::kProductId15 && d.statusRegisters >= 3) return status_[2];
  if (Busy()) return 0xFF;  // a part busy with a write answers only status reads
  if (autoIncrement_) return 0xFF;

  auto manufacturerDevice = [&](std::size_t first) -> std::uint8_t {
    if (position < first) return 0xFF;
    const bool deviceFirst = (command_[3] & 1) != 0;
    const bool device = (((position - first) & 1) != 0) != deviceFirst;
    return device ? d.deviceId : *d.manufacturerId;
  };

  switch (opcode) {
    case op::kRead:
      if (position < 4) return 0xFF;
      return memory_[(Address(1) + position - 4) & (d.size - 1)];
    case op::kFastRead:
      if (!d.fastRead || position < 5) return 0xFF;
      return memory_[(Address(1) + position - 5) & (d.size - 1)];
    case op::kJedecId: return position - 1 < d.jedecId.size() ? d.jedecId[position - 1] : 0xFF;
    case op::kProductId15:
      return position - 1 < d.productId15.size() ? d.productId15[position - 1] : 0xFF;
    case op::kManufacturerDevice: return d.manufacturerId ? manufacturerDevice(4) : 0xFF;
    case op::kSignature:
      if (d.signatureAnswer == SignatureAnswer::Signature && position >= 4 &&
          !d.signature.empty()) {
        return d.signature[(position - 4) % d.signature.size()];
      }
      if (d.signatureAnswer == SignatureAnswer::ManufacturerDevice && d.manufacturerId) {
        return manufacturerDevice(4);
      }
      return 0xFF;
    default: return 0xFF;
  }
}

void FlashChip::Deselect() {
  if (!selected_) return;
  selected_ = false;
  const bool armed = statusWriteArmed_;
  statusWriteArmed_ = false;
  if (command_.empty() || Busy()) return;  // a busy part ignores everything but status reads

  const std::uint8_t opcode = command_[0];
  if (autoIncrement_) {
    TakeAutoIncrementByte(opcode);
    return;
  }
  switch (opcode) {
    case op::kWriteEnable: writeEnabled_ = true; return;
    case op::kWriteDisable: writeEnabled_ = false; return;
    case op::kEnableWriteStatus:
      if (description_.enableWriteStatus) statusWriteArmed_ = true;
      return;
    case op::kWriteStatus: WriteStatus(armed); return;
    case op::kPageProgram: ProgramCommand(); return;
    case op::kAutoIncrement: StartAutoIncrement(); return;
    default: Erase(opcode); return;
  }
}

void FlashChip::TakeAutoIncrementByte(std::uint8_t opcode) {
  // In auto-increment mode the part takes only further data bytes, write disable and status
  // reads.
  if (opcode == op::kAutoIncrement && command_.size() == 2) {
    ProgramByte(autoIncrementAddress_, command_[1]);
    autoIncrementAddress_ = (autoIncrementAddress_ + 1) & (description_.size - 1);
    StartBusy(description_.pageProgramUs);
  } else if (opcode == op::kWriteDisable) {
    autoIncrement_ = false;
    writeEnabled_ = false;
  }
}

void FlashChip::WriteStatus(bool armed) {
  const auto& d = description_;
  const bool allowed = (writeEnabled_ || (d.enableWriteStatus && armed)) && !StatusLocked();
  writeEnabled_ = false;
  if (!allowed || command_.size() < 2) return;
  auto merge = [](std::uint8_t old, std::uint8_t value, std::uint8_t writable) {
    return static_cast<std::uint8_t>((old & ~writable) | (value & writable));
  };
  status_[0] = merge(status_[0], command_[1], d.writableStatus1);
  if (command_.size() >= 3 && d.statusRegisters >= 2)
    status_[1] = merge(status_[1], command_[2], d.writableStatus2);
  StartBusy(d.statusWriteUs);
}

void FlashChip::ProgramCommand() {
  const bool allowed = writeEnabled_;
  writeEnabled_ = false;
  if (!allowed || command_.size() < 5) return;
  const std::uint32_t address = Address(1);
  auto data = std::span<const std::uint8_t>(command_).subspan(4);
  if (description_.byteProgramOnly) {
    if (IsProtected(address, address)) return;
    ProgramByte(address, data[0]);
  } else {
    const std::uint32_t pageStart = address & ~(kPageSize - 1);
    if (IsProtected(pageStart, pageStart + kPageSize - 1)) return;
    ProgramPage(address, data);
  }
  StartBusy(description_.pageProgramUs);
}

void FlashChip::StartAutoIncrement() {
  if (!description_.autoIncrementProgram || !writeEnabled_ || command_.size() != 5) return;
  const std::uint32_t address = Address(1);
  if (IsProtected(address, address)) {
    writeEnabled_ = false;
    return;
  }
  ProgramByte(address, command_[4]);
  autoIncrement_ = true;
  autoIncrementAddress_ = (address + 1) & (description_.size - 1);
  StartBusy(description_.pageProgramUs);
}

void FlashChip::Erase(std::uint8_t opcode) {
  const auto& d = description_;
  const std::size_t n = command_.size();
  if (std::ranges::find(d.chipEraseOpcodes, opcode) != d.chipEraseOpcodes.end()) {
    const bool allowed = writeEnabled_ && ProtectedFrom() == d.size;
    writeEnabled_ = false;
    if (!allowed || n != 1) return;
    std::fill(memory_.begin(), memory_.end(), 0xFF);
    StartBusy(d.chipEraseUs);
    return;
  }
  for (const auto& erase : d.regionErases) {
    if (erase.opcode != opcode) continue;
    const bool allowed = writeEnabled_;
    writeEnabled_ = false;
    if (!allowed || n != 4) return;
    const std::uint32_t start = Address(1) & ~(erase.size - 1);
    if (IsProtected(start, start + erase.size - 1)) return;
    std::fill(memory_.begin() + start, memory_.begin() + start + erase.size, 0xFF);
    StartBusy(erase.timeUs);
    return;
  }
}

void FlashChip::ProgramByte(std::uint32_t address, std::uint8_t value) {
  if (dropPrograms_) return;
  if (forget_ && address >= forget_->first && address <= forget_->second) return;
  memory_[address] &= value;  // programming only clears bits
}

void FlashChip::ProgramPage(std::uint32_t address, std::span<const std::uint8_t> data) {
  // The page buffer: bytes past the page end wrap to its start, later bytes replace earlier ones.
  const std::uint32_t pageStart = address & ~(kPageSize - 1);
  std::vector<std::uint8_t> latch(kPageSize, 0xFF);
  std::uint32_t column = address - pageStart;
  for (std::uint8_t byte : data) {
    latch[column] = byte;
    column = (column + 1) % kPageSize;
  }
  for (std::uint32_t i = 0; i < kPageSize; ++i) {
    if (latch[i] != 0xFF) ProgramByte(pageStart + i, latch[i]);
  }
}

void FlashChip::StartBusy(std::uint64_t microseconds) {
  busyUntilUs_ = clock_.NowUs() + microseconds;
  readyUnseen_ = true;
  ++statistics_.periods;
  statistics_.busyUs += microseconds;
}

}  // namespace burnwell::sim
