#include "app/ConfigFile.h"

#include <algorithm>
#include <cstdio>

#include "common/Hex.h"
#include "common/MakerIds.h"
#include "platform/Profile.h"
#include "platform/Utf8.h"

namespace burnwell::app {
namespace {

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

std::string DefaultVidText() { return Hex(VID_MAKER, 4, HexDigits::Upper); }
std::string DefaultPidText() { return Hex(PID_C, 4, HexDigits::Upper); }

int ReadConfigFile(const std::filesystem::path& path, ConfigSettings& settings) {
  platform::Profile& profile = platform::Current<platform::Profile>();

  const std::int32_t deviceCount =
      profile.ReadInt(path, kSectionConfiguration, kKeyDevCount, kDefaultDevCount);
  if (deviceCount > kMaxDevCount) return Code(ConfigRead::StoppedAtDevCount);
  settings.deviceCount = deviceCount;

  // The count is at most kMaxDevCount here; the table bound is kept anyway.
  const int identifiers = std::clamp<std::int32_t>(deviceCount, 0, kDeviceIdCount);
  const std::string vidDefault = DefaultVidText();
  const std::string pidDefault = DefaultPidText();
  for (int n = 1; n <= identifiers; ++n) {
    const std::string vid = profile.ReadString(
        path, kSectionUpdateDevice, NumberedKey(kKeyVidFormat, n), vidDefault, kIdPartBufferChars);
    const std::string pid = profile.ReadString(
        path, kSectionUpdateDevice, NumberedKey(kKeyPidFormat, n), pidDefault, kIdPartBufferChars);
    StoreDeviceId(settings.deviceIds[static_cast<std::size_t>(n - 1)],
                  "USB\\VID_" + vid + "&PID_" + pid);
  }
  // Entries past the count hold nothing from this file.
  for (std::size_t i = static_cast<std::size_t>(identifiers); i < kDeviceIdCount; ++i) {
    settings.deviceIds[i].fill('\0');
  }

  settings.firmwareFileName =
      profile.ReadString(path, kSectionHexFileName, kKeyHexName, kDefaultHexName, kNameBufferChars);
  settings.compareLength = profile.ReadInt(path, kSectionCmpVer, kKeyCmpLen, kDefaultCmpLen);
  settings.compareString =
      profile.ReadString(path, kSectionCmpVer, kKeyCmpStr, kDefaultCmpStr, kNameBufferChars);
  settings.selfPowered =
      profile.ReadInt(path, kSectionSelfPowered, kKeySelfPowerOn, kDefaultSelfPowerOn);
  settings.fastTransfers = profile.ReadInt(path, kSectionTransfer, kKeyFast, kDefaultFast);
  settings.historyUrl = profile.ReadString(path, kSectionHistory, kKeyUrl, "", kUrlBufferChars);
  return Code(ConfigRead::Complete);
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
