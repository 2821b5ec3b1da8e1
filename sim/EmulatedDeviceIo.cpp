#include "sim/EmulatedDeviceIo.h"

#include "platform/IoFailure.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/Bytes.h"
#include "wire/AtaPassThrough.h"
#include "wire/ScsiRequest.h"
#include "wire/VendorOpcodes.h"
#include "platform/WinNames.h"

namespace burnwell::sim {
namespace {

using wire::kAtaIdentifyDevice;
constexpr std::uint32_t kIdentifySize = 512;

// SENDCMDINPARAMS (packed): cBufferSize u32, IDEREGS (8 bytes) at 4, bDriveNumber at 12,
// reserved to 32, bBuffer at 32.
namespace sendcmd_in {
constexpr std::size_t CommandRegister = 4 + 6;
constexpr std::size_t Size = 32;
}  // namespace sendcmd_in
// SENDCMDOUTPARAMS (packed): cBufferSize u32, DRIVERSTATUS (12 bytes), bBuffer at 16.
namespace sendcmd_out {
constexpr std::size_t BufferSize = 0;
constexpr std::size_t Buffer = 16;
}  // namespace sendcmd_out
// SRB_IO_CONTROL: HeaderLength, Signature[8], Timeout, ControlCode, ReturnCode, Length.
namespace srb {
constexpr std::size_t Signature = 4;
constexpr std::size_t ControlCode = 16;
constexpr std::size_t ReturnCode = 20;
constexpr std::size_t Size = 28;
}  // namespace srb

// Hands the answer back in `out`, as every call that answers ends.
bool Answered(std::span<const std::uint8_t> answer, void* out, std::uint32_t* returned) {
  std::memcpy(out, answer.data(), answer.size());
  if (returned) *returned = static_cast<std::uint32_t>(answer.size());
  return true;
}

bool ScsiPassThrough(EmulatedBridge& bridge, const void* in, std::uint32_t inSize, void* out,
                     std::uint32_t outSize, std::uint32_t* returned) {
  if (inSize < wire::kDataOffset || outSize < inSize) return false;
  std::vector<std::uint8_t> request(static_cast<const std::uint8_t*>(in),
                                    static_cast<const std::uint8_t*>(in) + inSize);
  const CommandOutcome outcome = bridge.Execute(request);
  // A disconnected bridge looks to the caller as an unplugged device does to the real stack.
  if (outcome == CommandOutcome::Disconnected)
    platform::NoteIoFailure(platform::IoFailure::DeviceGone);
  if (outcome != CommandOutcome::Completed) return false;
  return Answered(request, out, returned);
}

bool AtaPassThrough(EmulatedBridge& bridge, const void* in, std::uint32_t inSize, void* out,
                    std::uint32_t outSize, std::uint32_t* returned) {
  if (inSize < wire::kAtaPassThroughSize || outSize < inSize) return false;
  std::vector<std::uint8_t> block(static_cast<const std::uint8_t*>(in),
                                  static_cast<const std::uint8_t*>(in) + inSize);
  wire::AtaPassThroughHeader header = wire::DecodeAtaPassThroughHeader(block);
  const std::uint32_t offset = header.DataBufferOffset;
  wire::TaskFileRegisters& registers = header.CurrentTaskFile;
  if (registers[wire::reg::Command] == kAtaIdentifyDevice && header.ReadsData() &&
      header.DataTransferLength >= kIdentifySize && offset >= wire::kAtaPassThroughSize &&
      std::uint64_t{offset} + kIdentifySize <= block.size()) {
    const auto identify = bridge.IdentifyData();
    std::copy(identify.begin(), identify.end(), block.begin() + offset);
    registers[wire::reg::Error] = 0;
    registers[wire::reg::Status] = 0x50;  // drive ready, seek complete
  } else {
    registers[wire::reg::Error] = 0x04;   // aborted
    registers[wire::reg::Status] = 0x51;  // ERR set
  }
  wire::EncodeAtaPassThroughHeader(header, block);
  return Answered(block, out, returned);
}

bool SmartIdentify(EmulatedBridge& bridge, const void* in, std::uint32_t inSize, void* out,
                   std::uint32_t outSize, std::uint32_t* returned) {
  if (inSize < sendcmd_in::Size || outSize < sendcmd_out::Buffer + kIdentifySize) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(in);
  if (bytes[sendcmd_in::CommandRegister] != kAtaIdentifyDevice) return false;
  std::vector<std::uint8_t> answer(sendcmd_out::Buffer + kIdentifySize, 0);
  StoreLe32(&answer[sendcmd_out::BufferSize], kIdentifySize);
  const auto identify = bridge.IdentifyData();
  std::copy(identify.begin(), identify.end(), answer.begin() + sendcmd_out::Buffer);
  return Answered(answer, out, returned);
}

bool MiniportIdentify(EmulatedBridge& bridge, const void* in, std::uint32_t inSize, void* out,
                      std::uint32_t outSize, std::uint32_t* returned) {
  if (inSize < srb::Size + sendcmd_in::Size) return false;
  if (outSize < srb::Size + sendcmd_out::Buffer + kIdentifySize) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(in);
  if (std::memcmp(bytes + srb::Signature, "SCSIDISK", 8) != 0) return false;
  if (LoadLe32(bytes + srb::ControlCode) != IOCTL_SCSI_MINIPORT_IDENTIFY) return false;
  if (bytes[srb::Size + sendcmd_in::CommandRegister] != kAtaIdentifyDevice) return false;
  std::vector<std::uint8_t> answer(srb::Size + sendcmd_out::Buffer + kIdentifySize, 0);
  std::copy_n(bytes, srb::Size, answer.begin());
  StoreLe32(&answer[srb::ReturnCode], 0);
  StoreLe32(&answer[srb::Size + sendcmd_out::BufferSize], kIdentifySize);
  const auto identify = bridge.IdentifyData();
  std::copy(identify.begin(), identify.end(), answer.begin() + srb::Size + sendcmd_out::Buffer);
  return Answered(answer, out, returned);
}

// Disk queries: geometry (24 bytes), geometry-ex (geometry + disk size), the MBR layouts.
bool DiskQuery(EmulatedBridge& bridge, std::uint32_t code, void* out, std::uint32_t outSize,
               std::uint32_t* returned) {
  std::vector<std::uint8_t> answer;
  const std::uint64_t sectors = kDriveBlocks;
  auto geometry = [&] {
    std::vector<std::uint8_t> g(24, 0);
    StoreLe64(&g[0], sectors / (255 * 63));  // cylinders
    StoreLe32(&g[8], 12);                    // FixedMedia
    StoreLe32(&g[12], 255);
    StoreLe32(&g[16], 63);
    StoreLe32(&g[20], 512);
    return g;
  };
  switch (code) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: answer = geometry(); break;
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
      answer = geometry();
      answer.resize(32, 0);
      StoreLe64(&answer[24], sectors * 512);
      break;
    case IOCTL_DISK_GET_DRIVE_LAYOUT:  // PartitionCount, Signature
      answer.assign(8, 0);
      StoreLe32(&answer[4], bridge.DiskSignature());
      break;
    case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:  // PartitionStyle MBR, PartitionCount, Mbr.Signature
      answer.assign(48, 0);
      StoreLe32(&answer[8], bridge.DiskSignature());
      break;
    default: return false;
  }
  if (outSize < answer.size()) return false;
  return Answered(answer, out, returned);
}

}  // namespace

