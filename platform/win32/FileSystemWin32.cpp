#include <windows.h>

#include "platform/FileSystem.h"

namespace burnwell::platform {
namespace {

class Win32File final : public ReadableFile {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { ::CloseHandle(handle_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  std::optional<std::uint64_t> Size() override {
    DWORD high = 0;
    DWORD low = ::GetFileSize(handle_, &high);
    if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) return std::nullopt;
    return (static_cast<std::uint64_t>(high) << 32) | low;
  }
  bool Seek(std::uint64_t offset) override {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(handle_, distance, nullptr, FILE_BEGIN) != 0;
  }
  bool Read(void* buffer, std::uint32_t size, std::uint32_t* got) override {
    DWORD read = 0;
    BOOL ok = ::ReadFile(handle_, buffer, size, &read, nullptr);
    *got = read;
    return ok != 0;
  }

 private:
  HANDLE handle_;
};

class Win32FileSystem final : public FileSystem {
 public:
  std::unique_ptr<ReadableFile> OpenForRead(const std::filesystem::path& path) override {
    HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    // Only files on disk: a pipe or a device given as a file must never block the program.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
      ::CloseHandle(handle);
      return nullptr;
    }
    return std::make_unique<Win32File>(handle);
  }
};

}  // namespace

template <>
FileSystem& SystemInstance<FileSystem>() {
  static Win32FileSystem fileSystem;
  return fileSystem;
}

}  // namespace burnwell::platform
