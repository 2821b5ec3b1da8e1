// ReadConfigFile: every key, its default, its length limit and the DevCount stop; through the
// system's profile reader (the Windows API on Windows) and through a recording fake.
#include "app/ConfigFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>
#include <fstream>
#include <vector>

#include "common/MakerIds.h"
#include "platform/ProfileFile.h"
#include "tests/support/TestSupport.h"

namespace burnwell::app {
namespace {

using test::TempDir;
using test::WriteFile;

std::vector<std::string> DeviceIds(const ConfigSettings& settings) {
  std::vector<std::string> ids;
  for (const auto& entry : settings.deviceIds) ids.emplace_back(DeviceIdText(entry));
  return ids;
}

std::string DefaultId() { return "USB\\VID_" + DefaultVidText() + "&PID_" + DefaultPidText(); }

// Settings as a dialog might hold them before the read, all different from any default.
ConfigSettings Sentinel() {
  ConfigSettings settings;
  settings.deviceCount = 9;
  for (auto& entry : settings.deviceIds) entry.fill('z');
  settings.deviceIds.back().back() = '\0';
  settings.firmwareFileName = "old.hex";
  settings.compareLength = 99;
  settings.compareString = "old";
  settings.selfPowered = 42;
  return settings;
}

// A profile over an in-memory file that notes every question asked of it.
class RecordingProfile final : public platform::Profile {
 public:
  explicit RecordingProfile(std::string_view text)
      : document_(platform::ProfileDocument::Parse(text)) {}

  std::string ReadString(const std::filesystem::path&, std::string_view section,
                         std::string_view key, std::string_view defaultValue,
                         std::size_t bufferChars) override {
    calls.push_back(std::string(section) + "/" + std::string(key) + "/" +
                    std::to_string(bufferChars));
    return document_.ReadString(section, key, defaultValue, bufferChars);
  }
  std::int32_t ReadInt(const std::filesystem::path&, std::string_view section, std::string_view key,
                       std::int32_t defaultValue) override {
    calls.push_back(std::string(section) + "/" + std::string(key) + "/int");
    return document_.ReadInt(section, key, defaultValue);
  }

  std::vector<std::string> calls;

