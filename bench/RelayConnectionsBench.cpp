// What many client connections cost a relay server: a server process serves the relay on a
// socket of its own, this process opens N connections to it (each sends an open message and
// waits for its answer), and the server's resident memory and thread count are printed before,
// while the connections are held, and after they are closed.
//
//   bench_relay_connections [CONNECTIONS]     (default 10000)
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/relay/RelayBackend.h"
#include "device/relay/RelayServer.h"
#include "platform/RelayListener.h"

namespace {

using namespace burnwell;

// Every open succeeds; every I/O control succeeds without touching anything.
class NullBackend final : public device::relay::RelayBackend {
 public:
  class Session final : public device::relay::RelaySession {
   public:
    bool IoControl(std::uint32_t, std::span<const std::uint8_t>, std::span<std::uint8_t> out,
                   std::uint32_t* returned) override {
      *returned = static_cast<std::uint32_t>(out.size());
      return true;
    }
  };
  std::unique_ptr<device::relay::RelaySession> Open(std::string_view,
                                                    const device::relay::RelayPeer&) override {
    return std::make_unique<Session>();
  }
};

struct ProcessFigures {
  long rssKiB = -1;
  long peakKiB = -1;
  long threads = -1;
};

ProcessFigures ReadFigures(pid_t pid) {
  ProcessFigures figures;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:")
      status >> figures.rssKiB;
    else if (key == "VmHWM:")
      status >> figures.peakKiB;
    else if (key == "Threads:")
      status >> figures.threads;
    status.ignore(1 << 16, '\n');
  }
  return figures;
}

void Print(const char* when, const ProcessFigures& f) {
  std::printf("%-28s rss %8.1f MiB  peak %8.1f MiB  threads %6ld\n", when, f.rssKiB / 1024.0,
              f.peakKiB / 1024.0, f.threads);
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

[[noreturn]] void RunServer(const std::string& path, int ready, int stop) {
  NullBackend backend;
  auto listener = platform::ListenForRelayClientsAt(path);
  if (!listener) {
    std::fprintf(stderr, "bench: cannot listen on %s\n", path.c_str());
    ::_exit(1);
  }
  device::relay::RelayServer server(backend, std::move(listener));
  server.Start();
  const char byte = 'R';
  [[maybe_unused]] auto w = ::write(ready, &byte, 1);
  char c;
  [[maybe_unused]] auto r = ::read(stop, &c, 1);
  server.Stop();
  ::_exit(0);
}

enum class Answer { Served, Closed, Silent, NoConnection };

// Connects, sends an open message and waits up to five seconds for the answer.
Answer OpenOne(const std::string& path, int* fdOut) {
  *fdOut = -1;
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return Answer::NoConnection;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return Answer::NoConnection;
  }
  *fdOut = fd;
  const char open[] = "\0/dev/sg0";  // opcode 0, the path, its NUL
  if (::send(fd, open, sizeof open, MSG_NOSIGNAL) < 0) return Answer::Closed;
  pollfd waiting{fd, POLLIN, 0};
  if (::poll(&waiting, 1, 5000) <= 0) return Answer::Silent;
  std::uint8_t reply[4];
  const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
  return n == 1 && reply[0] == 0 ? Answer::Served : Answer::Closed;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  if (count <= 0) {
    std::fprintf(stderr, "usage: bench_relay_connections [CONNECTIONS]\n");
    return 2;
  }
  RaiseDescriptorLimit();
  char pattern[] = "/tmp/burnwell-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const std::string dir = pattern;
  const std::string path = dir + "/relay";

  int ready[2], stop[2];
  if (::pipe(ready) != 0 || ::pipe(stop) != 0) return 1;
  const pid_t server = ::fork();
  if (server == 0) RunServer(path, ready[1], stop[0]);
  char byte = 0;
  if (::read(ready[0], &byte, 1) != 1) {
    std::fprintf(stderr, "bench: the server did not start\n");
    return 1;
  }

  std::printf("relay server with %d client connections\n", count);
  Print("idle server", ReadFigures(server));
  std::vector<int> clients;
  clients.reserve(static_cast<std::size_t>(count));
  int served = 0, closed = 0, silent = 0, failed = 0;
  for (int i = 0; i < count; ++i) {
    int fd = -1;
    switch (OpenOne(path, &fd)) {
      case Answer::Served: ++served; break;
      case Answer::Closed: ++closed; break;
      case Answer::Silent: ++silent; break;
      case Answer::NoConnection: ++failed; break;
    }
    if (fd >= 0) clients.push_back(fd);
  }
  Print("connections held", ReadFigures(server));
  std::printf("answers: %d served, %d closed by the server, %d silent, %d not connected\n", served,
              closed, silent, failed);
  for (int fd : clients) ::close(fd);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  Print("connections closed", ReadFigures(server));

  const char go = 'S';
  [[maybe_unused]] auto w = ::write(stop[1], &go, 1);
  int status = 0;
  ::waitpid(server, &status, 0);
  std::filesystem::remove_all(dir);
  return 0;
}
