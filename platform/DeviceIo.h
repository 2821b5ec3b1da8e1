// Device I/O and the relay channel. The buffers of the pass-through I/O controls hold the
// wire layouts (the ScsiRequest with its 44-byte 32-bit SCSI_PASS_THROUGH header, the 40-byte
// 32-bit ATA_PASS_THROUGH_EX block); an implementation converts to its native structures only
// at the operating-system call (DeviceIoControl on Windows, SG_IO on Linux).
#pragma once

#include <cstdint>

#include "platform/Handle.h"
#include "platform/Seam.h"

namespace burnwell::platform {

// Attributes of an open (CreateFileA's flags-and-attributes argument).
inline constexpr std::uint32_t kOpenNoAttributes = 0;
inline constexpr std::uint32_t kOpenAttributeSystem = 0x4;  // FILE_ATTRIBUTE_SYSTEM

class DeviceIo {
 public:
  virtual ~DeviceIo() = default;

  // Opens an existing device for reading and writing, sharing read and write
  // (CreateFileA with GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
  // OPEN_EXISTING). kInvalidHandle on failure. On Linux an absolute path is taken below the
  // system root (unless it already lies there).
  virtual Handle Open(const char* path, std::uint32_t attributes) = 0;

  // DeviceIoControl without overlapped I/O: false on failure. IOCTL_SCSI_PASS_THROUGH and
  // IOCTL_ATA_PASS_THROUGH update their request in place (in and out are the same buffer).
  virtual bool IoControl(Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                         void* out, std::uint32_t outSize, std::uint32_t* returned) = 0;

  // ReadFile of up to size bytes at the current position.
  virtual bool Read(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read) = 0;

  // SetFilePointer to an offset from the start; true when the new position is that offset.
  virtual bool Seek(Handle handle, std::int64_t offset) = 0;

  // CloseHandle.
  virtual bool Close(Handle handle) = 0;

  // Opens one connection to the I/O relay ("\\.\pipe\DeviceIoControlPipe" in message mode on
  // Windows; a SOCK_SEQPACKET socket at /run/burnwell/DeviceIoControlPipe under the system
  // root on Linux). kInvalidHandle when no relay listens.
  virtual Handle OpenRelay() = 0;

  // Writes one whole message to a relay connection; *written receives the bytes written.
  virtual bool WriteMessage(Handle handle, const void* data, std::uint32_t size,
                            std::uint32_t* written) = 0;

  // Reads one message from a relay connection into a buffer of size bytes. A message longer
  // than the buffer is a failure (its excess is never written anywhere). A relay that sends
  // nothing within the relay reply time-out (platform/PlatformState.h) is a failure too: no
  // read waits forever.
  virtual bool ReadMessage(Handle handle, void* buffer, std::uint32_t size,
                           std::uint32_t* read) = 0;
};

template <>
DeviceIo& SystemInstance<DeviceIo>();

}  // namespace burnwell::platform
