#include <sys/auxv.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/Environment.h"

namespace burnwell::platform {

std::optional<std::string> EnvironmentSetting(const char* name) {
  // secure_getenv answers nothing in a program the kernel started with raised privileges.
  const char* value = ::secure_getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

bool RaisedPrivileges() { return ::getauxval(AT_SECURE) != 0; }

bool RunsAsAdministrator() { return ::geteuid() == 0; }

}  // namespace burnwell::platform
