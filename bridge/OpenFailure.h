// Why the device API gave no bridge to use, told the way `list` tells it: a bridge busy with
// another program, a node the user may not open (which node, which USB ID, what to do), no sg
// driver, no relay, or no bridge at all. Every program says the same.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace burnwell::bridge {

enum class OpenFailureKind {
  Busy,          // another program holds the bridge's lock
  NoPermission,  // a bridge's node the user may not open
  NoBridge,      // nothing found (no bridge, no sg driver)
  NotAnswering,  // a bridge is attached but did not answer its identification
  Error,         // the device API failed otherwise
};

struct OpenFailure {
  OpenFailureKind kind = OpenFailureKind::NoBridge;
  std::string headline;            // "no permission to use the bridge"
  std::vector<std::string> lines;  // discovery's notes, then what to do
};

// `openResult` is BridgeOpen's result (0 or a negative device-API code); reads the notes the
// last discovery left.
OpenFailure DescribeOpenFailure(int openResult);

// "a device lock could not be made: remove /run/burnwell/lock/DeviceIndex_00.lock: it is a FIFO,
// not a lock file" when a lock failed for a reason the user can act on; nothing otherwise.
std::optional<std::string> LockFailureText();

}  // namespace burnwell::bridge
