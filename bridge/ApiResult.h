// Results of the device API and of the discoveries it runs: a count of devices, or one of the
// API's negative codes. The Bridge* functions return them as plain int (the interface the
// application is written against); inside, they travel as the types below.
#pragma once

#include <cstdint>

namespace burnwell::bridge {

// Failures of the device API. The discoveries report theirs with the same codes, which the API
// hands on unchanged.
enum class ApiError : int {
  TooManyDevices = -2,   // more devices than capacity; or a per-device lock could not be made
  NoInterfaceList = -3,  // discovery could not list the device interfaces
  LockFailed = -4,       // a wait for the API or a device mutex did not succeed
  BadIndex = -5,         // index negative or not below the count
  IdNotFound = -10,      // BridgeFindById: no record carries that id
  NoAspi = -11,          // the ASPI library or an entry point is missing
  NotMassStorage = -15,  // the record's transport is not mass storage
};

// The code as a Bridge* function returns it.
constexpr int Code(ApiError error) { return static_cast<int>(error); }

// The other Bridge* functions' success: a count, or 0.
inline constexpr int kApiSuccess = 0;

// BridgeInitialize and BridgeUninitialize answer as a start and a stop do: 1 when it worked,
// 0 when it did not (BridgeInitialize: the API mutex could be neither opened nor created).
enum class ApiStart : int { Failed = 0, Done = 1 };
constexpr int Code(ApiStart result) { return static_cast<int>(result); }

// A number of devices (0 for none), or an ApiError.
class CountOrError {
 public:
  // Implicit: a routine that returns a count may return an error just as well.
  constexpr CountOrError(ApiError error) : value_(Code(error)) {}
  static constexpr CountOrError Found(std::uint32_t count) {
    return CountOrError(static_cast<int>(count));
  }

  constexpr bool IsError() const { return value_ < 0; }
  constexpr std::uint32_t Count() const {
    return IsError() ? 0 : static_cast<std::uint32_t>(value_);
  }

  // The value as a Bridge* function returns it: the count, or the error's negative code.
  friend constexpr int Code(CountOrError result) { return result.value_; }
  friend constexpr bool operator==(CountOrError, CountOrError) = default;

 private:
  explicit constexpr CountOrError(int value) : value_(value) {}
  int value_;
};

}  // namespace burnwell::bridge
