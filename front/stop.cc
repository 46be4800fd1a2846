// The stop of a holding run, on every platform: the waiter over the socket layer's stop,
// which keep_posix.cc and keep_win32.cc have the platform's signals (console events) ask.
#include "front/keep.h"
#include "net/socket.h"

namespace {

SocketHandle watched{-1};  // a socket whose datagrams end a wait between steps

bool wait_for_stop(int milliseconds) {
  const int most = keep_platform_wait_most_ms();
  if (milliseconds > most) milliseconds = most;  // ended early: the loop waits on after
  SocketHandle* watch = watched.descriptor >= 0 ? &watched : nullptr;
  if (net_stop_wait(milliseconds, watch) != Error::kSocketStopped) return false;
  net_stop_take();
  return true;
}

bool stop_asked() {
  if (!net_stop_asked()) return false;
  net_stop_take();
  return true;
}

}  // namespace

KeepWaiter keep_platform_waiter(bool hangup_reloads, long long watch) {
  if (net_stop_watch() == Error::kOk) keep_platform_watch(hangup_reloads);
  watched.descriptor = watch;
  KeepWaiter waiter(wait_for_stop, nullptr, stop_asked);
  if (hangup_reloads) waiter.reload_asked = keep_platform_take_reload;
  return waiter;
}
