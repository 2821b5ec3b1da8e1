#include "protocol/FlashProgress.h"

#include "platform/WinNames.h"

namespace burnwell::protocol {
namespace {

void Post(WindowHandle window, std::uint32_t message, platform::WParam wParam,
          platform::LParam lParam) {
  platform::Current<platform::WindowMessages>().Post(window, message, wParam, lParam);
}

}  // namespace

std::uint32_t Percent(std::uint32_t done, std::uint32_t total) {
  if (total == 0) return 0;
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(done) * 100u / total);
}

bool RoutineProgress::Start(std::uint32_t barSteps) {
  if (window_ == 0) return true;
  if (message_ != 0) {
    const int index = FindDeviceIndex(record_);
    if (index < 0) return false;
    deviceIndex_ = static_cast<std::uint32_t>(index);
    PostProgress(window_, message_, deviceIndex_, phase_, 0, 0);
    return true;
  }
  Post(window_, PBM_SETRANGE, 0, platform::MakeLParam(0, barSteps));
  Post(window_, PBM_SETSTEP, 1, 0);
  Post(window_, PBM_SETPOS, 0, 0);
  return true;
}

void RoutineProgress::Advance(std::uint32_t percent) {
  if (window_ == 0) return;
  if (message_ != 0)
    PostProgress(window_, message_, deviceIndex_, phase_, 0, percent);
  else
    Post(window_, PBM_STEPIT, 0, 0);
}

void RoutineProgress::FailWith(int errorCode, std::uint32_t percent) {
  if (window_ == 0) return;
  if (message_ != 0)
    PostProgress(window_, message_, deviceIndex_, failPhase_, errorCode, percent);
  else
    Post(window_, PBM_SETPOS, 0, 0);
}

}  // namespace burnwell::protocol