bool EmulatedIoControl(EmulatedBridge& bridge, Presentation presentation, std::uint32_t code,
                       const void* in, std::uint32_t inSize, void* out, std::uint32_t outSize,
                       std::uint32_t* returned) {
  if (returned) *returned = 0;
  switch (code) {
    case IOCTL_SCSI_PASS_THROUGH:
      if (!in || !out) return false;
      return ScsiPassThrough(bridge, in, inSize, out, outSize, returned);
    case IOCTL_ATA_PASS_THROUGH:
      if (presentation != Presentation::IdeDisk || !in || !out) return false;
      return AtaPassThrough(bridge, in, inSize, out, outSize, returned);
    case SMART_RCV_DRIVE_DATA:
      if (presentation != Presentation::ScsiDisk || !in || !out) return false;
      return SmartIdentify(bridge, in, inSize, out, outSize, returned);
    case IOCTL_SCSI_MINIPORT:
      if (presentation != Presentation::ScsiDisk || !in || !out) return false;
      return MiniportIdentify(bridge, in, inSize, out, outSize, returned);
    default:
      if (!out) return false;
      return DiskQuery(bridge, code, out, outSize, returned);
  }
}

void EmulatedDeviceIo::Attach(const std::string& path, std::shared_ptr<EmulatedBridge> bridge,
                              Presentation presentation) {
  std::lock_guard lock(mutex_);
  paths_[path] = Attachment{std::move(bridge), presentation};
}

