// burnwell-relayd: the I/O relay with the device back end, the least-privilege way for ordinary
// users to update bridges (see --help and docs/man/burnwell-relayd.1.scd).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BridgeNodes.h"
#include "common/CommandLine.h"
#include "common/RateLimitedLog.h"
#include "device/DeviceRecord.h"
#include "device/relay/DeviceIoBackend.h"
#include "device/relay/RelayServer.h"
#include "platform/RelayListener.h"
#include "platform/RelaySocketPath.h"
#include "platform/StopRequest.h"

namespace {

using namespace burnwell;
namespace fs = std::filesystem;

struct Options {
  std::string socket;
  std::size_t maxConnections = device::relay::RelayServerLimits{}.maxConnections;
  std::size_t maxPerUser = 0;  // 0: a quarter of maxConnections
  unsigned idleTimeoutSeconds = 600;
};

constexpr char kDescription[] =
    "Serves the I/O relay with this machine's own device access, for bridges only: clients may\n"
    "open only the SCSI generic nodes that discovery finds to be bridges, and send only the\n"
    "commands the tools send to a bridge. Served are root, the user the relay runs as and the\n"
    "members of the group burnwell. Without --socket it listens at the relay's place, where the\n"
    "tools look for it (/run/burnwell/DeviceIoControlPipe), or on the socket systemd hands over.";

// Text from a client, fit for one log line.
std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 300)) {
    const auto u = static_cast<unsigned char>(c);
    out += (u >= 0x20 && u < 0x7F) ? c : '?';
  }
  return out;
}

void TellNodes(const relayd::DiscoveredNodes& found) {
  std::cout << "burnwell-relayd: bridges at:";
  if (found.nodes.empty()) std::cout << " none";
  for (const std::string& node : found.nodes) std::cout << ' ' << node;
  std::cout << std::endl;
  for (const std::string& problem : found.problems)
    std::cerr << "burnwell-relayd: " << problem << std::endl;
}

int Run(const Options& options) {
  std::string problem;
  std::unique_ptr<platform::RelayListener> listener = platform::InheritedRelayListener(&problem);
  std::string where = "the socket systemd handed over";
  bool ownPlace = true;  // serving where the tools look for the relay
  if (!listener) {
    if (!problem.empty()) {
      std::cerr << "burnwell-relayd: " << problem << std::endl;
      return 1;
    }
    const fs::path defaultPlace = platform::RelaySocketPath();
    const fs::path place = options.socket.empty() ? defaultPlace : fs::path(options.socket);
    ownPlace = place.lexically_normal() == defaultPlace.lexically_normal();
    listener = platform::ListenForRelayClientsAt(place, &problem);
    if (!listener) {
      std::cerr << "burnwell-relayd: cannot serve at " << place.string() << ": " << problem
                << std::endl;
      return 1;
    }
    where = place.string();
  }
  // The relay must never relay to itself: at its own place it reaches the devices directly.
  // Elsewhere the device layer goes on as every tool does, through a relay at the relay's place
  // when one serves there (as under an emulated machine), else directly.
  if (ownPlace) device::DeviceLayer().useRelay = false;

  relayd::BridgeNodeList bridges(relayd::DiscoverBridgeNodes, TellNodes);
  bridges.Refresh();

  // Refusals may come in floods: a line a second at most, every refused user named.
  RateLimitedLog refusals(
      [](const std::string& line) { std::cerr << "burnwell-relayd: " << line << std::endl; });
  const device::relay::RefusalNote note = [&refusals](const device::relay::RelayPeer& peer,
                                                      std::string_view text) {
    refusals.Note(peer.Text() + ": " + Printable(text), peer.uid);
  };
  device::relay::DeviceIoBackend backend(
      [&bridges](std::string_view path) { return bridges.Permits(path); }, note);
  device::relay::RelayServerLimits limits;
  limits.maxConnections = options.maxConnections;
  limits.maxPerUser = options.maxPerUser;
  limits.idleTimeout = std::chrono::seconds(options.idleTimeoutSeconds);
  device::relay::RelayServer server(backend, std::move(listener), limits, note);
  server.Start();
  std::cout << "burnwell-relayd: serving the relay at " << where << " (" << limits.maxConnections
            << " connections, " << limits.PerUser() << " per user)" << std::endl;

  while (!platform::StopRequested()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    refusals.Flush();
  }
  server.Stop();
  refusals.Flush(true);
  const device::relay::RelayServerCounts counts = server.Counts();
  std::cout << "burnwell-relayd: stopped after " << counts.accepted << " connections ("
            << counts.refusedOverLimit << " refused over the limits, " << counts.closedIdle
            << " closed when idle, " << counts.closedStuck << " closed with a reply not taken), "
            << backend.RefusedOpens() << " opens and " << backend.RefusedCommands()
            << " commands refused" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{kDescription, "burnwell-relayd"};
  cli::FollowConvention(app, "burnwell-relayd");
  Options options;
  app.add_option("--socket", options.socket,
                 "listen on a socket at PATH instead of the relay's place")
      ->option_text("PATH");
  // Value names and plain descriptions with unit, range and default, rather than CLI11's
  // "UINT:UINT in [1 - 100000]".
  const Options defaults;
  app.add_option("--max-connections", options.maxConnections,
                 "clients served at once, 1 to 100000 (default " +
                     std::to_string(defaults.maxConnections) +
                     "); more are answered \"relay full\" and disconnected")
      ->check(CLI::Range(std::size_t{1}, std::size_t{100000}))
      ->option_text("N");
  app.add_option("--max-per-user", options.maxPerUser,
                 "connections one user may have at once, 1 to 100000 (default: a quarter of "
                 "--max-connections); more are answered \"relay full\"")
      ->check(CLI::Range(std::size_t{1}, std::size_t{100000}))
      ->option_text("N");
  app.add_option("--idle-timeout", options.idleTimeoutSeconds,
                 "seconds a client may stay silent, or leave a reply untaken, before it is "
                 "disconnected, 1 to 86400 (default " +
                     std::to_string(defaults.idleTimeoutSeconds) +
                     "; an untaken reply: 10 seconds at most)")
      ->check(CLI::Range(1u, 86400u))
      ->option_text("SECONDS");
  // --help, --version and usage errors (status 2) end here.
  if (const std::optional<int> status =
          cli::Parse(app, std::vector<std::string>(argv + std::min(argc, 1), argv + argc),
                     std::cout, std::cerr))
    return *status;
  platform::InstallServeStopHandlers();
  return Run(options);
}
