// The firmware-version check the updater makes before an update (Config.ini's CMPLEN and
// CMPSTR): the bridge's version word as text, compared with the configured text.
#pragma once

#include <cstdint>
#include <string>

namespace burnwell::app {

// The version text of a firmware version word: four characters when its second-lowest byte,
// read as signed, is above 0x12; else eight upper-case hexadecimal digits, top byte first.
std::string FirmwareVersionText(std::uint32_t version);
// The first length characters of both texts (each up to its end when shorter; nothing for a
// negative length), compared without regard to case.
bool VersionTextMatches(const std::string& versionText, const std::string& compareString,
                        int length);

}  // namespace burnwell::app
