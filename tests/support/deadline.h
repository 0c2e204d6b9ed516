// The time left until a deadline, as the millisecond timeout poll() takes:
// never negative, so a passed deadline polls once without waiting.
#pragma once
#include <chrono>

namespace qn::test {

inline int MillisLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace qn::test
