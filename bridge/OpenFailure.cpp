#include "bridge/OpenFailure.h"

#include <algorithm>
#include <filesystem>
#include <string_view>

#include "bridge/ApiResult.h"
#include "device/DeviceRecord.h"
#include "platform/NamedLock.h"
#ifndef _WIN32
#include "bridge/DiscoveryLinux.h"
#include "platform/RelaySocketPath.h"
#endif

namespace burnwell::bridge {
namespace {

[[maybe_unused]] bool AnyMentions(const std::vector<std::string>& problems, std::string_view text) {
  return std::any_of(problems.begin(), problems.end(),
                     [&](const std::string& p) { return p.find(text) != std::string::npos; });
}

constexpr char kWaitForIt[] = "Wait for it to end, then run it again.";
constexpr char kRelayBusyHeadline[] =
    "the bridge is busy: another client of the I/O relay has it open";
constexpr char kRelayFullHeadline[] = "the I/O relay is full";
constexpr char kRelayFullAdvice[] =
    "It serves as many connections as it may, in all or for your user; run it again when other "
    "clients are done (burnwell-relayd --max-connections and --max-per-user set the limits).";

}  // namespace

OpenFailure DescribeOpenFailure(int openResult) {
  if (openResult == Code(ApiError::LockFailed)) {
    return {OpenFailureKind::Busy,
            "the bridge is busy: another program (another update?) holds its lock",
            {kWaitForIt}};
  }
  if (openResult == Code(ApiError::TooManyDevices)) {
    if (std::optional<std::string> text = LockFailureText())
      return {OpenFailureKind::Error, std::move(*text), {}};
  }
  if (openResult < 0) {
    return {OpenFailureKind::Error,
            "the device API failed with code " + std::to_string(openResult),
            {}};
  }
#ifndef _WIN32
  OpenFailure failure;
  failure.lines = LinuxDiscoveryProblems();
  std::error_code ignored;
  const bool relayListens = std::filesystem::exists(platform::RelaySocketPath(), ignored);
  if (AnyMentions(failure.lines, kRelayBusyProblem)) {
    failure.kind = OpenFailureKind::Busy;
    failure.headline = kRelayBusyHeadline;
    failure.lines.push_back(kWaitForIt);
    return failure;
  }
  if (AnyMentions(failure.lines, kRelayFullProblem)) {
    failure.kind = OpenFailureKind::Error;
    failure.headline = kRelayFullHeadline;
    failure.lines.push_back(kRelayFullAdvice);
    return failure;
  }
  if (AnyMentions(failure.lines, "permission denied")) {
    failure.kind = OpenFailureKind::NoPermission;
    failure.headline = "no permission to use the bridge";
    failure.lines.push_back(
        std::string("You may not read and write the bridge's SCSI generic node: install "
                    "packaging/udev/70-burnwell.rules and reconnect the bridge, or join the "
                    "\"burnwell\" group") +
        (relayListens ? "." : ", or start the I/O relay (burnwell-relayd), which is not running."));
    return failure;
  }
  const auto silent = std::find_if(failure.lines.begin(), failure.lines.end(), [](const auto& p) {
    return p.find("did not answer its identification") != std::string::npos;
  });
  if (silent != failure.lines.end()) {
    failure.kind = OpenFailureKind::NotAnswering;
    failure.headline = *silent;
    failure.lines.push_back("Reconnect the bridge (or power it off and on), then run it again.");
    return failure;
  }
  failure.headline = "no bridge found";
  if (AnyMentions(failure.lines, "sg driver")) {
    failure.lines.push_back("Load the SCSI generic driver (modprobe sg), then run it again.");
  } else {
    failure.lines.push_back(
        "Check that the bridge is connected, that you may read and write its SCSI generic node "
        "(/dev/sgN; install packaging/udev/70-burnwell.rules and reconnect, or join the "
        "\"burnwell\" group), or that the I/O relay is running.");
  }
  return failure;
#else
  switch (device::DeviceLayer().lastRelayRefusal.load()) {
    case device::RelayRefusal::BridgeBusy:
      return {OpenFailureKind::Busy, kRelayBusyHeadline, {kWaitForIt}};
    case device::RelayRefusal::RelayFull:
      return {OpenFailureKind::Error, kRelayFullHeadline, {kRelayFullAdvice}};
    case device::RelayRefusal::None: break;
  }
  return {OpenFailureKind::NoBridge,
          "no bridge found",
          {"Check that the bridge is connected and that you may open it (run as administrator), "
           "or that the I/O relay is running."}};
#endif
}

std::optional<std::string> LockFailureText() {
  const std::optional<std::string> problem = platform::LastLockProblem();
  if (!problem) return std::nullopt;
  return "a device lock could not be made: " + *problem;
}

}  // namespace burnwell::bridge
