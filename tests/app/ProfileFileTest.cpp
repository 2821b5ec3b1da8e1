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

ProfileDocument Ini(const char* name) {
  return ProfileDocument::Load(DataFile(std::string("ini/") + name));
}

std::string Read(const ProfileDocument& doc, std::string_view section, std::string_view key,
                 std::size_t size = 1000) {
  return doc.ReadString(section, key, "DEF", size);
}

struct Case {
  const char* file;
  const char* section;
  std::string key;
  std::string expected;
  std::size_t size = 1000;
};

void ExpectAll(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(Read(Ini(c.file), c.section, c.key, c.size), c.expected)
        << c.file << " [" << c.section << "] " << c.key << " size " << c.size;
  }
}

// --- Lines and white space -------------------------------------------------------------------

TEST(ProfileLines, LineEndsAndTrimming) {
  ExpectAll({
      {"config-crlf.ini", "Update_Device", "VID2", "7E55"},  // spaces around '=' and value
      {"config-crlf.ini", "Hex_FileName", "HEXNAME", "fw/new image.hex"},  // inner space kept
      {"cr-only.ini", "S", "second", "2"},                                 // CR alone ends a line
      {"mixed-eol.ini", "S", "second", "2"},
      {"mixed-eol.ini", "S", "fourth", "4"},
      {"no-final-eol.ini", "S", "last", "final value"},
      {"whitespace.ini", "W", "key", "value"},  // tabs
      {"whitespace.ini", "W", "eof", "x"},      // Ctrl-Z counts as space
      {"whitespace.ini", "W", "vt", "3"},
      {"whitespace.ini", "W", "my key", "two words"},
      {"whitespace.ini", "W", "control",
       "\x01"
       "12"},  // other controls are text
      {"empty.ini", "S", "k", "DEF"},
      {"blank-lines.ini", "S", "k", "DEF"},
  });
}

// --- Section and key names -------------------------------------------------------------------

TEST(ProfileNames, CaseAndSurroundingSpacesIgnoredNoPrefixMatch) {
  ExpectAll({
      {"config-lf.ini", "cmp_VER", "cmpstr", "ZQ5x8x-1.02"},
      {"config-lf.ini", "  Cmp_Ver ", " CMPSTR\t", "ZQ5x8x-1.02"},
      {"config-lf.ini", "Cmp", "CMPSTR", "DEF"},
      {"config-lf.ini", "Cmp_Ver", "CMPST", "DEF"},
      {"config-lf.ini", "Cmp_Ver", "CMPSTRX", "DEF"},
      {"long-line.ini", "Long", std::string(5000, 'K'), "3"},
  });
}

TEST(ProfileNames, FirstSectionOfANameAndItsFirstKeyWin) {
  ExpectAll({
      {"duplicates.ini", "dup", "key", "first"},     // not KEY=second, not [DUP] key=third
      {"duplicates.ini", "Dup", "onlyhere", "DEF"},  // lives in the second [DUP]
      {"duplicates.ini", "other", "y", "DEF"},
      {"duplicates.ini", "Dup", "bare", "DEF"},  // a first key without '=' hides bare=later
      {"sections.ini", "Empty", "k", "DEF"},     // an empty first [Empty] hides the second
      {"sections.ini", "Filled", "k", "1"},
  });
}

TEST(ProfileNames, SectionHeaderForms) {
  ExpectAll({
      {"sections.ini", "", "before", "top"},  // lines before any section
      {"sections.ini", "", "k", "DEF"},       // "[]" comes after the nameless section
      {"sections.ini", "A", "k1", "v1"},      // text after ']' ignored
      {"sections.ini", "A", "[B", "DEF"},     // "[B" without ']' is a key line of [A]
      {"sections.ini", "A", "k2", "v2"},
      {"sections.ini", "C]", "k3", "v3"},  // the name runs to the last ']'
      {"sections.ini", "[D", "k4", "v4"},
      {"sections.ini", "Spaced", "k5", "v5"},
  });
}

// --- Values ----------------------------------------------------------------------------------

TEST(ProfileValues, OnePairOfMatchingQuotesIsRemoved) {
  ExpectAll({
      {"quotes.ini", "Quotes", "double", "quoted"},
      {"quotes.ini", "Quotes", "single", "single"},
      {"quotes.ini", "Quotes", "inner", "  spaced "},
      {"quotes.ini", "Quotes", "mixed", "\"a'"},
      {"quotes.ini", "Quotes", "unbalanced", "\"open"},
      {"quotes.ini", "Quotes", "onechar", "\""},
      {"quotes.ini", "Quotes", "empty", ""},
      {"quotes.ini", "Quotes", "same", "a\" \"b"},
  });
}

TEST(ProfileValues, SemicolonAndHashHaveNoSpecialMeaning) {
  ExpectAll({
      {"comments.ini", "Notes", "value", "x ; not a comment"},
      {"comments.ini", "Notes", "hidden", "DEF"},
      {"comments.ini", "Notes", ";hidden", "1"},  // a comment line is a key nobody asks for
      {"comments.ini", "Notes", "# hash", "2"},
      {"comments.ini", "Notes", "after", "3"},
  });
}

