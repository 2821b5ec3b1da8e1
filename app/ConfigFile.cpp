#include "app/ConfigFile.h"

#include <algorithm>
#include <cstdio>

#include "common/MakerIds.h"
#include "platform/Profile.h"
#include "platform/Utf8.h"

namespace burnwell::app {
namespace {

std::string FourHexDigits(std::uint16_t value) {
  std::array<char, 5> text{};
  std::snprintf(text.data(), text.size(), "%04X", static_cast<unsigned>(value));
  return std::string(text.data());
}

std::string NumberedKey(const char* format, int n) {
  std::array<char, 32> key{};
  std::snprintf(key.data(), key.size(), format, n);
  return std::string(key.data());
}

// Copies text into a zero-filled entry, cut so the terminating zero always fits.
void StoreDeviceId(DeviceIdEntry& entry, std::string_view text) {
  entry.fill('\0');
  std::copy_n(text.begin(), std::min(text.size(), entry.size() - 1), entry.begin());
}

}  // namespace

std::string DefaultVidText() { return FourHexDigits(VID_MAKER); }
std::string DefaultPidText() { return FourHexDigits(PID_C); }

int ReadConfigFile(const std::filesystem::path& path, ConfigSettings& settings) {
  platform::Profile& profile = platform::Current<platform::Profile>();

  const std::int32_t deviceCount =
      profile.ReadInt(path, SECTION_CONFIGURATION, KEY_DEV_COUNT, DEFAULT_DEV_COUNT);
  if (deviceCount > MAX_DEV_COUNT) return -1;
  settings.deviceCount = deviceCount;

  // The count is at most MAX_DEV_COUNT here; the table bound is kept anyway.
  const int identifiers = std::clamp<std::int32_t>(deviceCount, 0, DEVICE_ID_COUNT);
  const std::string vidDefault = DefaultVidText();
  const std::string pidDefault = DefaultPidText();
  for (int n = 1; n <= identifiers; ++n) {
    const std::string vid =
        profile.ReadString(path, SECTION_UPDATE_DEVICE, NumberedKey(KEY_VID_FORMAT, n), vidDefault,
                           ID_PART_BUFFER_CHARS);
    const std::string pid =
        profile.ReadString(path, SECTION_UPDATE_DEVICE, NumberedKey(KEY_PID_FORMAT, n), pidDefault,
                           ID_PART_BUFFER_CHARS);
    StoreDeviceId(settings.deviceIds[static_cast<std::size_t>(n - 1)],
                  "USB\\VID_" + vid + "&PID_" + pid);
  }
  // Entries past the count hold nothing from this file.
  for (std::size_t i = static_cast<std::size_t>(identifiers); i < DEVICE_ID_COUNT; ++i) {
    settings.deviceIds[i].fill('\0');
  }

  settings.firmwareFileName = profile.ReadString(path, SECTION_HEX_FILE_NAME, KEY_HEX_NAME,
                                                 DEFAULT_HEX_NAME, NAME_BUFFER_CHARS);
  settings.compareLength = profile.ReadInt(path, SECTION_CMP_VER, KEY_CMP_LEN, DEFAULT_CMP_LEN);
  settings.compareString =
      profile.ReadString(path, SECTION_CMP_VER, KEY_CMP_STR, DEFAULT_CMP_STR, NAME_BUFFER_CHARS);
  settings.selfPowered =
      profile.ReadInt(path, SECTION_SELF_POWERED, KEY_SELF_POWER_ON, DEFAULT_SELF_POWER_ON);
  settings.fastTransfers = profile.ReadInt(path, SECTION_TRANSFER, KEY_FAST, DEFAULT_FAST);
  settings.historyUrl = profile.ReadString(path, SECTION_HISTORY, KEY_URL, "", URL_BUFFER_CHARS);
  return 0;
}

std::string_view DeviceIdText(const DeviceIdEntry& entry) {
  const auto end = std::find(entry.begin(), entry.end(), '\0');
  return std::string_view(entry.data(), static_cast<std::size_t>(end - entry.begin()));
}

std::string FirmwarePathText(std::string_view firmwareFileName) {
  return "./" + std::string(firmwareFileName);
}

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  std::u8string text;
  text.reserve(utf8.size());
#ifdef _WIN32
  // The conversion to UTF-16 refuses invalid UTF-8; such bytes become U+FFFD instead.
  while (!utf8.empty()) {
    const std::size_t length = platform::Utf8SequenceLength(utf8);
    if (length == 0) {
      text += u8"\uFFFD";
      utf8.remove_prefix(1);
      continue;
    }
    for (std::size_t i = 0; i < length; ++i) text += static_cast<char8_t>(utf8[i]);
    utf8.remove_prefix(length);
  }
#else
  for (char c : utf8) text += static_cast<char8_t>(c);
#endif
  return std::filesystem::path(text);
}

std::filesystem::path FirmwarePath(std::string_view firmwareFileName) {
  return PathFromUtf8(FirmwarePathText(firmwareFileName));
}

}  // namespace burnwell::app
