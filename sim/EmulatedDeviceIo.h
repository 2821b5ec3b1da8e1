// Emulated bridges behind the device I/O seam. Each device path maps to one bridge; a handle
// opened on that path reaches it. The bridge can be presented as a USB mass-storage unit
// (SCSI pass-through carries the vendor commands), as an IDE disk (ATA pass-through IDENTIFY)
// or as a SCSI disk (SMART and miniport IDENTIFY, plain pass-through).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/DeviceIo.h"
#include "sim/EmulatedBridge.h"

namespace burnwell::sim {

enum class Presentation : std::uint8_t { MassStorage, IdeDisk, ScsiDisk };

// Control codes beyond those in platform/WinNames.h.
inline constexpr std::uint32_t IOCTL_SCSI_MINIPORT_IDENTIFY = 0x1B0501;

class EmulatedDeviceIo final : public platform::DeviceIo {
 public:
  // Makes `path` reach `bridge`. Several paths may share one bridge (two units of a device).
  void Attach(const std::string& path, std::shared_ptr<EmulatedBridge> bridge,
              Presentation presentation = Presentation::MassStorage);
  void Detach(const std::string& path);
  std::shared_ptr<EmulatedBridge> BridgeAt(const std::string& path) const;

  // Handles currently open (tests check that every open is closed).
  std::size_t OpenHandles() const;

  platform::Handle Open(const char* path, std::uint32_t attributes) override;
  bool IoControl(platform::Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                 void* out, std::uint32_t outSize, std::uint32_t* returned) override;
  bool Read(platform::Handle handle, void* buffer, std::uint32_t size,
            std::uint32_t* read) override;
  bool Seek(platform::Handle handle, std::int64_t offset) override;
  bool Close(platform::Handle handle) override;

  // No relay listens inside the process: the tool falls back to direct access.
  platform::Handle OpenRelay() override { return platform::kInvalidHandle; }
  bool WriteMessage(platform::Handle, const void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }
  bool ReadMessage(platform::Handle, void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }

 private:
  struct Attachment {
    std::shared_ptr<EmulatedBridge> bridge;
    Presentation presentation;
  };
  struct OpenDevice {
    Attachment attachment;
    std::int64_t position = 0;
  };

  mutable std::mutex mutex_;
  std::map<std::string, Attachment> paths_;
  std::map<platform::Handle, OpenDevice> open_;
  platform::Handle nextHandle_ = 0x1000;
};

// One I/O control on one emulated bridge (shared by the in-process seam and the relay
// service). `in` and `out` may be the same buffer.
bool EmulatedIoControl(EmulatedBridge& bridge, Presentation presentation, std::uint32_t code,
                       const void* in, std::uint32_t inSize, void* out, std::uint32_t outSize,
                       std::uint32_t* returned);

}  // namespace burnwell::sim
