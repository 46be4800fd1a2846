// Deadlines on the program's clock. The clock itself is clock_now.cc, alone in its file so
// that a test's scripted clock can stand in for it at link time.
#include "base/clock.h"

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
