// The dialog's one-shot update: open the device API, update the one bridge attached with the
// loaded firmware image (app/BridgeUpdate.h), and tell the operator through the window. Several
// bridges, or one of another vendor ID, are refused before anything is written.
#pragma once

#include "app/BridgeUpdate.h"
#include "app/UpdateHost.h"

namespace burnwell::app {

// How an update attempt ended; the operator has already been told.
enum class UpdateOutcome {
  Updated,         // programmed, verified and protected again
  NoBridge,        // BridgeOpen found nothing; no flash access
  Failed,          // a raised error: the configuration read or the sixth failed pass
  Disconnected,    // the bridge went away or stopped answering: not retried
  Stopped,         // a stop was requested while the memory was being changed
  SeveralBridges,  // more than one bridge attached: none chosen, no flash access
  OtherVendor,     // the bridge reports another vendor ID: refused, no flash access
};

// Every front end asks the operator to confirm this before it starts an update.
inline constexpr char kBackupWarning[] = "Please do backup your files before executing the steps.";

UpdateOutcome RunUpdate(UpdateHost& host);

}  // namespace burnwell::app
