// What a station does with every unit plugged into it: the firmware file, the power setting, the
// transfers, and the checks a unit must pass before anything is written to it. The job comes
// from the command line (FILE and the fit options, as `update` takes them) or from the station
// folder's Config.ini, read as the dialog reads it: HEXNAME, SELFPOWERON, the firmware-version
// check (CMPLEN, CMPSTR), the [Update_Device] VID/PID list as the products the file is for, and
// [Transfer] Fast.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device/DeviceRecord.h"
#include "image/FirmwareReaders.h"
#include "image/ImageBuffer.h"
#include "protocol/TransferMode.h"
#include "tools/burnwell-tool/FitCheck.h"

namespace burnwell::tool {

struct StationJob {
  std::string file;  // as given, or "./" + HEXNAME
  image::FileType type = image::FileType::Hex;
  std::optional<bool> busPowered;  // the command line's choice; nothing: Config.ini's or self
  std::optional<protocol::TransferMode> transfers;  // likewise; nothing: Config.ini's or fast
  FitRules fit;

  // From Config.ini.
  bool fromConfig = false;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> products;  // [Update_Device] VID:PID
  int compareLength = 0;
  std::string compareString;
  bool configSelfPowered = true;
  bool configFast = false;

  bool BusPowered() const;
  protocol::TransferMode Transfers() const;
};

// Reads the job's part of Config.ini at `path` into the job. False, with the reason, when the
// file is missing or cannot be used (DevCount above 3, an identifier that is no hexadecimal ID).
bool ReadStationConfig(const std::string& path, StationJob& job, std::string& why);

// Loads the job's firmware file into the loaded image and sets its type. False, with the reason,
// when it cannot be loaded.
bool LoadStationFile(StationJob& job, std::string& why);

// Why the job refuses this bridge (nothing is written then), or nothing when its update may
// start: a vendor or product the file is not for, a firmware version the check refuses, a file
// without code.
std::optional<std::string> Refusal(const StationJob& job, const device::DeviceRecord& bridge,
                                   const image::ImageBuffer& loaded);

// The job in a few lines for the operator: file, checksum, products, version check, power,
// transfers.
std::vector<std::string> JobLines(const StationJob& job, const image::ImageBuffer& loaded);

}  // namespace burnwell::tool
