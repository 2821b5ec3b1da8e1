// The portable profile reader, driven by the INI files in tests/data/ini. The expected answers
// are those of the Windows profile functions (measured under Wine); on Windows the same files
// are also compared key by key with the system's functions (ProfileWin32Test).
#include "platform/ProfileFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/FileSystem.h"
#include "tests/support/TestSupport.h"

namespace burnwell::platform {
namespace {

using test::DataFile;

ProfileDocument Ini(const char* name) { return ProfileDocument::Load(DataFile(std::string("ini/") + name)); }

std::string Read(const ProfileDocument& doc, std::string_view section, std::string_view key,
                 std::size_t size = 1000) {
  return doc.ReadString(section, key, "DEF", size);
}

// --- Lines and white space -------------------------------------------------------------------

TEST(ProfileLines, CrLfAndLfFilesReadAlike) {
  const ProfileDocument crlf = Ini("config-crlf.ini");
  const ProfileDocument lf = Ini("config-lf.ini");
  for (auto [section, key] : {std::pair{"Configuration", "DevCount"}, {"Update_Device", "VID2"},
                              {"Hex_FileName", "HEXNAME"}, {"Cmp_Ver", "CMPSTR"}}) {
    EXPECT_EQ(Read(crlf, section, key), Read(lf, section, key)) << key;
  }
  EXPECT_EQ(Read(crlf, "Update_Device", "VID2"), "7E55");  // spaces around '=' and value dropped
  EXPECT_EQ(Read(crlf, "Hex_FileName", "HEXNAME"), "fw/new image.hex");  // inner space kept
}

TEST(ProfileLines, CrAloneEndsALineToo) {
  const ProfileDocument crOnly = Ini("cr-only.ini");
  EXPECT_EQ(Read(crOnly, "S", "first"), "1");
  EXPECT_EQ(Read(crOnly, "S", "second"), "2");
  const ProfileDocument mixed = Ini("mixed-eol.ini");
  for (auto [key, value] : {std::pair{"first", "1"}, {"second", "2"}, {"third", "3"}, {"fourth", "4"}}) {
    EXPECT_EQ(Read(mixed, "S", key), value) << key;
  }
}

TEST(ProfileLines, LastLineWithoutLineEndIsRead) {
  EXPECT_EQ(Read(Ini("no-final-eol.ini"), "S", "last"), "final value");
}

TEST(ProfileLines, TabsControlSpacesAndCtrlZAreTrimmedOtherControlsKept) {
  const ProfileDocument doc = Ini("whitespace.ini");
  EXPECT_EQ(Read(doc, "W", "key"), "value");
  EXPECT_EQ(Read(doc, "W", "eof"), "x");
  EXPECT_EQ(Read(doc, "W", "vt"), "3");
  EXPECT_EQ(Read(doc, "W", "my key"), "two words");
  EXPECT_EQ(Read(doc, "W", "control"), "\x01" "12");
  EXPECT_EQ(doc.ReadInt("W", "control", 77), 12);  // the integer read skips it
}

TEST(ProfileLines, EmptyAndBlankFilesGiveDefaults) {
  for (const char* name : {"empty.ini", "blank-lines.ini"}) {
    const ProfileDocument doc = Ini(name);
    EXPECT_EQ(Read(doc, "S", "k"), "DEF") << name;
    EXPECT_EQ(doc.ReadInt("S", "k", -9), -9) << name;
  }
}

// --- Section and key names -------------------------------------------------------------------

TEST(ProfileNames, MatchWithoutRegardToCaseOrSurroundingSpaces) {
  const ProfileDocument doc = Ini("config-lf.ini");
  EXPECT_EQ(Read(doc, "cmp_VER", "cmpstr"), "ZQ5x8x-1.02");
  EXPECT_EQ(Read(doc, "  Cmp_Ver ", " CMPSTR\t"), "ZQ5x8x-1.02");
  EXPECT_EQ(Read(doc, "Cmp", "CMPSTR"), "DEF");      // no prefix match
  EXPECT_EQ(Read(doc, "Cmp_Ver", "CMPST"), "DEF");
  EXPECT_EQ(Read(doc, "Cmp_Ver", "CMPSTRX"), "DEF");
}

TEST(ProfileNames, OnlyTheFirstSectionOfANameIsSearched) {
  const ProfileDocument doc = Ini("duplicates.ini");
  EXPECT_EQ(Read(doc, "dup", "key"), "first");    // not KEY=second, not [DUP] key=third
  EXPECT_EQ(Read(doc, "Dup", "onlyhere"), "DEF");  // lives in the second [DUP]
  EXPECT_EQ(Read(doc, "other", "y"), "DEF");
  // A first, empty section hides a later one with keys.
  EXPECT_EQ(Read(Ini("sections.ini"), "Empty", "k"), "DEF");
  EXPECT_EQ(Read(Ini("sections.ini"), "Filled", "k"), "1");
}

TEST(ProfileNames, FirstKeyWinsEvenWhenItHasNoValue) {
  const ProfileDocument doc = Ini("duplicates.ini");
  EXPECT_EQ(Read(doc, "Dup", "bare"), "DEF");
  EXPECT_EQ(doc.ReadInt("Dup", "bare", 77), 77);
}

TEST(ProfileNames, SectionHeaderForms) {
  const ProfileDocument doc = Ini("sections.ini");
  EXPECT_EQ(Read(doc, "", "before"), "top");  // lines before any section
  EXPECT_EQ(Read(doc, "", "k"), "DEF");       // "[]" comes after the nameless section
  EXPECT_EQ(Read(doc, "A", "k1"), "v1");      // text after ']' ignored
  EXPECT_EQ(Read(doc, "A", "[B"), "DEF");     // "[B" without ']' is a key line of [A]
  EXPECT_EQ(Read(doc, "A", "k2"), "v2");
  EXPECT_EQ(Read(doc, "B", "k2"), "DEF");
  EXPECT_EQ(Read(doc, "C]", "k3"), "v3");     // the name runs to the last ']'
  EXPECT_EQ(Read(doc, "[D", "k4"), "v4");
  EXPECT_EQ(Read(doc, "Spaced", "k5"), "v5");
}

TEST(ProfileNames, SectionsAreListedInFileOrder) {
  const ProfileDocument doc = Ini("sections.ini");
  std::vector<std::string> names;
  for (const auto& section : doc.Sections()) names.push_back(section.name);
  EXPECT_EQ(names, (std::vector<std::string>{"", "Empty", "Filled", "Empty", "", "A", "C]", "[D", "Spaced"}));
}

// --- Values ----------------------------------------------------------------------------------

TEST(ProfileValues, OnePairOfMatchingQuotesIsRemoved) {
  const ProfileDocument doc = Ini("quotes.ini");
  EXPECT_EQ(Read(doc, "Quotes", "double"), "quoted");
  EXPECT_EQ(Read(doc, "Quotes", "single"), "single");
  EXPECT_EQ(Read(doc, "Quotes", "inner"), "  spaced ");
  EXPECT_EQ(Read(doc, "Quotes", "mixed"), "\"a'");
  EXPECT_EQ(Read(doc, "Quotes", "unbalanced"), "\"open");
  EXPECT_EQ(Read(doc, "Quotes", "onechar"), "\"");
  EXPECT_EQ(Read(doc, "Quotes", "empty"), "");
  EXPECT_EQ(Read(doc, "Quotes", "same"), "a\" \"b");
  EXPECT_EQ(doc.ReadInt("Quotes", "number", 0), 42);
  EXPECT_EQ(doc.ReadInt("Quotes", "spacednumber", 0), -31);
}

TEST(ProfileValues, SemicolonAndHashHaveNoSpecialMeaning) {
  const ProfileDocument doc = Ini("comments.ini");
  EXPECT_EQ(Read(doc, "Notes", "value"), "x ; not a comment");
  EXPECT_EQ(Read(doc, "Notes", "hidden"), "DEF");
  EXPECT_EQ(Read(doc, "Notes", ";hidden"), "1");  // a comment line is a key nobody asks for
  EXPECT_EQ(Read(doc, "Notes", "# hash"), "2");
  EXPECT_EQ(Read(doc, "Notes", "after"), "3");
}

TEST(ProfileValues, CutToBufferSizeMinusOne) {
  const ProfileDocument doc = Ini("quotes.ini");  // long="0123456789"
  EXPECT_EQ(Read(doc, "Quotes", "long", 0), "");
  EXPECT_EQ(Read(doc, "Quotes", "long", 1), "");
  EXPECT_EQ(Read(doc, "Quotes", "long", 2), "0");
  EXPECT_EQ(Read(doc, "Quotes", "long", 10), "012345678");
  EXPECT_EQ(Read(doc, "Quotes", "long", 12), "0123456789");
  EXPECT_EQ(Read(doc, "Quotes", "missing", 3), "DE");  // the default is cut too
}

// The system's reader drops the last character of a quoted value that exactly fills the
// buffer ("0123456789" into 11 characters gave "012345678"); every character that fits is kept.
TEST(ProfileValues, QuotedValueThatExactlyFitsKeepsItsLastCharacter) {
  EXPECT_EQ(Read(Ini("quotes.ini"), "Quotes", "long", 11), "0123456789");
}

TEST(ProfileValues, CutCountsUtf16UnitsAndNeverSplitsACharacter) {
  const ProfileDocument doc = Ini("utf8-bom.ini");  // smile = two characters outside the BMP
  EXPECT_EQ(Read(doc, "S", "smile", 2), "");
  EXPECT_EQ(Read(doc, "S", "smile", 3), "\U0001F600");
  EXPECT_EQ(Read(doc, "S", "smile", 4), "\U0001F600");
  EXPECT_EQ(Read(doc, "S", "smile", 5), "\U0001F600\U0001F600");
  EXPECT_EQ(Read(doc, "S", "name", 3), "\u00e9t");
  EXPECT_EQ(CutToUtf16Units("ab\xff\xfe", 3), "ab\xff");  // stray bytes count one unit each
  EXPECT_EQ(CutToUtf16Units("a\xe2\x82", 3), "a\xe2\x82");  // truncated sequence: no overread
}

// --- Integers --------------------------------------------------------------------------------

TEST(ProfileIntegers, ReadLikeTheSystemReadsThem) {
  const ProfileDocument doc = Ini("integers.ini");
  const std::pair<const char*, std::int32_t> cases[] = {
      {"a", -5}, {"b", 16}, {"c", 12}, {"d", 0}, {"e", 77}, {"f", 10}, {"g", 7}, {"h", 0},
      {"i", -1}, {"j", 0}, {"k", 1661992959}, {"l", INT32_MIN}, {"m", INT32_MAX}, {"n", 5},
      {"o", 15}, {"p", 0}, {"q", 0}, {"r", 77}, {"s", 0}, {"t", 2748}, {"u", -16}, {"v", 1},
      {"w", 1}, {"x", 0}, {"missing", 77},
      {"y", 7},  // 29 characters: read in full
      {"z", 0},  // 30 characters: only the first 29 (all zeros) are read
  };
  for (auto [key, expected] : cases) EXPECT_EQ(doc.ReadInt("Numbers", key, 77), expected) << key;
}

TEST(ProfileIntegers, ParseStopsAtTheFirstForeignCharacter) {
  EXPECT_EQ(ParseProfileInteger(""), 0);
  EXPECT_EQ(ParseProfileInteger("0x7fffffffff"), -1);  // wraps at 32 bits
  EXPECT_EQ(ParseProfileInteger("0x-5"), 0);
  EXPECT_EQ(ParseProfileInteger("0b2"), 0);
  EXPECT_EQ(ParseProfileInteger("0o8"), 0);
  EXPECT_EQ(ParseProfileInteger("0"), 0);
  EXPECT_EQ(ParseProfileInteger("-"), 0);
}

// --- Hostile files ---------------------------------------------------------------------------

TEST(ProfileHostile, NulBytesEndNamesAndValuesButNotLines) {
  const ProfileDocument doc = Ini("zero-bytes.ini");
  EXPECT_EQ(Read(doc, "S", "value"), "1");
  EXPECT_EQ(Read(doc, "S", "na"), "2");
  EXPECT_EQ(Read(doc, "S", "plain"), "3");
  EXPECT_EQ(Read(doc, "T", "d"), "4");
  EXPECT_EQ(Read(doc, "T", "e"), "DEF");
  EXPECT_EQ(Read(doc, "T", "k"), "DEF");     // stored as "k " (spaces before the NUL stay)
  EXPECT_EQ(Read(doc, "T", "j"), "v ");
  EXPECT_EQ(Read(doc, "T", "q"), "x");
  EXPECT_EQ(Read(doc, "S2", "after"), "ok");
}

TEST(ProfileHostile, LinesOf5000Characters) {
  const ProfileDocument doc = Ini("long-line.ini");
  EXPECT_EQ(Read(doc, "Long", "value", 6000), std::string(5000, 'x'));
  EXPECT_EQ(Read(doc, "Long", "value", 128), std::string(127, 'x'));
  EXPECT_EQ(Read(doc, "Long", std::string(5000, 'K')), "3");
  EXPECT_EQ(Read(doc, "Long", "next"), "2");
  EXPECT_EQ(Read(doc, "Long", "last"), "4");
}

TEST(ProfileHostile, ParsesFromMemoryWithoutReadingPastTheEnd) {
  // Each prefix of a file ends inside a header, a name, a quote or a BOM: never a crash.
  const char bytes[] = "\xef\xbb\xbf[Sec]\nkey = \"va\0lue\"\r\n[Other";
  const std::string text(bytes, sizeof bytes - 1);
  for (std::size_t n = 0; n <= text.size(); ++n) {
    const ProfileDocument doc = ProfileDocument::Parse(std::string_view(text.data(), n));
    (void)doc.ReadString("Sec", "key", "", 100);
    (void)doc.ReadInt("Sec", "key", 0);
  }
  EXPECT_EQ(ProfileDocument::Parse(std::string_view("\xff\xfe[\0S", 5)).Sections().size(), 1u);
}

// --- Encodings -------------------------------------------------------------------------------

TEST(ProfileEncodings, Utf8AndUtf16FilesWithAMarkReadAsUtf8) {
  for (const char* name : {"utf8-bom.ini", "utf16le-bom.ini", "utf16be-bom.ini"}) {
    const ProfileDocument doc = Ini(name);
    EXPECT_EQ(Read(doc, "S", "name"), "\u00e9t\u00e9") << name;
    EXPECT_EQ(Read(doc, "S", "smile"), "\U0001F600\U0001F600") << name;
  }
  EXPECT_EQ(Read(Ini("utf8-bom.ini"), "S", "space"), "\u00a0x\u00a0");  // not ASCII space
  EXPECT_EQ(Read(Ini("double-bom.ini"), "S", "k"), "DEF");  // only one mark is skipped
  EXPECT_EQ(Read(Ini("double-bom.ini"), "T", "k"), "2");
}

TEST(ProfileEncodings, UnpairedSurrogatesBecomeReplacementCharacters) {
  const char bytes[] = "\xff\xfe" "[\0S\0]\0\n\0k\0=\0\x00\xd8x\0";
  const ProfileDocument doc = ProfileDocument::Parse(std::string_view(bytes, sizeof bytes - 1));
  EXPECT_EQ(doc.ReadString("S", "k", "", 100), "\uFFFDx");
}

// --- Files -----------------------------------------------------------------------------------

class FailingFile final : public ReadableFile {
 public:
  std::optional<std::uint64_t> Size() override { return 100; }
  bool Seek(std::uint64_t) override { return true; }
  bool Read(void* buffer, std::uint32_t size, std::uint32_t* got) override {
    if (calls_++ == 0) {  // a first chunk that looks fine, then an I/O error
      const char text[] = "[S]\nk=1\n";
      const std::uint32_t n = std::min<std::uint32_t>(size, sizeof text - 1);
      std::memcpy(buffer, text, n);
      *got = n;
      return true;
    }
    *got = 0;
    return false;
  }

