#include "sim/ChipCatalog.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace burnwell::sim {
namespace {

constexpr std::uint32_t kKiB = 1024;
constexpr std::uint32_t kMiB = 1024 * kKiB;
constexpr std::uint32_t kMs = 1000;  // microseconds per millisecond

// The erases most 25-series parts share: 4 KiB sectors by 0x20 and 64 KiB blocks by 0xD8.
std::vector<EraseCommand> SectorsAndBlocks(std::uint32_t sectorUs, std::uint32_t blockUs) {
  return {{0x20, 4 * kKiB, sectorUs}, {0xD8, 64 * kKiB, blockUs}};
}

// Every model, in entry order. A row names only where its part differs from the common
// 25-series part (ChipDescription's defaults).
std::vector<ChipDescription> BuildCatalog() {
  return {
      // Its answers (0xEF maker code, device 0x12) match no supported entry.
      {.name = "W25X40",
       .maker = "Winbond",
       .tableEntry = 0,
       .size = 512 * kKiB,
       .jedecId = {0xEF, 0x30, 0x13},
       .manufacturerId = 0xEF,
       .deviceId = 0x12,
       .signatureAnswer = SignatureAnswer::Signature,
       .signature = {0x12},
       .regionErases = SectorsAndBlocks(60 * kMs, 700 * kMs),
       .writableStatus1 = 0xBC,  // SRP, TB, BP2..BP0
       .pageProgramUs = 1500,
       .statusWriteUs = 10 * kMs,
       .chipEraseUs = 4000 * kMs},
      // Only the older 0x15 product-ID read, 0x62 chip erase, 32 KiB sectors.
      {.name = "AT25F1024A",
       .maker = "Atmel",
       .tableEntry = 1,
       .size = 128 * kKiB,
       .productId15 = {0x1F, 0x60},
       .fastRead = false,
       .chipEraseOpcodes = {0x62},
       .regionErases = {{0x52, 32 * kKiB, 1100 * kMs}},
       .blockProtectMask = 0x0C,
       .protectUnit = 32 * kKiB,
       .writableStatus1 = 0x8C,  // WPEN, BP1, BP0
       .pageProgramUs = 6 * kMs,
       .statusWriteUs = 15 * kMs,
       .chipEraseUs = 1500 * kMs},
      // Memory type 0x23.
      {.name = "MX25V8035F",
       .maker = "Macronix",
       .tableEntry = 2,
       .size = 1 * kMiB,
       .jedecId = {0xC2, 0x23, 0x14},
       .manufacturerId = 0xC2,
       .deviceId = 0x13,
       .signatureAnswer = SignatureAnswer::Signature,
       .signature = {0x13},
       .regionErases = {{0x20, 4 * kKiB, 30 * kMs},
                        {0x52, 32 * kKiB, 150 * kMs},
                        {0xD8, 64 * kKiB, 300 * kMs}},
       .blockProtectMask = 0x3C,
       .writableStatus1 = 0xFC,
       .pageProgramUs = 500,
       .statusWriteUs = 5 * kMs,
       .chipEraseUs = 5000 * kMs},
      // Its 0x9F answer (density 0x18) is none the 0x9F probes know; the 0x90 answer (C2 17)
      // decides.
      {.name = "MX25L12805D",
       .maker = "Macronix",
       .tableEntry = 2,
       .size = 16 * kMiB,
       .jedecId = {0xC2, 0x20, 0x18},
       .manufacturerId = 0xC2,
       .deviceId = 0x17,
       .signatureAnswer = SignatureAnswer::Signature,
       .signature = {0x17},
       .regionErases = SectorsAndBlocks(90 * kMs, 1000 * kMs),
       .blockProtectMask = 0x3C,
       .writableStatus1 = 0xBC,
       .pageProgramUs = 1400,
       .statusWriteUs = 40 * kMs,
       .chipEraseUs = 80000 * kMs},
      // Memory type 0x22.
      {.name = "MX25L1021E",
       .maker = "Macronix",
       .tableEntry = 3,
       .size = 128 * kKiB,
       .jedecId = {0xC2, 0x22, 0x11},
       .manufacturerId = 0xC2,
       .deviceId = 0x10,
       .signatureAnswer = SignatureAnswer::Signature,
       .signature = {0x10},
       .regionErases = SectorsAndBlocks(40 * kMs, 400 * kMs),
       .blockProtectMask = 0x0C,
       .protectUnit = 32 * kKiB,
       .writableStatus1 = 0x8C,
       .pageProgramUs = 600,
       .statusWriteUs = 10 * kMs,
       .chipEraseUs = 700 * kMs},
      // JEDEC maker code 0x20; no 0x90; 64 KiB sectors only.
      {.name = "M25P16",
       .maker = "ST",
       .tableEntry = 4,
       .size = 2 * kMiB,
       .jedecId = {0x20, 0x20, 0x15},
       .signatureAnswer = SignatureAnswer::Signature,
       .signature = {0x14},
       .chipEraseOpcodes = {0xC7},
       .regionErases = {{0xD8, 64 * kKiB, 600 * kMs}},
       .pageProgramUs = 640,
       .statusWriteUs = 1300,
       .chipEraseUs = 13000 * kMs},
      // Unknown maker code to 0x9F and 0x90; its 0xAB signature 0x10 is what the probes
      // without a power-down release take as entry 4.
      {.name = "W25X10",
       .maker = "Winbond",
       .tableEntry = 4,
       .size = 128 * kKiB,
       .jedecId = {0xEF, 0x30, 0x11},
       .manufacturerId = 0xEF,
       .deviceId = 0x10,
       .signatureAnswer = SignatureAnswer::Signature,
       .signature = {0x10},
       .regionErases = SectorsAndBlocks(60 * kMs, 700 * kMs),
       .protectUnit = 8 * kKiB,
       .writableStatus1 = 0xBC,
       .pageProgramUs = 1500,
       .statusWriteUs = 10 * kMs,
       .chipEraseUs = 1000 * kMs},
      {.name = "EN25F80",
       .maker = "EON",
       .tableEntry = 5,
       .size = 1 * kMiB,
       .jedecId = {0x1C, 0x31, 0x14},
       .manufacturerId = 0x1C,
       .deviceId = 0x13,
       .signatureAnswer = SignatureAnswer::Signature,
       .signature = {0x13},
       .regionErases = SectorsAndBlocks(90 * kMs, 500 * kMs),
       .pageProgramUs = 1300,
       .statusWriteUs = 10 * kMs,
       .chipEraseUs = 8000 * kMs},
      // No 0x9F; 0x90 and 0xAB read maker/device; single-byte program 0x02,
      // auto-address-increment program 0xAF, status writes enabled by 0x50, BPL at bit 7.
      {.name = "SST25VF010A",
       .maker = "SST",
       .tableEntry = 6,
       .size = 128 * kKiB,
       .manufacturerId = 0xBF,
       .deviceId = 0x49,
       .signatureAnswer = SignatureAnswer::ManufacturerDevice,
       .fastRead = false,
       .byteProgramOnly = true,
       .autoIncrementProgram = true,
       .enableWriteStatus = true,
       .regionErases = {{0x20, 4 * kKiB, 18 * kMs}, {0x52, 32 * kKiB, 18 * kMs}},
       .blockProtectMask = 0x0C,
       .protectUnit = 32 * kKiB,
       .writableStatus1 = 0x8C,
       .pageProgramUs = 20,  // one byte
       .statusWriteUs = 0,
       .chipEraseUs = 70 * kMs},
      // Identification by 0xAB only.
      {.name = "Pm25LV010",
       .maker = "PMC",
       .tableEntry = 7,
       .size = 128 * kKiB,
       .signatureAnswer = SignatureAnswer::Signature,
       .signature = {0x9D, 0x7F, 0x7C},
       .chipEraseOpcodes = {0xC7},
       .regionErases = {{0xD7, 4 * kKiB, 60 * kMs}, {0xD8, 32 * kKiB, 60 * kMs}},
       .blockProtectMask = 0x0C,
       .protectUnit = 32 * kKiB,
       .writableStatus1 = 0x8C,
       .pageProgramUs = 1500,
       .statusWriteUs = 5 * kMs,
       .chipEraseUs = 60 * kMs},
      // The early part without 0x9F; its 0xAB electronic signature is 0x05.
      {.name = "M25P05",
       .maker = "ST",
       .tableEntry = 8,
       .size = 64 * kKiB,
       .signatureAnswer = SignatureAnswer::Signature,
       .signature = {0x05},
       .chipEraseOpcodes = {0xC7},
       .regionErases = {{0xD8, 32 * kKiB, 1000 * kMs}},
       .blockProtectMask = 0x0C,
       .protectUnit = 16 * kKiB,
       .writableStatus1 = 0x8C,
       .pageProgramUs = 1400,
       .statusWriteUs = 5 * kMs,
       .chipEraseUs = 1000 * kMs},
      {.name = "MX25L3205D",
       .maker = "Macronix",
       .tableEntry = 9,
       .size = 4 * kMiB,
       .jedecId = {0xC2, 0x20, 0x16},
       .manufacturerId = 0xC2,
       .deviceId = 0x15,
       .signatureAnswer = SignatureAnswer::Signature,
       .signature = {0x15},
       .regionErases = SectorsAndBlocks(90 * kMs, 1000 * kMs),
       .blockProtectMask = 0x3C,
       .writableStatus1 = 0xBC,
       .pageProgramUs = 1400,
       .statusWriteUs = 40 * kMs,
       .chipEraseUs = 25000 * kMs},
      {.name = "MX25L6405D",
       .maker = "Macronix",
       .tableEntry = 10,
       .size = 8 * kMiB,
       .jedecId = {0xC2, 0x20, 0x17},
       .manufacturerId = 0xC2,
       .deviceId = 0x16,
       .signatureAnswer = SignatureAnswer::Signature,
       .signature = {0x16},
       .regionErases = SectorsAndBlocks(90 * kMs, 1000 * kMs),
       .blockProtectMask = 0x3C,
       .writableStatus1 = 0xBC,
       .pageProgramUs = 1400,
       .statusWriteUs = 40 * kMs,
       .chipEraseUs = 40000 * kMs},
      {.name = "MX25L1005",
       .maker = "Macronix",
       .tableEntry = 11,
       .size = 128 * kKiB,
       .jedecId = {0xC2, 0x20, 0x11},
       .manufacturerId = 0xC2,
       .deviceId = 0x10,
       .signatureAnswer = SignatureAnswer::Signature,
       .signature = {0x10},
       .regionErases = SectorsAndBlocks(60 * kMs, 1000 * kMs),
       .blockProtectMask = 0x0C,
       .protectUnit = 32 * kKiB,
       .writableStatus1 = 0x8C,
       .pageProgramUs = 1400,
       .statusWriteUs = 10 * kMs,
       .chipEraseUs = 1000 * kMs},
      // The later family, device code without the 0x70 bits.
      {.name = "Pm25LD010",
       .maker = "PMC",
       .tableEntry = 12,
       .size = 128 * kKiB,
       .signatureAnswer = SignatureAnswer::Signature,
       .signature = {0x9D, 0x7F, 0x21},
       .chipEraseOpcodes = {0xC7, 0x60},
       .regionErases = {{0xD7, 4 * kKiB, 40 * kMs}, {0xD8, 32 * kKiB, 80 * kMs}},
       .protectUnit = 32 * kKiB,
       .pageProgramUs = 1000,
       .statusWriteUs = 5 * kMs,
       .chipEraseUs = 300 * kMs},
      // Two status registers (0x05, 0x35), written together by 0x01 with two value bytes; five
      // block-protect bits.
      {.name = "GD25Q40C",
       .maker = "GigaDevice",
       .tableEntry = 13,
       .size = 512 * kKiB,
       .jedecId = {0xC8, 0x40, 0x13},
       .manufacturerId = 0xC8,
       .deviceId = 0x12,
       .signatureAnswer = SignatureAnswer::Signature,
       .signature = {0x12},
       .regionErases = {{0x20, 4 * kKiB, 50 * kMs},
                        {0x52, 32 * kKiB, 150 * kMs},
                        {0xD8, 64 * kKiB, 250 * kMs}},
       .statusRegisters = 2,
       .blockProtectMask = 0x7C,
       .writableStatus1 = 0xFC,
       .writableStatus2 = 0x43,  // SRP1, QE, CMP
       .pageProgramUs = 600,
       .statusWriteUs = 5 * kMs,
       .chipEraseUs = 700 * kMs},
  };
}

}  // namespace

std::span<const ChipDescription> ChipCatalog() {
  static const std::vector<ChipDescription> catalog = BuildCatalog();
  return catalog;
}

std::optional<ChipDescription> FindChip(std::string_view name) {
  auto lower = [](std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
  };
  for (const auto& d : ChipCatalog()) {
    if (lower(d.name) == lower(name)) return d;
  }
  return std::nullopt;
}

}  // namespace burnwell::sim
