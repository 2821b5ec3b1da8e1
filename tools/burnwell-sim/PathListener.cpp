#include "PathListener.h"

namespace burnwell::sim {

std::unique_ptr<platform::RelayListener> ListenAtPath(const std::string& path, std::string* error) {
#ifdef _WIN32
  (void)path;
  if (error)
    *error = "--socket is not available on Windows; the relay pipe follows the system root";
  return nullptr;
#else
  std::string problem;
  auto listener = platform::ListenForRelayClientsAt(path, &problem);
  if (!listener && error) *error = "cannot listen on " + path + ": " + problem;
  return listener;
#endif
}

}  // namespace burnwell::sim
