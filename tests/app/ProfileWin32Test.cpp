// The system's profile functions behind the seam, and the portable reader checked against them:
// every INI file of tests/data/ini, every section and key in it (plus case and spacing
// variants and keys that are absent), several buffer sizes, text and integer reads.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/Profile.h"
#include "platform/ProfileFile.h"
#include "tests/support/TestSupport.h"

namespace burnwell::platform {
namespace {

std::vector<std::filesystem::path> IniFiles() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(test::DataFile("ini"))) {
    if (entry.path().extension() == ".ini") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string AsciiUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// Every name worth asking about in one file, with variants the lookup must see through.
std::set<std::pair<std::string, std::string>> Questions(const ProfileDocument& document) {
  std::set<std::pair<std::string, std::string>> questions;
  for (const auto& section : document.Sections()) {
    std::vector<std::string> sectionNames = {section.name, AsciiUpper(section.name),
                                             " " + section.name + "\t"};
    for (const auto& sectionName : sectionNames) {
      questions.insert({sectionName, "absent"});
      for (const auto& entry : section.entries) {
        questions.insert({sectionName, entry.name});
        questions.insert({sectionName, AsciiUpper(entry.name)});
        questions.insert({sectionName, entry.name + " "});
      }
    }
  }
  questions.insert({"NoSuchSection", "key"});
  return questions;
}

TEST(ProfileAgainstSystem, PortableReaderAnswersLikeTheSystemForEveryFileAndKey) {
  Profile& system = SystemInstance<Profile>();
  ProfileFileReader portable;
  const std::size_t sizes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 128, 6000};
  const auto files = IniFiles();
  ASSERT_GE(files.size(), 15u);
  std::size_t compared = 0;
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    for (const auto& [section, key] : Questions(ProfileDocument::Load(file))) {
      SCOPED_TRACE("[" + section + "] " + key);
      for (std::size_t size : sizes) {
        ASSERT_EQ(portable.ReadString(file, section, key, "DEF", size),
                  system.ReadString(file, section, key, "DEF", size))
            << "size " << size;
      }
      ASSERT_EQ(portable.ReadInt(file, section, key, 77), system.ReadInt(file, section, key, 77));
      compared++;
    }
  }
  EXPECT_GT(compared, 200u);
}

// The seam's answers against the raw API where the seam adds something of its own.
TEST(ProfileSystem, QuotedValueThatExactlyFitsIsNotShortened) {
  const auto file = test::DataFile("ini/quotes.ini");  // long="0123456789"
  wchar_t raw[11] = {};
  ::GetPrivateProfileStringW(L"Quotes", L"long", L"", raw, 11, file.wstring().c_str());
  EXPECT_EQ(std::wstring(raw), L"012345678");  // the system alone loses the '9'
  EXPECT_EQ(SystemInstance<Profile>().ReadString(file, "Quotes", "long", "", 11), "0123456789");
}

TEST(ProfileSystem, BareFileNameMeansTheWorkingDirectory) {
  test::TempDir dir;
  test::WriteFile(dir / "Bare-Config.ini", "[S]\r\nk=here\r\n");
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  const std::string bare =
      SystemInstance<Profile>().ReadString("Bare-Config.ini", "S", "k", "DEF", 100);
  const std::string dotted =
      SystemInstance<Profile>().ReadString("./Bare-Config.ini", "S", "k", "DEF", 100);
  std::filesystem::current_path(previous);
  EXPECT_EQ(bare, "here");
  EXPECT_EQ(dotted, "here");
}

TEST(ProfileSystem, MissingOrEmptyPathGivesDefaults) {
  test::TempDir dir;
  Profile& system = SystemInstance<Profile>();
  for (const auto& path : {dir / "absent.ini", std::filesystem::path()}) {
    EXPECT_EQ(system.ReadString(path, "windows", "load", "fallback", 100), "fallback");
    EXPECT_EQ(system.ReadInt(path, "S", "k", -7), -7);
  }
}

TEST(ProfileSystem, TextsComeBackAsUtf8AndNeverEndInHalfACharacter) {
  const auto file = test::DataFile("ini/utf16le-bom.ini");
  Profile& system = SystemInstance<Profile>();
  EXPECT_EQ(system.ReadString(file, "S", "name", "", 100), "\u00e9t\u00e9");
  EXPECT_EQ(system.ReadString(file, "S", "smile", "", 2), "");
  EXPECT_EQ(system.ReadString(file, "S", "smile", "", 4), "\U0001F600");
  EXPECT_EQ(system.ReadString(file, "\u00c9", "k", "d\u00e9faut", 100), "d\u00e9faut");
}

}  // namespace
}  // namespace burnwell::platform
