#include "ProtocolHarness.h"

#include <cstdio>

#include "common/Hex.h"
#include "common/Bytes.h"
#include "platform/WinNames.h"
#include "sim/ChipCatalog.h"
#include "sim/Trace.h"

namespace burnwell::test {
namespace {

std::string ShortForm(const SentCommand& command) {
  const auto& cdb = command.header.Cdb;
  char line[64];
  switch (cdb[0]) {
    case 0xD3: return "select";
    case 0xD4: return "deselect";
    case 0xD5: return "spi-w " + HexBytes(command.dataOut);
    case 0xD6: return "spi-r " + std::to_string(cdb[3]);
    case 0xD1:
    case 0xD2:
      std::snprintf(line, sizeof line, "%s %04X %u", cdb[0] == 0xD1 ? "ee-w" : "ee-r",
                    LoadBe16(&cdb[2]), cdb[1]);
      return line;
    default: std::snprintf(line, sizeof line, "scsi %02X", cdb[0]); return line;
  }
}

}  // namespace

bool RecordingDeviceIo::IoControl(platform::Handle handle, std::uint32_t code, const void* in,
                                  std::uint32_t inSize, void* out, std::uint32_t outSize,
                                  std::uint32_t* returned) {
  const auto* input = static_cast<const std::uint8_t*>(in);
  SentControl& control = controls.emplace_back();
  control.code = code;
  if (input) control.in.assign(input, input + inSize);
  control.outSize = outSize;
  control.inPlace = in == out;
  if (code == IOCTL_SCSI_PASS_THROUGH && input && inSize >= wire::kDataOffset) {
    SentCommand command;
    command.header = wire::DecodePassThroughHeader(std::span(input, inSize));
    command.requestSize = inSize;
    const std::uint8_t* data = input + wire::kDataOffset;
    if (command.header.DataIn == wire::SCSI_IOCTL_DATA_OUT)
      command.dataOut.assign(data, data + std::min<std::size_t>(command.header.DataTransferLength,
                                                                inSize - wire::kDataOffset));
    commands.push_back(command);
    if (answer && out && outSize >= inSize) {
      wire::ScsiPassThroughHeader reply = command.header;
      auto* request = static_cast<std::uint8_t*>(out);
      if (const auto status = answer(commands.back(), reply, request + wire::kDataOffset)) {
        reply.ScsiStatus = *status;
        wire::EncodePassThroughHeader(reply, std::span(request, outSize));
        if (returned) *returned = inSize;
        return true;
      }
    }
  } else if (code != IOCTL_SCSI_PASS_THROUGH && controlAnswer) {
    return controlAnswer(code, input, inSize, static_cast<std::uint8_t*>(out), outSize);
  }
  return emulator_.IoControl(handle, code, in, inSize, out, outSize, returned);
}

sim::BridgeConfig WithChip(sim::ChipDescription chip) {
  sim::BridgeConfig config;
  config.chipModel = std::move(chip);
  config.memoryContents = std::vector<std::uint8_t>{};  // nothing written: the part as erased
  config.latencyUs = 0;
  return config;
}

sim::BridgeConfig WithEeprom() {
  sim::BridgeConfig config = sim::BridgeConfig::WithEeprom(sim::EepromKind::Large64k);
  config.memoryContents = std::vector<std::uint8_t>{};
  config.latencyUs = 0;
  return config;
}

sim::ChipDescription ReadyChip(std::string_view model) {
  sim::ChipDescription chip = sim::FindChip(model).value();
  chip.pageProgramUs = 0;
  chip.statusWriteUs = 0;
  chip.chipEraseUs = 0;
  for (sim::EraseCommand& erase : chip.regionErases) erase.timeUs = 0;
  return chip;
}

sim::ChipDescription UnidentifiedChip() {
  sim::ChipDescription chip = ReadyChip("W25X40");
  chip.jedecId.clear();
  chip.manufacturerId.reset();
  chip.signatureAnswer = sim::SignatureAnswer::None;
  chip.signature.clear();
  chip.productId15.clear();
  return chip;
}

ProtocolHarness::ProtocolHarness(sim::BridgeConfig config, sim::Presentation presentation)
    : emu(std::move(config), presentation), record_(emu.OpenRecord(false)) {}

void ProtocolHarness::FillTable(std::uint32_t count, bool includeBridge) {
  for (std::uint32_t i = 0; i < count; ++i) {
    device::DeviceRecord& added = device::DeviceLayer().table.Append();
    added.Handle = (includeBridge && i == count - 1) ? record_.Handle : 100 + i;
  }
}

Strings ProtocolHarness::Trace(std::size_t from) const {
  Strings lines;
  for (std::size_t i = from; i < io.commands.size(); ++i)
    lines.push_back(ShortForm(io.commands[i]));
  return lines;
}

void ProtocolHarness::FailCommand(std::size_t index) {
  emu.Bridge().FailCommand(index + 1, sim::FailureKind::CheckCondition);
}

}  // namespace burnwell::test
