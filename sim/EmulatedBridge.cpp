#include "sim/EmulatedBridge.h"

#include <algorithm>
#include <ostream>
#include <stdexcept>

#include "common/Bytes.h"
#include "wire/ScsiRequest.h"
#include "wire/VendorOpcodes.h"
#include "sim/ChipCatalog.h"
#include "sim/FactoryImage.h"
#include "sim/Trace.h"

namespace burnwell::sim {
namespace {

using wire::kAtaIdentifyDevice;
using wire::kBlockSize;
using wire::kIdentificationBlock;
namespace opcode = wire::opcode;
constexpr std::size_t kMaxSpiOrEepromTransfer = 32;

// Additional sense codes.
constexpr std::uint8_t kAscInvalidOpcode = 0x20;
constexpr std::uint8_t kAscLbaOutOfRange = 0x21;
constexpr std::uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr std::uint8_t kAscInternalFailure = 0x44;
constexpr std::uint8_t kAscSavingParametersNotSupported = 0x39;

// The caching mode page: write cache off, read cache on, nothing changeable, so its current,
// default and changeable values are all this. A disk driver reads it (alone or among all
// pages) to learn whether it must flush.
constexpr std::uint8_t kCachingPageCode = 0x08;
constexpr std::uint8_t kAllPages = 0x3F;
constexpr std::array<std::uint8_t, 20> kCachingPage = {kCachingPageCode, 0x12};

// Mode parameter headers: MODE SENSE(6) has a 4-byte header, MODE SENSE(10) an 8-byte one.
// Neither carries block descriptors (allowed whatever DBD says).
namespace mode6 {
constexpr std::size_t DataLength = 0;        // u8, bytes after this field
constexpr std::size_t DeviceSpecific = 2;    // u8, bit 7 write protect
constexpr std::size_t DescriptorLength = 3;  // u8
constexpr std::size_t kHeaderSize = 4;
}  // namespace mode6
namespace mode10 {
constexpr std::size_t DataLength = 0;  // u16 big-endian
constexpr std::size_t DeviceSpecific = 3;
constexpr std::size_t DescriptorLength = 6;  // u16 big-endian
constexpr std::size_t kHeaderSize = 8;
}  // namespace mode10
static_assert(mode6::DescriptorLength < mode6::kHeaderSize &&
              mode10::DescriptorLength + 2 == mode10::kHeaderSize);

// ATA strings store each pair of characters high byte first.
void PutAtaString(std::array<std::uint8_t, 512>& data, std::size_t word, std::size_t words,
                  std::string_view text) {
  for (std::size_t i = 0; i < words * 2; ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    data[word * 2 + (i ^ 1)] = static_cast<std::uint8_t>(c);
  }
}

std::string Padded(std::string_view text, std::size_t width) {
  std::string out(text.substr(0, width));
  out.resize(width, ' ');
  return out;
}

}  // namespace

struct EmulatedBridge::Reply {
  std::uint8_t status = kScsiGood;
  std::uint8_t senseKey = 0;
  std::uint8_t asc = 0;
  std::uint32_t dataLength = 0;  // bytes that moved (to the host for reads)

