// The protocol tests' bench: the bridge emulator in process (sim::testing::EmulatorFixture)
// behind a recorder of every request the protocol layer sends, and recorders of the clock's
// sleeps, the system calls and the posted window messages. Command sequences are compared in
// a short form, one line per request: "select", "deselect", "spi-w <bytes>", "spi-r <count>",
// "ee-w <address> <count>", "ee-r <address> <count>", or "scsi <opcode>".
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/DeviceRecord.h"
#include "platform/Clock.h"
#include "platform/DeviceIo.h"
#include "platform/Seam.h"
#include "platform/System.h"
#include "platform/WindowMessages.h"
#include "sim/testing/EmulatorFixture.h"
#include "wire/ScsiRequest.h"

namespace burnwell::test {

using Strings = std::vector<std::string>;

// One SCSI pass-through request as the device I/O seam received it.
struct SentCommand {
  wire::ScsiPassThroughHeader header;
  std::vector<std::uint8_t> dataOut;
  std::uint32_t requestSize = 0;
};

// One I/O control of any kind.
struct SentControl {
  std::uint32_t code = 0;
  std::vector<std::uint8_t> in;
  std::uint32_t outSize = 0;
  bool inPlace = false;  // the input and output buffers are the same
};

// The device I/O the protocol layer reaches: records every I/O control and passes it on to the
// emulator. It is also the one small fake left, for answers the emulator never gives: a test
// may answer a request itself, for a device that reports more or less data than it was asked
// for, hands back data with CHECK CONDITION or takes an ATA command its drive would abort, and
// for a drive that ends IDENTIFY with its error bit set.
class RecordingDeviceIo final : public platform::DeviceIo {
 public:
  explicit RecordingDeviceIo(platform::DeviceIo& emulator) : emulator_(emulator) {}

  std::vector<SentCommand> commands;  // the pass-through requests, in order
  std::vector<SentControl> controls;  // every I/O control, in order

  // A test's own answer to a pass-through request: fills the data area, may change the
  // returned header, and returns the SCSI status; nothing passes the request on.
  std::function<std::optional<std::uint8_t>(const SentCommand&, wire::ScsiPassThroughHeader& reply,
                                            std::uint8_t* dataIn)>
      answer;
  // A test's own answer to the I/O controls other than the pass-through.
  std::function<bool(std::uint32_t code, const std::uint8_t* in, std::uint32_t inSize,
                     std::uint8_t* out, std::uint32_t outSize)>
      controlAnswer;

  platform::Handle Open(const char* path, std::uint32_t attributes) override {
    return emulator_.Open(path, attributes);
  }
  bool IoControl(platform::Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                 void* out, std::uint32_t outSize, std::uint32_t* returned) override;
  bool Read(platform::Handle handle, void* buffer, std::uint32_t size,
            std::uint32_t* read) override {
    return emulator_.Read(handle, buffer, size, read);
  }
  bool Seek(platform::Handle handle, std::int64_t offset) override {
    return emulator_.Seek(handle, offset);
  }
  bool Close(platform::Handle handle) override { return emulator_.Close(handle); }
  platform::Handle OpenRelay() override { return platform::kInvalidHandle; }
  bool WriteMessage(platform::Handle, const void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }
  bool ReadMessage(platform::Handle, void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }

 private:
  platform::DeviceIo& emulator_;
};

// The platform clock as the tool sees it: every sleep recorded; the time is the emulator's.
class RecordingClock final : public platform::Clock {
 public:
  explicit RecordingClock(platform::Clock& time) : time_(time) {}
  std::vector<std::uint32_t> sleeps;
  void SleepMs(std::uint32_t ms) override {
    sleeps.push_back(ms);
    time_.SleepMs(ms);
  }
  std::uint64_t NowUs() override { return time_.NowUs(); }

 private:
  platform::Clock& time_;
};

struct RecordingSystem : platform::System {
  bool nt = true;
  std::uint32_t lastError = 0;
  bool IsWindowsNt() override { return nt; }
  void SetLastSystemError(std::uint32_t code) override { lastError = code; }
  std::uint32_t LastSystemError() override { return lastError; }
  std::filesystem::path SystemRoot() override { return "/"; }
};

struct PostedMessage {
  platform::WindowHandle window;
  std::uint32_t message;
  platform::WParam wParam;
  platform::LParam lParam;
  bool operator==(const PostedMessage&) const = default;
};

struct RecordingWindows : platform::WindowMessages {
  std::vector<PostedMessage> posted;
  bool Post(platform::WindowHandle w, std::uint32_t m, platform::WParam wp,
            platform::LParam lp) override {
    posted.push_back({w, m, wp, lp});
    return true;
  }
  platform::LResult Send(platform::WindowHandle, std::uint32_t, platform::WParam,
                         platform::LParam) override {
    return 0;
  }
};

// A bridge with this chip on its SPI bus, its memory erased, and no time spent per command,
// so that the clock moves only by the tool's own sleeps and the chip's busy times.
sim::BridgeConfig WithChip(sim::ChipDescription chip);
// A bridge with the 64 KiB EEPROM, erased, and no time spent per command.
sim::BridgeConfig WithEeprom();
// The catalog's model, ready at the first status poll after any program, erase or status write.
sim::ChipDescription ReadyChip(std::string_view model);
// A ready part that answers none of the identification commands (0x9F, 0x90, 0xAB, 0x15): the
// bus reads 0xFF there. Tests give it the answers they need.
sim::ChipDescription UnidentifiedChip();

// The emulated bridge behind the recorders, the device layer reset to the pass-through path
// without relay, and a record of the bridge as discovery leaves it (not in the DeviceTable).
class ProtocolHarness {
 public:
  explicit ProtocolHarness(sim::BridgeConfig config = WithChip(UnidentifiedChip()),
                           sim::Presentation presentation = sim::Presentation::MassStorage);

  device::DeviceRecord Record() const { return record_; }
  // Appends `count` records to the DeviceTable; the last is the bridge's when includeBridge is
  // set.
  void FillTable(std::uint32_t count, bool includeBridge);

  // The requests from the one numbered `from` (0-based) on, in the short form.
  Strings Trace(std::size_t from = 0) const;
  // The pass-through request with this number (0-based over all the bridge has received) ends
  // in CHECK CONDITION.
  void FailCommand(std::size_t index);

  sim::EmulatedBridge& Bridge() { return emu.Bridge(); }
  sim::FlashChip& Chip() { return *emu.Bridge().Chip(); }
  std::span<std::uint8_t> Memory() { return emu.Bridge().Memory(); }

  sim::testing::EmulatorFixture emu;
  RecordingDeviceIo io{emu.Io()};
  RecordingClock clock{emu.Clock()};
  RecordingSystem system;
  RecordingWindows windows;

 private:
  platform::ScopedOverride<platform::DeviceIo> ioOverride_{&io};
  platform::ScopedOverride<platform::Clock> clockOverride_{&clock};
  platform::ScopedOverride<platform::System> systemOverride_{&system};
  platform::ScopedOverride<platform::WindowMessages> windowsOverride_{&windows};
  device::DeviceRecord record_;
};

}  // namespace burnwell::test
