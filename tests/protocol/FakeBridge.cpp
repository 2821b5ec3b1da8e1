#include "FakeBridge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/Bytes.h"
#include "common/MakerIds.h"
#include "platform/WinNames.h"

namespace burnwell::test {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (std::uint8_t b : bytes) {
    char part[4];
    std::snprintf(part, sizeof part, "%02X", b);
    if (!text.empty()) text += ' ';
    text += part;
  }
  return text;
}

void FakeSpiChip::Select() {
  // Chip select is a level: selecting an already selected chip continues its transaction.
  if (selected) return;
  selected = true;
  command.clear();
  readPosition_ = 0;
}

void FakeSpiChip::Write(const std::vector<std::uint8_t>& bytes) {
  command.insert(command.end(), bytes.begin(), bytes.end());
}

std::uint32_t FakeSpiChip::Address() const {
  if (command.size() < 4) return 0;
  return (std::uint32_t{command[1]} << 16) | (std::uint32_t{command[2]} << 8) | command[3];
}

void FakeSpiChip::Program(std::uint32_t address, std::uint8_t value) {
  memory[address % memory.size()] &= value;  // NOR: programming only clears bits
}

std::vector<std::uint8_t> FakeSpiChip::Read(std::size_t count) {
  std::vector<std::uint8_t> out(count, 0xFF);
  if (command.empty()) return out;
  const std::uint8_t op = command[0];
  if (op == 0x05) {
    bool busy = stuckBusy;
    if (!busy && busyPolls > 0) {
      busy = true;
      --busyPolls;
    }
    std::fill(out.begin(), out.end(),
              static_cast<std::uint8_t>(status | (writeEnabled ? 2 : 0) | (busy ? 1 : 0)));
  } else if (op == 0x03 || op == 0x0B) {
    for (std::size_t i = 0; i < count; ++i)
      out[i] = memory[(Address() + readPosition_ + i) % memory.size()];
  } else if (auto it = idAnswers.find(op); it != idAnswers.end()) {
    for (std::size_t i = 0; i < count; ++i)
      if (readPosition_ + i < it->second.size()) out[i] = it->second[readPosition_ + i];
  }
  readPosition_ += count;
  return out;
}

void FakeSpiChip::Deselect() {
  selected = false;
  if (command.empty()) return;
  const std::uint8_t op = command[0];
  switch (op) {
    case 0x06: writeEnabled = true; break;
    case 0x04:
      writeEnabled = false;
      autoIncrement = false;
      break;
    case 0x01:
      if (writeEnabled && command.size() > 1) {
        status = command[1] & 0xFC;
        writeEnabled = false;
        busyPolls = busyPollsAfterWork;
      }
      break;
    case 0x02:
      if (writeEnabled && command.size() > 4) {
        const std::uint32_t address = Address();
        for (std::size_t i = 4; i < command.size(); ++i)
          Program((address & ~0xFFu) | ((address + i - 4) & 0xFF), command[i]);
        writeEnabled = false;
        busyPolls = busyPollsAfterWork;
      }
      break;
    case 0xAF:
      if (writeEnabled && command.size() == 5) {
        autoAddress = Address();
        Program(autoAddress++, command[4]);
        autoIncrement = true;
        busyPolls = busyPollsAfterWork;
      } else if (autoIncrement && command.size() == 2) {
        Program(autoAddress++, command[1]);
      }
      break;
    case 0x60:
    case 0x62:
    case 0xC7:
      if (writeEnabled) {
        if (!eraseIgnored) std::fill(memory.begin(), memory.end(), 0xFF);
        writeEnabled = false;
        busyPolls = busyPollsAfterWork;
      }
      break;
    default: break;
  }
  command.clear();
}

std::vector<std::string> FakeBridge::TraceFrom(std::size_t from) const {
  return {trace.begin() + static_cast<std::ptrdiff_t>(std::min(from, trace.size())), trace.end()};
}

