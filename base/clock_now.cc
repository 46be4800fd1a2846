// The program's one clock (base/clock.h), alone in its file: the fuzz targets link a
// scripted clock in its place (tests/support/scripted_clock.cc).
#include <chrono>

#include "base/clock.h"

long long clock_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
