#include <windows.h>

#include <vector>

#include "platform/Environment.h"
#include "platform/Utf8.h"

namespace burnwell::platform {

// Windows has no set-user-ID programs: the environment is the caller's own. It is read wide:
// the narrow one holds the ANSI code page, and a user's folder may have a name outside it.
std::optional<std::string> EnvironmentSetting(const char* name) {
  const std::wstring wideName(name, name + std::char_traits<char>::length(name));  // ASCII names
  std::vector<wchar_t> value(256);
  for (;;) {
    const DWORD length =
        ::GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) return std::nullopt;  // unset or empty
    if (length < value.size()) return Utf8FromWide(std::wstring_view(value.data(), length));
    value.resize(length);  // the size it needs, its terminating zero included
  }
}

bool RunsAsAdministrator() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool elevated =
      ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
      elevation.TokenIsElevated != 0;
  ::CloseHandle(token);
  return elevated;
}

bool RaisedPrivileges() { return false; }

}  // namespace burnwell::platform