bool FakeBridge::IoControl(platform::Handle handle, std::uint32_t code, const void* in,
                           std::uint32_t inSize, void* out, std::uint32_t outSize,
                           std::uint32_t* returned) {
  ioControlCodes.push_back(code);
  if (handle != kHandle) return false;
  if (code == IOCTL_SCSI_PASS_THROUGH) {
    if (in != out || inSize != outSize) return false;
    if (returned) *returned = outSize;
    return PassThrough(static_cast<std::uint8_t*>(out), outSize);
  }
  if (!controlAnswer) return false;
  return controlAnswer(code, static_cast<const std::uint8_t*>(in), inSize,
                       static_cast<std::uint8_t*>(out), outSize);
}

bool FakeBridge::PassThrough(std::uint8_t* request, std::uint32_t size) {
  std::span<std::uint8_t> bytes(request, size);
  ScsiCommand command;
  command.header = wire::DecodePassThroughHeader(bytes);
  command.requestSize = size;
  const auto& h = command.header;
  std::uint8_t* data = request + wire::kDataOffset;
  if (h.DataIn == wire::SCSI_IOCTL_DATA_OUT)
    command.dataOut.assign(data, data + h.DataTransferLength);
  commands.push_back(command);

  const auto& cdb = h.Cdb;
  const bool vendor = cdb[0] >= 0xD0 && cdb[0] <= 0xD8;
  const bool signed_ = LoadBe16(&cdb[4]) == VID_MAKER;
  char line[64];
  std::uint8_t status = 0;
  wire::ScsiPassThroughHeader reply = h;
  switch (cdb[0]) {
    case 0xD3:
      trace.push_back("select");
      break;
    case 0xD4:
      trace.push_back("deselect");
      break;
    case 0xD5:
      trace.push_back("spi-w " + Hex(command.dataOut));
      break;
    case 0xD6:
      trace.push_back("spi-r " + std::to_string(cdb[3]));
      break;
    case 0xD1:
      std::snprintf(line, sizeof line, "ee-w %04X %u", LoadBe16(&cdb[2]), cdb[1]);
      trace.push_back(line);
      break;
    case 0xD2:
      std::snprintf(line, sizeof line, "ee-r %04X %u", LoadBe16(&cdb[2]), cdb[1]);
      trace.push_back(line);
      break;
    default:
      std::snprintf(line, sizeof line, "scsi %02X", cdb[0]);
      trace.push_back(line);
  }
  const bool refused = static_cast<int>(commands.size()) - 1 == failAt || (vendor && !signed_);
  if (refused) {
    status = 2;
  } else {
    switch (cdb[0]) {
      case 0xD3: chip.Select(); break;
      case 0xD4: chip.Deselect(); break;
      case 0xD5: chip.Write(command.dataOut); break;
      case 0xD6: {
        const auto answer = chip.Read(cdb[3]);
        std::copy(answer.begin(), answer.end(), data);
        break;
      }
      case 0xD1: {
        const std::uint16_t address = LoadBe16(&cdb[2]);
        for (std::size_t i = 0; i < command.dataOut.size(); ++i)
          eeprom[(address + i) & 0xFFFF] = command.dataOut[i];
        break;
      }
      case 0xD2: {
        const std::uint16_t address = LoadBe16(&cdb[2]);
        for (std::size_t i = 0; i < cdb[1]; ++i) data[i] = eeprom[(address + i) & 0xFFFF];
        break;
      }
      default:
        status = answer ? answer(command, reply, data) : 2;
    }
  }
  reply.ScsiStatus = status;
  wire::EncodePassThroughHeader(reply, bytes);
  return true;
}

ProtocolHarness::ProtocolHarness() {
  device::ResetDeviceLayerState();
  device::DeviceLayer().ntFlag = true;
  device::DeviceLayer().useRelay = false;
}

ProtocolHarness::~ProtocolHarness() { device::ResetDeviceLayerState(); }

device::DeviceRecord ProtocolHarness::Record() const {
  device::DeviceRecord record;
  record.Handle = FakeBridge::kHandle;
  record.TransportKind = device::TransportKind::MassStorage;
  record.Byte11Set = 1;
  return record;
}

void ProtocolHarness::FillTable(std::uint32_t count, bool includeBridge) {
  for (std::uint32_t i = 0; i < count; ++i) {
    device::DeviceRecord& added = device::DeviceLayer().table.Append();
    added.Handle = (includeBridge && i == count - 1) ? FakeBridge::kHandle : 100 + i;
  }
}

}  // namespace burnwell::test
