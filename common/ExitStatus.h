// The exit statuses of burnwell and burnwell-tool: one table, so that the same outcome has the
// same code in both programs (and in burnwell-sim, which uses Usage for a bad command line).
// --help prints the lines of this table; the man pages and the README carry the same lines, and
// a test compares them with it.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace burnwell {

enum class ExitStatus : int {
  Success = 0,
  Failed = 1,                // the operation failed
  Usage = 2,                 // a bad command line
  NoBridge = 3,              // no bridge found, or none matching the selection
  LoadFailedOrDeclined = 4,  // the firmware file could not be loaded, or the warning was declined
  BackupFailed = 5,        // burnwell-tool update --backup: the backup failed, nothing was written
  FirmwareDoesNotFit = 6,  // the file's product or the bridge's vendor does not fit
  VersionRefused = 7,      // burnwell: the version check refused the bridge
  NotStarted = 8,          // burnwell: the update could not be started
  NoWindow = 9,            // burnwell: no window could be shown
  BridgeBusy = 10,         // the bridge is busy with another program (its lock is held)
  NoPermission = 11,       // no permission on the bridge's node
  Disconnected = 12,       // the bridge was disconnected or stopped answering during the update
  Stopped = 13,            // stopped by a signal in the middle of an update
  SeveralBridges = 14,     // burnwell: more than one bridge attached; none was updated
};

// The programs that share the table; a status lists the ones that can end with it.
enum class Program : std::uint8_t { Updater = 1, Tool = 2 };

struct ExitStatusEntry {
  ExitStatus status;
  std::string_view text;  // one line, as --help, the man pages and the README show it
  std::uint8_t programs;  // Program bits
};

inline constexpr std::uint8_t kBoth =
    static_cast<std::uint8_t>(Program::Updater) | static_cast<std::uint8_t>(Program::Tool);
inline constexpr std::uint8_t kUpdaterOnly = static_cast<std::uint8_t>(Program::Updater);
inline constexpr std::uint8_t kToolOnly = static_cast<std::uint8_t>(Program::Tool);

inline constexpr std::array kExitStatuses{
    ExitStatusEntry{ExitStatus::Success, "success", kBoth},
    ExitStatusEntry{ExitStatus::Failed, "the operation failed", kBoth},
    ExitStatusEntry{ExitStatus::Usage, "usage error: a bad command line", kBoth},
    ExitStatusEntry{ExitStatus::NoBridge, "no bridge found, or none matching the selection", kBoth},
    ExitStatusEntry{ExitStatus::LoadFailedOrDeclined,
                    "the firmware file could not be loaded, or the backup warning was declined",
                    kBoth},
    ExitStatusEntry{ExitStatus::BackupFailed, "the backup failed; the update did not start",
                    kToolOnly},
    ExitStatusEntry{
        ExitStatus::FirmwareDoesNotFit,
        "the firmware does not fit the bridge (vendor, product or no code); nothing was written",
        kBoth},
    ExitStatusEntry{ExitStatus::VersionRefused, "the version check refused the bridge",
                    kUpdaterOnly},
    ExitStatusEntry{ExitStatus::NotStarted, "the update could not be started", kUpdaterOnly},
    ExitStatusEntry{ExitStatus::NoWindow, "no window could be shown", kUpdaterOnly},
    ExitStatusEntry{ExitStatus::BridgeBusy,
                    "the bridge is busy with another program (its lock is held)", kBoth},
    ExitStatusEntry{ExitStatus::NoPermission, "no permission to use the bridge's node", kBoth},
    ExitStatusEntry{ExitStatus::Disconnected,
                    "the bridge was disconnected or stopped answering during the update", kBoth},
    ExitStatusEntry{ExitStatus::Stopped,
                    "stopped by a second Ctrl-C during the update; run the update again", kBoth},
    ExitStatusEntry{ExitStatus::SeveralBridges,
                    "more than one bridge attached; none was updated (attach one at a time)",
                    kUpdaterOnly},
};

constexpr int Code(ExitStatus status) { return static_cast<int>(status); }

// One line per status, each with a text and a program.
constexpr bool TableIsSound() {
  for (std::size_t i = 0; i < kExitStatuses.size(); ++i) {
    if (kExitStatuses[i].text.empty() || kExitStatuses[i].programs == 0) return false;
    for (std::size_t j = i + 1; j < kExitStatuses.size(); ++j) {
      if (kExitStatuses[i].status == kExitStatuses[j].status) return false;
    }
  }
  return true;
}
static_assert(TableIsSound());

constexpr std::string_view ExitStatusText(ExitStatus status) {
  for (const ExitStatusEntry& entry : kExitStatuses)
    if (entry.status == status) return entry.text;
  return {};
}

constexpr bool UsedBy(const ExitStatusEntry& entry, Program program) {
  return (entry.programs & static_cast<std::uint8_t>(program)) != 0;
}

// "  3  no bridge found, ...": one line of the table as --help shows it.
inline std::string ExitStatusLine(ExitStatus status) {
  const int code = Code(status);
  return (code < 10 ? "   " : "  ") + std::to_string(code) + "  " +
         std::string(ExitStatusText(status)) + "\n";
}

// "Exit status:" and the lines of the given statuses (one command's), for --help.
inline std::string ExitStatusHelp(std::initializer_list<ExitStatus> statuses) {
  std::string text = "Exit status:\n";
  for (const ExitStatus status : statuses) text += ExitStatusLine(status);
  return text;
}

// "Exit status:" and the lines of every status the program can end with, for --help.
inline std::string ExitStatusHelp(Program program) {
  std::string text = "Exit status:\n";
  for (const ExitStatusEntry& entry : kExitStatuses)
    if (UsedBy(entry, program)) text += ExitStatusLine(entry.status);
  return text;
}

}  // namespace burnwell
