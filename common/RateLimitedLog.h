// Lines about events that may come in floods (refused clients, failing accepts): at most one a
// second. The next line written says how many were left out since the last one, and whose they
// were when the events name a user, so that no refused user goes unnamed.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace burnwell {

class RateLimitedLog {
 public:
  using Writer = std::function<void(const std::string& line)>;
  explicit RateLimitedLog(Writer write) : write_(std::move(write)) {}

  // One event: its line now, or counted for the next line. Thread-safe.
  void Note(const std::string& text, std::optional<std::uint32_t> uid = std::nullopt) {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (wrote_ && now - last_ < std::chrono::seconds(1)) {
      ++leftOut_;
      if (uid) ++leftOutByUser_[*uid];
      return;
    }
    write_(leftOut_ == 0 ? text : text + " (and " + LeftOutText() + " since the last line)");
    wrote_ = true;
    last_ = now;
    leftOut_ = 0;
    leftOutByUser_.clear();
  }

  // Writes what was left out since the last line, if anything, once that line is a second old
  // (or at once with `now`): a flood that ends is summed up without waiting for the next event.
  void Flush(bool now = false) {
    std::lock_guard lock(mutex_);
    if (leftOut_ == 0) return;
    const auto at = std::chrono::steady_clock::now();
    if (!now && at - last_ < std::chrono::seconds(1)) return;
    write_(LeftOutText() + " since the last line");
    last_ = at;
    leftOut_ = 0;
    leftOutByUser_.clear();
  }

 private:
  // "12 more: uid 1000 10 times, uid 1001 2 times"
  std::string LeftOutText() const {
    std::string text = std::to_string(leftOut_) + " more";
    const char* separator = ": ";
    for (const auto& [uid, count] : leftOutByUser_) {
      text += separator + ("uid " + std::to_string(uid)) + " " + std::to_string(count) +
              (count == 1 ? " time" : " times");
      separator = ", ";
    }
    return text;
  }

  Writer write_;
  std::mutex mutex_;
  bool wrote_ = false;
  std::chrono::steady_clock::time_point last_{};
  unsigned long leftOut_ = 0;
  std::map<std::uint32_t, unsigned long> leftOutByUser_;
};

}  // namespace burnwell
