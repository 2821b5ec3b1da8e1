// Writing a file whole or not at all.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string>

namespace burnwell {

// Writes `bytes` to `path` through PATH.partial beside it, renamed over it once complete, so that
// a write that fails (a full disk shows only when the stream is closed) never leaves a short
// file behind a success. Returns why it failed, nothing on success.
inline std::optional<std::string> WriteFileWhole(const std::filesystem::path& path,
                                                 std::span<const std::uint8_t> bytes) {
  std::filesystem::path partial = path;
  partial += ".partial";
  std::error_code error;
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::filesystem::remove(partial, error);
      return "the data could not be written";
    }
  }
  std::filesystem::rename(partial, path, error);
  if (error) return error.message();
  return std::nullopt;
}

}  // namespace burnwell