 private:
  platform::ProfileDocument document_;
};

// --- Defaults --------------------------------------------------------------------------------

TEST(ConfigDefaults, NoFileGivesEveryDefault) {
  TempDir dir;
  ConfigSettings settings = Sentinel();
  EXPECT_EQ(ReadConfigFile(dir / "Config.ini", settings), 0);
  EXPECT_EQ(settings.deviceCount, 3);
  std::vector<std::string> expected(kDeviceIdCount);
  expected[0] = expected[1] = expected[2] = DefaultId();
  EXPECT_EQ(DeviceIds(settings), expected);
  EXPECT_EQ(settings.firmwareFileName, "ZQ5x8x.hex");
  EXPECT_EQ(settings.compareLength, 14);
  EXPECT_EQ(settings.compareString, "ZQ5x8x");
  EXPECT_EQ(settings.selfPowered, 1);
  // The maker's IDs as four upper-case hex digits.
  EXPECT_EQ(DefaultVidText().size(), 4u);
  EXPECT_EQ(std::strtoul(DefaultVidText().c_str(), nullptr, 16), VID_MAKER);
  EXPECT_EQ(DefaultPidText().find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(std::strtoul(DefaultPidText().c_str(), nullptr, 16), PID_C);
}

TEST(ConfigDefaults, MissingKeysTakeTheirDefaultsOneByOne) {
  TempDir dir;
  WriteFile(dir / "Config.ini", "[Update_Device]\nPID1=1111\nVID2=2222\n[Cmp_Ver]\nCMPLEN=0\n");
  ConfigSettings settings;
  ASSERT_EQ(ReadConfigFile(dir / "Config.ini", settings), 0);
  EXPECT_EQ(DeviceIdText(settings.deviceIds[0]), "USB\\VID_" + DefaultVidText() + "&PID_1111");
  EXPECT_EQ(DeviceIdText(settings.deviceIds[1]), "USB\\VID_2222&PID_" + DefaultPidText());
  EXPECT_EQ(DeviceIdText(settings.deviceIds[2]), DefaultId());
  EXPECT_EQ(settings.compareLength, 0);
  EXPECT_EQ(settings.compareString, "ZQ5x8x");
}

// --- A full file -----------------------------------------------------------------------------

TEST(ConfigRead, EveryKeyOfAFullFileCrLfOrLf) {
  for (const char* name : {"ini/config-crlf.ini", "ini/config-lf.ini"}) {
    ConfigSettings settings = Sentinel();
    ASSERT_EQ(ReadConfigFile(test::DataFile(name), settings), 0) << name;
    EXPECT_EQ(settings.deviceCount, 2);
    std::vector<std::string> expected(kDeviceIdCount);
    expected[0] = "USB\\VID_1234&PID_ABCD";
    expected[1] = "USB\\VID_7E55&PID_2506";
    EXPECT_EQ(DeviceIds(settings), expected) << name;  // entries past the count are cleared
    EXPECT_EQ(settings.firmwareFileName, "fw/new image.hex");
    EXPECT_EQ(settings.compareLength, 6);
    EXPECT_EQ(settings.compareString, "ZQ5x8x-1.02");
    EXPECT_EQ(settings.selfPowered, 0);
  }
}

TEST(ConfigRead, KeysAreReadInOrderWithTheirBufferSizes) {
  RecordingProfile profile("[Configuration]\nDevCount=2\n");
  platform::ScopedOverride<platform::Profile> guard(&profile);
  ConfigSettings settings;
  ASSERT_EQ(ReadConfigFile("Config.ini", settings), 0);
  EXPECT_EQ(profile.calls,
            (std::vector<std::string>{
                "Configuration/DevCount/int", "Update_Device/VID1/8", "Update_Device/PID1/8",
                "Update_Device/VID2/8", "Update_Device/PID2/8", "Hex_FileName/HEXNAME/128",
                "Cmp_Ver/CMPLEN/int", "Cmp_Ver/CMPSTR/128", "Self_Powered/SELFPOWERON/int",
                "Transfer/Fast/int", "History/Url/1024"}));
}

TEST(ConfigRead, FastTransfersOnlyWhenTheTransferSectionAsksForThem) {
  const std::pair<const char*, std::int32_t> rows[] = {
      {"[Self_Powered]\nSELFPOWERON=1\n", 0},
      {"[Transfer]\nFast=1\n", 1},
      {"[Transfer]\nFast=0\n", 0},
  };
  for (const auto& [text, fast] : rows) {
    RecordingProfile profile(text);
    platform::ScopedOverride<platform::Profile> guard(&profile);
    ConfigSettings settings;
    ASSERT_EQ(ReadConfigFile("Config.ini", settings), 0);
    EXPECT_EQ(settings.fastTransfers, fast) << text;
  }
}

// --- DevCount --------------------------------------------------------------------------------

TEST(ConfigDevCount, AboveThreeStopsAfterDevCountAndChangesNothing) {
  for (const char* count : {"4", "10", "11", "2147483647", "0x7FFFFFFF"}) {
    RecordingProfile profile(std::string("[Configuration]\nDevCount=") + count +
                             "\n[Hex_FileName]\nHEXNAME=x.hex\n");
    platform::ScopedOverride<platform::Profile> guard(&profile);
    ConfigSettings settings = Sentinel();
    EXPECT_EQ(ReadConfigFile("Config.ini", settings), -1) << count;
    EXPECT_EQ(profile.calls, std::vector<std::string>{"Configuration/DevCount/int"}) << count;
    const ConfigSettings untouched = Sentinel();
    EXPECT_EQ(settings.deviceCount, untouched.deviceCount);
    EXPECT_EQ(settings.deviceIds, untouched.deviceIds);
    EXPECT_EQ(settings.firmwareFileName, untouched.firmwareFileName);
    EXPECT_EQ(settings.compareLength, untouched.compareLength);
    EXPECT_EQ(settings.compareString, untouched.compareString);
    EXPECT_EQ(settings.selfPowered, untouched.selfPowered);
  }
}

TEST(ConfigDevCount, StoppedReadLeavesAFreshDialogWithAnEmptyFirmwareName) {
  TempDir dir;
  WriteFile(dir / "Config.ini", "[Configuration]\nDevCount=4\n[Hex_FileName]\nHEXNAME=x.hex\n");
  ConfigSettings settings;
  EXPECT_EQ(ReadConfigFile(dir / "Config.ini", settings), -1);
  EXPECT_EQ(settings.deviceCount, 0);
  EXPECT_EQ(settings.firmwareFileName, "");
  EXPECT_EQ(FirmwarePathText(settings.firmwareFileName), "./");
  EXPECT_EQ(settings.compareLength, 0);
  EXPECT_EQ(settings.compareString, "");
  EXPECT_EQ(settings.selfPowered, kDefaultSelfPowerOn);  // defined, not left to chance
}

TEST(ConfigDevCount, ZeroOrNegativeReadsNoIdentifierButEverythingElse) {
  for (const char* count : {"0", "-1", "-2147483648", "abc"}) {
    TempDir dir;
    WriteFile(dir / "Config.ini", std::string("[Configuration]\nDevCount=") + count +
                                      "\n[Update_Device]\nVID1=1234\n[Cmp_Ver]\nCMPSTR=abc\n");
    ConfigSettings settings = Sentinel();
    ASSERT_EQ(ReadConfigFile(dir / "Config.ini", settings), 0) << count;
    EXPECT_EQ(settings.deviceCount, std::atoi(count)) << count;
    EXPECT_EQ(DeviceIds(settings), std::vector<std::string>(kDeviceIdCount)) << count;
    EXPECT_EQ(settings.compareString, "abc");
    EXPECT_EQ(settings.firmwareFileName, "ZQ5x8x.hex");
  }
}

// --- Length limits ---------------------------------------------------------------------------

TEST(ConfigLimits, IdentifierPartsKeepSevenCharacters) {
  TempDir dir;
  WriteFile(dir / "Config.ini",
            "[Configuration]\nDevCount=1\n[Update_Device]\nVID1=123456789\nPID1=\"ABCDEFG\"\n");
  ConfigSettings settings;
  ASSERT_EQ(ReadConfigFile(dir / "Config.ini", settings), 0);
  EXPECT_EQ(DeviceIdText(settings.deviceIds[0]), "USB\\VID_1234567&PID_ABCDEFG");
}

TEST(ConfigLimits, NamesKeep127Characters) {
  TempDir dir;
  const std::string longName(300, 'n');
  WriteFile(dir / "Config.ini",
            "[Hex_FileName]\nHEXNAME=" + longName + "\n[Cmp_Ver]\nCMPSTR=" + longName + "\n");
  ConfigSettings settings;
  ASSERT_EQ(ReadConfigFile(dir / "Config.ini", settings), 0);
  EXPECT_EQ(settings.firmwareFileName, std::string(127, 'n'));
  EXPECT_EQ(settings.compareString, std::string(127, 'n'));
}

// --- The firmware path -----------------------------------------------------------------------

TEST(ConfigFirmwarePath, NameIsAlwaysTakenBelowTheWorkingDirectory) {
  EXPECT_EQ(FirmwarePathText("ZQ5x8x.hex"), "./ZQ5x8x.hex");
  EXPECT_EQ(FirmwarePathText("fw/a.hex"), "./fw/a.hex");
  EXPECT_EQ(FirmwarePathText("/abs/a.hex"), ".//abs/a.hex");
  EXPECT_TRUE(FirmwarePath("/abs/a.hex").is_relative());
  EXPECT_TRUE(FirmwarePath("C:\\abs\\a.hex").is_relative());
  EXPECT_EQ(FirmwarePath("fw/a.hex").filename(), "a.hex");
}

TEST(ConfigFirmwarePath, NonAsciiNameFromConfigOpensTheFile) {
  TempDir dir;
  const std::string name = "fw-\u00e9t\u00e9-\u65e5.hex";
  WriteFile(dir / "Config.ini", "\xEF\xBB\xBF[Hex_FileName]\nHEXNAME=" + name + "\n");
  ConfigSettings settings;
  ASSERT_EQ(ReadConfigFile(dir / "Config.ini", settings), 0);
  ASSERT_EQ(settings.firmwareFileName, name);
  { std::ofstream(dir.Path() / PathFromUtf8(name)) << "x"; }
  EXPECT_TRUE(std::filesystem::exists(dir.Path() / FirmwarePath(settings.firmwareFileName)));
}

TEST(ConfigFirmwarePath, InvalidUtf8NeverThrows) {
  const std::filesystem::path path = PathFromUtf8("bad\xff\xc3.hex");
#ifdef _WIN32
  EXPECT_EQ(path.wstring(), L"bad\uFFFD\uFFFD.hex");
#else
  EXPECT_EQ(path.native(), "bad\xff\xc3.hex");  // Linux names are bytes: kept as they are
#endif
}

}  // namespace
}  // namespace burnwell::app
