// The emulator's memory image files: read when a bridge starts, written when it stops.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace burnwell::sim {

// The file's bytes. Throws std::runtime_error ("cannot open image PATH", "cannot read image
// PATH") when the file cannot be read.
std::vector<std::uint8_t> ReadImageFile(const std::filesystem::path& path);

// Writes the bytes beside the file and renames them over it, so that an interrupted save keeps
// the old image. False when they could not be written.
bool WriteImageFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

}  // namespace burnwell::sim
