// The stop on Windows: the console's control events ask it, and the socket layer's waits
// (the exchange under way, or the wait between renewals) end at once by it. Ctrl-C and
// Ctrl-Break are taken here; for the console closed, logoff and shutdown the system ends
// the process once the handler returns, so the handler waits until the forwarding is
// removed (within the few seconds the system grants).
#include <windows.h>

#include "front/keep.h"
#include "net/socket.h"

namespace {

HANDLE done_event = nullptr;

// What the system allows a handler for a closing console before it ends the process.
constexpr DWORD kClosingWaitMilliseconds = 4500;

BOOL WINAPI on_control(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      net_stop_ask();
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      net_stop_ask();
      WaitForSingleObject(done_event, kClosingWaitMilliseconds);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void keep_platform_watch() {
  if (done_event != nullptr) return;
  done_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_control, TRUE);
}

void keep_platform_done() {
  if (done_event != nullptr) SetEvent(done_event);
}
