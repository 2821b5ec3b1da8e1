// What the update sequence needs from the window it runs for: the two settings it reads, the
// progress control it drives, the status line and message boxes. The main dialog implements
// it; so does the command-line tool's terminal view.
#pragma once

#include <cstdint>
#include <string>

#include "platform/WindowMessages.h"
#include "protocol/TransferMode.h"

namespace burnwell::app {

class UpdateObserver;
struct UpdateReport;

class UpdateHost {
 public:
  virtual ~UpdateHost() = default;

  // SELFPOWERON: non-zero programs the bridge as self-powered.
  virtual int SelfPowered() const = 0;
  // The loaded firmware's file type: 0 Intel HEX, anything else not HEX.
  virtual int FileType() const = 0;
  // How the update moves the flash: 32-byte pieces unless the host asks for fast transfers.
  virtual protocol::TransferMode Transfers() const { return protocol::TransferMode::Classic; }

  // The progress control (1006). The flash operations post progress-bar messages to it through
  // platform::WindowMessages, and the update sends its set-up messages the same way.
  virtual platform::WindowHandle ProgressWindow() = 0;
  virtual void ShowProgress(bool visible) = 0;

  // Replaces the whole text of the status line (1004).
  virtual void SetStatusText(const std::string& text) = 0;

  // A modal message box with the given style (MB_OK, MB_ICONHAND, ...); returns the button.
  virtual int ShowMessage(const std::string& text, std::uint32_t style) = 0;

  // BridgeOpen gave no bridge to update (`openResult`: 0, or its negative error). A host that
  // tells the operator why itself (a permission problem, a busy bridge) returns true; otherwise
  // the update shows "Device not found".
  virtual bool ExplainNoBridge(int /*openResult*/) { return false; }

  // Hears the phases and failed passes besides the status line; nullptr for none.
  virtual UpdateObserver* Observer() { return nullptr; }

  // The bridge's update has ended, before the operator is told how: a host that keeps records
  // takes the report here (the device API is still open, the bridge is its first record).
  virtual void UpdateEnded(const UpdateReport& /*report*/) {}
};

}  // namespace burnwell::app