  static Reply Good(std::uint32_t length = 0) { return Reply{kScsiGood, 0, 0, length}; }
  static Reply Check(std::uint8_t key, std::uint8_t asc) {
    return Reply{kScsiCheckCondition, key, asc, 0};
  }
  static Reply Illegal(std::uint8_t asc = kAscInvalidFieldInCdb) {
    return Check(kSenseIllegalRequest, asc);
  }
};

EmulatedBridge::EmulatedBridge(BridgeConfig config, SimClock& clock)
    : config_(std::move(config)), clock_(clock) {
  if (config_.eeprom) {
    eeprom_ = std::make_unique<Eeprom>(*config_.eeprom);
  } else if (config_.chipModel) {
    chip_ = std::make_unique<FlashChip>(*config_.chipModel, clock_);
    hasSpiSocket_ = true;
  } else if (config_.chip != kAbsentChipName) {
    auto description = FindChip(config_.chip);
    if (!description) throw std::invalid_argument("unknown chip model '" + config_.chip + "'");
    chip_ = std::make_unique<FlashChip>(std::move(*description), clock_);
    hasSpiSocket_ = true;
  } else {
    hasSpiSocket_ = true;
  }

  auto memory = Memory();
  if (config_.memoryContents) {
    if (config_.memoryContents->size() > memory.size()) {
      throw std::invalid_argument(
          "memory contents of " + std::to_string(config_.memoryContents->size()) +
          " bytes do not fit a memory of " + std::to_string(memory.size()) + " bytes");
    }
    std::copy(config_.memoryContents->begin(), config_.memoryContents->end(), memory.begin());
  } else if (!memory.empty()) {
    const auto image =
        BuildFactoryImage(config_.vendorId, config_.productId, config_.firmwareVersion,
                          config_.serial, static_cast<std::uint32_t>(memory.size()));
    std::copy(image.begin(), image.end(), memory.begin());
  }

  const FaultPlan& faults = config_.faults;
  if (chip_) {
    chip_->SetStuckBusy(faults.stuckBusy);
    chip_->SetDropPrograms(faults.dropWrites);
    if (faults.forgetMarker) chip_->SetForgetfulRange(11, 13);
  }
  if (eeprom_) {
    eeprom_->SetDropWrites(faults.dropWrites);
    if (faults.forgetMarker) eeprom_->SetForgetfulRange(11, 13);
  }
}

EmulatedBridge::~EmulatedBridge() = default;

std::span<std::uint8_t> EmulatedBridge::Memory() {
  if (chip_) return chip_->Memory();
  if (eeprom_) return eeprom_->Memory();
  return {};
}

std::span<const std::uint8_t> EmulatedBridge::Memory() const {
  if (chip_) return static_cast<const FlashChip&>(*chip_).Memory();
  if (eeprom_) return static_cast<const Eeprom&>(*eeprom_).Memory();
  return {};
}

void EmulatedBridge::SetScsiTrace(std::ostream* stream) {
  std::lock_guard lock(mutex_);
  scsiTrace_ = stream;
}

void EmulatedBridge::SetSpiTrace(std::ostream* stream) {
  std::lock_guard lock(mutex_);
  spiTrace_ = stream;
}

void EmulatedBridge::FailCommand(std::uint64_t commandNumber, FailureKind kind) {
  std::lock_guard lock(mutex_);
  config_.faults.failCommands.push_back({commandNumber, kind});
}

std::uint64_t EmulatedBridge::CommandCount() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

bool EmulatedBridge::ChipSelected() const {
  std::lock_guard lock(mutex_);
  return selected_;
}

wire::BridgeInfoBytes EmulatedBridge::InfoBlock() const {
  const std::uint16_t pair = LoadBe16(config_.pairBytes.data());
  return wire::EncodeBridgeInfo(
      {.vendorId = config_.vendorId,
       .productId = config_.productId,
       .firmwareVersion = config_.firmwareVersion,
       .pairFirst = pair,
       .pairSecond = static_cast<std::uint16_t>(pair ^ (config_.pairMismatch ? 0x00FF : 0)),
       .mode = config_.eeprom ? static_cast<std::uint8_t>(*config_.eeprom) : std::uint8_t{0},
       .flag = static_cast<std::uint8_t>(hasSpiSocket_ ? 1 : 0)});
}

std::array<std::uint8_t, 512> EmulatedBridge::IdentifyData() const {
  std::array<std::uint8_t, 512> data{};
  StoreLe16(&data[0], 0x0040);  // fixed drive
  PutAtaString(data, 10, 10, config_.serial);
  PutAtaString(data, 23, 4, "EMU1.00");
  PutAtaString(data, 27, 20, "BURNWELL EMULATED DISK");
  StoreLe16(&data[49 * 2], 0x0200);  // LBA supported
  StoreLe16(&data[60 * 2], static_cast<std::uint16_t>(kDriveBlocks & 0xFFFF));
  StoreLe16(&data[61 * 2], static_cast<std::uint16_t>(kDriveBlocks >> 16));
  StoreLe16(&data[83 * 2], 0x4400);  // 48-bit addressing
  StoreLe16(&data[86 * 2], 0x0400);
  StoreLe16(&data[100 * 2], static_cast<std::uint16_t>(kDriveBlocks & 0xFFFF));
  StoreLe16(&data[101 * 2], static_cast<std::uint16_t>(kDriveBlocks >> 16));
  // Words 20-21 (obsolete buffer fields) carry the bridge's IDs, high byte first.
  StoreBe16(&data[40], config_.vendorId);
  StoreBe16(&data[42], config_.productId);
  // Integrity word: signature 0xA5 and a checksum making all 512 bytes sum to zero.
  data[510] = 0xA5;
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < 511; ++i) sum = static_cast<std::uint8_t>(sum + data[i]);
  data[511] = static_cast<std::uint8_t>(-sum);
  return data;
}

