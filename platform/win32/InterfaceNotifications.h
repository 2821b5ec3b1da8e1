// Device-interface arrival and removal notifications for a few interface classes, received by a
// message-only window on a thread of its own.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <initializer_list>

namespace burnwell::platform {

// Calls `changed` on the watch's thread after every arrival and removal of an interface of the
// given classes; 0 when the window or the registrations cannot be made.
std::intptr_t StartInterfaceNotifications(std::initializer_list<GUID> classes,
                                          std::function<void()> changed);
// Unregisters, ends the thread and frees the watch.
void EndInterfaceNotifications(std::intptr_t watch);

}  // namespace burnwell::platform
