// Small text helpers shared by the discovery units: bounded copies into the record's fixed
// arrays, case-insensitive search, and UTF-16 registry text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace burnwell::bridge::text {

// The NUL-terminated contents of a fixed array (never reads past it).
template <std::size_t N>
std::string_view View(const std::array<char, N>& text) {
  std::size_t length = 0;
  while (length < N && text[length] != '\0') ++length;
  return {text.data(), length};
}

// Replaces the contents, cutting what does not fit; always NUL-terminated.
template <std::size_t N>
void Assign(std::array<char, N>& target, std::string_view value) {
  target.fill('\0');
  const std::size_t length = value.size() < N - 1 ? value.size() : N - 1;
  for (std::size_t i = 0; i < length; ++i) target[i] = value[i];
}

// Appends what fits, keeping the NUL.
template <std::size_t N>
void Append(std::array<char, N>& target, std::string_view value) {
  std::size_t length = View(target).size();
  for (char c : value) {
    if (length + 1 >= N) break;
    target[length++] = c;
  }
  target[length] = '\0';
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool ContainsNoCase(std::string_view text, std::string_view part);
bool EqualsNoCase(std::string_view a, std::string_view b);

// Registry text: UTF-16LE code units up to the first NUL or the end of size bytes, narrowed
// to single bytes (characters outside ASCII become '?').
std::string NarrowUtf16(const std::uint8_t* data, std::uint32_t size);

}  // namespace burnwell::bridge::text
