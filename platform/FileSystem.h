// Reading files (firmware files). Paths are std::filesystem::path: UTF-8 on Linux, wide on
// Windows (CreateFileW there).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/Seam.h"

namespace burnwell::platform {

class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // The file's size in bytes; nothing when the size query fails.
  virtual std::optional<std::uint64_t> Size() = 0;
  // Moves the read position to an offset from the start.
  virtual bool Seek(std::uint64_t offset) = 0;
  // Reads up to size bytes; false on an I/O error. *got receives the bytes read (0 at the end).
  virtual bool Read(void* buffer, std::uint32_t size, std::uint32_t* got) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Opens an existing file for reading, sharing read access; nothing when it cannot be opened.
  virtual std::unique_ptr<ReadableFile> OpenForRead(const std::filesystem::path& path) = 0;
};

template <>
FileSystem& SystemInstance<FileSystem>();

}  // namespace burnwell::platform