 private:
  int calls_ = 0;
};

class FailingFileSystem final : public FileSystem {
 public:
  std::unique_ptr<ReadableFile> OpenForRead(const std::filesystem::path&) override {
    return std::make_unique<FailingFile>();
  }
};

TEST(ProfileFiles, MissingUnreadableOrDirectoryMeansAllDefaults) {
  test::TempDir dir;
  ProfileFileReader reader;
  for (const auto& path : {dir / "absent.ini", dir.Path(), std::filesystem::path()}) {
    EXPECT_EQ(reader.ReadString(path, "S", "k", "fallback", 100), "fallback") << path;
    EXPECT_EQ(reader.ReadInt(path, "S", "k", 33), 33) << path;
  }
  FailingFileSystem failing;
  ScopedOverride<FileSystem> guard(&failing);
  EXPECT_EQ(reader.ReadString(dir / "any.ini", "S", "k", "fallback", 100), "fallback");
}

TEST(ProfileFiles, ReaderSeesTheFileAsItIsNow) {
  test::TempDir dir;
  ProfileFileReader reader;
  test::WriteFile(dir / "c.ini", "[S]\nk=1\n");
  EXPECT_EQ(reader.ReadInt(dir / "c.ini", "S", "k", 0), 1);
  test::WriteFile(dir / "c.ini", "[S]\nk=2\n");
  EXPECT_EQ(reader.ReadInt(dir / "c.ini", "S", "k", 0), 2);
}

}  // namespace
}  // namespace burnwell::platform
