// An in-memory FileSystem for tests and fuzz targets: files are byte vectors keyed by path, and
// single opens, size queries or reads can be made to fail.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace burnwell::test {

class MemoryFileSystem final : public platform::FileSystem {
 public:
  struct Faults {
    int failOpenNumber = 0;                     // the n-th OpenForRead (1-based) fails
    int failSizeOnOpenNumber = 0;               // the file from the n-th open cannot tell its size
    bool failReads = false;                     // every Read reports an I/O error
    std::optional<std::uint64_t> reportedSize;  // a size that differs from the bytes held
  };

  void Add(const std::filesystem::path& path, std::vector<std::uint8_t> bytes) {
    files_[path.native()] = std::move(bytes);
  }
  void Add(const std::filesystem::path& path, const std::string& text) {
    Add(path, std::vector<std::uint8_t>(text.begin(), text.end()));
  }
  Faults& faults() { return faults_; }
  int Opens() const { return opens_; }

  std::unique_ptr<platform::ReadableFile> OpenForRead(const std::filesystem::path& path) override {
    const int number = ++opens_;
    auto found = files_.find(path.native());
    if (found == files_.end() || number == faults_.failOpenNumber) return nullptr;
    auto file = std::make_unique<File>(found->second, faults_);
    file->sizeFails = number == faults_.failSizeOnOpenNumber;
    return file;
  }

 private:
  struct File final : platform::ReadableFile {
    File(const std::vector<std::uint8_t>& bytes, const Faults& faults)
        : bytes(bytes), faults(faults) {}
    std::optional<std::uint64_t> Size() override {
      if (sizeFails) return std::nullopt;
      return faults.reportedSize.value_or(bytes.size());
    }
    bool Seek(std::uint64_t offset) override {
      position = static_cast<std::size_t>(std::min<std::uint64_t>(offset, bytes.size()));
      return true;
    }
    bool Read(void* buffer, std::uint32_t size, std::uint32_t* got) override {
      *got = 0;
      if (faults.failReads) return false;
      const std::size_t n = std::min<std::size_t>(size, bytes.size() - position);
      if (n) std::memcpy(buffer, bytes.data() + position, n);
      position += n;
      *got = static_cast<std::uint32_t>(n);
      return true;
    }
    const std::vector<std::uint8_t>& bytes;
    const Faults& faults;
    std::size_t position = 0;
    bool sizeFails = false;
  };

  std::map<std::filesystem::path::string_type, std::vector<std::uint8_t>> files_;
  Faults faults_;
  int opens_ = 0;
};

}  // namespace burnwell::test
