// burnwell: the one-shot firmware updater. Reads Config.ini from the working directory, loads
// the firmware file named there, names the bridge, asks for the backup warning and updates it.
// The exit status tells a script what happened (see --help and common/ExitStatus.h).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/BurnwellDlg.h"
#include "bridge/BridgeState.h"
#include "common/CommandLine.h"
#include "common/ExitStatus.h"
#include "platform/Environment.h"
#include "platform/StopRequest.h"
#include "common/Version.h"
#include "ui/Framework.h"
#include "ui/terminal/TerminalBackend.h"
#include "tools/burnwell/UpdaterHistory.h"
#include "tools/burnwell/WindowVerdict.h"

#if defined(_WIN32)
#include "ParentConsole.h"
#include "ui/win32/Win32Backend.h"
#endif
#if defined(BURNWELL_HAVE_QT)
#include "ui/qt/QtBackend.h"
namespace burnwell {
std::span<const std::uint8_t> ProgramIcon();
}
#endif

namespace {

constexpr const char* kProgram = "burnwell";

[[maybe_unused]] bool HaveDisplay() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 && *x11) || (wayland && *wayland);
}

// The display settings as one line names them.
[[maybe_unused]] std::string DisplayText() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  std::string text = x11 ? x11 : "";
  if (wayland && *wayland) text += std::string(", WAYLAND_DISPLAY=") + wayland;
  return text;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  burnwell::UseParentConsole();
#endif
  burnwell::bridge::BridgeLayer().lockWaitNotice = [] {
    std::fprintf(stderr, "burnwell: %s\n", burnwell::bridge::kLockWaitText);
  };
  bool terminal = false;
  bool yes = false;
  CLI::App cli(
      "Updates the firmware of the one ZQ5x8x bridge attached with the file that Config.ini in\n"
      "the working directory names (HEXNAME, default ZQ5x8x.hex), after the backup warning.\n"
      "Several bridges attached, or one of another vendor ID, are refused; nothing is written.",
      kProgram);
  burnwell::cli::FollowConvention(cli, kProgram);
  burnwell::cli::SetUsage(cli, "burnwell [--terminal] [--yes]");
  cli.add_flag("--terminal", terminal,
               "use the terminal instead of a window (the default without a display)");
  burnwell::cli::AddYes(cli, yes, "answer the backup warning with OK (terminal only)");
  cli.footer(burnwell::ExitStatusHelp(burnwell::Program::Updater));
  if (const std::optional<int> status =
          burnwell::cli::Parse(cli, std::vector<std::string>(argv + std::min(argc, 1), argv + argc),
                               std::cout, std::cerr))
    return *status;

  const burnwell::ui::FileVersion builtIn{burnwell::kVersionMajor, burnwell::kVersionMinor,
                                          burnwell::kVersionBuild, burnwell::kVersionRevision};
  std::unique_ptr<burnwell::ui::Backend> backend;
#if defined(_WIN32)
  if (!terminal) backend = std::make_unique<burnwell::ui::Win32Backend>();
#elif defined(BURNWELL_HAVE_QT)
  if (!terminal && HaveDisplay()) {
    // Qt takes settings from the environment (QT_PLUGIN_PATH loads code): a caller must not
    // hand them to a program with more rights than its own.
    if (burnwell::platform::RaisedPrivileges()) {
      std::cerr << "burnwell: no window with raised privileges (set-user-ID or set-group-ID): "
                   "Qt would take its settings from the caller's environment; run it with "
                   "--terminal\n";
      return burnwell::Code(burnwell::ExitStatus::NoWindow);
    }
    if (burnwell::ui::QtCanShowWindows(argc, argv)) {
      backend = burnwell::ui::MakeQtBackend(argc, argv, builtIn, burnwell::ProgramIcon());
    } else {
      std::cerr << "burnwell: the display cannot be reached (DISPLAY=" << DisplayText()
                << "); using the terminal\n";
    }
  }
#else
  (void)terminal;
#endif
  const bool windowed = backend != nullptr;
  if (!backend) {
    auto view = burnwell::ui::TerminalView::Standard();
    view.SetAssumeYes(yes);
    backend = std::make_unique<burnwell::ui::TerminalBackend>(std::move(view), builtIn);
    // Ctrl-C while the bridge's memory is changed warns first (the window refuses to close).
    burnwell::platform::InstallStopHandlers();
  }
  int status = 0;
  {
    burnwell::platform::ScopedOverride<burnwell::ui::Backend> installed(backend.get());
    // Each unit on record beside the dialog's own sequence.
    burnwell::UpdaterHistory history(std::cerr);
    burnwell::app::DialogServices services = burnwell::app::DialogServices::Real();
    history.Install(services);
    burnwell::app::CBurnwellApp app(services);
    app.InitInstance();
    status = static_cast<int>(app.Result());
    // The terminal view has said it all already; a window's boxes are gone once it closes.
    if (windowed) std::cout << burnwell::WindowVerdict(status, history.LastUnit()) << std::endl;
  }
  return status;
}
