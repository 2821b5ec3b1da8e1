// A relay listener on a socket path of the user's choice (serve --socket PATH).
#pragma once

#include <memory>
#include <string>

#include "platform/RelayListener.h"

namespace burnwell::sim {

// nullptr with a reason in *error when it cannot listen there (or on a system without
// Unix-domain sockets).
std::unique_ptr<platform::RelayListener> ListenAtPath(const std::string& path, std::string* error);

}  // namespace burnwell::sim
