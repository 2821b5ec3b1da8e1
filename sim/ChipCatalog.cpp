#include "sim/ChipCatalog.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace burnwell::sim {
namespace {

constexpr std::uint32_t KiB = 1024;
constexpr std::uint32_t MiB = 1024 * 1024;
constexpr std::uint32_t Ms = 1000;  // microseconds per millisecond

// A part with the common 25-series command set: 0x9F, fast read, 256-byte page program,
// 0x60 / 0xC7 chip erase, 4 KiB / 64 KiB erases, one status register with SRWD at bit 7.
ChipDescription Series25(std::string name, std::string maker, int entry, std::uint32_t size,
                         std::vector<std::uint8_t> jedec) {
  ChipDescription d;
  d.name = std::move(name);
  d.maker = std::move(maker);
  d.tableEntry = entry;
  d.size = size;
  d.jedecId = std::move(jedec);
  d.fastRead = true;
  d.chipEraseOpcodes = {0x60, 0xC7};
  d.regionErases = {{0x20, 4 * KiB, 60 * Ms}, {0xD8, 64 * KiB, 700 * Ms}};
  d.blockProtectMask = 0x1C;
  d.protectUnit = 64 * KiB;
  d.writableStatus1 = 0x9C;
  d.pageProgramUs = 1400;
  d.statusWriteUs = 10 * Ms;
  return d;
}

void AnswersSignature(ChipDescription& d, std::vector<std::uint8_t> signature) {
  d.signatureAnswer = SignatureAnswer::Signature;
  d.signature = std::move(signature);
}

void AnswersManufacturerDevice(ChipDescription& d, std::uint8_t manufacturer, std::uint8_t device) {
  d.manufacturerId = manufacturer;
  d.deviceId = device;
}

std::vector<ChipDescription> BuildCatalog() {
  std::vector<ChipDescription> all;

  // Winbond W25X40: its answers (0xEF maker code, device 0x12) match no supported entry.
  {
    auto d = Series25("W25X40", "Winbond", 0, 512 * KiB, {0xEF, 0x30, 0x13});
    AnswersManufacturerDevice(d, 0xEF, 0x12);
    AnswersSignature(d, {0x12});
    d.writableStatus1 = 0xBC;  // SRP, TB, BP2..BP0
    d.pageProgramUs = 1500;
    d.chipEraseUs = 4000 * Ms;
    all.push_back(d);
  }
  // Atmel AT25F1024A: only the older 0x15 product-ID read, 0x62 chip erase, 32 KiB sectors.
  {
    ChipDescription d;
    d.name = "AT25F1024A";
    d.maker = "Atmel";
    d.tableEntry = 1;
    d.size = 128 * KiB;
    d.productId15 = {0x1F, 0x60};
    d.chipEraseOpcodes = {0x62};
    d.regionErases = {{0x52, 32 * KiB, 1100 * Ms}};
    d.blockProtectMask = 0x0C;
    d.protectUnit = 32 * KiB;
    d.writableStatus1 = 0x8C;  // WPEN, BP1, BP0
    d.pageProgramUs = 6 * Ms;
    d.statusWriteUs = 15 * Ms;
    d.chipEraseUs = 1500 * Ms;
    all.push_back(d);
  }
  // Macronix MX25V8035F: memory type 0x23.
  {
    auto d = Series25("MX25V8035F", "Macronix", 2, 1 * MiB, {0xC2, 0x23, 0x14});
    AnswersManufacturerDevice(d, 0xC2, 0x13);
    AnswersSignature(d, {0x13});
    d.blockProtectMask = 0x3C;
    d.writableStatus1 = 0xFC;
    d.pageProgramUs = 500;
    d.statusWriteUs = 5 * Ms;
    d.chipEraseUs = 5000 * Ms;
    all.push_back(d);
  }
  // Macronix MX25L12805D: its 0x9F answer (density 0x18) is none the 0x9F probes know; the
  // 0x90 answer (C2 17) decides.
  {
    auto d = Series25("MX25L12805D", "Macronix", 2, 16 * MiB, {0xC2, 0x20, 0x18});
    AnswersManufacturerDevice(d, 0xC2, 0x17);
    AnswersSignature(d, {0x17});
    d.blockProtectMask = 0x3C;
    d.writableStatus1 = 0xBC;
    d.statusWriteUs = 40 * Ms;
    d.chipEraseUs = 80000 * Ms;
    all.push_back(d);
  }
  // Macronix MX25L1021E: memory type 0x22.
  {
    auto d = Series25("MX25L1021E", "Macronix", 3, 128 * KiB, {0xC2, 0x22, 0x11});
    AnswersManufacturerDevice(d, 0xC2, 0x10);
    AnswersSignature(d, {0x10});
    d.blockProtectMask = 0x0C;
    d.protectUnit = 32 * KiB;
    d.writableStatus1 = 0x8C;
    d.pageProgramUs = 600;
    d.chipEraseUs = 700 * Ms;
    all.push_back(d);
  }
  // ST M25P16: JEDEC maker code 0x20; no 0x90.
  {
    auto d = Series25("M25P16", "ST", 4, 2 * MiB, {0x20, 0x20, 0x15});
    AnswersSignature(d, {0x14});
    d.regionErases = {{0xD8, 64 * KiB, 600 * Ms}};
    d.chipEraseOpcodes = {0xC7};
    d.pageProgramUs = 640;
    d.statusWriteUs = 1300;
    d.chipEraseUs = 13000 * Ms;
    all.push_back(d);
  }
  // Winbond W25X10: unknown maker code to 0x9F and 0x90; its 0xAB signature 0x10 is what
  // the probes without a power-down release take as entry 4.
  {
    auto d = Series25("W25X10", "Winbond", 4, 128 * KiB, {0xEF, 0x30, 0x11});
    AnswersManufacturerDevice(d, 0xEF, 0x10);
    AnswersSignature(d, {0x10});
    d.protectUnit = 8 * KiB;
    d.writableStatus1 = 0xBC;
    d.pageProgramUs = 1500;
    d.chipEraseUs = 1000 * Ms;
    all.push_back(d);
  }
  // EON EN25F80.
  {
    auto d = Series25("EN25F80", "EON", 5, 1 * MiB, {0x1C, 0x31, 0x14});
    AnswersManufacturerDevice(d, 0x1C, 0x13);
    AnswersSignature(d, {0x13});
    d.pageProgramUs = 1300;
    d.chipEraseUs = 8000 * Ms;
    all.push_back(d);
  }
  // SST25VF010A: no 0x9F; 0x90 and 0xAB read maker/device; single-byte program 0x02,
  // auto-address-increment program 0xAF, status writes enabled by 0x50, BPL at bit 7.
  {
    ChipDescription d;
    d.name = "SST25VF010A";
    d.maker = "SST";
    d.tableEntry = 6;
    d.size = 128 * KiB;
    AnswersManufacturerDevice(d, 0xBF, 0x49);
    d.signatureAnswer = SignatureAnswer::ManufacturerDevice;
    d.byteProgramOnly = true;
    d.autoIncrementProgram = true;
    d.enableWriteStatus = true;
    d.chipEraseOpcodes = {0x60, 0xC7};
    d.regionErases = {{0x20, 4 * KiB, 18 * Ms}, {0x52, 32 * KiB, 18 * Ms}};
    d.blockProtectMask = 0x0C;
    d.protectUnit = 32 * KiB;
    d.writableStatus1 = 0x8C;
    d.pageProgramUs = 20;  // one byte
    d.statusWriteUs = 0;
    d.chipEraseUs = 70 * Ms;
    all.push_back(d);
  }
  // PMC Pm25LV010: identification by 0xAB only.
  {
    ChipDescription d;
    d.name = "Pm25LV010";
    d.maker = "PMC";
    d.tableEntry = 7;
    d.size = 128 * KiB;
    AnswersSignature(d, {0x9D, 0x7F, 0x7C});
    d.fastRead = true;
    d.chipEraseOpcodes = {0xC7};
    d.regionErases = {{0xD7, 4 * KiB, 60 * Ms}, {0xD8, 32 * KiB, 60 * Ms}};
    d.blockProtectMask = 0x0C;
    d.protectUnit = 32 * KiB;
    d.writableStatus1 = 0x8C;
    d.pageProgramUs = 1500;
    d.statusWriteUs = 5 * Ms;
    d.chipEraseUs = 60 * Ms;
    all.push_back(d);
  }
  // ST M25P05: the early part without 0x9F; its 0xAB electronic signature is 0x05.
  {
    ChipDescription d;
    d.name = "M25P05";
    d.maker = "ST";
    d.tableEntry = 8;
    d.size = 64 * KiB;
    AnswersSignature(d, {0x05});
    d.fastRead = true;
    d.chipEraseOpcodes = {0xC7};
    d.regionErases = {{0xD8, 32 * KiB, 1000 * Ms}};
    d.blockProtectMask = 0x0C;
    d.protectUnit = 16 * KiB;
    d.writableStatus1 = 0x8C;
    d.pageProgramUs = 1400;
    d.statusWriteUs = 5 * Ms;
    d.chipEraseUs = 1000 * Ms;
    all.push_back(d);
  }
  // Macronix MX25L3205D, MX25L6405D, MX25L1005.
  {
    auto d = Series25("MX25L3205D", "Macronix", 9, 4 * MiB, {0xC2, 0x20, 0x16});
    AnswersManufacturerDevice(d, 0xC2, 0x15);
    AnswersSignature(d, {0x15});
    d.blockProtectMask = 0x3C;
    d.writableStatus1 = 0xBC;
    d.statusWriteUs = 40 * Ms;
    d.chipEraseUs = 25000 * Ms;
    all.push_back(d);
  }
  {
    auto d = Series25("MX25L6405D", "Macronix", 10, 8 * MiB, {0xC2, 0x20, 0x17});
    AnswersManufacturerDevice(d, 0xC2, 0x16);
    AnswersSignature(d, {0x16});
    d.blockProtectMask = 0x3C;
    d.writableStatus1 = 0xBC;
    d.statusWriteUs = 40 * Ms;
    d.chipEraseUs = 40000 * Ms;
    all.push_back(d);
  }
  {
    auto d = Series25("MX25L1005", "Macronix", 11, 128 * KiB, {0xC2, 0x20, 0x11});
    AnswersManufacturerDevice(d, 0xC2, 0x10);
    AnswersSignature(d, {0x10});
    d.blockProtectMask = 0x0C;
    d.protectUnit = 32 * KiB;
    d.writableStatus1 = 0x8C;
    d.chipEraseUs = 1000 * Ms;
    all.push_back(d);
  }
  // PMC Pm25LD010: the later family, device code without the 0x70 bits.
  {
    ChipDescription d;
    d.name = "Pm25LD010";
    d.maker = "PMC";
    d.tableEntry = 12;
    d.size = 128 * KiB;
    AnswersSignature(d, {0x9D, 0x7F, 0x21});
    d.fastRead = true;
    d.chipEraseOpcodes = {0xC7, 0x60};
    d.regionErases = {{0xD7, 4 * KiB, 40 * Ms}, {0xD8, 32 * KiB, 40 * Ms}};
    d.blockProtectMask = 0x1C;
    d.protectUnit = 32 * KiB;
    d.writableStatus1 = 0x9C;
    d.pageProgramUs = 1000;
    d.statusWriteUs = 5 * Ms;
    d.chipEraseUs = 300 * Ms;
    all.push_back(d);
  }
  // GigaDevice GD25Q40C: two status registers (0x05, 0x35), written together by 0x01 with
  // two value bytes; five block-protect bits.
  {
    auto d = Series25("GD25Q40C", "GigaDevice", 13, 512 * KiB, {0xC8, 0x40, 0x13});
    AnswersManufacturerDevice(d, 0xC8, 0x12);
    AnswersSignature(d, {0x12});
    d.statusRegisters = 2;
    d.blockProtectMask = 0x7C;
    d.protectUnit = 64 * KiB;
    d.writableStatus1 = 0xFC;
    d.writableStatus2 = 0x43;  // SRP1, QE, CMP
    d.pageProgramUs = 600;
    d.statusWriteUs = 5 * Ms;
    d.chipEraseUs = 700 * Ms;
    all.push_back(d);
  }
  return all;
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
