#include "sim/FactoryImage.h"

#include <algorithm>

#include "common/Bytes.h"
#include "common/MainCode.h"
#include "common/MakerIds.h"

namespace burnwell::sim {
namespace {

// Appends one USB string descriptor (UTF-16LE of ASCII text) at `at`; returns its end.
std::size_t PutStringDescriptor(std::vector<std::uint8_t>& block, std::size_t at,
                                std::string_view text) {
  block[at] = static_cast<std::uint8_t>(2 + 2 * text.size());
  block[at + 1] = 0x03;
  for (std::size_t i = 0; i < text.size(); ++i) {
    block[at + 2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
    block[at + 3 + 2 * i] = 0;
  }
  return at + 2 + 2 * text.size();
}

}  // namespace

std::uint16_t MainCodeChecksum(const std::vector<std::uint8_t>& memory, std::uint32_t codeSize) {
  std::uint16_t sum = 0;
  for (std::uint32_t i = 0; i < codeSize && kConfigBlockSize + i < memory.size(); ++i) {
    sum = static_cast<std::uint16_t>(sum + memory[kConfigBlockSize + i]);
  }
  return sum;
}

std::vector<std::uint8_t> BuildFactoryImage(std::uint16_t vendorId, std::uint16_t productId,
                                            std::uint32_t firmwareVersion, std::string_view serial,
                                            std::uint32_t memorySize) {
  std::vector<std::uint8_t> memory(memorySize, 0xFF);
  std::vector<std::uint8_t> block(kConfigBlockSize, 0);
  const bool large = productId == PID_A || productId == PID_B;
  StoreLe16(&block[0], VID_MAKER);
  StoreLe16(&block[2], vendorId);
  StoreLe16(&block[4], productId);
  block[6] = 0x00;
  block[7] = 0x01;
  block[8] = 0xC0;
  block[9] = 50;
  block[10] = large ? 0x40 : 0x00;
  block[14] = 0xFF;
  // Descriptors 0..3; the serial is cut so that the chain ends before offset 238.
  std::size_t at = 16;
  block[at++] = 4;
  block[at++] = 3;
  block[at++] = 0x09;
  block[at++] = 0x04;
  at = PutStringDescriptor(block, at, "Tessalin Technology Inc.");
  at = PutStringDescriptor(block, at, "USB-SATA Bridge");
  const std::size_t room = (238 - at - 2) / 2;
  PutStringDescriptor(block, at, serial.substr(0, std::min<std::size_t>(room, 64)));
  block[249] = 0x06;

  // A made-up main code: an 8051 long jump over a pattern derived from the version.
  const std::uint32_t codeSize = MainCodeSizeFor(productId);
  const std::uint32_t stored =
      memorySize > kConfigBlockSize ? std::min(codeSize, memorySize - kConfigBlockSize) : 0;
  for (std::uint32_t i = 0; i < stored; ++i) {
    memory[kConfigBlockSize + i] =
        static_cast<std::uint8_t>((i * 37u + (i >> 8) * 11u + firmwareVersion) & 0xFF);
  }
  if (stored >= 3) {
    memory[kConfigBlockSize] = 0x02;
    memory[kConfigBlockSize + 1] = 0x01;
    memory[kConfigBlockSize + 2] = 0x00;
  }
  const std::uint16_t checksum = MainCodeChecksum(memory, stored);
  block[11] = 0x5A;
  StoreBe16(&block[12], checksum);
  std::copy_n(block.begin(), std::min<std::size_t>(kConfigBlockSize, memorySize), memory.begin());
  return memory;
}

}  // namespace burnwell::sim
