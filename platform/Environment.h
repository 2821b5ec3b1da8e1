// The program's environment settings, read in one place. They exist for tests and the
// emulator (BURNWELL_SYSROOT moves /sys, /dev and /run below a folder of generated files) and
// for the service manager's hand-over of a listening socket (LISTEN_PID, LISTEN_FDS). On Linux
// they are ignored when the program runs with raised privileges (set-user-ID, set-group-ID or
// file capabilities): whoever starts such a program must not be able to move the places where
// it opens devices, listens and takes its locks.
#pragma once

#include <optional>
#include <string>

namespace burnwell::platform {

// The value of the environment variable `name`; nothing when it is unset, empty, or ignored
// because the program runs with raised privileges.
std::optional<std::string> EnvironmentSetting(const char* name);

// True when the program runs with raised privileges (Linux: the kernel started it in secure
// mode: set-user-ID, set-group-ID or file capabilities). Never on Windows.
bool RaisedPrivileges();
// The program runs as root (Linux) or as an elevated administrator (Windows): it keeps what it
// keeps in the machine's own folders rather than the user's.
bool RunsAsAdministrator();

}  // namespace burnwell::platform
