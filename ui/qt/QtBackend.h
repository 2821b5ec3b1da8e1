// The dialogs as Qt 6 Widgets windows on Linux: the same templates and controls, arranged by a
// grid layout (the template's dialog-unit sizes are the least the window and its boxes get), and
// message boxes opened beside their window; the worker's synchronous messages are blocking queued
// calls into the GUI thread and its posted ones queued calls; the About box sits in the window's
// menu, Linux having no system menu.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "ui/Framework.h"

namespace burnwell::ui {

// Whether Qt can start its windows here: its platform plugin loads and reaches the display.
// Qt ends the whole process when it cannot (a DISPLAY nobody answers at, a refused connection),
// so a child process tries it first, with the same arguments and environment.
bool QtCanShowWindows(int argc, char** argv);

// Creates the QApplication (argc and argv must outlive the backend) and the backend. icon holds
// the bytes of the program's .ico file, or is empty.
std::unique_ptr<Backend> MakeQtBackend(int& argc, char** argv, FileVersion version,
                                       std::span<const std::uint8_t> icon = {});

}  // namespace burnwell::ui
