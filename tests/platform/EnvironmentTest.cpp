// Environment settings are ignored when the program runs with raised privileges: this test
// program is copied, made set-group-ID, and asked for a setting it was given.
#include "platform/Environment.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/TestSupport.h"

namespace burnwell::platform {
namespace {

constexpr char kAskVariable[] = "BURNWELL_TEST_PRINT_SETTING";

// The other process: this program started again with BURNWELL_TEST_PRINT_SETTING=NAME prints
// what EnvironmentSetting(NAME) gives, or "(nothing)", and ends before any test runs.
const bool kAnswered = [] {
  const char* name = std::getenv(kAskVariable);
  if (name == nullptr) return false;
  const std::optional<std::string> value = EnvironmentSetting(name);
  std::printf("%s\n", value ? value->c_str() : "(nothing)");
  std::fflush(stdout);
  std::_Exit(0);
}();

std::string AskForTheSystemRoot(const std::filesystem::path& program) {
  const std::string command = std::string(kAskVariable) +
                              "=BURNWELL_SYSROOT BURNWELL_SYSROOT=/elsewhere " + program.string();
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return "cannot run";
  char line[256] = {};
  const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
  ::pclose(pipe);
  std::string text = got ? line : "";
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

TEST(EnvironmentTest, SettingsAreIgnoredUnderRaisedPrivileges) {
  EXPECT_FALSE(kAnswered);
  test::TempDir temp;
  struct statvfs mount {};
  if (::geteuid() != 0) GTEST_SKIP() << "making a set-group-ID copy for another group needs root";
  if (::statvfs(temp.Path().c_str(), &mount) != 0 || (mount.f_flag & ST_NOSUID))
    GTEST_SKIP() << "the temporary folder is mounted nosuid";
  const std::filesystem::path copy = temp / "program";
  std::filesystem::copy_file("/proc/self/exe", copy);
  ::chmod(copy.c_str(), 0755);
  ::chmod(temp.Path().c_str(), 0755);
  EXPECT_EQ(AskForTheSystemRoot(copy), "/elsewhere");  // an ordinary run takes the setting

  ASSERT_EQ(::chown(copy.c_str(), 0, 65534), 0);
  ASSERT_EQ(::chmod(copy.c_str(), 02755), 0);  // runs with group 65534: raised privileges
  EXPECT_EQ(AskForTheSystemRoot(copy), "(nothing)");
}

}  // namespace
}  // namespace burnwell::platform
