// Runs the real burnwell-tool binary and checks its output and exit status. Spawning goes
// through the POSIX shell, so the Windows build skips these cases.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/Bytes.h"
#include "common/MakerIds.h"
#include "image/ImageBuffer.h"
#include "tests/support/TestSupport.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace burnwell {
namespace {

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class BurnwellTool : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    GTEST_SKIP() << "spawning the tool is only done on the native build";
#endif
  }

  ToolRun Tool(const std::string& arguments) {
    const auto out = dir / "out.txt";
    const auto err = dir / "err.txt";
    const std::string command = std::string("'") + BURNWELL_TOOL_PATH + "' " + arguments + " >'" +
                                out.string() + "' 2>'" + err.string() + "'";
    ToolRun run;
    const int status = std::system(command.c_str());
#ifndef _WIN32
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#else
    run.exitCode = status;
#endif
    const auto o = test::ReadFile(out), e = test::ReadFile(err);
    run.out.assign(o.begin(), o.end());
    run.err.assign(e.begin(), e.end());
    return run;
  }
  std::string Quoted(const std::string& name) { return "'" + (dir / name).string() + "'"; }

  test::TempDir dir;
};

std::string Lines(const char* type, std::uint32_t codeLength, std::size_t imageSize,
                  const char* checksum, const char* marker, const char* product) {
  return std::string("type: ") + type + "\ncode length: " + std::to_string(codeLength) +
         "\nimage size: " + std::to_string(imageSize) + "\nchecksum: " + checksum +
         "\nmarker: " + marker + "\nproduct: " + product + "\n";
}

std::string Hex4(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", v & 0xFFFF);
  return text;
}

TEST_F(BurnwellTool, InfoOnObjcopyHexFilePrintsTheSixLines) {
  std::mt19937 rng(42);
  std::vector<std::uint8_t> code(0x6000);
  for (auto& b : code) b = static_cast<std::uint8_t>(rng());
  test::WriteFile(dir / "code.bin", code);
  ASSERT_EQ(
      std::system(
          ("objcopy -I binary -O ihex " + Quoted("code.bin") + " " + Quoted("fw.hex")).c_str()),
      0);
  std::uint16_t sum = 0;
  for (auto b : code) sum = static_cast<std::uint16_t>(sum + b);
  sum = static_cast<std::uint16_t>(sum + 0xFF * (kLargeMainCodeSize - code.size()));

  const ToolRun run = Tool("info " + Quoted("fw.hex"));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  // Intel HEX holds main code only: the file names no product, whatever the template carries.
  EXPECT_EQ(run.out,
            Lines("hex", 0xB800, 0xB800, Hex4(sum).c_str(), "5A", "not named (Intel HEX)"));
  EXPECT_EQ(run.err, "");
}

TEST_F(BurnwellTool, InfoOnTheShippedExamples) {
  const ToolRun hex = Tool(std::string("info '") + BURNWELL_EXAMPLES_DIR + "/ZQ5x8x.hex'");
  EXPECT_EQ(hex.exitCode, 0) << hex.err;
  EXPECT_EQ(hex.out.substr(0, 10), "type: hex\n");
  const ToolRun bin = Tool(std::string("info '") + BURNWELL_EXAMPLES_DIR + "/ZQ5x8x-image.bin'");
  EXPECT_EQ(bin.exitCode, 0) << bin.err;
  EXPECT_EQ(bin.out, Lines("bin", 16384, 0x5C00, "A974", "5A", Hex4(PID_C).c_str()));
}

TEST_F(BurnwellTool, InfoOnConfigurationOnlyAndUpperCaseNames) {
  image::ImageBuffer block(PID_A);
  std::vector<std::uint8_t> bytes(block.Header().begin(), block.Header().begin() + 256);
  bytes.push_back(4);  // model code of PID_C
  test::WriteFile(dir / "cfg.sdt", bytes);
  const ToolRun run = Tool("info " + Quoted("cfg.sdt"));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, Lines("other", 0, 0, "0000", "00", Hex4(PID_C).c_str()));
}

// Every file error names the file and says why, the same way in info, update and verify.
TEST_F(BurnwellTool, FileErrorsNameTheFileAndTheReasonByKind) {
  test::WriteFile(dir / "bad.hex", ":0100000001FF\n:00000001FF\n");
  test::WriteFile(dir / "FW.HEX", ":00000001FF\n");  // not a HEX name: read as a header image
  std::vector<std::uint8_t> header(image::kImageHeaderSize, 0);
  StoreLe16(header.data(), VID_MAKER);
  StoreLe32(&header[264], 0x10);  // announces 16 code bytes the file does not hold
  test::WriteFile(dir / "short.bin", header);
  std::filesystem::create_directory(dir / "folder.hex");
  std::string big;
  for (int i = 0; i < 0x0B81; ++i) {
    char record[64];
    std::snprintf(record, sizeof record, ":10%04X00", (i * 16) & 0xFFFF);
    unsigned sum = 0x10 + ((i * 16) >> 8 & 0xFF) + ((i * 16) & 0xFF);
    big += record;
    for (int b = 0; b < 16; ++b) big += "00";
    std::snprintf(record, sizeof record, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    big += record;
  }
  test::WriteFile(dir / "big.hex", big + ":00000001FF\n");

  struct Case {
    const char* file;
    std::string why;  // what follows "error: " (info) or "burnwell-tool update: "; @ the file
  };
  const Case cases[] = {
      {"bad.hex", "@: Check sum error"},
      {"missing.bin", "cannot read @: No such file or directory (status -42)"},
      {"missing.hex", "cannot read @: No such file or directory"},
      {"folder.hex", "cannot read @: it is a folder"},
      {"short.bin",
       "@: not an image file this program takes (bad signature, product or length, or its "
       "code cut short) (status -111)"},
      {"FW.HEX",
       "@: too short for an image file; it was read as an image file, since only a name "
       "ending in \".hex\" (lower case) is read as Intel HEX (status -33)"},
      {"big.hex", "@: main code larger than 47104 bytes"},
  };
  for (const Case& c : cases) {
    const std::string file = (dir / c.file).string();
    ToolRun run = Tool("info '" + file + "'");
    EXPECT_EQ(run.exitCode, 4) << c.file;
    EXPECT_EQ(run.out, "") << c.file;
    std::string why = c.why;
    why.replace(why.find('@'), 1, file);
    EXPECT_EQ(run.err, "error: " + why + "\n") << c.file;
    for (const char* command : {"update", "verify"}) {
      run = Tool(std::string(command) + " '" + file + "'" + (command[0] == 'u' ? " -y" : ""));
      EXPECT_EQ(run.exitCode, 4) << command << " " << c.file;
      EXPECT_EQ(run.err, std::string("burnwell-tool ") + command + ": " + why + "\n")
          << command << " " << c.file;
    }
  }
}

TEST_F(BurnwellTool, UsageAndHelp) {
  ToolRun run = Tool("--help");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("Usage: burnwell-tool"), std::string::npos);
  EXPECT_NE(run.out.find("info"), std::string::npos);

  run = Tool("info --help");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("checksum: XXXX"), std::string::npos);

  run = Tool("frobnicate");
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "burnwell-tool: unknown command 'frobnicate' (see 'burnwell-tool --help')\n");

  EXPECT_EQ(Tool("").exitCode, 2);
  EXPECT_EQ(Tool("info").exitCode, 2);
  EXPECT_EQ(Tool("info a.hex b.hex").exitCode, 2);
}

}  // namespace
}  // namespace burnwell
