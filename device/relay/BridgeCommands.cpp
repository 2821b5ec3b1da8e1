#include "device/relay/BridgeCommands.h"

#include <algorithm>
#include <array>

#include "common/Bytes.h"
#include "common/MakerIds.h"
#include "wire/VendorOpcodes.h"

namespace burnwell::device::relay {
namespace {

using Cdb = std::array<std::uint8_t, 16>;
using wire::kAtaDeviceRegister;
using wire::kAtaIdentifyDevice;
using wire::kBlockSize;
using wire::kVendorAtaRead;
namespace opcode = wire::opcode;

enum class Flow { In, OutOrNone };

// One command the tool sends.
struct Rule {
  std::uint8_t operation;
  std::string_view name;
  std::uint32_t cdbLengths;  // bit n set: a CDB of n bytes is accepted
  Flow flow;
  bool vendor;  // carries the maker's vendor ID in bytes 4-5
  // The other CDB bytes and the data length, as the tool sends them.
  bool (*fieldsMatch)(const Cdb& cdb, std::uint32_t length);
};

constexpr std::uint32_t Lengths(std::uint32_t a, std::uint32_t b = 0) {
  return (1u << a) | (b ? 1u << b : 0u);
}

// Bytes [from, to) are zero.
bool Zero(const Cdb& cdb, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i)
    if (cdb[i] != 0) return false;
  return true;
}

constexpr std::uint32_t kMaxShortTransfer = 32;

// The reserved block addresses through which a bridge tells its identity to a host whose disk
// driver passes only ordinary reads.
bool IsIdentificationBlock(std::uint32_t address) {
  return address == wire::kIdentificationBlock ||
         std::find(wire::kIdentificationSequence.begin(), wire::kIdentificationSequence.end(),
                   address) != wire::kIdentificationSequence.end();
}

// Vendor CDBs: bytes 4-5 are the signature, checked apart.
bool ShortTransferAtByte1(const Cdb& c, std::uint32_t n) {
  return c[1] == n && n <= kMaxShortTransfer && Zero(c, 6, 16);  // bytes 2-3: EEPROM address
}
bool ShortTransferAtByte3(const Cdb& c, std::uint32_t n) {
  return Zero(c, 1, 3) && c[3] == n && n <= kMaxShortTransfer && Zero(c, 6, 16);
}

constexpr Rule kRules[] = {
    {opcode::kBridgeInfo, "bridge information", Lengths(12), Flow::In, true,
     [](const Cdb& c, std::uint32_t n) {
       return Zero(c, 1, 4) && Zero(c, 6, 16) && n >= 16 && n <= 512;
     }},
    {opcode::kEepromWrite, "EEPROM write", Lengths(12), Flow::OutOrNone, true,
     ShortTransferAtByte1},
    {opcode::kEepromRead, "EEPROM read", Lengths(12), Flow::In, true, ShortTransferAtByte1},
    {opcode::kSpiSelect, "flash select", Lengths(16), Flow::OutOrNone, true,
     [](const Cdb& c, std::uint32_t n) { return n == 0 && Zero(c, 1, 4) && Zero(c, 6, 16); }},
    {opcode::kSpiDeselect, "flash deselect", Lengths(16), Flow::OutOrNone, true,
     [](const Cdb& c, std::uint32_t n) { return n == 0 && Zero(c, 1, 4) && Zero(c, 6, 16); }},
    {opcode::kSpiWrite, "flash write", Lengths(12), Flow::OutOrNone, true, ShortTransferAtByte3},
    {opcode::kSpiRead, "flash read", Lengths(12), Flow::In, true, ShortTransferAtByte3},
    {opcode::kVendorAta, "ATA command through the bridge", Lengths(16), Flow::In, true,
     [](const Cdb& c, std::uint32_t n) {
       return c[1] == kVendorAtaRead && Zero(c, 2, 4) && LoadBe32(&c[6]) == kBlockSize &&
              n == kBlockSize && Zero(c, 10, 14) && c[14] == kAtaDeviceRegister &&
              c[15] == kAtaIdentifyDevice;
     }},
    {opcode::kInquiry, "INQUIRY", Lengths(6, 12), Flow::In, false,
     [](const Cdb& c, std::uint32_t n) {
       const bool standard = c[1] == 0 && c[2] == 0;
       const bool vitalProductData = c[1] == 0x01;
       return (standard || vitalProductData) && c[3] == 0 && c[4] == n && n >= 1 && Zero(c, 5, 16);
     }},
    {opcode::kRead10, "READ(10)", Lengths(10), Flow::In, false,
     [](const Cdb& c, std::uint32_t n) {
       return c[1] == 0 && IsIdentificationBlock(LoadBe32(&c[2])) && c[6] == 0 &&
              LoadBe16(&c[7]) == 1 && Zero(c, 9, 16) && n == kBlockSize;
     }},
    {opcode::kTestUnitReady, "TEST UNIT READY", Lengths(6, 12), Flow::OutOrNone, false,
     [](const Cdb& c, std::uint32_t n) { return n == 0 && Zero(c, 1, 16); }},
    {opcode::kRequestSense, "REQUEST SENSE", Lengths(6, 12), Flow::In, false,
     [](const Cdb& c, std::uint32_t n) {
       return (c[1] & ~0x01) == 0 && Zero(c, 2, 4) && c[4] == n && n >= 1 && Zero(c, 5, 16);
     }},
};

}  // namespace

CommandCheck CheckBridgeCommand(const wire::ScsiPassThroughHeader& header) {
  const Cdb& cdb = header.Cdb;
  for (const Rule& rule : kRules) {
    if (rule.operation != cdb[0]) continue;
    CommandCheck check{CommandRefusal::None, rule.name};
    if (header.CdbLength > 16 || !(rule.cdbLengths & (1u << header.CdbLength))) {
      check.refusal = CommandRefusal::CdbLength;
    } else if ((rule.flow == Flow::In) != (header.DataIn == wire::SCSI_IOCTL_DATA_IN) ||
               header.DataIn > wire::SCSI_IOCTL_DATA_IN) {
      check.refusal = CommandRefusal::Direction;
    } else if (rule.vendor && LoadBe16(&cdb[wire::kVendorSignatureOffset]) != VID_MAKER) {
      check.refusal = CommandRefusal::Signature;
    } else {
      // Bytes past the CDB length never reach the device; only the sent ones are judged.
      Cdb sent{};
      std::copy_n(cdb.begin(), header.CdbLength, sent.begin());
      if (rule.vendor) sent[4] = sent[5] = 0;
      if (!rule.fieldsMatch(sent, header.DataTransferLength))
        check.refusal = CommandRefusal::Fields;
    }
    return check;
  }
  return {CommandRefusal::UnknownOperation, {}};
}

std::string_view RefusalText(CommandRefusal refusal) {
  switch (refusal) {
    case CommandRefusal::None: return "allowed";
    case CommandRefusal::UnknownOperation: return "not a bridge command";
    case CommandRefusal::CdbLength: return "wrong CDB length";
    case CommandRefusal::Direction: return "wrong data direction";
    case CommandRefusal::Signature: return "no vendor signature";
    case CommandRefusal::Fields: return "data length or fields differ from the tool's";
  }
  return "refused";
}

}  // namespace burnwell::device::relay
