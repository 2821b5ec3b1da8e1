// burnwell-tool backup: a bridge's configuration block and code region saved as an image file
// that `info` accepts and `update` writes back.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bridge/DeviceApi.h"
#include "common/Bytes.h"
#include "common/Hex.h"
#include "common/MainCode.h"
#include "common/WholeFile.h"
#include "image/ConfigBlock.h"
#include "image/ImageBuffer.h"
#include "tools/burnwell-tool/Commands.h"
#include "tools/burnwell-tool/FileTargets.h"
#include "tools/burnwell-tool/Records.h"

namespace burnwell::tool {
namespace {

constexpr const char* kBackupDetails =
    "Reads the configuration block and the code of the selected bridge (the only one attached,\n"
    "or the one --index, --serial or --port names) and writes them to OUT as an image file: the\n"
    "268-byte header (block, product, extra word, code length) and the code. The code saved is\n"
    "the region the checksum beside the bridge's marker covers (23552 or 47104 bytes); without a\n"
    "valid marker, the whole 47104-byte region. `burnwell-tool info OUT` shows the file and\n"
    "`burnwell-tool update OUT` writes it back. The block's checksum bytes are set to the\n"
    "checksum of the code saved, so that the file loads even when the bridge's marker was "
    "stale.\n\n";

// Which code a backup saves, and why.
std::string BackupRegionText(const image::StampedCode& code) {
  const std::string size = std::to_string(code.size);
  if (!code.markedValid)
    return "the bridge's firmware is not marked valid (no marker, or a checksum that matches "
           "neither code size); saving the whole " +
           size + "-byte code region";
  return "saving the " + size + "-byte code region that the bridge's checksum " +
         ChecksumText(code.checksum) + " covers";
}

}  // namespace

int WriteBackup(int index, const std::string& text, protocol::TransferMode transfers,
                std::ostream& err) {
  const std::filesystem::path out = ArgumentPath(text);
  const device::DeviceRecord& record = device::DeviceLayer().table.records[index];
  const bool smallEeprom = std::string(MemoryKind(record)) == "eeprom-256";
  std::uint32_t codeLength = smallEeprom ? 0 : static_cast<std::uint32_t>(kLargeMainCodeSize);

  std::vector<std::uint8_t> flash(image::kConfigBlockSize + codeLength, 0xFF);
  const int read = bridge::BridgeReadFlash(
      index, flash.data(), 0, static_cast<std::uint32_t>(flash.size()), 0, 0, transfers);
  if (read != 0) {
    err << "burnwell-tool backup: reading the bridge failed: " << ResultText(read) << "\n";
    return Code(ExitStatus::Failed);
  }
  if (codeLength != 0) {
    const image::StampedCode code = image::FindStampedCode(flash);
    codeLength = static_cast<std::uint32_t>(code.size);
    flash.resize(image::kConfigBlockSize + codeLength);
    err << "burnwell-tool backup: " << BackupRegionText(code) << "\n";
  }

  std::vector<std::uint8_t> file(image::kImageHeaderSize + codeLength, 0);
  std::copy_n(flash.begin(), image::kConfigBlockSize, file.begin());
  if (codeLength != 0) {
    const std::uint16_t checksum = image::ComputeChecksum(
        std::span<const std::uint8_t>(flash).subspan(image::kConfigBlockSize, codeLength));
    StoreBe16(file.data() + image::offset::kChecksum, checksum);
    std::copy(flash.begin() + image::kConfigBlockSize, flash.end(),
              file.begin() + image::kImageHeaderSize);
  }
  StoreLe32(file.data() + image::offset::kProductWord, record.ProductId);
  StoreLe32(file.data() + image::offset::kCodeLength, codeLength);

  if (const std::optional<std::string> failed = WriteFileWhole(out, file)) {
    err << "burnwell-tool backup: cannot write " << text << ": " << *failed << "\n";
    return Code(ExitStatus::Failed);
  }
  return Code(ExitStatus::Success);
}

CommandAction DeclareBackup(CLI::App& command) {
  struct BackupRequest {
    std::string out;
    BridgeSelection selection;
    bool json = false;
    protocol::TransferMode transfers = protocol::TransferMode::Fast;
  };
  auto request = std::make_shared<BackupRequest>();
  cli::SetUsage(command,
                "burnwell-tool backup OUT [--index N | --serial TEXT | --port LOC] [--json]");
  command.add_option("OUT", request->out, "the image file to write")->required();
  AddBridgeSelection(command, request->selection);
  command.add_flag("--json", request->json, "print one JSON document on standard output");
  AddTransferOption(command, request->transfers);
  command.footer(
      std::string(kBackupDetails) +
      ExitStatusHelp({ExitStatus::Success, ExitStatus::Failed, ExitStatus::Usage,
                      ExitStatus::NoBridge, ExitStatus::BridgeBusy, ExitStatus::NoPermission}));
  return [request](std::ostream& out, std::ostream& err) {
    JsonOutput jsonOut(stdout);
    BridgeSession session;
    const int opened = ReportNoBridgeToUse(session, "backup", err);
    const Selected selected = opened != 0 ? Selected{opened, {}}
                                          : SelectBridges(device::DeviceLayer().table,
                                                          request->selection, "backup", false, err);
    if (selected.status != 0) {
      if (request->json) jsonOut.PrintUnlessPrinted("backup", selected.status);
      return selected.status;
    }
    const int index = selected.indexes.front();
    const int status = WriteBackup(index, request->out, request->transfers, err);
    if (request->json) {
      Json document;
      document["command"] = "backup";
      document["bridge"] = BridgeJson(index, device::DeviceLayer().table.records[index]);
      document["file"] = request->out;
      document["ok"] = status == Code(ExitStatus::Success);
      jsonOut.Print(document);
    } else if (status == Code(ExitStatus::Success)) {
      out << "saved " << request->out << "\n";
    }
    return status;
  };
}

}  // namespace burnwell::tool
