#include "tools/burnwell-tool/BackupFile.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "bridge/DeviceApi.h"
#include "common/Bytes.h"
#include "common/ExitStatus.h"
#include "device/DeviceRecord.h"
#include "image/ConfigBlock.h"
#include "image/ImageBuffer.h"
#include "tools/burnwell-tool/BridgeSession.h"
#include "tools/burnwell-tool/Commands.h"

namespace burnwell::tool {

int WriteBackup(int index, const std::string& text, protocol::TransferMode transfers,
                std::ostream& err) {
  const std::filesystem::path out = ArgumentPath(text);
  const device::DeviceRecord& record = device::DeviceLayer().table.records[index];
  const bool smallEeprom = std::string(MemoryKind(record)) == "eeprom-256";
  const std::uint32_t codeLength = smallEeprom ? 0 : record.CodeSize;

  std::vector<std::uint8_t> flash(image::kConfigBlockSize + codeLength, 0xFF);
  const int read = bridge::BridgeReadFlash(
      index, flash.data(), 0, static_cast<std::uint32_t>(flash.size()), 0, 0, transfers);
  if (read != 0) {
    err << "burnwell-tool backup: reading the bridge failed: " << ResultText(read) << "\n";
    return Code(ExitStatus::Failed);
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

  std::filesystem::path partial = out;
  partial += ".partial";
  {
    std::ofstream stream(partial, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(file.data()),
                 static_cast<std::streamsize>(file.size()));
    // Closed before the check: a write that fails only when the buffer is flushed (a full disk)
    // must not leave a short backup behind a success.
    stream.close();
    if (!stream) {
      err << "burnwell-tool backup: cannot write " << text << "\n";
      std::error_code ignored;
      std::filesystem::remove(partial, ignored);
      return Code(ExitStatus::Failed);
    }
  }
  std::error_code renamed;
  std::filesystem::rename(partial, out, renamed);
  if (renamed) {
    err << "burnwell-tool backup: cannot write " << text << ": " << renamed.message() << "\n";
    return Code(ExitStatus::Failed);
  }
  return Code(ExitStatus::Success);
}

}  // namespace burnwell::tool