std::uint32_t EmulatedBridge::DiskSignature() const {
  std::uint32_t signature = 0x5EED0000u ^ config_.productId;
  for (char c : config_.serial) signature = signature * 31u + static_cast<unsigned char>(c);
  return signature == 0 ? 1 : signature;
}

std::array<std::uint8_t, 512> EmulatedBridge::DriveBlock(std::uint64_t lba) const {
  std::array<std::uint8_t, 512> block{};
  if (lba == 0) {
    StoreLe32(&block[440], DiskSignature());
    block[510] = 0x55;
    block[511] = 0xAA;
  }
  return block;
}

std::optional<FailureKind> EmulatedBridge::InjectedFailure(std::uint8_t operation) const {
  const FaultPlan& faults = config_.faults;
  std::optional<FailureKind> injected;
  for (const auto& f : faults.failCommands) {
    if (f.commandNumber == commands_) injected = f.kind;
  }
  for (const auto& f : faults.failOpcodes) {
    if (f.opcode == operation) injected = f.kind;
  }
  return injected;
}

void EmulatedBridge::AnswerSense(const Reply& reply, std::size_t asked,
                                 std::span<std::uint8_t> sense) {
  // Kept in fixed format for REQUEST SENSE, and copied into the request's sense area.
  lastSense_.fill(0);
  if (reply.status != kScsiGood) {
    lastSense_[0] = 0x70;
    lastSense_[2] = reply.senseKey;
    lastSense_[7] = 10;
    lastSense_[12] = reply.asc;
  }
  std::fill(sense.begin(), sense.end(), 0);
  if (reply.status != kScsiGood) {
    const std::size_t n = std::min<std::size_t>({lastSense_.size(), asked, sense.size()});
    std::copy_n(lastSense_.begin(), n, sense.begin());
  }
}

CommandOutcome EmulatedBridge::Execute(std::span<std::uint8_t> request) {
  std::lock_guard lock(mutex_);
  ++commands_;
  clock_.Spend(config_.latencyUs);

  // Bytes too short for a header are never read: such a request is traced with an empty CDB.
  const wire::ScsiRequestView view(request);
  const auto header = wire::ScsiRequestView::HoldsHeader(request.size())
                          ? view.Header()
                          : wire::ScsiPassThroughHeader{};
  const std::span<const std::uint8_t> cdb = header.CdbBytes();
  const bool dataIn = header.ReadsData();
  const auto direction = header.DataTransferLength == 0 ? TraceDirection::None
                         : dataIn                       ? TraceDirection::In
                                                        : TraceDirection::Out;
  auto traceLost = [&] {
    if (scsiTrace_)
      *scsiTrace_ << ScsiTraceLine(cdb, direction, {}, TraceStatus::Fail) << '\n' << std::flush;
    return CommandOutcome::TransportFailure;
  };

  const FaultPlan& faults = config_.faults;
  if (faults.disconnectAfter && commands_ > *faults.disconnectAfter) {
    traceLost();
    return CommandOutcome::Disconnected;
  }
  // A request the storage stack would refuse never reaches the bridge.
  if (request.size() < wire::kDataOffset || header.DataTransferLength > view.Data().size() ||
      !header.CdbLengthValid() || header.DataIn > wire::SCSI_IOCTL_DATA_IN) {
    return traceLost();
  }

  const std::optional<FailureKind> injected = InjectedFailure(header.Cdb[0]);
  if (injected == FailureKind::Transport) return traceLost();

  auto data = view.Data().first(header.DataTransferLength);
  Reply reply = injected ? Reply::Check(kSenseHardwareError, kAscInternalFailure)
                         : Dispatch(cdb.data(), header.CdbLength, dataIn, data);

  if (dataIn && reply.status == kScsiGood && reply.dataLength > 0) {
    ++dataInCommands_;
    if (std::find(faults.corruptReads.begin(), faults.corruptReads.end(), dataInCommands_) !=
        faults.corruptReads.end()) {
      data[0] = static_cast<std::uint8_t>(~data[0]);
    }
  }

  AnswerSense(reply, header.SenseInfoLength, view.Sense());
  view.SetScsiStatus(reply.status);
  if (dataIn && reply.status == kScsiGood) view.SetDataTransferLength(reply.dataLength);

  if (scsiTrace_) {
    auto shown = direction == TraceDirection::In && reply.status == kScsiGood
                     ? std::span<const std::uint8_t>(data.first(reply.dataLength))
                     : std::span<const std::uint8_t>(data);
    *scsiTrace_ << ScsiTraceLine(cdb, direction, shown,
                                 reply.status == kScsiGood ? TraceStatus::Good : TraceStatus::Check)
                << '\n'
                << std::flush;
  }
  return CommandOutcome::Completed;
}

