// What a local client can do to the relay server on Linux: connect as another user, run the
// server out of descriptors, hold thousands of silent connections. The server must refuse the
// stranger, outlive the shortage and close the silent connections.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <cstring>
#include <string>
#include <vector>

#include "device/RelayProtocol.h"
#include "device/relay/RelayServer.h"
#include "tests/support/TestSupport.h"
#include "wire/ScsiRequest.h"

namespace burnwell::device::relay {
namespace {

// Opens every device and answers every I/O control as it came; counts the opens.
class CountingBackend final : public RelayBackend {
 public:
  class Session final : public RelaySession {
   public:
    bool IoControl(std::uint32_t, std::span<const std::uint8_t>, std::span<std::uint8_t> out,
                   std::uint32_t* returned) override {
      *returned = static_cast<std::uint32_t>(out.size());
      return true;
    }
  };
  std::unique_ptr<RelaySession> Open(std::string_view, const RelayPeer&) override {
    ++opens;
    return std::make_unique<Session>();
  }
  std::atomic<int> opens{0};
};

int Connect(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

enum class Answer { Reply, Closed, Nothing };

// Waits up to `ms` for the server: one reply byte, the connection closed, or nothing yet.
Answer AwaitAnswer(int fd, int ms, std::uint8_t* reply = nullptr) {
  pollfd waiting{fd, POLLIN, 0};
  if (::poll(&waiting, 1, ms) <= 0) return Answer::Nothing;
  std::uint8_t byte = 0xEE;
  const ssize_t n = ::recv(fd, &byte, 1, 0);
  if (n <= 0) return Answer::Closed;
  if (reply) *reply = byte;
  return Answer::Reply;
}

bool SendOpen(int fd) {
  const char open[] = "\0/dev/sg0";  // the open opcode, a path, its NUL
  return ::send(fd, open, sizeof open, MSG_NOSIGNAL) == sizeof open;
}

class RelayLimitsTest : public ::testing::Test {
 protected:
  std::unique_ptr<RelayServer> Serve(RelayServerLimits limits = {}) {
    auto listener = platform::ListenForRelayClientsAt(socket);
    if (!listener) return nullptr;
    auto server = std::make_unique<RelayServer>(backend, std::move(listener), limits);
    server->Start();
    return server;
  }

  test::TempDir temp;
  std::string socket = (temp / "relay").string();
  CountingBackend backend;
};

TEST_F(RelayLimitsTest, ClientOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  auto server = Serve();
  ASSERT_NE(server, nullptr);
  // The owner alone, or the group burnwell too where the system has it.
  struct stat info {};
  ASSERT_EQ(::stat(socket.c_str(), &info), 0);
  const group* station = ::getgrnam("burnwell");
  if (station) {
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    EXPECT_EQ(info.st_gid, station->gr_gid);
  } else {
    EXPECT_EQ(info.st_mode & 0777, 0600u);
  }

  // 0: cannot connect; 1: connected and served; 2: connected, then disconnected unserved.
  const auto otherUserTries = [&] {
    const pid_t child = ::fork();
    if (child == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(9);
      const int fd = Connect(socket);
      if (fd < 0) ::_exit(0);
      SendOpen(fd);
      ::_exit(AwaitAnswer(fd, 10000) == Answer::Reply ? 1 : 2);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(otherUserTries(), 0);
  // With the socket opened to everybody the server itself still turns the stranger away.
  ASSERT_EQ(::chmod(socket.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(temp.Path().c_str(), 0711), 0);
  EXPECT_EQ(otherUserTries(), 2);
  EXPECT_EQ(backend.opens, 0);

  const int own = Connect(socket);  // the server's own user is served
  ASSERT_GE(own, 0);
  SendOpen(own);
  EXPECT_EQ(AwaitAnswer(own, 10000), Answer::Reply);
  ::close(own);
}

TEST_F(RelayLimitsTest, AcceptsAgainAfterItsDescriptorLimitWasHitAndFreed) {
  auto server = Serve();
  ASSERT_NE(server, nullptr);
  const int client = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);

  // Use up every descriptor this process may have, then connect: the server cannot accept.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<int> filler;
  for (int fd; (fd = ::dup(client)) >= 0;) filler.push_back(fd);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socket.c_str(), socket.size() + 1);
  const bool connected =
      ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  const bool sent = connected && SendOpen(client);
  const Answer duringShortage = AwaitAnswer(client, 200);

  for (int fd : filler) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(connected);
  ASSERT_TRUE(sent);
  EXPECT_EQ(duringShortage, Answer::Nothing);
  std::uint8_t reply = 0xEE;
  EXPECT_EQ(AwaitAnswer(client, 30000, &reply), Answer::Reply);  // accepted once freed
  EXPECT_EQ(reply, 0);
  ::close(client);

  const int later = Connect(socket);
  ASSERT_GE(later, 0);
  SendOpen(later);
  EXPECT_EQ(AwaitAnswer(later, 30000), Answer::Reply);
  ::close(later);
}

TEST_F(RelayLimitsTest, TwoThousandSilentConnectionsAreClosedByTheIdleTimeOut) {
  constexpr int kConnections = 2000;
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 2 * kConnections + 100) GTEST_SKIP() << "descriptor limit too low";

  RelayServerLimits limits;
  limits.maxConnections = kConnections + 100;
  limits.maxPerUser = limits.maxConnections;
  limits.idleTimeout = std::chrono::milliseconds(100);
  auto server = Serve(limits);
  ASSERT_NE(server, nullptr);
  std::vector<int> clients;
  for (int i = 0; i < kConnections; ++i) {
    const int fd = Connect(socket);
    ASSERT_GE(fd, 0) << i;
    clients.push_back(fd);
  }
  // Waits for every connection to be closed by the server; the generous bound only ends the
  // wait for a server that never closes them.
  std::vector<pollfd> open;
  for (int fd : clients) open.push_back({fd, POLLIN, 0});
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!open.empty() && std::chrono::steady_clock::now() < giveUp) {
    if (::poll(open.data(), open.size(), 1000) < 0) break;
    std::erase_if(open, [](const pollfd& p) {
      std::uint8_t byte;
      return (p.revents & (POLLIN | POLLHUP)) && ::recv(p.fd, &byte, 1, MSG_DONTWAIT) == 0;
    });
  }
  EXPECT_TRUE(open.empty()) << open.size() << " connections still open";
  for (int fd : clients) ::close(fd);
  const RelayServerCounts counts = server->Counts();
  EXPECT_EQ(counts.accepted, static_cast<std::uint64_t>(kConnections));
  EXPECT_EQ(counts.closedIdle, static_cast<std::uint64_t>(kConnections));
  EXPECT_EQ(counts.refusedOverLimit, 0u);
}

// Beyond the limit, and beyond a user's share of it, a client is told the relay is full and
// closed at once; a freed slot serves the next one.
TEST_F(RelayLimitsTest, ConnectionsBeyondTheLimitsAreToldTheRelayIsFull) {
  for (const bool perUser : {false, true}) {
    SCOPED_TRACE(perUser ? "a user's share" : "the limit");
    RelayServerLimits limits;
    limits.maxConnections = perUser ? 8 : 2;
    limits.maxPerUser = 2;  // every client here is the same user
    auto server = Serve(limits);
    ASSERT_NE(server, nullptr);
    int held[2];
    for (int& fd : held) {
      fd = Connect(socket);
      ::send(fd, "\x0E", 1, MSG_NOSIGNAL);  // an unknown opcode: answered, holds no bridge
      ASSERT_EQ(AwaitAnswer(fd, 10000), Answer::Reply);
    }
    const int extra = Connect(socket);
    std::uint8_t reply = 0;
    EXPECT_EQ(AwaitAnswer(extra, 10000, &reply), Answer::Reply);
    EXPECT_EQ(reply, kReplyRelayFull);
    EXPECT_EQ(AwaitAnswer(extra, 10000), Answer::Closed);
    ::close(extra);
    ::close(held[0]);
    // The freed slot serves the next client (the server notices the end of the first one).
    std::uint8_t answer = kReplyRelayFull;
    for (int attempt = 0; attempt < 100 && answer == kReplyRelayFull; ++attempt) {
      const int next = Connect(socket);
      SendOpen(next);
      if (AwaitAnswer(next, 10000, &answer) != Answer::Reply) answer = kReplyRelayFull;
      ::close(next);
    }
    EXPECT_EQ(answer, kReplyOk);
    EXPECT_GE(server->Counts().refusedOverLimit, 1u);
    ::close(held[1]);
    server.reset();
    std::filesystem::remove(socket);
  }
}

// A client that sends requests and never reads the replies keeps its slot only until a reply
// has waited the send time-out, not for the idle time-out.
TEST_F(RelayLimitsTest, AClientThatNeverReadsIsClosedAfterTheSendTimeOut) {
  RelayServerLimits limits;
  limits.sendTimeout = std::chrono::milliseconds(200);
  limits.idleTimeout = std::chrono::minutes(10);
  auto server = Serve(limits);
  ASSERT_NE(server, nullptr);
  const int fd = Connect(socket);
  ASSERT_GE(fd, 0);
  SendOpen(fd);
  ASSERT_EQ(AwaitAnswer(fd, 10000), Answer::Reply);
  // Small requests for 64 KiB reads, until the relay takes no more: far more reply bytes than
  // any socket buffer holds pile up here, unread.
  const auto block = wire::ScsiRequest::For(
      {.cdbLength = 10, .direction = wire::DataDirection::In, .transferLength = 65536});
  std::vector<std::uint8_t> request(1 + kDirectBlockSize);
  request[0] = static_cast<std::uint8_t>(Opcode::PassThroughDirect);
  std::copy_n(block.Bytes().begin(), kDirectBlockSize, request.begin() + 1);
  int sent = 0;
  while (sent < 100000 &&
         ::send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0)
    ++sent;
  ASSERT_GT(sent, 8);
  // Then the relay must close the connection, while its replies lie here unread (a hang-up is
  // seen without reading).
  pollfd waiting{fd, 0, 0};
  const bool closed = ::poll(&waiting, 1, 30000) == 1 && (waiting.revents & POLLHUP);
  EXPECT_TRUE(closed) << sent << " requests sent";
  ::close(fd);
  EXPECT_EQ(server->Counts().closedStuck, 1u);
  EXPECT_EQ(server->Counts().closedIdle, 0u);
}

}  // namespace
}  // namespace burnwell::device::relay
