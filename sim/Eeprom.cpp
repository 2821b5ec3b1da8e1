#include "sim/Eeprom.h"

namespace burnwell::sim {

Eeprom::Eeprom(EepromKind kind)
    : kind_(kind),
      pageSize_(kind == EepromKind::Small256 ? 8 : 128),
      memory_(kind == EepromKind::Small256 ? 256 : 65536, 0xFF) {}

void Eeprom::Write(std::uint16_t address, std::span<const std::uint8_t> data) {
  if (dropWrites_) return;
  const std::uint32_t mask = Size() - 1;
  const std::uint32_t start = address & mask;
  const std::uint32_t page = start & ~(pageSize_ - 1);
  std::uint32_t column = start - page;
  for (std::uint8_t byte : data) {
    const std::uint32_t target = page + column;
    if (!(forget_ && target >= forget_->first && target <= forget_->second)) memory_[target] = byte;
    column = (column + 1) % pageSize_;
  }
}

void Eeprom::Read(std::uint16_t address, std::span<std::uint8_t> out) const {
  const std::uint32_t mask = Size() - 1;
  std::uint32_t at = address & mask;
  for (auto& byte : out) {
    byte = memory_[at];
    at = (at + 1) & mask;
  }
}

}  // namespace burnwell::sim
