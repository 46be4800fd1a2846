// The stop of a holding run, on every platform: the waiter over the socket layer's stop,
// which keep_posix.cc and keep_win32.cc have the platform's signals (console events) ask.
#include <new>

#include "hold/loop.h"
#include "net/socket.h"

namespace {

bool wait_for_stop(int milliseconds, const std::vector<long long>& watch) {
  const int most = keep_platform_wait_most_ms();
  if (milliseconds > most) milliseconds = most;  // ended early: the loop waits on after
  std::vector<SocketHandle> handles;
  std::vector<SocketHandle*> sockets;
  try {
    for (long long descriptor : watch) handles.push_back({descriptor});
    for (SocketHandle& handle : handles) sockets.push_back(&handle);
  } catch (const std::bad_alloc&) {
    sockets.clear();  // the wait still ends by the stop and by its time
  }
  if (net_stop_wait(milliseconds, sockets) != Error::kSocketStopped) return false;
  net_stop_take();
  return true;
}

bool stop_asked() {
  if (!net_stop_asked()) return false;
  net_stop_take();
  return true;
}

}  // namespace

KeepWaiter keep_platform_waiter(bool hangup_reloads) {
  if (net_stop_watch() == Error::kOk) keep_platform_watch(hangup_reloads);
  KeepWaiter waiter(wait_for_stop, nullptr, stop_asked);
  if (hangup_reloads) waiter.reload_asked = keep_platform_take_reload;
  return waiter;
}
