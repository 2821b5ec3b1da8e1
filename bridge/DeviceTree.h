// Lookups in the operating system's device tree by instance ID. Instance IDs live in 260-byte
// caller buffers; every failure leaves the caller's buffer or handle exactly as it was.
#pragma once

#include "device/DeviceRecord.h"

namespace burnwell::bridge {

enum class TreeRelation { Self, Parent, FirstChild };

// Replaces the instance ID in buffer by the ID of the related node, as the configuration
// manager reports it (with Self: the canonical form of the same ID). False on any failure.
bool GetDeviceTreeId(TreeRelation relation, device::PathText& buffer);

// Stores the node handle of a present device's instance ID. False when it cannot be located.
bool GetDeviceNode(const char* instanceId, device::DevNode& node);

}  // namespace burnwell::bridge