EmulatedBridge::Reply EmulatedBridge::Dispatch(const std::uint8_t* cdb, std::uint8_t cdbLength,
                                               bool dataIn, std::span<std::uint8_t> data) {
  const std::uint8_t operation = cdb[0];
  if (operation >= 0xD0 && operation <= 0xDF) return Vendor(cdb, dataIn, data);
  switch (operation) {
    case opcode::kTestUnitReady:
    case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL: nothing to lock, the medium is fixed
    case 0x35:  // SYNCHRONIZE CACHE(10): the write cache is off, nothing to flush
      return Reply::Good();
    case opcode::kRequestSense: {  // the sense of the failure before it, or NO SENSE
      if (!dataIn) return Reply::Illegal();
      std::array<std::uint8_t, 18> sense = lastSense_;
      if (sense[0] == 0) {
        sense[0] = 0x70;
        sense[7] = 10;
      }
      const std::size_t n = std::min<std::size_t>({data.size(), sense.size(), cdb[4]});
      std::copy_n(sense.begin(), n, data.begin());
      return Reply::Good(static_cast<std::uint32_t>(n));
    }
    case 0x1A:  // MODE SENSE(6)
    case 0x5A:  // MODE SENSE(10)
      if (operation == 0x5A && cdbLength < 10) return Reply::Illegal();
      return ModeSense(cdb, dataIn, data);
    case opcode::kInquiry: return Inquiry(cdb, dataIn, data);
    case 0x25: {  // READ CAPACITY(10)
      if (!dataIn || data.size() < 8) return Reply::Illegal();
      StoreBe32(&data[0], kDriveBlocks - 1);
      StoreBe32(&data[4], kBlockSize);
      return Reply::Good(8);
    }
    case opcode::kRead10:
      if (cdbLength < 10) return Reply::Illegal();
      return Read10(cdb, dataIn, data);
    default: return Reply::Illegal(kAscInvalidOpcode);
  }
}

