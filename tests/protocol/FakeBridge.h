// A small recording bridge behind the DeviceIo seam for the protocol tests: it decodes every
// pass-through request, keeps a readable trace of the commands, answers the SPI commands from a
// simple serial-flash model and the EEPROM commands from a byte array, and fails the commands a
// test asks it to fail. Clock, System and WindowMessages fakes record sleeps, system errors and
// posted messages.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "device/DeviceRecord.h"
#include "wire/ScsiRequest.h"
#include "platform/Clock.h"
#include "platform/DeviceIo.h"
#include "platform/Seam.h"
#include "platform/System.h"
#include "platform/WindowMessages.h"

namespace burnwell::test {

// A serial flash as simple as the tests need: identification answers by opcode, a status
// register with busy and write-enable bits, NOR programming, chip erase, auto-increment.
struct FakeSpiChip {
  std::map<std::uint8_t, std::vector<std::uint8_t>> idAnswers;  // opcode -> answer bytes
  std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(0x20000, 0xFF);
  std::uint8_t status = 0;
  bool writeEnabled = false;
  bool autoIncrement = false;
  std::uint32_t autoAddress = 0;
  int busyPollsAfterWork = 1;  // status polls that still see busy after a program or erase
  int busyPolls = 0;
  bool stuckBusy = false;
  bool eraseIgnored = false;  // a chip erase that leaves the memory as it was
  std::vector<std::uint8_t> command;  // bytes of the open transaction
  bool selected = false;

  void Select();
  void Write(const std::vector<std::uint8_t>& bytes);
  std::vector<std::uint8_t> Read(std::size_t count);
  void Deselect();

 private:
  std::uint32_t Address() const;
  void Program(std::uint32_t address, std::uint8_t value);
  std::size_t readPosition_ = 0;
};

class FakeBridge : public platform::DeviceIo {
 public:
  static constexpr platform::Handle kHandle = 7;

  struct ScsiCommand {
    wire::ScsiPassThroughHeader header;
    std::vector<std::uint8_t> dataOut;
    std::uint32_t requestSize = 0;
  };

  // Everything sent, in order.
  std::vector<ScsiCommand> commands;
  // One line per command: "select", "deselect", "spi-w 06", "spi-r 3", "ee-w 0100 8",
  // "ee-r 0100 8", or "scsi <opcode>".
  std::vector<std::string> trace;
  std::vector<std::uint32_t> ioControlCodes;

  FakeSpiChip chip;
  std::vector<std::uint8_t> eeprom = std::vector<std::uint8_t>(0x10000, 0xAA);

  // Command number (0-based over all pass-through requests) that the bridge refuses with
  // CHECK CONDITION; -1: none.
  int failAt = -1;
  // A test's own answer for commands the model does not know (INQUIRY, READ(10), 0xD0, 0xD8):
  // fills the data area, may change the returned header; returns the SCSI status.
  std::function<std::uint8_t(const ScsiCommand&, wire::ScsiPassThroughHeader&,
                             std::uint8_t* dataIn)>
      answer;
  // Answer to the non-SCSI I/O controls (ATA pass-through, SMART, miniport).
  std::function<bool(std::uint32_t code, const std::uint8_t* in, std::uint32_t inSize,
                     std::uint8_t* out, std::uint32_t outSize)>
      controlAnswer;

  // The trace from the command numbered `from` on.
  std::vector<std::string> TraceFrom(std::size_t from) const;

  platform::Handle Open(const char*, std::uint32_t) override { return platform::kInvalidHandle; }
  bool IoControl(platform::Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                 void* out, std::uint32_t outSize, std::uint32_t* returned) override;
  bool Read(platform::Handle, void*, std::uint32_t, std::uint32_t*) override { return false; }
  bool Seek(platform::Handle, std::int64_t) override { return false; }
  bool Close(platform::Handle) override { return true; }
  platform::Handle OpenRelay() override { return platform::kInvalidHandle; }
  bool WriteMessage(platform::Handle, const void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }
  bool ReadMessage(platform::Handle, void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }

 private:
  bool PassThrough(std::uint8_t* request, std::uint32_t size);
};

struct RecordingClock : platform::Clock {
  std::vector<std::uint32_t> sleeps;
  std::uint64_t nowUs = 0;
  void SleepMs(std::uint32_t ms) override {
    sleeps.push_back(ms);
    nowUs += std::uint64_t{ms} * 1000;
  }
  std::uint64_t NowUs() override { return nowUs; }
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

// Installs all four fakes, resets the device layer to the pass-through path without relay,
// and gives a record of a mass-storage bridge on the fake's handle.
class ProtocolHarness {
 public:
  ProtocolHarness();
  ~ProtocolHarness();

  device::DeviceRecord Record() const;
  // Appends `count` records to the DeviceTable; the last carries the fake's handle when
  // includeBridge is set.
  void FillTable(std::uint32_t count, bool includeBridge);

  FakeBridge bridge;
  RecordingClock clock;
  RecordingSystem system;
  RecordingWindows windows;

 private:
  platform::ScopedOverride<platform::DeviceIo> io_{&bridge};
  platform::ScopedOverride<platform::Clock> clockOverride_{&clock};
  platform::ScopedOverride<platform::System> systemOverride_{&system};
  platform::ScopedOverride<platform::WindowMessages> windowsOverride_{&windows};
};

std::string Hex(const std::vector<std::uint8_t>& bytes);

}  // namespace burnwell::test