void EmulatedDeviceIo::Detach(const std::string& path) {
  std::lock_guard lock(mutex_);
  paths_.erase(path);
}

std::shared_ptr<EmulatedBridge> EmulatedDeviceIo::BridgeAt(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = paths_.find(path);
  return it == paths_.end() ? nullptr : it->second.bridge;
}

std::size_t EmulatedDeviceIo::OpenHandles() const {
  std::lock_guard lock(mutex_);
  return open_.size();
}

platform::Handle EmulatedDeviceIo::Open(const char* path, std::uint32_t /*attributes*/) {
  if (!path) return platform::kInvalidHandle;
  std::lock_guard lock(mutex_);
  auto it = paths_.find(path);
  if (it == paths_.end()) return platform::kInvalidHandle;
  const platform::Handle handle = nextHandle_;
  nextHandle_ += 4;
  open_[handle] = OpenDevice{it->second, 0};
  return handle;
}

bool EmulatedDeviceIo::IoControl(platform::Handle handle, std::uint32_t code, const void* in,
                                 std::uint32_t inSize, void* out, std::uint32_t outSize,
                                 std::uint32_t* returned) {
  Attachment attachment;
  {
    std::lock_guard lock(mutex_);
    auto it = open_.find(handle);
    if (it == open_.end()) return false;
    attachment = it->second.attachment;
  }
  return EmulatedIoControl(*attachment.bridge, attachment.presentation, code, in, inSize, out,
                           outSize, returned);
}

bool EmulatedDeviceIo::Read(platform::Handle handle, void* buffer, std::uint32_t size,
                            std::uint32_t* read) {
  if (read) *read = 0;
  std::lock_guard lock(mutex_);
  auto it = open_.find(handle);
  if (it == open_.end() || !buffer) return false;
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::uint32_t done = 0;
  const std::uint64_t end = static_cast<std::uint64_t>(kDriveBlocks) * 512;
  while (done < size && static_cast<std::uint64_t>(it->second.position) < end) {
    const std::uint64_t at = static_cast<std::uint64_t>(it->second.position);
    const auto block = it->second.attachment.bridge->DriveBlock(at / 512);
    const std::uint32_t column = static_cast<std::uint32_t>(at % 512);
    const std::uint32_t n = std::min(size - done, 512 - column);
    std::copy_n(block.begin() + column, n, out + done);
    done += n;
    it->second.position += n;
  }
  if (read) *read = done;
  return true;
}

bool EmulatedDeviceIo::Seek(platform::Handle handle, std::int64_t offset) {
  std::lock_guard lock(mutex_);
  auto it = open_.find(handle);
  if (it == open_.end() || offset < 0) return false;
  it->second.position = offset;
  return true;
}

bool EmulatedDeviceIo::Close(platform::Handle handle) {
  std::lock_guard lock(mutex_);
  return open_.erase(handle) == 1;
}

}  // namespace burnwell::sim