EmulatedBridge::Reply EmulatedBridge::Vendor(const std::uint8_t* cdb, bool dataIn,
                                             std::span<std::uint8_t> data) {
  if (LoadBe16(&cdb[wire::kVendorSignatureOffset]) != VID_MAKER) return Reply::Illegal();
  const std::uint8_t operation = cdb[0];
  auto needs = [&](bool in, std::size_t length) {
    return (length == 0 || in == dataIn) && data.size() >= length;
  };

  switch (operation) {
    case opcode::kBridgeInfo: {
      if (!dataIn || data.empty()) return Reply::Illegal();
      std::fill(data.begin(), data.end(), 0);
      const auto block = InfoBlock();
      std::copy_n(block.begin(), std::min(block.size(), data.size()), data.begin());
      return Reply::Good(static_cast<std::uint32_t>(data.size()));
    }
    case opcode::kEepromWrite:
    case opcode::kEepromRead: {
      const std::size_t length = cdb[1];
      const std::uint16_t address = LoadBe16(&cdb[2]);
      if (length > kMaxSpiOrEepromTransfer || !needs(operation == opcode::kEepromRead, length))
        return Reply::Illegal();
      if (!eeprom_)
        return Reply::Check(kSenseHardwareError, kAscInternalFailure);  // nothing acknowledges
      if (operation == opcode::kEepromWrite) {
        eeprom_->Write(address, data.first(length));
        if (length > 0) clock_.Spend(eeprom_->WriteCycleUs());
        return Reply::Good(static_cast<std::uint32_t>(length));
      }
      eeprom_->Read(address, data.first(length));
      return Reply::Good(static_cast<std::uint32_t>(length));
    }
    case opcode::kSpiSelect: SpiSelect(); return Reply::Good();
    case opcode::kSpiDeselect: SpiDeselect(); return Reply::Good();
    case opcode::kSpiWrite:
    case opcode::kSpiRead: {  // inside a selection
      const std::size_t length = cdb[3];
      const bool read = operation == opcode::kSpiRead;
      if (length > kMaxSpiOrEepromTransfer || !needs(read, length)) return Reply::Illegal();
      for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t miso = 0xFF;
        if (selected_ && chip_) miso = chip_->Exchange(read ? 0xFF : data[i]);
        if (read) {
          data[i] = miso;
          if (selected_) spiRead_.push_back(miso);
        } else if (selected_) {
          spiWritten_.push_back(data[i]);
        }
      }
      const std::uint32_t limit = config_.selectionEndsAfterTransfers;
      if (selected_ && limit != 0 && ++transfersInSelection_ >= limit) SpiDeselect();
      return Reply::Good(static_cast<std::uint32_t>(length));
    }
    case opcode::kVendorAta: {
      const bool read = cdb[1] == wire::kVendorAtaRead;
      if (!read && cdb[1] != wire::kVendorAtaWrite) return Reply::Illegal();
      const std::uint32_t length = LoadBe32(&cdb[6]);
      if (!needs(read, length)) return Reply::Illegal();
      if (cdb[15] == kAtaIdentifyDevice && read && length >= kBlockSize) {
        const auto identify = IdentifyData();
        std::fill(data.begin(), data.begin() + length, 0);
        std::copy(identify.begin(), identify.end(), data.begin());
        return Reply::Good(length);
      }
      return Reply::Check(kSenseAbortedCommand,
                          0x00);  // the drive aborts what it is not asked to do here
    }
    default:  // 0xD7 and everything the firmware does not know
      return Reply::Illegal(kAscInvalidOpcode);
  }
}

EmulatedBridge::Reply EmulatedBridge::Inquiry(const std::uint8_t* cdb, bool dataIn,
                                              std::span<std::uint8_t> data) {
  if (!dataIn) return Reply::Illegal();
  const bool vpd = (cdb[1] & 0x01) != 0;
  const std::uint8_t page = cdb[2];
  const std::size_t allocation = std::min<std::size_t>(cdb[4], data.size());
  std::vector<std::uint8_t> answer;
  if (!vpd) {
    if (page != 0) return Reply::Illegal();
    answer.assign(36, 0);
    answer[0] = 0x00;  // direct-access block device
    answer[1] = 0x80;  // removable
    answer[2] = 0x02;
    answer[3] = 0x02;
    answer[4] = 31;
    std::string revision = config_.inquiryRevision;
    if (revision.empty()) {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      for (int shift = 12; shift >= 0; shift -= 4)
        revision += kDigits[(config_.firmwareVersion >> shift) & 0xF];
    }
    const std::string text =
        Padded(config_.inquiryVendor, 8) + Padded(config_.inquiryProduct, 16) + Padded(revision, 4);
    std::copy(text.begin(), text.end(), answer.begin() + 8);
  } else if (page == 0x00) {
    answer = {0x00, 0x00, 0x00, 0x02, 0x00, 0x80};
  } else if (page == 0x80) {
    answer = {0x00, 0x80, 0x00, static_cast<std::uint8_t>(config_.serial.size())};
    answer.insert(answer.end(), config_.serial.begin(), config_.serial.end());
  } else {
    return Reply::Illegal();
  }
  std::fill(data.begin(), data.end(), 0);
  const std::size_t n = std::min(allocation, answer.size());
  std::copy_n(answer.begin(), n, data.begin());
  return Reply::Good(static_cast<std::uint32_t>(n));
}

