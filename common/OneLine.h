// A text that may hold line breaks (a dialog message, an update's error) written as part of one
// line: a table cell, an event line, a verdict.
#pragma once

#include <algorithm>
#include <string>

namespace burnwell {

// Line breaks become spaces; spaces at either end are dropped.
inline std::string OneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace burnwell
