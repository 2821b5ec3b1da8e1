// The main dialog as a real Win32 dialog (under Wine with a display): a thread timer on the
// dialog's thread presses the button of each message box, as an operator would.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "app/BurnwellDlg.h"
#include "image/ImageBuffer.h"
#include "tests/support/TestSupport.h"
#include "ui/Templates.h"
#include "ui/win32/Win32Backend.h"

namespace burnwell::app {
namespace {

std::vector<std::wstring> g_pressed;

BOOL CALLBACK PressBox(HWND window, LPARAM) {
  wchar_t className[32] = {};
  wchar_t caption[128] = {};
  ::GetClassNameW(window, className, 32);
  ::GetWindowTextW(window, caption, 128);
  if (std::wstring(className) != L"#32770" || std::wstring(caption) == L"Tessalin Firmware Update")
    return TRUE;
  HWND ok = ::GetDlgItem(window, IDOK);
  if (!ok || !::IsWindowVisible(window)) return TRUE;
  g_pressed.push_back(caption);
  ::PostMessageW(ok, BM_CLICK, 0, 0);
  return TRUE;
}

void CALLBACK OnPressTimer(HWND, UINT, UINT_PTR, DWORD) {
  ::EnumThreadWindows(::GetCurrentThreadId(), PressBox, 0);
}

TEST(Win32Dialog, UpdateRunsOnTheWorkerAndTheDialogClosesItself) {
  test::TempDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  test::WriteFile(dir / "Config.ini", "[Cmp_Ver]\nCMPLEN=0\n[Hex_FileName]\nHEXNAME=fw.hex\n");
  test::WriteFile(dir / "fw.hex", ":0400000001020304F2\n:00000001FF\n");
  image::ResetLoadedImage();

  ui::Win32Backend backend;
  std::optional<platform::ScopedOverride<ui::Backend>> installed;
  installed.emplace(&backend);
  DialogServices services = DialogServices::Real();
  std::atomic<LRESULT> position{-1};
  std::atomic<bool> differentThread{false};
  const DWORD dialogThread = ::GetCurrentThreadId();
  services.runUpdate = [&](UpdateHost& host) {
    differentThread = ::GetCurrentThreadId() != dialogThread;
    host.ShowProgress(true);
    HWND bar = reinterpret_cast<HWND>(host.ProgressWindow());
    ::SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    ::SendMessageW(bar, PBM_SETSTEP, 1, 0);
    for (int i = 0; i < 5; ++i) ::PostMessageA(bar, PBM_STEPIT, 0, 0);
    host.SetStatusText("ICP completed\n");
    host.ShowMessage("Programming completed", MB_OK);
    position = ::SendMessageW(bar, PBM_GETPOS, 0, 0);
    return UpdateOutcome::Updated;
  };
  g_pressed.clear();
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 200, OnPressTimer);
  CBurnwellDlg dialog(services);
  const int shown = dialog.DoModal();
  ::KillTimer(nullptr, timer);
  installed.reset();
  std::filesystem::current_path(previous);
  if (shown == -1) GTEST_SKIP() << "no display for a real dialog";

  EXPECT_EQ(shown, IDCANCEL);
  EXPECT_EQ(dialog.Result(), RunResult::Updated);
  EXPECT_TRUE(differentThread);
  EXPECT_EQ(position, 5);
  EXPECT_EQ(g_pressed, (std::vector<std::wstring>{L"Warning", L"Burnwell"}));
}

TEST(Win32Dialog, TheVersionResourceGivesTheAboutLine) {
  ui::Win32Backend backend;
  const auto version = backend.ProgramFileVersion();
  ASSERT_TRUE(version.has_value());
  EXPECT_EQ(AboutVersionLine(*version).rfind("Burnwell Version ", 0), 0u);
  EXPECT_EQ(backend.LoadString(101), "&About Burnwell...");
  EXPECT_EQ(backend.LoadString(111), "Programming FLASH failed\nOffset=0x%X, Length=%d");
}

}  // namespace
}  // namespace burnwell::app
