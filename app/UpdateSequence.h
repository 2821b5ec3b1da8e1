// The dialog's one-shot update: open the device API, update the first bridge found with the
// loaded firmware image (app/BridgeUpdate.h), and tell the operator through the window.
#pragma once

#include "app/BridgeUpdate.h"
#include "app/UpdateHost.h"

namespace burnwell::app {

// How an update attempt ended; the operator has already been told.
enum class UpdateOutcome {
  Updated,       // programmed, verified and protected again
  NoBridge,      // BridgeOpen found nothing; no flash access
  Failed,        // a raised error: the configuration read or the sixth failed pass
  Disconnected,  // the bridge went away or stopped answering: not retried
  Stopped,       // a stop was requested while the memory was being changed
};

// Every front end asks the operator to confirm this before it starts an update.
inline constexpr char kBackupWarning[] = "Please do backup your files before executing the steps.";

UpdateOutcome RunUpdate(UpdateHost& host);

}  // namespace burnwell::app
