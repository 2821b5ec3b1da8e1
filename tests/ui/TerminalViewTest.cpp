// The terminal view: icons as words, the [y/N] question, the bar drawn in place on a terminal
// and as occasional plain lines otherwise.
#include "ui/terminal/TerminalView.h"

#include "platform/WinNames.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace burnwell::ui {
namespace {

// A view writing into a temporary file and reading answers from another.
class TerminalViewTest : public ::testing::Test {
 protected:
  TerminalView View(const std::string& input, bool interactive) {
    in_ = std::tmpfile();
    out_ = std::tmpfile();
    std::fputs(input.c_str(), in_);
    std::rewind(in_);
    return TerminalView(out_, in_, interactive);
  }
  std::string Output() {
    std::fflush(out_);
    std::rewind(out_);
    std::string text;
    char buffer[256];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, out_)) text.append(buffer, n);
    return text;
  }
  ~TerminalViewTest() override {
    if (in_) std::fclose(in_);
    if (out_) std::fclose(out_);
  }
  std::FILE* in_ = nullptr;
  std::FILE* out_ = nullptr;
};

TEST_F(TerminalViewTest, BoxesNameTheirIconAsAWord) {
  TerminalView view = View("", false);
  EXPECT_EQ(view.Message("Device not found", "Burnwell", MB_ICONHAND), IDOK);
  view.Message("Please enter a positive integer.", "Burnwell", MB_ICONEXCLAMATION);
  view.Message("Programming completed", "Burnwell", MB_OK);
  view.Message("Read FLASH failed\nOffset=0x0, Length=256", "Burnwell", MB_ICONHAND);
  EXPECT_EQ(Output(),
            "error: Device not found\n"
            "warning: Please enter a positive integer.\n"
            "Burnwell: Programming completed\n"
            "error: Read FLASH failed Offset=0x0, Length=256\n");
}

TEST_F(TerminalViewTest, OnlyAnExplicitYesConfirmsAQuestion) {
  struct Case {
    const char* input;
    int answer;
  };
  for (Case c : {Case{"y\n", IDOK}, Case{"YES\n", IDOK}, Case{" y \n", IDOK}, Case{"\n", IDCANCEL},
                 Case{"n\n", IDCANCEL}, Case{"yep\n", IDCANCEL}, Case{"", IDCANCEL}}) {
    TerminalView view = View(c.input, false);
    EXPECT_EQ(view.Message("Please do backup", "Warning", MB_OKCANCEL | MB_ICONEXCLAMATION),
              c.answer)
        << c.input;
    EXPECT_EQ(Output().rfind("warning: Please do backup [y/N] ", 0), 0u);
    std::fclose(in_);
    std::fclose(out_);
    in_ = out_ = nullptr;
  }
}

TEST_F(TerminalViewTest, AssumeYesAnswersWithoutReading) {
  TerminalView view = View("n\n", false);
  view.SetAssumeYes(true);
  EXPECT_EQ(view.Message("Go on?", "Warning", MB_OKCANCEL), IDOK);
}

TEST_F(TerminalViewTest, PlainOutputPrintsEachTenthOnceAndStatusLinesWithoutTheirLineFeed) {
  TerminalView view = View("", false);
  view.Status("Erase main code\n");
  view.ShowProgress(true);
  ProgressState state{0, 100, 0, 1};
  for (int i = 0; i <= 100; ++i) {
    state.position = i;
    view.Progress(state);
  }
  view.ShowProgress(false);
  view.Status("");
  const std::string out = Output();
  EXPECT_EQ(out.rfind("Erase main code\nprogress 0%\nprogress 10%\n", 0), 0u);
  EXPECT_NE(out.find("progress 100%\n"), std::string::npos);
  std::size_t lines = 0;
  for (char c : out) lines += c == '\n';
  EXPECT_EQ(lines, 12u);
}

TEST_F(TerminalViewTest, TerminalRedrawsTheBarInPlaceAndClearsItForALine) {
  TerminalView view = View("", true);
  view.ShowProgress(true);
  view.Progress(ProgressState{0, 4, 2, 1});
  view.Status("Compare main code\n");
  const std::string out = Output();
  EXPECT_NE(out.find("\r[" + std::string(20, '#') + std::string(20, '-') + "]   50%"),
            std::string::npos);
  EXPECT_NE(out.find("\r\033[KCompare main code\n"), std::string::npos);
  EXPECT_EQ(out.find('\n'),
            out.find("Compare main code\n") + 17);  // the bar itself never ends a line
}

TEST(TerminalBar, EmptyOrInvertedRangeShowsZero) {
  EXPECT_EQ(TerminalView::BarText(ProgressState{0, 0, 0, 1}, 4), "[----]    0%");
  EXPECT_EQ(TerminalView::BarText(ProgressState{0, 2960, 2960, 1}, 4), "[####]  100%");
}

}  // namespace
}  // namespace burnwell::ui
