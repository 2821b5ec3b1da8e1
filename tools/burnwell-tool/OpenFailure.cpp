#include "tools/burnwell-tool/OpenFailure.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "bridge/ApiResult.h"
#include "common/ExitStatus.h"
#include "tools/burnwell-tool/BridgeSession.h"
#ifndef _WIN32
#include "bridge/DiscoveryLinux.h"
#include "platform/RelaySocketPath.h"
#endif

namespace burnwell::tool {
namespace {

[[maybe_unused]] bool AnyMentions(const std::vector<std::string>& problems, std::string_view text) {
  return std::any_of(problems.begin(), problems.end(),
                     [&](const std::string& p) { return p.find(text) != std::string::npos; });
}

}  // namespace

int ExplainOpenFailure(std::string_view command, int openResult, std::ostream& err) {
  const std::string prefix = "burnwell-tool " + std::string(command) + ": ";
  if (openResult == bridge::Code(bridge::ApiError::LockFailed)) {
    err << prefix << "the bridge is busy: another program (another update?) holds its lock.\n"
        << "Wait for it to end, then run the command again.\n";
    return Code(ExitStatus::BridgeBusy);
  }
  if (openResult < 0) {
    err << prefix << "error: " << ResultText(openResult) << "\n";
    return Code(ExitStatus::Failed);
  }
#ifndef _WIN32
  const std::vector<std::string> problems = bridge::LinuxDiscoveryProblems();
  std::error_code ignored;
  const bool relayListens = std::filesystem::exists(platform::RelaySocketPath(), ignored);
  if (AnyMentions(problems, "permission denied")) {
    err << prefix << "no permission to use the bridge\n";
    for (const std::string& problem : problems) err << "  " << problem << "\n";
    err << "You may not read and write the bridge's SCSI generic node: install\n"
           "packaging/udev/70-burnwell.rules and reconnect the bridge, or join the \"burnwell\" "
           "group";
    err << (relayListens ? ".\n"
                         : ", or start the I/O relay (burnwell-relayd), which is not running.\n");
    return Code(ExitStatus::NoPermission);
  }
  err << prefix << "no bridge found\n";
  for (const std::string& problem : problems) err << "  " << problem << "\n";
  if (AnyMentions(problems, "sg driver")) {
    err << "Load the SCSI generic driver (modprobe sg), then run the command again.\n";
    return Code(ExitStatus::NoBridge);
  }
  err << "Check that the bridge is connected, that you may read and write its SCSI generic node\n"
         "(/dev/sgN; install packaging/udev/70-burnwell.rules and reconnect, or join the\n"
         "\"burnwell\" group), or that the I/O relay is running.\n";
#else
  err << prefix << "no bridge found\n"
      << "Check that the bridge is connected and that you may open it (run as administrator),\n"
         "or that the I/O relay is running.\n";
#endif
  return Code(ExitStatus::NoBridge);
}

}  // namespace burnwell::tool
