#include "sim/machine/MachineRunner.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include <sys/wait.h>
#include <unistd.h>

#include "device/relay/RelayServer.h"
#include "sim/ImageFile.h"
#include "sim/RelayService.h"
#include "sim/SimClock.h"
#include "sim/machine/LiveMachine.h"

namespace burnwell::sim::machine {
namespace fs = std::filesystem;
namespace {

// A fresh folder for the system root, removed again at the end. The relay socket lives in it,
// and socket paths are short: fall back to /tmp when TMPDIR is long.
class TempRoot {
 public:
  TempRoot() {
    std::string base = fs::temp_directory_path().string();
    if (base.size() > 40) base = "/tmp";
    std::string pattern = base + "/burnwell-sim-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot make a temporary folder: " +
                               std::string(std::strerror(errno)));
    }
    path_ = pattern;
  }
  ~TempRoot() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

std::ostream* OpenTrace(const fs::path& path, std::vector<std::unique_ptr<std::ofstream>>& traces) {
  traces.push_back(std::make_unique<std::ofstream>(path, std::ios::trunc));
  if (!*traces.back()) throw std::runtime_error("cannot write trace " + path.string());
  return traces.back().get();
}

int RunCommand(const std::vector<std::string>& command, std::ostream& err) {
  std::vector<char*> argv;
  for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  // Ctrl-C reaches the command; burnwell-sim outlives it to clean up.
  struct sigaction ignore {
  }, oldInt{}, oldTerm{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &oldInt);
  sigaction(SIGTERM, &ignore, &oldTerm);
  const pid_t child = ::fork();
  if (child == 0) {
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    ::execvp(argv[0], argv.data());
    const int code = errno == ENOENT ? 127 : 126;
    const std::string message =
        "burnwell-sim: cannot run " + command[0] + ": " + std::strerror(errno) + "\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, message.data(), message.size());
    ::_exit(code);
  }
  int status = 0;
  int result = 1;
  if (child < 0) {
    err << "burnwell-sim: cannot start " << command[0] << ": " << std::strerror(errno) << "\n";
  } else {
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result = WIFEXITED(status)     ? WEXITSTATUS(status)
             : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                   : 1;
  }
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  return result;
}

}  // namespace

int RunOnMachine(const MachineDescription& machine, const std::vector<std::string>& command,
                 std::ostream& err) {
  if (command.empty()) {
    err << "burnwell-sim: no command given after --\n";
    return 1;
  }
  // Declared before the bridges: the bridges write into the streams until they are gone.
  std::vector<std::unique_ptr<std::ofstream>> traces;
  std::vector<std::shared_ptr<EmulatedBridge>> bridges;
  RealTimeClock clock;
  std::unique_ptr<TempRoot> root;
  std::unique_ptr<LiveMachine> live;
  try {
    root = std::make_unique<TempRoot>();
    for (const MachineBridge& described : machine.bridges) {
      BridgeConfig config = described.config;
      if (described.image && fs::exists(*described.image))
        config.memoryContents = ReadImageFile(*described.image);
      auto bridge = std::make_shared<EmulatedBridge>(config, clock);
      if (described.trace) bridge->SetScsiTrace(OpenTrace(*described.trace, traces));
      if (described.spiTrace) bridge->SetSpiTrace(OpenTrace(*described.spiTrace, traces));
      bridges.push_back(std::move(bridge));
    }
    std::ostream* plugLog = machine.plugLog ? OpenTrace(*machine.plugLog, traces) : nullptr;
    live = std::make_unique<LiveMachine>(machine, bridges, root->Path(), plugLog);
    live->PlugFirstDevices();
  } catch (const std::exception& error) {
    err << "burnwell-sim: cannot build the machine: " << error.what() << "\n";
    return 1;
  }

  // The relay listens below the system root; the command finds both through the variable.
  const char* previous = std::getenv("BURNWELL_SYSROOT");
  const std::optional<std::string> previousRoot =
      previous ? std::optional<std::string>(previous) : std::nullopt;
  ::setenv("BURNWELL_SYSROOT", root->Path().c_str(), 1);
  std::unique_ptr<device::relay::RelayServer> server =
      device::relay::StartRelayServer(*live, EmulatorRelayLimits());
  if (server) live->Start();
  const int status = server ? RunCommand(command, err) : 1;
  live->Stop();
  if (!server)
    err << "burnwell-sim: cannot serve the relay below " << root->Path().string() << "\n";
  if (server) server->Stop();
  server.reset();
  if (previousRoot) {
    ::setenv("BURNWELL_SYSROOT", previousRoot->c_str(), 1);
  } else {
    ::unsetenv("BURNWELL_SYSROOT");
  }

  int result = status;
  for (std::size_t i = 0; i < machine.bridges.size(); ++i) {
    const std::optional<fs::path>& image = machine.bridges[i].image;
    if (image && !WriteImageFile(*image, bridges[i]->Memory())) {
      err << "burnwell-sim: cannot write image " << image->string() << "\n";
      if (result == 0) result = 1;
    }
  }
  for (auto& trace : traces) trace->flush();
  return result;
}

}  // namespace burnwell::sim::machine