TEST(ProfileValues, CutToBufferSizeMinusOneUtf16Units) {
  ExpectAll({
      {"quotes.ini", "Quotes", "long", "", 0},
      {"quotes.ini", "Quotes", "long", "", 1},
      {"quotes.ini", "Quotes", "long", "012345678", 10},
      // The system's reader drops the last character of a quoted value that exactly fills
      // the buffer ("012345678"); every character that fits is kept here.
      {"quotes.ini", "Quotes", "long", "0123456789", 11},
      {"quotes.ini", "Quotes", "missing", "DE", 3},  // the default is cut too
      {"long-line.ini", "Long", "value", std::string(5000, 'x'), 6000},
      {"long-line.ini", "Long", "value", std::string(127, 'x'), 128},
      {"long-line.ini", "Long", "last", "4"},
      {"utf8-bom.ini", "S", "smile", "", 2},  // never half a surrogate pair
      {"utf8-bom.ini", "S", "smile", "\U0001F600", 4},
      {"utf8-bom.ini", "S", "name", "\u00e9t", 3},
  });
  EXPECT_EQ(CutToUtf16Units("ab\xff\xfe", 3), "ab\xff");    // stray bytes count one unit each
  EXPECT_EQ(CutToUtf16Units("a\xe2\x82", 3), "a\xe2\x82");  // truncated sequence: no overread
}

// --- Integers --------------------------------------------------------------------------------

TEST(ProfileIntegers, ReadLikeTheSystemReadsThem) {
  const ProfileDocument doc = Ini("integers.ini");
  const std::pair<const char*, std::int32_t> cases[] = {
      {"a", -5},        {"b", 16},   {"c", 12},  {"d", 0}, {"e", 77},         {"f", 10},
      {"g", 7},         {"h", 0},    {"i", -1},  {"j", 0}, {"k", 1661992959}, {"l", INT32_MIN},
      {"m", INT32_MAX}, {"n", 5},    {"o", 15},  {"p", 0}, {"q", 0},          {"r", 77},
      {"s", 0},         {"t", 2748}, {"u", -16}, {"v", 1}, {"w", 1},          {"x", 0},
      {"missing", 77},  {"y", 7},  // 29 characters: read in full
      {"z", 0},                    // 30 characters: only the first 29 (all zeros) are read
  };
  for (auto [key, expected] : cases) EXPECT_EQ(doc.ReadInt("Numbers", key, 77), expected) << key;
  EXPECT_EQ(Ini("quotes.ini").ReadInt("Quotes", "number", 0), 42);
  EXPECT_EQ(Ini("quotes.ini").ReadInt("Quotes", "spacednumber", 0), -31);
  EXPECT_EQ(Ini("whitespace.ini").ReadInt("W", "control", 0), 12);  // leading controls skipped
  EXPECT_EQ(Ini("duplicates.ini").ReadInt("Dup", "bare", 77), 77);
  EXPECT_EQ(ParseProfileInteger("0x7fffffffff"), -1);
}

// --- Hostile files ---------------------------------------------------------------------------

TEST(ProfileHostile, NulBytesEndNamesAndValuesButNotLines) {
  ExpectAll({
      {"zero-bytes.ini", "S", "value", "1"},
      {"zero-bytes.ini", "S", "na", "2"},
      {"zero-bytes.ini", "S", "plain", "3"},
      {"zero-bytes.ini", "T", "d", "4"},
      {"zero-bytes.ini", "T", "e", "DEF"},
      {"zero-bytes.ini", "T", "k", "DEF"},  // stored as "k ": spaces before the NUL stay
      {"zero-bytes.ini", "T", "j", "v "},
      {"zero-bytes.ini", "T", "q", "x"},
      {"zero-bytes.ini", "S2", "after", "ok"},
  });
}

// --- Encodings -------------------------------------------------------------------------------

TEST(ProfileEncodings, Utf8AndUtf16FilesWithAMarkReadAsUtf8) {
  for (const char* name : {"utf8-bom.ini", "utf16le-bom.ini", "utf16be-bom.ini"}) {
    const ProfileDocument doc = Ini(name);
    EXPECT_EQ(Read(doc, "S", "name"), "\u00e9t\u00e9") << name;
    EXPECT_EQ(Read(doc, "S", "smile"), "\U0001F600\U0001F600") << name;
  }
  EXPECT_EQ(Read(Ini("utf8-bom.ini"), "S", "space"), "\u00a0x\u00a0");  // not ASCII space
  EXPECT_EQ(Read(Ini("double-bom.ini"), "S", "k"), "DEF");              // only one mark is skipped
  EXPECT_EQ(Read(Ini("double-bom.ini"), "T", "k"), "2");
}

TEST(ProfileEncodings, UnpairedSurrogatesBecomeReplacementCharacters) {
  const char bytes[] =
      "\xff\xfe"
      "[\0S\0]\0\n\0k\0=\0\x00\xd8x\0";
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

}  // namespace
}  // namespace burnwell::platform
