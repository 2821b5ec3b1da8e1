// burnwell-tool update's progress: the update's phases and failed passes drive one line for the
// whole update (ui/terminal/UpdateProgress.h), and a failed pass gets a line of its own (when
// there is a stream for it; the next pass's line carries the reason in any case).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/BridgeUpdate.h"
#include "ui/terminal/UpdateProgress.h"

namespace burnwell::tool {

class WholeUpdateProgress final : public app::UpdateObserver {
 public:
  WholeUpdateProgress(ui::UpdateProgress& progress, std::FILE* out, std::uint64_t bytes)
      : progress_(progress), out_(out), bytes_(bytes) {}

  void PhaseStarted(app::UpdatePhase phase, int pass) override {
    // Expected shares of an update's time: the chip erase, programming in small pieces, the
    // read-back; the compare is in memory.
    struct Share {
      app::UpdatePhase phase;
      double start;
      double share;
      bool countsBytes;
    };
    static constexpr Share kShares[] = {
        {app::UpdatePhase::Erase, 0.00, 0.20, false},
        {app::UpdatePhase::Program, 0.20, 0.50, true},
        {app::UpdatePhase::ReadBack, 0.70, 0.29, true},
        {app::UpdatePhase::Compare, 0.99, 0.01, true},
    };
    for (const Share& s : kShares) {
      if (s.phase != phase) continue;
      progress_.StartPhase(app::PhaseName(phase), s.start, s.share, s.countsBytes ? bytes_ : 0,
                           pass, app::kMaxPasses, pass > 1 ? reason_ : std::string());
    }
  }

  void PassFailed(int pass, app::MessageId, const std::string& text) override {
    reason_ = text;
    for (char& c : reason_)
      if (c == '\n') c = ' ';
    if (!out_) return;
    progress_.Clear();
    std::fprintf(out_, "pass %d of %d failed: %s; trying again\n", pass, app::kMaxPasses,
                 reason_.c_str());
    std::fflush(out_);
  }

 private:
  ui::UpdateProgress& progress_;
  std::FILE* out_;
  std::uint64_t bytes_;
  std::string reason_;
};

}  // namespace burnwell::tool
