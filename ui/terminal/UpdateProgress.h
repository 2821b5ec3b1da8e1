// One progress line for the whole update of a bridge, across its phases: the phase, the
// percentage of the whole update (each phase weighted by its expected share of the time), the
// bytes of the phase, the rate, the time left, and "pass 2 of 6" with the reason when a pass is
// repeated. On a terminal the line is redrawn in place and fitted to the terminal's width,
// measured again at every draw (so a resize is followed); otherwise a plain line is written at
// every tenth of the update. The flash operations drive it with their progress-bar messages.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "platform/WindowMessages.h"
#include "ui/Framework.h"

namespace burnwell::ui {

struct UpdateProgressState {
  std::string phase;            // "program"
  int percent = 0;              // of the whole update
  std::uint64_t bytesDone = 0;  // of the phase; bytesTotal 0: the phase counts no bytes
  std::uint64_t bytesTotal = 0;
  double bytesPerSecond = 0;  // 0: not known yet
  double secondsLeft = -1;    // negative: not known yet
  int pass = 1;
  int maxPasses = 1;
  std::string reason;  // why this pass repeats the update; "" on the first
};

// The line as drawn, never longer than `width` characters: the parts that do not fit are left
// out, least useful first (reason, rate, bytes, time left), and the bar takes what remains.
std::string UpdateProgressLine(const UpdateProgressState& state, int width);

// The columns of the terminal behind `out`; 0 when it is not a terminal.
int TerminalColumns(std::FILE* out);

class UpdateProgress final : public platform::WindowMessages {
 public:
  static constexpr WindowHandle kHandle = 0x7E56;
  UpdateProgress(std::FILE* out, bool interactive) : out_(out), interactive_(interactive) {}
  // Draws nothing: hands every new state to `follow` instead (called with the line's lock held,
  // on the thread of the update).
  explicit UpdateProgress(std::function<void(const UpdateProgressState&)> follow)
      : out_(nullptr), interactive_(false), follow_(std::move(follow)) {}

  // A phase begins: its name, where it starts in the whole update and its share (0..1), the
  // bytes it handles (0 for none), and the pass it belongs to.
  void StartPhase(const std::string& name, double start, double share, std::uint64_t bytes,
                  int pass, int maxPasses, const std::string& reason);
  // Removes the drawn line (before other output, and at the end).
  void Clear();

  bool Post(WindowHandle window, std::uint32_t message, WParam wParam, LParam lParam) override;
  LResult Send(WindowHandle window, std::uint32_t message, WParam wParam, LParam lParam) override;

 private:
  void DrawLocked();
  std::FILE* out_;
  bool interactive_;
  std::function<void(const UpdateProgressState&)> follow_;
  std::mutex mutex_;
  ProgressState bar_;
  UpdateProgressState state_;
  double start_ = 0;
  double share_ = 0;
  bool active_ = false;
  bool drawn_ = false;
  int lastTenth_ = -1;
  std::uint64_t passStartUs_ = 0;
  std::uint64_t phaseStartUs_ = 0;
};

}  // namespace burnwell::ui
