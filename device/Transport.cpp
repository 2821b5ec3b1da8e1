#include "device/Transport.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/Bytes.h"
#include "wire/AtaPassThrough.h"
#include "device/RelayProtocol.h"
#include "platform/DeviceIo.h"
#include "platform/IoFailure.h"
#include "platform/StopRequest.h"
#include "platform/System.h"
#include "platform/WinNames.h"

namespace burnwell::device {

namespace {

using wire::kAtaPassThroughSize;
using wire::kDataOffset;
using wire::kPassThroughHeaderSize;
using wire::ScsiPassThroughHeader;
using wire::ScsiRequest;
using wire::ScsiRequestView;

using platform::Current;
using platform::DeviceIo;
using platform::Handle;
using platform::kInvalidHandle;

// The data phase described by a request header must lie inside the `size` bytes carried.
bool DataPhaseFits(const ScsiPassThroughHeader& h, std::uint32_t size) {
  return size >= kDataOffset && wire::DataAreaInDataPart(h, size);
}

bool StatusCompleted(std::uint8_t scsiStatus) { return scsiStatus == 0 || scsiStatus == 1; }

// One request/reply exchange on a relay connection. `reply` is sized by the caller; a reply
// that does not fit in it fails the read and is never written past it. Success needs the
// whole request written, at least one reply byte, and status byte 0.
// A request that could not be written or a reply that could not be read (none in time, or one
// too long) leaves the connection out of step: whatever it reads next may answer this request.
// It is marked broken and every later exchange on it fails at once. Its handle stays open until
// its holder closes it, so the system cannot give the same number to another connection.
// Keeps why the relay refused, from a reply's status byte.
void NoteRelayStatus(std::uint8_t status) {
  if (status == relay::kReplyDeviceGone) platform::NoteIoFailure(platform::IoFailure::DeviceGone);
  if (status == relay::kReplyBridgeBusy)
    DeviceLayer().lastRelayRefusal.store(RelayRefusal::BridgeBusy);
  if (status == relay::kReplyRelayFull)
    DeviceLayer().lastRelayRefusal.store(RelayRefusal::RelayFull);
}

bool Exchange(Handle h, std::span<const std::uint8_t> request, std::vector<std::uint8_t>& reply,
              std::uint32_t* replyLength) {
  RelayConnections& connections = DeviceLayer().relayConnections;
  if (connections.IsBroken(h)) return false;
  DeviceIo& io = Current<DeviceIo>();
  std::uint32_t written = 0;
  std::uint32_t read = 0;
  if (!io.WriteMessage(h, request.data(), static_cast<std::uint32_t>(request.size()), &written)) {
    // A relay that turned the connection away said why before it closed it; the message is
    // still there to read (the write failed because the relay's end is closed).
    if (io.ReadMessage(h, reply.data(), static_cast<std::uint32_t>(reply.size()), &read) &&
        read >= 1 && reply[0] == relay::kReplyRelayFull)
      NoteRelayStatus(reply[0]);
    connections.MarkBroken(h);
    return false;
  }
  const bool wholeWritten = written == request.size();
  if (!io.ReadMessage(h, reply.data(), static_cast<std::uint32_t>(reply.size()), &read)) {
    connections.MarkBroken(h);
    return false;
  }
  if (!wholeWritten || read == 0 || read > reply.size()) return false;
  *replyLength = read;
  NoteRelayStatus(reply[0]);
  return reply[0] == relay::kReplyOk;
}

// A pass-through-direct block carried by a plain pass-through on a device handle: the data
// area is gathered after the block, sent, and scattered back.
bool DirectPassThroughViaBuffer(Handle h, ScsiPassThroughDirect& sptd, std::uint32_t* returned) {
  const ScsiRequestView block(sptd.block);
  const ScsiPassThroughHeader callers = block.Header();
  if (callers.DataTransferLength > 0 && sptd.dataBuffer == nullptr) return false;
  ScsiRequest request(callers.DataTransferLength);
  std::copy(sptd.block.begin(), sptd.block.end(), request.Bytes().begin());
  ScsiPassThroughHeader header = callers;
  header.DataBufferOffset = kDataOffset;
  request.SetHeader(header);
  if (header.DataTransferLength > 0)
    std::memcpy(request.Data().data(), sptd.dataBuffer, header.DataTransferLength);
  const auto size = static_cast<std::uint32_t>(request.Size());
  std::uint32_t got = 0;
  if (!Current<DeviceIo>().IoControl(h, IOCTL_SCSI_PASS_THROUGH, request.Bytes().data(), size,
                                     request.Bytes().data(), size, &got))
    return false;
  std::ranges::copy(request.View().Block(), sptd.block.begin());
  block.SetDataBufferOffset(callers.DataBufferOffset);
  if (header.DataTransferLength > 0)
    std::memcpy(sptd.dataBuffer, request.Data().data(), header.DataTransferLength);
  if (returned) *returned = std::min<std::uint32_t>(got, kDataOffset);
  return true;
}

bool RelayPassThrough(Handle h, void* in, std::uint32_t inSize, std::uint32_t outSize,
                      std::uint32_t* returned) {
  std::vector<std::uint8_t> request(1 + std::size_t{inSize});
  std::vector<std::uint8_t> reply(1 + std::size_t{outSize}, 0);
  request[0] = static_cast<std::uint8_t>(relay::Opcode::PassThrough);
  if (inSize) std::memcpy(request.data() + 1, in, inSize);
  std::uint32_t n = 0;
  if (!Exchange(h, request, reply, &n)) return false;
  // A reply without the updated header carries no ScsiStatus: the caller's own (zeroed)
  // status would otherwise read as a completed command.
  if (n < 1 + std::min<std::size_t>(kPassThroughHeaderSize, inSize)) return false;
  // The updated request goes back over the caller's input buffer, never past it.
  std::memcpy(in, reply.data() + 1, std::min<std::uint32_t>(n - 1, inSize));
  if (returned) *returned = n - 1;
  return true;
}

bool RelayPassThroughDirect(Handle h, void* in, std::uint32_t inSize, std::uint32_t* returned) {
  if (in == nullptr || inSize < sizeof(ScsiPassThroughDirect)) return false;
  auto& sptd = *static_cast<ScsiPassThroughDirect*>(in);
  const ScsiRequestView block(sptd.block);
  const ScsiPassThroughHeader callers = block.Header();
  const std::uint32_t length = callers.DataTransferLength;
  if (length > relay::kMaxDirectData) return false;
  if (length > 0 && sptd.dataBuffer == nullptr) return false;
  const bool dataIn = callers.ReadsData();

  std::vector<std::uint8_t> request(1 + kDataOffset + (dataIn ? 0 : length));
  request[0] = static_cast<std::uint8_t>(relay::Opcode::PassThroughDirect);
  std::copy(sptd.block.begin(), sptd.block.end(), request.begin() + 1);
  if (!dataIn && length) std::memcpy(request.data() + 1 + kDataOffset, sptd.dataBuffer, length);
  std::vector<std::uint8_t> reply(1 + kDataOffset + (dataIn ? length : 0), 0);
  std::uint32_t n = 0;
  if (!Exchange(h, request, reply, &n)) return false;
  if (n < 1 + kDataOffset) return false;  // a reply without the whole block is no answer

  std::copy_n(reply.begin() + 1, kDataOffset, sptd.block.begin());
  block.SetDataBufferOffset(callers.DataBufferOffset);
  // Never more than the caller's data area, whatever the relay sent.
  const std::uint32_t dataBytes = std::min<std::uint32_t>(n - 1 - kDataOffset, length);
  if (dataBytes) std::memcpy(sptd.dataBuffer, reply.data() + 1 + kDataOffset, dataBytes);
  if (returned) *returned = n - 1;
  return true;
}

bool RelayDiskQuery(Handle h, relay::Opcode opcode, void* out, std::uint32_t outSize,
                    std::uint32_t* returned) {
  if (outSize > 0 && out == nullptr) return false;
  std::vector<std::uint8_t> request(1 + std::size_t{outSize}, 0);
  std::vector<std::uint8_t> reply(1 + std::size_t{outSize}, 0);
  request[0] = static_cast<std::uint8_t>(opcode);
  std::uint32_t n = 0;
  if (!Exchange(h, request, reply, &n)) return false;
  if (n > 1) std::memcpy(out, reply.data() + 1, n - 1);
  if (returned) *returned = n - 1;
  return true;
}

Handle OpenDirect(const char* path) {
  return Current<DeviceIo>().Open(path, platform::kOpenNoAttributes);
}

}  // namespace

bool SendScsiCommand(const DeviceRecord& record, ScsiRequest& request, std::uint32_t size) {
  // A stop request refuses one command on this thread: the flash routine in flight fails there
  // and its own clean-up commands still reach the bridge.
  if (platform::TakeStopForThisThread()) {
    platform::NoteIoFailure(platform::IoFailure::Stopped);
    return false;
  }
  if (!DeviceLayer().ntFlag) {
    if (AspiExecute(record.AspiHostAdapter, record.AspiTarget, record.AspiLun, request))
      return true;
    platform::NoteIoFailure(platform::IoFailure::CommandFailed);
    return false;
  }
  if (size > request.Size() || !DataPhaseFits(request.Header(), size)) return false;
  std::uint32_t returned = 0;
  if (RelayDeviceIoControl(record.Handle, IOCTL_SCSI_PASS_THROUGH, request.Bytes().data(), size,
                           request.Bytes().data(), size, &returned) &&
      StatusCompleted(request.View().ScsiStatus()))
    return true;
  platform::NoteIoFailure(platform::IoFailure::CommandFailed);  // unless a graver one is noted
  return false;
}

bool SendScsiCommandDirect(Handle handle, ScsiRequest& request, std::uint32_t size,
                           std::uint32_t* returned) {
  if (size > request.Size() || !DataPhaseFits(request.Header(), size)) return false;
  std::uint32_t got = 0;
  if (!Current<DeviceIo>().IoControl(handle, IOCTL_SCSI_PASS_THROUGH, request.Bytes().data(), size,
                                     request.Bytes().data(), size, &got))
    return false;
  if (returned) *returned = got;
  return StatusCompleted(request.View().ScsiStatus());
}

bool SendAtaCommand(Handle handle, std::uint8_t* block, std::uint32_t size,
                    std::uint32_t* returned) {
  if (block == nullptr || size < kAtaPassThroughSize) return false;
  std::uint32_t got = 0;
  if (!Current<DeviceIo>().IoControl(handle, IOCTL_ATA_PASS_THROUGH, block, size, block, size,
                                     &got))
    return false;
  if (returned) *returned = got;
  return !wire::DecodeAtaPassThroughHeader(std::span(block, size)).ErrorReported();
}

Handle RelayOpenDevice(const char* path) {
  DeviceLayerState& state = DeviceLayer();
  state.lastRelayRefusal.store(RelayRefusal::None);
  if (path == nullptr) return kInvalidHandle;
  if (!platform::Current<platform::System>().IsWindowsNt()) {
    state.useRelay = false;
    return OpenDirect(path);
  }
  if (!state.useRelay) return OpenDirect(path);

  const Handle pipe = Current<DeviceIo>().OpenRelay();
  if (pipe == kInvalidHandle) {
    state.useRelay = false;
    return OpenDirect(path);
  }
  state.relayConnections.Add(pipe);

  const std::string_view text(path);
  std::vector<std::uint8_t> message(text.size() + 2, 0);
  message[0] = static_cast<std::uint8_t>(relay::Opcode::Open);
  std::copy(text.begin(), text.end(), message.begin() + 1);
  if (message.size() > relay::kMaxMessageSize) {
    RelayCloseDevice(pipe);
    return kInvalidHandle;
  }
  std::vector<std::uint8_t> reply(1, 0xFF);
  std::uint32_t n = 0;
  if (!Exchange(pipe, message, reply, &n)) {
    RelayCloseDevice(pipe);
    return kInvalidHandle;
  }
  return pipe;
}

bool RelayDeviceIoControl(Handle handle, std::uint32_t code, void* in, std::uint32_t inSize,
                          void* out, std::uint32_t outSize, std::uint32_t* returned) {
  if (!IsRelayHandle(handle)) {
    if (code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
      if (in == nullptr || inSize < sizeof(ScsiPassThroughDirect)) return false;
      return DirectPassThroughViaBuffer(handle, *static_cast<ScsiPassThroughDirect*>(in), returned);
    }
    return Current<DeviceIo>().IoControl(handle, code, in, inSize, out, outSize, returned);
  }
  const auto opcode = relay::OpcodeForControlCode(code);
  if (!opcode) return false;
  switch (*opcode) {
    case relay::Opcode::PassThrough:
      if (in == nullptr) return false;
      return RelayPassThrough(handle, in, inSize, outSize, returned);
    case relay::Opcode::PassThroughDirect:
      return RelayPassThroughDirect(handle, in, inSize, returned);
    default: return RelayDiskQuery(handle, *opcode, out, outSize, returned);
  }
}

bool RelayCloseDevice(Handle handle) {
  DeviceIo& io = Current<DeviceIo>();
  if (!IsRelayHandle(handle)) return io.Close(handle);
  RelayConnections& connections = DeviceLayer().relayConnections;
  const bool broken = connections.IsBroken(handle);
  connections.Remove(handle);
  const std::uint8_t closeMessage = static_cast<std::uint8_t>(relay::Opcode::Close);
  std::uint8_t reply = 0;
  std::uint32_t written = 0;
  std::uint32_t read = 0;
  // A connection out of step since a failed exchange gets no close message, and fails; the
  // handle is closed whatever the answer.
  const bool answered = !broken && io.WriteMessage(handle, &closeMessage, 1, &written) &&
                        io.ReadMessage(handle, &reply, 1, &read);
  const bool closed = io.Close(handle);
  return answered && closed;
}

bool IsRelayHandle(Handle handle) { return DeviceLayer().relayConnections.Contains(handle); }

}  // namespace burnwell::device
