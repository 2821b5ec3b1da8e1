#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileSystem.h"

namespace burnwell::platform {
namespace {

class PosixFile final : public ReadableFile {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  std::optional<std::uint64_t> Size() override {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
  }
  bool Seek(std::uint64_t offset) override {
    return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
  }
  bool Read(void* buffer, std::uint32_t size, std::uint32_t* got) override {
    std::uint32_t total = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    while (total < size) {
      ssize_t n = ::read(fd_, out + total, size - total);
      if (n < 0) {
        if (errno == EINTR) continue;
        *got = total;
        return false;
      }
      if (n == 0) break;
      total += static_cast<std::uint32_t>(n);
    }
    *got = total;
    return true;
  }

 private:
  int fd_;
};

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<ReadableFile> OpenForRead(const std::filesystem::path& path) override {
    // Opened without waiting, and kept only when it is a regular file: a FIFO (or a device
    // node) given as a firmware or configuration file must never block the program.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return std::make_unique<PosixFile>(fd);
  }
};

}  // namespace

template <>
FileSystem& SystemInstance<FileSystem>() {
  static PosixFileSystem fileSystem;
  return fileSystem;
}

}  // namespace burnwell::platform
