// Device I/O on Linux: device nodes opened read-write, the pass-through I/O controls through
// SG_IO, and the relay channel on a Unix SOCK_SEQPACKET socket.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/DeviceIo.h"
#include "platform/PlatformState.h"
#include "platform/RelaySocketPath.h"
#include "platform/System.h"
#include "platform/WinNames.h"
#include "platform/linux/DeviceIoSgIo.h"
#include "platform/linux/RetryOnInterrupt.h"

namespace burnwell::platform {
namespace {

int Fd(Handle handle) { return static_cast<int>(handle); }

bool ValidFd(Handle handle) { return handle >= 0 && handle <= INT32_MAX; }

// An absolute device path is taken below the system root, unless it already lies there.
std::string DevicePathBelowRoot(const char* path) {
  const std::string root = Current<System>().SystemRoot().string();
  std::string text(path);
  if (text.empty() || text.front() != '/' || root.empty() || root == "/") return text;
  const std::string prefix = root.back() == '/' ? root : root + "/";
  if (text.rfind(prefix, 0) == 0) return text;
  return UnderSystemRoot(text).string();
}

class LinuxDeviceIo final : public DeviceIo {
 public:
  Handle Open(const char* path, std::uint32_t) override {
    if (path == nullptr) return kInvalidHandle;
    const std::string full = DevicePathBelowRoot(path);
    const int fd = ::open(full.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      Current<System>().SetLastSystemError(static_cast<std::uint32_t>(errno));
      return kInvalidHandle;
    }
    return fd;
  }

  bool IoControl(Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                 std::uint32_t outSize, std::uint32_t* returned) override {
    if (!ValidFd(handle)) return false;
    switch (code) {
      case IOCTL_SCSI_PASS_THROUGH:
        return sgio::ScsiPassThrough(Fd(handle), in, inSize, out, outSize, returned,
                                     sgio::SystemSgIo);
      case IOCTL_ATA_PASS_THROUGH:
        return sgio::AtaPassThrough(Fd(handle), in, inSize, out, outSize, returned,
                                    sgio::SystemSgIo);
      default: Current<System>().SetLastSystemError(ERROR_NOT_SUPPORTED); return false;
    }
  }

  bool Read(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read) override {
    if (!ValidFd(handle)) return false;
    const ssize_t n = RetryOnInterrupt([&] { return ::read(Fd(handle), buffer, size); });
    if (n < 0) return false;
    if (read) *read = static_cast<std::uint32_t>(n);
    return true;
  }

  bool Seek(Handle handle, std::int64_t offset) override {
    if (!ValidFd(handle) || offset < 0) return false;
    return ::lseek(Fd(handle), static_cast<off_t>(offset), SEEK_SET) == offset;
  }

  bool Close(Handle handle) override {
    if (!ValidFd(handle)) return false;
    return ::close(Fd(handle)) == 0;
  }

  Handle OpenRelay() override {
    const std::string path = RelaySocketPath().string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return kInvalidHandle;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return kInvalidHandle;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return kInvalidHandle;
    }
    return fd;
  }

  bool WriteMessage(Handle handle, const void* data, std::uint32_t size,
                    std::uint32_t* written) override {
    if (!ValidFd(handle)) return false;
    const ssize_t n =
        RetryOnInterrupt([&] { return ::send(Fd(handle), data, size, MSG_NOSIGNAL); });
    if (n < 0) return false;
    if (written) *written = static_cast<std::uint32_t>(n);
    return true;
  }

  bool ReadMessage(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read) override {
    if (!ValidFd(handle)) return false;
    pollfd waiting{Fd(handle), POLLIN, 0};
    const std::uint32_t timeoutMs = PlatformLayer().relayReplyTimeoutMs.load();
    const int ready = RetryOnInterrupt([&] {
      return ::poll(&waiting, 1, timeoutMs > INT32_MAX ? -1 : static_cast<int>(timeoutMs));
    });
    if (ready <= 0) return false;
    iovec iov{buffer, size};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    const auto receive = [&] {
      return RetryOnInterrupt([&] { return ::recvmsg(Fd(handle), &msg, MSG_CMSG_CLOEXEC); });
    };
    ssize_t n = receive();
    // A relay that closed with our request unread (one that turned us away) makes the first
    // read report the reset; the message it sent before closing comes with the next one.
    if (n < 0 && errno == ECONNRESET) n = receive();
    // A closed connection reads as zero bytes; a message longer than the buffer is cut by
    // the socket and counts as a failure.
    if (n <= 0 || (msg.msg_flags & MSG_TRUNC)) return false;
    if (read) *read = static_cast<std::uint32_t>(n);
    return true;
  }
};

}  // namespace

template <>
DeviceIo& SystemInstance<DeviceIo>() {
  static LinuxDeviceIo io;
  return io;
}

}  // namespace burnwell::platform
