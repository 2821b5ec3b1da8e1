// burnwell: the one-shot firmware updater. Reads Config.ini from the working directory, loads
// the firmware file named there, asks for the backup warning and updates the first bridge found.
// The exit status tells a script what happened (see --help).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/BurnwellDlg.h"
#include "common/Version.h"
#include "ui/Framework.h"
#include "ui/terminal/TerminalBackend.h"

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

constexpr int kExitUsage = 64;

void PrintHelp() {
  std::printf(
      "Usage: burnwell [--terminal] [--yes]\n"
      "\n"
      "Updates the firmware of the first ZQ5x8x bridge found with the file that Config.ini in the\n"
      "working directory names (HEXNAME, default ZQ5x8x.hex), after the backup warning.\n"
      "\n"
      "Options:\n"
      "  --terminal  use the terminal instead of a window (the default without a display)\n"
      "  --yes       answer the backup warning with OK (terminal only)\n"
      "  --version   print the program version\n"
      "  --help      print this text\n"
      "\n"
      "Exit status:\n"
      "  0  the bridge was programmed and verified; power-cycle it\n"
      "  1  the update ran and failed (erase, programming, read-back or compare)\n"
      "  2  no bridge was found\n"
      "  3  the firmware file could not be loaded, or the warning was cancelled\n"
      "  4  the bridge's firmware version could not be read or is not the configured one\n"
      "  5  the update could not be started\n"
      "  6  no window could be shown\n"
      " 64  bad command line\n");
}

[[maybe_unused]] bool HaveDisplay() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 && *x11) || (wayland && *wayland);
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  burnwell::UseParentConsole();
#endif
  bool terminal = false;
  bool yes = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintHelp();
      return 0;
    }
    if (arg == "--version") {
      std::printf("burnwell %s\n", burnwell::kVersionText);
      return 0;
    }
    if (arg == "--terminal") {
      terminal = true;
    } else if (arg == "--yes" || arg == "-y") {
      yes = true;
    } else {
      std::fprintf(stderr, "burnwell: unknown option '%s' (try --help)\n", argv[i]);
      return kExitUsage;
    }
  }

  const burnwell::ui::FileVersion builtIn{burnwell::kVersionMajor, burnwell::kVersionMinor, burnwell::kVersionBuild,
                                          burnwell::kVersionRevision};
  std::unique_ptr<burnwell::ui::Backend> backend;
#if defined(_WIN32)
  if (!terminal) backend = std::make_unique<burnwell::ui::Win32Backend>();
#elif defined(BURNWELL_HAVE_QT)
  if (!terminal && HaveDisplay()) backend = burnwell::ui::MakeQtBackend(argc, argv, builtIn, burnwell::ProgramIcon());
#else
  (void)terminal;
#endif
  if (!backend) {
    auto view = burnwell::ui::TerminalView::Standard();
    view.SetAssumeYes(yes);
    backend = std::make_unique<burnwell::ui::TerminalBackend>(std::move(view), builtIn);
  }
  int status = 0;
  {
    burnwell::platform::ScopedOverride<burnwell::ui::Backend> installed(backend.get());
    burnwell::app::CBurnwellApp app;
    app.InitInstance();
    status = static_cast<int>(app.Result());
  }
  return status;
}
