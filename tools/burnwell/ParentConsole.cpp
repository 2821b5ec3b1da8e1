#include "ParentConsole.h"

#include <windows.h>

#include <cstdio>

namespace burnwell {
namespace {

// A handle the program inherited that leads somewhere: a console, a file or a pipe.
bool Usable(DWORD which) {
  HANDLE handle = ::GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         ::GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

void Reopen(DWORD which, const char* device, const char* mode, std::FILE* stream) {
  if (!std::freopen(device, mode, stream)) return;
  // Code that asks Windows for the handle rather than the C library finds the console too.
  HANDLE handle =
      ::CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle != INVALID_HANDLE_VALUE) ::SetStdHandle(which, handle);
}

}  // namespace

void UseParentConsole() {
  const bool input = Usable(STD_INPUT_HANDLE);
  const bool output = Usable(STD_OUTPUT_HANDLE);
  const bool error = Usable(STD_ERROR_HANDLE);
  if (input && output && error) return;
  if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return;
  if (!input) Reopen(STD_INPUT_HANDLE, "CONIN$", "r", stdin);
  if (!output) Reopen(STD_OUTPUT_HANDLE, "CONOUT$", "w", stdout);
  if (!error) Reopen(STD_ERROR_HANDLE, "CONOUT$", "w", stderr);
}

}  // namespace burnwell
