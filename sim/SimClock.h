// Time as the emulated hardware sees it. Chip busy times and per-command latency are spent on
// a SimClock: a VirtualClock in tests (which is also the platform clock, so the tool's sleeps
// and the chip's busy time run on one time line in microseconds of real time), or the real
// clock behind the relay server.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Clock.h"

namespace burnwell::sim {

class SimClock {
 public:
  virtual ~SimClock() = default;
  virtual std::uint64_t NowUs() = 0;
  // Lets the given time pass (a command's latency, a write cycle the bridge waits out).
  virtual void Spend(std::uint64_t microseconds) = 0;
};

// Time that moves only when someone sleeps or spends it. Install it as the platform clock with
// platform::ScopedOverride<platform::Clock> so that the tool's SleepMs advances it.
class VirtualClock final : public SimClock, public platform::Clock {
 public:
  explicit VirtualClock(std::uint64_t startUs = 0) : nowUs_(startUs) {}

  std::uint64_t NowUs() override { return nowUs_.load(); }
  void Spend(std::uint64_t microseconds) override { nowUs_.fetch_add(microseconds); }
  void SleepMs(std::uint32_t milliseconds) override {
    nowUs_.fetch_add(static_cast<std::uint64_t>(milliseconds) * 1000);
    sleptMs_.fetch_add(milliseconds);
    sleepCalls_.fetch_add(1);
  }

  // What the tool asked for through the platform clock (tests of polling behaviour).
  std::uint64_t TotalSleptMs() const { return sleptMs_.load(); }
  std::uint64_t SleepCalls() const { return sleepCalls_.load(); }

 private:
  std::atomic<std::uint64_t> nowUs_;
  std::atomic<std::uint64_t> sleptMs_{0};
  std::atomic<std::uint64_t> sleepCalls_{0};
};

// Wall-clock time: spending time sleeps the calling thread.
class RealTimeClock final : public SimClock {
 public:
  std::uint64_t NowUs() override;
  void Spend(std::uint64_t microseconds) override;
};

}  // namespace burnwell::sim
