// The updater's window as lines on a terminal: the status line, a progress bar drawn in place
// when the output is a terminal (plain lines every tenth otherwise), message boxes printed with
// their icon as a word, and OK/Cancel questions as a [y/N] prompt. The dialog's terminal backend
// uses it, and so can a command-line update.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "ui/Framework.h"

namespace burnwell::ui {

class TerminalView {
 public:
  // interactive: output is a terminal, so the bar is redrawn in place.
  TerminalView(std::FILE* out, std::FILE* in, bool interactive);
  // A view on stdout / stdin, interactive when stdout is a terminal.
  static TerminalView Standard();

  // A line of its own: "label: text". Trailing line feeds of the text are dropped.
  void Line(const std::string& text);
  void Status(const std::string& text);
  void ShowProgress(bool visible);
  void Progress(const ProgressState& state);
  // Prints the box; for OK/Cancel asks "[y/N]" (anything but y/yes, or end of input, is Cancel).
  // assumeYes answers every question with OK without reading.
  int Message(const std::string& text, const std::string& caption, std::uint32_t style);
  void SetAssumeYes(bool yes) { assumeYes_ = yes; }

  // "error" for the stop icon, "warning" for the exclamation, "question", "information", or "".
  static std::string IconWord(std::uint32_t style);
  // The bar as drawn: "[#####-----]  50%".
  static std::string BarText(const ProgressState& state, int width);

 private:
  void ClearBar();
  void DrawBar();
  std::FILE* out_;
  std::FILE* in_;
  bool interactive_;
  bool assumeYes_ = false;
  bool barVisible_ = false;
  bool barDrawn_ = false;
  ProgressState bar_;
  int lastTenth_ = -1;
};

}  // namespace burnwell::ui
