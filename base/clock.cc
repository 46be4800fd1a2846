#include "base/clock.h"

#include <chrono>

long long clock_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Deadline deadline_in(long long milliseconds) {
  return {clock_ms() + (milliseconds > 0 ? milliseconds : 0)};
}

Deadline deadline_sooner(Deadline a, Deadline b) {
  if (a.at == kNoDeadline) return b;
  if (b.at == kNoDeadline) return a;
  return a.at < b.at ? a : b;
}

Deadline deadline_later(Deadline deadline, long long milliseconds) {
  if (deadline.at == kNoDeadline || deadline_passed(deadline)) return deadline;
  return {deadline.at + milliseconds};
}

bool deadline_passed(Deadline deadline) {
  return deadline.at != kNoDeadline && clock_ms() >= deadline.at;
}

int deadline_left_ms(Deadline deadline, int cap) {
  if (deadline.at == kNoDeadline) return cap;
  const long long left = deadline.at - clock_ms();
  if (left <= 0) return 0;
  return left < cap ? static_cast<int>(left) : cap;
}
