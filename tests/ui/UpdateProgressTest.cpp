// The whole-update progress line at the widths a technician's terminal has.
#include "ui/terminal/UpdateProgress.h"

#include <gtest/gtest.h>

namespace burnwell::ui {
namespace {

TEST(UpdateProgressLine, FitsTheWidthAndKeepsTheMostUsefulParts) {
  UpdateProgressState repeated;
  repeated.phase = "program";
  repeated.percent = 42;
  repeated.bytesDone = 24 * 1024;
  repeated.bytesTotal = 46 * 1024;
  repeated.bytesPerSecond = 12.5 * 1024;
  repeated.secondsLeft = 63;
  repeated.pass = 2;
  repeated.maxPasses = 6;
  repeated.reason = "Could not erase FLASH";
  UpdateProgressState first = repeated;
  first.pass = 1;
  first.reason.clear();

  struct Case {
    const UpdateProgressState* state;
    int width;
    std::vector<std::string> shown;
    std::vector<std::string> left;
  };
  const Case cases[] = {
      {&repeated,
       120,
       {"program [", "] 42%", "pass 2 of 6", "1:03 left", "24.0/46.0 KiB", "12.5 KiB/s",
        "(Could not erase FLASH)"},
       {}},
      {&repeated, 40, {"program [", "] 42%", "pass 2 of 6"}, {"KiB/s", "Could not erase"}},
      {&first, 40, {"program [", "] 42%", "1:03 left"}, {"pass", "KiB/s"}},
      {&first, 12, {"program 42%"}, {"["}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    const std::string line = UpdateProgressLine(*c.state, c.width);
    EXPECT_LE(static_cast<int>(line.size()), c.width) << line;
    for (const std::string& part : c.shown) EXPECT_NE(line.find(part), std::string::npos) << line;
    for (const std::string& part : c.left) EXPECT_EQ(line.find(part), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace burnwell::ui
