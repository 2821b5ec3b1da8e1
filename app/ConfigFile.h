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
inline constexpr std::string_view kConfigFilePath = "./Config.ini";

// Sections and keys, in the order they are read.
inline constexpr std::string_view kSectionConfiguration = "Configuration";
inline constexpr std::string_view kKeyDevCount = "DevCount";
inline constexpr std::string_view kSectionUpdateDevice = "Update_Device";
inline constexpr const char* kKeyVidFormat = "VID%d";
inline constexpr const char* kKeyPidFormat = "PID%d";
inline constexpr std::string_view kSectionHexFileName = "Hex_FileName";
inline constexpr std::string_view kKeyHexName = "HEXNAME";
inline constexpr std::string_view kSectionCmpVer = "Cmp_Ver";
inline constexpr std::string_view kKeyCmpLen = "CMPLEN";
inline constexpr std::string_view kKeyCmpStr = "CMPSTR";
inline constexpr std::string_view kSectionSelfPowered = "Self_Powered";
inline constexpr std::string_view kKeySelfPowerOn = "SELFPOWERON";
inline constexpr std::string_view kSectionTransfer = "Transfer";
inline constexpr std::string_view kKeyFast = "Fast";
inline constexpr std::string_view kSectionHistory = "History";
inline constexpr std::string_view kKeyUrl = "Url";

// Defaults of the keys that are missing.
inline constexpr std::int32_t kDefaultDevCount = 3;
inline constexpr std::string_view kDefaultHexName = "ZQ5x8x.hex";
inline constexpr std::int32_t kDefaultCmpLen = 14;
inline constexpr std::string_view kDefaultCmpStr = "ZQ5x8x";
inline constexpr std::int32_t kDefaultSelfPowerOn = 1;
inline constexpr std::int32_t kDefaultFast = 0;

// More identifier pairs than this stop the reading.
inline constexpr std::int32_t kMaxDevCount = 3;

// Buffer sizes in characters, terminator included: a value keeps one character less.
inline constexpr std::size_t kIdPartBufferChars = 8;
inline constexpr std::size_t kNameBufferChars = 128;
inline constexpr std::size_t kUrlBufferChars = 1024;

// The device-id table: narrow "USB\VID_%s&PID_%s" texts, zero-filled where unused.
inline constexpr std::size_t kDeviceIdCount = 10;
inline constexpr std::size_t kDeviceIdSize = 260;
using DeviceIdEntry = std::array<char, kDeviceIdSize>;

// The results of ReadConfigFile; the main dialog owns one.
struct ConfigSettings {
  std::int32_t deviceCount = 0;
  std::array<DeviceIdEntry, kDeviceIdCount> deviceIds{};
  std::string firmwareFileName;  // UTF-8
  std::int32_t compareLength = 0;
  std::string compareString;  // UTF-8
  // Starts at the default rather than undefined: a reading stopped at DevCount leaves it as is.
  std::int32_t selfPowered = kDefaultSelfPowerOn;
  // Non-zero: the update moves the flash in page programs and 4 KiB reads rather than 32-byte
  // pieces.
  std::int32_t fastTransfers = kDefaultFast;
  // The line's history server (postgresql://...) the updater's rows are also sent to; "" for
  // the station's own history alone.
  std::string historyUrl;
};

// The maker's IDs as Config.ini writes them: four upper-case hex digits ("7E55", "2501").
std::string DefaultVidText();
std::string DefaultPidText();

// How a read of the configuration file ended; ReadConfigFile returns its number.
enum class ConfigRead : int {
  Complete = 0,            // every key was read
  StoppedAtDevCount = -1,  // DevCount is above kMaxDevCount: nothing else was read
};
constexpr int Code(ConfigRead result) { return static_cast<int>(result); }

// Reads the profile file at path through the Profile seam into settings, and returns the Code
// of how it ended; when it stopped at DevCount, settings are left exactly as they were.
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