EmulatedBridge::Reply EmulatedBridge::ModeSense(const std::uint8_t* cdb, bool dataIn,
                                                std::span<std::uint8_t> data) {
  if (!dataIn) return Reply::Illegal();
  const bool ten = cdb[0] == 0x5A;
  const std::uint8_t control = cdb[2] >> 6;  // 0 current, 1 changeable, 2 default, 3 saved
  const std::uint8_t page = cdb[2] & 0x3F;
  const std::uint8_t subpage = cdb[3];
  if (control == 3) return Reply::Illegal(kAscSavingParametersNotSupported);
  if ((page != kCachingPageCode && page != kAllPages) || subpage != 0) return Reply::Illegal();

  const std::size_t headerSize = ten ? mode10::kHeaderSize : mode6::kHeaderSize;
  std::vector<std::uint8_t> answer(headerSize, 0);
  answer.insert(answer.end(), kCachingPage.begin(), kCachingPage.end());
  if (ten) {
    StoreBe16(&answer[mode10::DataLength], static_cast<std::uint16_t>(answer.size() - 2));
    answer[mode10::DeviceSpecific] = 0x00;  // not write-protected, no DPO/FUA
  } else {
    answer[mode6::DataLength] = static_cast<std::uint8_t>(answer.size() - 1);
    answer[mode6::DeviceSpecific] = 0x00;
  }
  const std::size_t allocation =
      std::min<std::size_t>(ten ? LoadBe16(&cdb[7]) : cdb[4], data.size());
  const std::size_t n = std::min(allocation, answer.size());
  std::fill(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(allocation), 0);
  std::copy_n(answer.begin(), n, data.begin());
  return Reply::Good(static_cast<std::uint32_t>(n));
}

EmulatedBridge::Reply EmulatedBridge::Read10(const std::uint8_t* cdb, bool dataIn,
                                             std::span<std::uint8_t> data) {
  const std::uint32_t lba = LoadBe32(&cdb[2]);
  const std::uint32_t blocks = LoadBe16(&cdb[7]);
  if (!dataIn && blocks > 0) return Reply::Illegal();
  if (data.size() < static_cast<std::size_t>(blocks) * kBlockSize) return Reply::Illegal();
  if (static_cast<std::uint64_t>(lba) + blocks > kDriveBlocks)
    return Reply::Illegal(kAscLbaOutOfRange);

  // The identification sequence unlocks the identification block.
  const auto& sequence = wire::kIdentificationSequence;
  const bool unlocked = recentReads_.size() == sequence.size() &&
                        std::equal(sequence.begin(), sequence.end(), recentReads_.begin());

  for (std::uint32_t i = 0; i < blocks; ++i) {
    auto block = DriveBlock(lba + i);
    std::copy(block.begin(), block.end(),
              data.begin() + static_cast<std::ptrdiff_t>(i) * kBlockSize);
  }
  if (lba == kIdentificationBlock && unlocked && blocks > 0) {
    StoreBe16(&data[2], config_.vendorId);
    StoreBe16(&data[4], config_.productId);
  }
  if (blocks == 1) {
    recentReads_.push_back(lba);
    if (recentReads_.size() > sequence.size()) recentReads_.erase(recentReads_.begin());
  }
  if (lba == kIdentificationBlock || blocks != 1) recentReads_.clear();
  return Reply::Good(blocks * kBlockSize);
}

void EmulatedBridge::SpiSelect() {
  if (selected_) return;  // chip select is already low
  selected_ = true;
  transfersInSelection_ = 0;
  spiWritten_.clear();
  spiRead_.clear();
  if (chip_) chip_->Select();
}

void EmulatedBridge::SpiDeselect() {
  if (!selected_) return;
  selected_ = false;
  if (chip_) chip_->Deselect();
  if (spiTrace_) {
    const std::string line = SpiTraceLine(spiWritten_, spiRead_);
    if (!line.empty()) *spiTrace_ << line << '\n' << std::flush;
  }
  spiWritten_.clear();
  spiRead_.clear();
}

}  // namespace burnwell::sim
