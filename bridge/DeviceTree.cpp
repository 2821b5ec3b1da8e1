#include "bridge/DeviceTree.h"

#include <cstring>

#include "platform/WinDeviceServices.h"

namespace burnwell::bridge {

using device::DevNode;
using device::kPathChars;
using device::PathText;
namespace {

// The ID in a caller buffer, bounded by the buffer even when its NUL is missing.
PathText Terminated(const PathText& buffer) {
  PathText copy = buffer;
  copy[kPathChars - 1] = '\0';
  return copy;
}

}  // namespace

bool GetDeviceTreeId(TreeRelation relation, PathText& buffer) {
  auto& services = platform::Current<platform::WinDeviceServices>();
  const PathText id = Terminated(buffer);
  platform::DevInstHandle node = 0;
  if (!services.LocateDevNode(id.data(), &node)) return false;
  platform::DevInstHandle chosen = node;
  if (relation == TreeRelation::Parent && !services.GetParent(node, &chosen)) return false;
  if (relation == TreeRelation::FirstChild && !services.GetChild(node, &chosen)) return false;
  PathText scratch{};
  if (!services.GetDeviceId(chosen, scratch.data(), kPathChars)) return false;
  scratch[kPathChars - 1] = '\0';  // a 260-character answer is cut, never left open
  buffer.fill('\0');
  std::memcpy(buffer.data(), scratch.data(), std::strlen(scratch.data()));
  return true;
}

bool GetDeviceNode(const char* instanceId, DevNode& node) {
  platform::DevInstHandle found = 0;
  if (!platform::Current<platform::WinDeviceServices>().LocateDevNode(instanceId, &found)) {
    return false;
  }
  node = found;
  return true;
}

}  // namespace burnwell::bridge
