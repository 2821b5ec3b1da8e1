// Config.ini: which firmware file to load, the firmware-version check, the power mode and the
// list of USB device identifiers. Read once when the dialog starts; never written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace burnwell::app {

// Where the dialog reads its configuration: the working directory.
inline constexpr std::string_view CONFIG_FILE_PATH = "./Config.ini";

// Sections and keys, in the order they are read.
inline constexpr std::string_view SECTION_CONFIGURATION = "Configuration";
inline constexpr std::string_view KEY_DEV_COUNT = "DevCount";
inline constexpr std::string_view SECTION_UPDATE_DEVICE = "Update_Device";
inline constexpr const char* KEY_VID_FORMAT = "VID%d";
inline constexpr const char* KEY_PID_FORMAT = "PID%d";
inline constexpr std::string_view SECTION_HEX_FILE_NAME = "Hex_FileName";
inline constexpr std::string_view KEY_HEX_NAME = "HEXNAME";
inline constexpr std::string_view SECTION_CMP_VER = "Cmp_Ver";
inline constexpr std::string_view KEY_CMP_LEN = "CMPLEN";
inline constexpr std::string_view KEY_CMP_STR = "CMPSTR";
inline constexpr std::string_view SECTION_SELF_POWERED = "Self_Powered";
inline constexpr std::string_view KEY_SELF_POWER_ON = "SELFPOWERON";
inline constexpr std::string_view SECTION_TRANSFER = "Transfer";
inline constexpr std::string_view KEY_FAST = "Fast";
inline constexpr std::string_view SECTION_HISTORY = "History";
inline constexpr std::string_view KEY_URL = "Url";

// Defaults of the keys that are missing.
inline constexpr std::int32_t DEFAULT_DEV_COUNT = 3;
inline constexpr std::string_view DEFAULT_HEX_NAME = "ZQ5x8x.hex";
inline constexpr std::int32_t DEFAULT_CMP_LEN = 14;
inline constexpr std::string_view DEFAULT_CMP_STR = "ZQ5x8x";
inline constexpr std::int32_t DEFAULT_SELF_POWER_ON = 1;
inline constexpr std::int32_t DEFAULT_FAST = 0;

// More identifier pairs than this stop the reading.
inline constexpr std::int32_t MAX_DEV_COUNT = 3;

// Buffer sizes in characters, terminator included: a value keeps one character less.
inline constexpr std::size_t ID_PART_BUFFER_CHARS = 8;
inline constexpr std::size_t NAME_BUFFER_CHARS = 128;
inline constexpr std::size_t URL_BUFFER_CHARS = 1024;

// The device-id table: narrow "USB\VID_%s&PID_%s" texts, zero-filled where unused.
inline constexpr std::size_t DEVICE_ID_COUNT = 10;
inline constexpr std::size_t DEVICE_ID_SIZE = 260;
using DeviceIdEntry = std::array<char, DEVICE_ID_SIZE>;

// The results of ReadConfigFile; the main dialog owns one.
struct ConfigSettings {
  std::int32_t deviceCount = 0;
  std::array<DeviceIdEntry, DEVICE_ID_COUNT> deviceIds{};
  std::string firmwareFileName;  // UTF-8
  std::int32_t compareLength = 0;
  std::string compareString;  // UTF-8
  // Starts at the default rather than undefined: a reading stopped at DevCount leaves it as is.
  std::int32_t selfPowered = DEFAULT_SELF_POWER_ON;
  // Non-zero: the update moves the flash in page programs and 4 KiB reads rather than 32-byte
  // pieces.
  std::int32_t fastTransfers = DEFAULT_FAST;
  // The line's history server (postgresql://...) the updater's rows are also sent to; "" for
  // the station's own history alone.
  std::string historyUrl;
};

// The maker's IDs as Config.ini writes them: four upper-case hex digits ("7E55", "2501").
std::string DefaultVidText();
std::string DefaultPidText();

// Reads the profile file at path through the Profile seam into settings. Returns 0 when every
// key was read; -1 when DevCount is above MAX_DEV_COUNT, in which case nothing else is read and
// settings are left exactly as they were.
int ReadConfigFile(const std::filesystem::path& path, ConfigSettings& settings);

// The text of one device-id entry (up to its terminating zero).
std::string_view DeviceIdText(const DeviceIdEntry& entry);

// The firmware path the dialog shows and loads: "./" followed by the configured name, whatever
// it holds (an absolute name therefore stays below the working directory).
std::string FirmwarePathText(std::string_view firmwareFileName);

// A UTF-8 text as a path on either platform: byte for byte on Linux; on Windows converted to
// UTF-16, with each byte that is not valid UTF-8 replaced by U+FFFD.
std::filesystem::path PathFromUtf8(std::string_view utf8);

// PathFromUtf8(FirmwarePathText(firmwareFileName)).
std::filesystem::path FirmwarePath(std::string_view firmwareFileName);

}  // namespace burnwell::app
