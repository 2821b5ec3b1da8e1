#include "sim/ImageFile.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "common/WholeFile.h"

namespace burnwell::sim {

std::vector<std::uint8_t> ReadImageFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open image " + path.string());
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("cannot read image " + path.string());
  return bytes;
}

bool WriteImageFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  return !WriteFileWhole(path, bytes);
}

}  // namespace burnwell::sim
