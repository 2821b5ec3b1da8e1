// burnwell.exe is a GUI-subsystem program: Windows starts it without a console, so started from
// Explorer no console window opens beside the dialog. Started from a console, what it prints
// (--help, --version, usage errors, the terminal view) still belongs in that console.
#pragma once

namespace burnwell {

// Attaches to the console of the process that started this one, when it has one, and points the
// standard streams that lead nowhere at it. Streams redirected to a file or pipe stay as they
// are. Does nothing when there is no parent console (started from Explorer or a shortcut).
void UseParentConsole();

}  // namespace burnwell
