// Explicit byte-order loads and stores for wire formats: nothing is cast from a native struct.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace burnwell {

inline std::uint16_t LoadLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t LoadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t LoadLe64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(LoadLe32(p)) |
         (static_cast<std::uint64_t>(LoadLe32(p + 4)) << 32);
}
inline std::uint16_t LoadBe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t LoadBe32(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

inline void StoreLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void StoreLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void StoreLe64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void StoreBe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
inline void StoreBe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// A packed structure's fields, each named once with its offset by a function
// `EachField(header, at)` that calls `at(offset, field)` for every field, are read with
// `FieldReader` and written with `FieldWriter`: integers in the given byte order, byte arrays as
// they are.
enum class ByteOrder { Little, Big };

template <ByteOrder order>
constexpr unsigned ByteShift(std::size_t index, std::size_t size) {
  return static_cast<unsigned>(8 * (order == ByteOrder::Little ? index : size - 1 - index));
}

template <ByteOrder order>
struct FieldReader {
  const std::uint8_t* bytes;
  template <typename T>
  void operator()(std::size_t offset, T& field) const {
    if constexpr (std::is_integral_v<T>) {
      std::uint64_t value = 0;
      for (std::size_t i = 0; i < sizeof(T); ++i)
        value |= std::uint64_t{bytes[offset + i]} << ByteShift<order>(i, sizeof(T));
      field = static_cast<T>(value);
    } else {
      std::copy_n(bytes + offset, field.size(), field.begin());
    }
  }
};

template <ByteOrder order>
struct FieldWriter {
  std::uint8_t* bytes;
  template <typename T>
  void operator()(std::size_t offset, const T& field) const {
    if constexpr (std::is_integral_v<T>) {
      const auto value = static_cast<std::uint64_t>(field);
      for (std::size_t i = 0; i < sizeof(T); ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> ByteShift<order>(i, sizeof(T)));
    } else {
      std::copy(field.begin(), field.end(), bytes + offset);
    }
  }
};

}  // namespace burnwell
