#include "device/Aspi.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/Bytes.h"
#include "device/Transport.h"

namespace burnwell::device {

using wire::SCSI_IOCTL_DATA_IN;
using wire::ScsiPassThroughHeader;
using wire::ScsiRequest;
namespace {

void StorePointer(std::uint8_t* at, std::uintptr_t value) {
  if constexpr (kPointerSize == 8)
    StoreLe64(at, value);
  else
    StoreLe32(at, static_cast<std::uint32_t>(value));
}

// Closes the command's event on every way out.
class EventGuard {
 public:
  explicit EventGuard(platform::EventHandle event) : event_(event) {}
  ~EventGuard() {
    if (event_) platform::Current<platform::AspiLibrary>().CloseEvent(event_);
  }
  EventGuard(const EventGuard&) = delete;
  EventGuard& operator=(const EventGuard&) = delete;
  platform::EventHandle get() const { return event_; }

 private:
  platform::EventHandle event_;
};

constexpr std::uint32_t kAspiWaitMarginMs = 10000;

}  // namespace

std::uint32_t AspiWaitMs(std::uint32_t timeOutSeconds) {
  const std::uint64_t ms = std::uint64_t{timeOutSeconds} * 1000 + kAspiWaitMarginMs;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, 0xFFFFFFFEu));
}

platform::ModuleHandle LoadAspiLibrary() {
  DeviceLayerState& state = DeviceLayer();
  if (state.aspiLibrary == 0)
    state.aspiLibrary = platform::Current<platform::AspiLibrary>().Load(platform::kAspiLibraryName);
  return state.aspiLibrary;
}

void AspiAbort(platform::SendAspi32CommandFn send, std::uint8_t hostAdapter, void* pendingSrb) {
  if (send == nullptr) return;
  alignas(16) std::array<std::uint8_t, kSrbAreaSize> area{};
  area[srb::Cmd] = SC_ABORT_SRB;
  area[srb::HaId] = hostAdapter;
  StorePointer(area.data() + abort::ToAbort, reinterpret_cast<std::uintptr_t>(pendingSrb));
  send(area.data());
}

int AspiExecute(std::uint8_t hostAdapter, std::uint8_t target, std::uint8_t lun,
                ScsiRequest& request) {
  platform::AspiLibrary& aspi = platform::Current<platform::AspiLibrary>();
  EventGuard event(aspi.NewEvent());
  if (event.get() == 0) return 0;
  const platform::ModuleHandle library = LoadAspiLibrary();
  if (library == 0) return 0;
  const auto send = reinterpret_cast<platform::SendAspi32CommandFn>(
      aspi.Find(library, platform::kSendAspi32Command));
  if (send == nullptr) return 0;

  const ScsiPassThroughHeader header = request.Header();
  // The library writes the data in place: it must fit the request's data area.
  if (header.DataTransferLength > request.Data().size() || header.CdbLength > 16) return 0;

  alignas(16) std::array<std::uint8_t, kSrbAreaSize> area{};
  area[srb::Cmd] = SC_EXEC_SCSI_CMD;
  area[srb::HaId] = hostAdapter;
  area[srb::Flags] = static_cast<std::uint8_t>(
      (header.DataIn == SCSI_IOCTL_DATA_IN ? SRB_DIR_IN : SRB_DIR_OUT) | SRB_EVENT_NOTIFY);
  area[exec::Target] = target;
  area[exec::Lun] = lun;
  StoreLe32(area.data() + exec::BufLen, header.DataTransferLength);
  StorePointer(area.data() + exec::BufPointer,
               reinterpret_cast<std::uintptr_t>(request.Data().data()));
  area[exec::SenseLen] = header.SenseInfoLength;
  area[exec::CdbLen] = header.CdbLength;
  StorePointer(area.data() + exec::PostProc, static_cast<std::uintptr_t>(event.get()));
  std::copy_n(header.Cdb.begin(), header.CdbLength, area.begin() + exec::CdbByte);

  aspi.ClearEvent(event.get());
  send(area.data());
  if (aspi.WaitForEvent(event.get(), AspiWaitMs(header.TimeOutValue)) ==
      platform::WaitResult::Signalled)
    aspi.ClearEvent(event.get());

  const std::uint8_t status = area[srb::Status];
  if (status == SS_COMP) return 1;
  if (status == SS_PENDING) AspiAbort(send, hostAdapter, area.data());
  return 0;
}

}  // namespace burnwell::device
