// A system call made again while a signal interrupts it (-1 with EINTR): what every blocking
// call of the Linux platform wants.
#pragma once

#include <cerrno>

namespace burnwell::platform {

template <class Call>
auto RetryOnInterrupt(const Call& call) {
  auto result = call();
  while (result < 0 && errno == EINTR) result = call();
  return result;
}

}  // namespace burnwell::platform
