// The stop of a holding run, on every platform: the waiter over the socket layer's stop,
// which keep_posix.cc and keep_win32.cc have the platform's signals (console events) ask.
#include "front/keep.h"
#include "net/socket.h"

namespace {

bool wait_for_stop(int milliseconds) {
  if (net_stop_wait(milliseconds) != Error::kSocketStopped) return false;
  net_stop_take();
  return true;
}

bool stop_asked() {
  if (!net_stop_asked()) return false;
  net_stop_take();
  return true;
}

}  // namespace

KeepWaiter keep_platform_waiter() {
  if (net_stop_watch() == Error::kOk) keep_platform_watch();
  return KeepWaiter(wait_for_stop, nullptr, stop_asked);
}
