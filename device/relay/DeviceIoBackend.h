// A relay backend that serves requests with this machine's own device I/O (the platform's
// DeviceIo): what a real relay daemon runs.
#pragma once

#include "device/relay/RelayBackend.h"

namespace burnwell::device::relay {

class DeviceIoBackend final : public RelayBackend {
 public:
  std::unique_ptr<RelaySession> Open(std::string_view path) override;
};

}  // namespace burnwell::device::relay
