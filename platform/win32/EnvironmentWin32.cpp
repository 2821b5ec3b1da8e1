#include <cstdlib>

#include "platform/Environment.h"

namespace burnwell::platform {

// Windows has no set-user-ID programs: the environment is the caller's own.
std::optional<std::string> EnvironmentSetting(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

bool RaisedPrivileges() { return false; }

}  // namespace burnwell::platform
