#include "PathListener.h"

namespace burnwell::sim {

std::unique_ptr<platform::RelayListener> ListenAtPath(const std::string& path, std::string* error) {
#ifdef _WIN32
  (void)path;
  if (error) *error = "--socket is not available on Windows; the relay pipe follows the system root";
  return nullptr;
#else
  auto listener = platform::ListenForRelayClientsAt(path);
  if (!listener && error) {
    *error = "cannot listen on " + path + " (a server already listens there, or no rights)";
  }
  return listener;
#endif
}

}  // namespace burnwell::sim
