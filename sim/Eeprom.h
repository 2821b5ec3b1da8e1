// An I2C EEPROM behind the bridge, reached by the bridge's EEPROM commands with a 16-bit
// address: the 256-byte part (8-byte pages, only the low address byte counts) and the
// 64 KiB part (128-byte pages). A write stays inside its page: bytes past the page end wrap
// to the page start, as the part's page buffer does. Reads run on across the whole array.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace burnwell::sim {

enum class EepromKind : std::uint8_t { Small256 = 1, Large64k = 2 };  // the bridge-info codes

class Eeprom {
 public:
  explicit Eeprom(EepromKind kind);

  EepromKind Kind() const { return kind_; }
  std::uint32_t Size() const { return static_cast<std::uint32_t>(memory_.size()); }
  std::uint32_t PageSize() const { return pageSize_; }
  // Time the part needs to store one page write (the bridge waits it out).
  std::uint32_t WriteCycleUs() const { return 5000; }

  void Write(std::uint16_t address, std::span<const std::uint8_t> data);
  void Read(std::uint16_t address, std::span<std::uint8_t> out) const;

  std::span<std::uint8_t> Memory() { return memory_; }
  std::span<const std::uint8_t> Memory() const { return memory_; }

  // Faults.
  void SetDropWrites(bool drop) { dropWrites_ = drop; }
  void SetForgetfulRange(std::uint32_t first, std::uint32_t last) { forget_ = {first, last}; }

 private:
  EepromKind kind_;
  std::uint32_t pageSize_;
  std::vector<std::uint8_t> memory_;
  bool dropWrites_ = false;
  std::optional<std::pair<std::uint32_t, std::uint32_t>> forget_;
};

}  // namespace burnwell::sim
