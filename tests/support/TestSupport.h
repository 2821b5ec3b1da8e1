// Small helpers for tests: a temporary folder removed at the end, file writing, data files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace burnwell::test {

// A fresh folder below the system's temporary folder, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
void WriteFile(const std::filesystem::path& path, std::string_view text);
std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path);

// A file of the repo's tests/data folder (BURNWELL_TEST_DATA, set by CTest).
std::filesystem::path DataFile(std::string_view name);

}  // namespace burnwell::test
