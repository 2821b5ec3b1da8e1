#include "device/Aspi.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

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

// Closes the command's event on every way out but one: Release leaves it open for good.
class EventGuard {
 public:
  explicit EventGuard(platform::EventHandle event) : event_(event) {}
  ~EventGuard() {
    if (event_) platform::Current<platform::AspiLibrary>().CloseEvent(event_);
  }
  EventGuard(const EventGuard&) = delete;
  EventGuard& operator=(const EventGuard&) = delete;
  platform::EventHandle get() const { return event_; }
  void Release() { event_ = 0; }

 private:
  platform::EventHandle event_;
};

constexpr std::uint32_t kAspiWaitMarginMs = 10000;
// How long an abort gets to take effect before the command is left to the library.
constexpr std::uint32_t kAbortWaitMs = 5000;

// What the library reads and writes while a command runs: the request block and the data
// (a copy of the caller's, so that a command the library never lets go of cannot write into
// a request its caller has freed).
struct AspiCommand {
  alignas(16) std::array<std::uint8_t, kSrbAreaSize> block{};
  std::vector<std::uint8_t> data;
};

// A command whose abort did not take effect: the library may still write into it and signal
// its event at any time, so neither is ever freed or closed.
void LeaveToTheLibrary(std::unique_ptr<AspiCommand> command) {
  AspiLeftovers& leftovers = DeviceLayer().aspiLeftovers;
  std::lock_guard lock(leftovers.mutex);
  leftovers.commands.push_back(std::move(command));
}

// Waits for the library to signal that it has finished with a pending block; when the
// command's time runs out first, aborts it and gives the abort a bounded time to take effect.
// False when the library still holds the block.
bool LibraryLetGo(platform::AspiLibrary& aspi, platform::EventHandle event, std::uint32_t waitMs,
                  platform::SendAspi32CommandFn send, std::span<std::uint8_t> block) {
  using platform::WaitResult;
  if (aspi.WaitForEvent(event, waitMs) == WaitResult::Signalled) return true;
  // The library may be writing the status this moment.
  if (std::atomic_ref<std::uint8_t>(block[srb::Status]).load() == SS_PENDING)
    AspiAbort(send, block[srb::HaId], block.data());
  return aspi.WaitForEvent(event, kAbortWaitMs) == WaitResult::Signalled;
}

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

bool AspiExecute(std::uint8_t hostAdapter, std::uint8_t target, std::uint8_t lun,
                 ScsiRequest& request) {
  platform::AspiLibrary& aspi = platform::Current<platform::AspiLibrary>();
  EventGuard event(aspi.NewEvent());
  if (event.get() == 0) return false;
  const platform::ModuleHandle library = LoadAspiLibrary();
  if (library == 0) return false;
  const auto send = reinterpret_cast<platform::SendAspi32CommandFn>(
      aspi.Find(library, platform::kSendAspi32Command));
  if (send == nullptr) return false;

  const ScsiPassThroughHeader header = request.Header();
  if (header.DataTransferLength > request.Data().size() || header.CdbLength > 16) return false;
  const bool dataIn = header.DataIn == SCSI_IOCTL_DATA_IN;

  auto command = std::make_unique<AspiCommand>();
  const auto callersData = request.Data().first(header.DataTransferLength);
  command->data.assign(callersData.begin(), callersData.end());
  auto& area = command->block;
  area[srb::Cmd] = SC_EXEC_SCSI_CMD;
  area[srb::HaId] = hostAdapter;
  area[srb::Flags] =
      static_cast<std::uint8_t>((dataIn ? SRB_DIR_IN : SRB_DIR_OUT) | SRB_EVENT_NOTIFY);
  area[exec::Target] = target;
  area[exec::Lun] = lun;
  StoreLe32(area.data() + exec::BufLen, header.DataTransferLength);
  StorePointer(area.data() + exec::BufPointer,
               reinterpret_cast<std::uintptr_t>(command->data.data()));
  area[exec::SenseLen] = header.SenseInfoLength;
  area[exec::CdbLen] = header.CdbLength;
  StorePointer(area.data() + exec::PostProc, static_cast<std::uintptr_t>(event.get()));
  std::copy_n(header.Cdb.begin(), header.CdbLength, area.begin() + exec::CdbByte);

  aspi.ClearEvent(event.get());
  // Any answer but "pending" means the library has finished with the block already and will
  // not signal the event.
  if (send(area.data()) == SS_PENDING &&
      !LibraryLetGo(aspi, event.get(), AspiWaitMs(header.TimeOutValue), send, area)) {
    event.Release();
    LeaveToTheLibrary(std::move(command));
    return false;
  }
  if (area[srb::Status] != SS_COMP) return false;
  if (dataIn) std::ranges::copy(command->data, callersData.begin());
  return true;
}

}  // namespace burnwell::device
