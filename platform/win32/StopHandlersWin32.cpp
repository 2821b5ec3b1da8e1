// Ctrl-C, Ctrl-Break and closing the console while an update may be changing a bridge's memory.
#include <windows.h>

#include "platform/StopRequest.h"

namespace burnwell::platform {
namespace {

void WriteText(const char* text, DWORD length) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, length, &written, nullptr);
}

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  using stop_detail::SignalVerdict;
  switch (stop_detail::TakeSignal(static_cast<long long>(::GetTickCount64()))) {
    case SignalVerdict::EndNow: return FALSE;  // the default handler ends the process
    case SignalVerdict::Warned:
      WriteText(stop_detail::kWarningText, sizeof stop_detail::kWarningText - 1);
      return TRUE;
    case SignalVerdict::WindingDown:
      WriteText(stop_detail::kWindingDownText, sizeof stop_detail::kWindingDownText - 1);
      return TRUE;
    case SignalVerdict::Stopping:
      WriteText(stop_detail::kStoppingText, sizeof stop_detail::kStoppingText - 1);
      return TRUE;
    case SignalVerdict::AlreadyStopping: return TRUE;
  }
  return FALSE;
}

}  // namespace

void InstallStopHandlers() {
  if (!stop_detail::FirstInstall()) return;
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

}  // namespace burnwell::platform
