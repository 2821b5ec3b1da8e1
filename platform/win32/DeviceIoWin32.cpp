// Device I/O on Windows: CreateFileA and DeviceIoControl, with the pass-through requests
// converted from their 32-bit wire layouts to the native structures (56 and 48 bytes on x64)
// and back; the relay over the message-mode named pipe.
// The wire-layout constants first: the Windows headers below define some of the same names
// as macros with the same values.
#include "wire/AtaPassThrough.h"
#include "wire/ScsiRequest.h"
#include "platform/DeviceIo.h"
#include "platform/GoneSettle.h"
#include "platform/IoFailure.h"
#include "platform/PlatformState.h"
#include "platform/RelaySocketPath.h"
#include "platform/WinNames.h"
#include "platform/win32/DeviceIoNative.h"
#include "platform/win32/RelayPipeIo.h"

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace burnwell::platform {
namespace {

static_assert(sizeof(void*) != 8 || sizeof(SCSI_PASS_THROUGH) == 56);
static_assert(sizeof(void*) != 8 || sizeof(ATA_PASS_THROUGH_EX) == 48);

HANDLE AsHandle(Handle h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

// A failed DeviceIoControl on a bridge that was unplugged ends with one of these errors; any
// other error is a failed command, unless a look at the device says otherwise
// (LookAgainAfterFailure).
IoFailure Win32FailureKind(DWORD error) {
  constexpr DWORD kDeviceNotConnected = 1167;  // ERROR_DEVICE_NOT_CONNECTED
  constexpr DWORD kNoSuchDevice = 433;         // ERROR_NO_SUCH_DEVICE (not in every SDK's headers)
  constexpr DWORD kDeviceRemoved = 1617;       // ERROR_DEVICE_REMOVED
  constexpr DWORD kDeviceNoLongerThere = 55;   // ERROR_DEV_NOT_EXIST
  switch (error) {
    case kDeviceNotConnected:
    case kNoSuchDevice:
    case kDeviceRemoved:
    case kDeviceNoLongerThere: return IoFailure::DeviceGone;
    default: return IoFailure::CommandFailed;
  }
}

namespace {

// The errors the command in flight may end with when its bridge is pulled, before the commands
// after it meet a removal's own error. Refusals of the request itself (no such function, no
// access, a bad parameter) are not among them: those say nothing about the device.
bool MayBeRemoval(DWORD error) {
  switch (error) {
    case 21:    // ERROR_NOT_READY
    case 31:    // ERROR_GEN_FAILURE
    case 121:   // ERROR_SEM_TIMEOUT
    case 995:   // ERROR_OPERATION_ABORTED
    case 1117:  // ERROR_IO_DEVICE
      return true;
    default: return false;
  }
}

// After such an error a harmless TEST UNIT READY looks at the device until it answers or is
// seen gone (platform/GoneSettle.h). The failed command's own last error is kept for the
// caller.
void LookAgainAfterFailure(HANDLE device, const NativeIoControl& call) {
  const DWORD error = ::GetLastError();
  if (!MayBeRemoval(error)) return;
  NoteIoFailure(SettleFailedCommand([&] {
    constexpr std::size_t kSenseAt = sizeof(SCSI_PASS_THROUGH);
    std::vector<std::uint8_t> native(kSenseAt + 32, 0);
    SCSI_PASS_THROUGH header{};
    header.Length = sizeof(SCSI_PASS_THROUGH);
    header.CdbLength = 6;  // TEST UNIT READY: six zero bytes
    header.SenseInfoLength = 32;
    header.DataIn = 0;  // out, as every command without data is sent
    header.TimeOutValue = 1;
    header.SenseInfoOffset = static_cast<ULONG>(kSenseAt);
    std::memcpy(native.data(), &header, sizeof header);
    DWORD got = 0;
    if (call(device, IOCTL_SCSI_PASS_THROUGH, native.data(), static_cast<DWORD>(native.size()),
             &got))
      return IoFailure::None;
    return Win32FailureKind(::GetLastError());
  }));
  ::SetLastError(error);
}

}  // namespace

BOOL SystemDeviceIoControl(HANDLE device, DWORD code, void* buffer, DWORD size, DWORD* got) {
  const BOOL ok = ::DeviceIoControl(device, code, buffer, size, buffer, size, got, nullptr);
  if (!ok) {
    const DWORD error = ::GetLastError();
    NoteIoFailure(Win32FailureKind(error));
    ::SetLastError(error);
  }
  return ok;
}

namespace {

// A native pass-through header with the fields both kinds share taken from the wire header.
template <class Native, class Wire>
Native NativeHeader(const Wire& wireHeader, std::size_t dataAt) {
  Native header{};
  header.Length = sizeof(Native);
  header.PathId = wireHeader.PathId;
  header.TargetId = wireHeader.TargetId;
  header.Lun = wireHeader.Lun;
  header.DataTransferLength = wireHeader.DataTransferLength;
  header.TimeOutValue = wireHeader.TimeOutValue;
  header.DataBufferOffset = dataAt;
  return header;
}

}  // namespace

// IOCTL_SCSI_PASS_THROUGH: native header, 32-byte sense area, data area.
bool NativeScsiPassThrough(HANDLE device, const void* in, std::uint32_t inSize, void* out,
                           std::uint32_t outSize, std::uint32_t* returned,
                           const NativeIoControl& call) {
  if (!in || !out || !wire::ScsiRequestView::HoldsHeader(inSize)) return false;
  std::vector<std::uint8_t> bytes(static_cast<const std::uint8_t*>(in),
                                  static_cast<const std::uint8_t*>(in) + inSize);
  const wire::ScsiRequestView request(bytes);
  wire::ScsiPassThroughHeader wireHeader = request.Header();
  // The native sense area holds 32 bytes: a longer one is asked for as 32.
  wireHeader.SenseInfoLength = std::min<std::uint8_t>(wireHeader.SenseInfoLength, 32);
  const std::uint32_t length = wireHeader.DataTransferLength;
  if (!wireHeader.CdbLengthValid()) return false;
  if (!wire::DataAreaInside(wireHeader, inSize) || !wire::SenseAreaInside(wireHeader, inSize))
    return false;

  constexpr std::size_t kSenseAt = sizeof(SCSI_PASS_THROUGH);
  constexpr std::size_t kDataAt = (kSenseAt + 32 + 7) & ~std::size_t{7};
  std::vector<std::uint8_t> native(kDataAt + length, 0);
  auto header = NativeHeader<SCSI_PASS_THROUGH>(wireHeader, kDataAt);
  header.CdbLength = wireHeader.CdbLength;
  header.SenseInfoLength = wireHeader.SenseInfoLength;
  header.DataIn = wireHeader.DataIn;
  header.SenseInfoOffset = static_cast<ULONG>(kSenseAt);
  std::copy(wireHeader.Cdb.begin(), wireHeader.Cdb.end(), header.Cdb);
  std::memcpy(native.data(), &header, sizeof header);
  std::ranges::copy(request.DataArea(wireHeader), native.begin() + kDataAt);

  DWORD got = 0;
  const DWORD size = static_cast<DWORD>(native.size());
  if (!call(device, IOCTL_SCSI_PASS_THROUGH, native.data(), size, &got)) {
    LookAgainAfterFailure(device, call);
    return false;
  }

  std::memcpy(&header, native.data(), sizeof header);
  request.SetScsiStatus(header.ScsiStatus);
  const std::uint8_t senseBack =
      std::min<std::uint8_t>(header.SenseInfoLength, wireHeader.SenseInfoLength);
  request.SetSenseInfoLength(senseBack);
  std::copy_n(native.begin() + kSenseAt, senseBack, request.SenseArea(wireHeader).begin());
  const std::uint32_t transferred = std::min<std::uint32_t>(header.DataTransferLength, length);
  request.SetDataTransferLength(transferred);
  std::copy_n(native.begin() + kDataAt, transferred, request.DataArea(wireHeader).begin());
  std::memcpy(out, bytes.data(), std::min(inSize, outSize));
  if (returned)
    *returned =
        std::min<std::uint32_t>(outSize, length ? wireHeader.DataBufferOffset + transferred
                                                : static_cast<std::uint32_t>(wire::kDataOffset));
  return true;
}

// IOCTL_ATA_PASS_THROUGH: native ATA_PASS_THROUGH_EX followed by the data area.
bool NativeAtaPassThrough(HANDLE device, const void* in, std::uint32_t inSize, void* out,
                          std::uint32_t outSize, std::uint32_t* returned,
                          const NativeIoControl& call) {
  if (!in || !out || inSize < wire::kAtaPassThroughSize) return false;
  std::vector<std::uint8_t> block(static_cast<const std::uint8_t*>(in),
                                  static_cast<const std::uint8_t*>(in) + inSize);
  wire::AtaPassThroughHeader wireHeader = wire::DecodeAtaPassThroughHeader(block);
  const std::uint32_t length = wireHeader.DataTransferLength;
  if (!wireHeader.DataAreaInside(inSize)) return false;
  const std::span<std::uint8_t> wireData = wire::AtaDataArea(wireHeader, std::span(block));

  constexpr std::size_t kDataAt = sizeof(ATA_PASS_THROUGH_EX);
  std::vector<std::uint8_t> native(kDataAt + length, 0);
  auto header = NativeHeader<ATA_PASS_THROUGH_EX>(wireHeader, kDataAt);
  header.AtaFlags = wireHeader.AtaFlags;
  std::ranges::copy(wireHeader.PreviousTaskFile, header.PreviousTaskFile);
  std::ranges::copy(wireHeader.CurrentTaskFile, header.CurrentTaskFile);
  std::memcpy(native.data(), &header, sizeof header);
  std::ranges::copy(wireData, native.begin() + kDataAt);

  DWORD got = 0;
  const DWORD size = static_cast<DWORD>(native.size());
  if (!call(device, IOCTL_ATA_PASS_THROUGH, native.data(), size, &got)) {
    LookAgainAfterFailure(device, call);
    return false;
  }
  std::memcpy(&header, native.data(), sizeof header);
  std::ranges::copy(header.PreviousTaskFile, wireHeader.PreviousTaskFile.begin());
  std::ranges::copy(header.CurrentTaskFile, wireHeader.CurrentTaskFile.begin());
  const std::uint32_t transferred = std::min<std::uint32_t>(header.DataTransferLength, length);
  wireHeader.DataTransferLength = transferred;
  wire::EncodeAtaPassThroughHeader(wireHeader, block);
  std::copy_n(native.begin() + kDataAt, transferred, wireData.begin());
  std::memcpy(out, block.data(), std::min(inSize, outSize));
  if (returned) *returned = std::min(inSize, outSize);
  return true;
}

namespace {

class Win32DeviceIo final : public DeviceIo {
 public:
  Handle Open(const char* path, std::uint32_t attributes) override {
    if (path == nullptr) return kInvalidHandle;
    HANDLE h = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, attributes, nullptr);
    return reinterpret_cast<Handle>(h);
  }

  bool IoControl(Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                 std::uint32_t outSize, std::uint32_t* returned) override {
    switch (code) {
      case IOCTL_SCSI_PASS_THROUGH:
        return NativeScsiPassThrough(AsHandle(handle), in, inSize, out, outSize, returned,
                                     SystemDeviceIoControl);
      case IOCTL_ATA_PASS_THROUGH:
        return NativeAtaPassThrough(AsHandle(handle), in, inSize, out, outSize, returned,
                                    SystemDeviceIoControl);
      default: {
        DWORD got = 0;
        const BOOL ok = ::DeviceIoControl(AsHandle(handle), code, const_cast<void*>(in), inSize,
                                          out, outSize, &got, nullptr);
        if (returned) *returned = got;
        return ok != 0;
      }
    }
  }

  bool Read(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read) override {
    DWORD got = 0;
    const BOOL ok = ::ReadFile(AsHandle(handle), buffer, size, &got, nullptr);
    if (read) *read = got;
    return ok != 0;
  }

  bool Seek(Handle handle, std::int64_t offset) override {
    LARGE_INTEGER to{};
    to.QuadPart = offset;
    LARGE_INTEGER now{};
    return offset >= 0 && ::SetFilePointerEx(AsHandle(handle), to, &now, FILE_BEGIN) &&
           now.QuadPart == offset;
  }

  bool Close(Handle handle) override { return ::CloseHandle(AsHandle(handle)) != 0; }

  Handle OpenRelay() override {
    const std::string name = RelayPipeName();
    HANDLE pipe = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return kInvalidHandle;
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
      ::CloseHandle(pipe);
      return kInvalidHandle;
    }
    return reinterpret_cast<Handle>(pipe);
  }

  bool WriteMessage(Handle handle, const void* data, std::uint32_t size,
                    std::uint32_t* written) override {
    DWORD got = 0;
    const auto result = pipeio::Write(AsHandle(handle), data, size, &got,
                                      PlatformLayer().relayReplyTimeoutMs.load(), nullptr);
    if (written) *written = got;
    return result == pipeio::Result::Done;
  }

  bool ReadMessage(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read) override {
    DWORD got = 0;
    // ERROR_MORE_DATA (a message longer than the buffer) is a failure like any other.
    const auto result = pipeio::Read(AsHandle(handle), buffer, size, &got,
                                     PlatformLayer().relayReplyTimeoutMs.load(), nullptr);
    if (result != pipeio::Result::Done) return false;
    if (read) *read = got;
    return true;
  }
};

}  // namespace

template <>
DeviceIo& SystemInstance<DeviceIo>() {
  static Win32DeviceIo io;
  return io;
}

}  // namespace burnwell::platform
