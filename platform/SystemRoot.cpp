#include "platform/System.h"

namespace burnwell::platform {

std::filesystem::path UnderSystemRoot(const std::string& absolutePath) {
  std::filesystem::path root = Current<System>().SystemRoot();
  std::string relative = absolutePath;
  while (!relative.empty() && relative.front() == '/') relative.erase(relative.begin());
  return relative.empty() ? root : root / relative;
}

}  // namespace burnwell::platform
