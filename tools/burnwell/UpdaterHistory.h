// The updater's units on record: its update of the first bridge, whatever the result, and a
// bridge the version check refused, each a row of the history (the station's own file, and the
// line's server when Config.ini names one in [History] Url=). Recording happens beside the
// dialog's sequence, which it does not change; a recording problem is a warning on standard
// error and never changes the update's result.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "app/BurnwellDlg.h"
#include "history/Recorder.h"

namespace burnwell {

class UpdaterHistory {
 public:
  explicit UpdaterHistory(std::ostream& warnings) : warnings_(warnings) {}
  // Wraps the services' configuration reader (the history opens once Config.ini is read), the
  // update (its report is recorded before the operator is told) and the version check.
  void Install(app::DialogServices& services);
  // The last unit recorded (the update's or the version check's), whether or not the history
  // could store it: what the window's verdict names.
  std::optional<history::UnitRecord> LastUnit() const;

 private:
  // A record of the first bridge and the loaded file, for the command "dialog".
  history::UnitRecord Unit() const;
  void Record(history::UnitRecord& record);

  std::ostream& warnings_;
  std::mutex warningsMutex_;  // the forwarder warns from its thread
  std::string firmwareName_;
  std::unique_ptr<history::Recorder> recorder_;
  mutable std::mutex lastMutex_;  // the update records from its thread
  std::optional<history::UnitRecord> last_;
};

}  // namespace burnwell
