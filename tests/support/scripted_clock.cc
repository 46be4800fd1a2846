// The program's clock on the scripted socket's, linked in place of base/clock_now.cc: a
// wait on a scripted datagram socket moves time on instead of passing it, so an
// exchange's whole schedule runs in no time at all; the deadlines of base/clock.cc read it.
#include "base/clock.h"
#include "tests/support/scripted_socket.h"

long long clock_ms() {
  return scripted_now_ms();
}
