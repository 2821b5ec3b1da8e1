// Progress of one flash routine, in the two forms a caller may ask for: progress-bar messages
// to a progress-bar window (message number 0), or progress notices of the caller's own message
// number (PostProgress). Without a window, nothing.
#pragma once

#include <cstdint>

#include "protocol/FlashOperations.h"

namespace burnwell::protocol {

// done * 100 / total in unsigned arithmetic; 0 for an empty total.
std::uint32_t Percent(std::uint32_t done, std::uint32_t total);

class RoutineProgress {
 public:
  RoutineProgress(const DeviceRecord& record, WindowHandle window, std::uint32_t message,
                  ProgressPhase phase, ProgressPhase failPhase)
      : record_(record), window_(window), message_(message), phase_(phase), failPhase_(failPhase) {}

  // The bar's range is 0 to barSteps, one PBM_STEPIT per Advance. False, with nothing sent,
  // when notices are asked for and the device is not in the table.
  bool Start(std::uint32_t barSteps);
  void Advance(std::uint32_t percent);
  // The failing step's code, or the operation's own result, is the error code of the notice.
  void Fail(StepCode code, std::uint32_t percent) { FailWith(Code(code), percent); }
  void Fail(FlashResult result, std::uint32_t percent) { FailWith(Code(result), percent); }

 private:
  void FailWith(int errorCode, std::uint32_t percent);

  const DeviceRecord& record_;
  WindowHandle window_;
  std::uint32_t message_;
  ProgressPhase phase_;
  ProgressPhase failPhase_;
  std::uint32_t deviceIndex_ = 0;
};

}  // namespace burnwell::protocol
