// The keep loop's wait on Windows: the console's control events end it. Ctrl-C and
// Ctrl-Break are taken here; for the console closed, logoff and shutdown the system ends
// the process once the handler returns, so the handler waits until the forwarding is
// removed (within the few seconds the system grants).
#include <windows.h>

#include "front/keep.h"

namespace {

HANDLE stop_event = nullptr;
HANDLE done_event = nullptr;

// What the system allows a handler for a closing console before it ends the process.
constexpr DWORD kClosingWaitMilliseconds = 4500;

BOOL WINAPI on_control(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      SetEvent(stop_event);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      SetEvent(stop_event);
      WaitForSingleObject(done_event, kClosingWaitMilliseconds);
      return TRUE;
    default:
      return FALSE;
  }
}

bool wait_for_stop(int milliseconds) {
  return WaitForSingleObject(stop_event, static_cast<DWORD>(milliseconds)) == WAIT_OBJECT_0;
}

}  // namespace

// Windows has no hang-up to reload on (a held set there is restarted to read its file),
// and the router's announcements are not waited on: its entries are looked at on their
// own schedule.
KeepWaiter keep_platform_waiter(bool, long long) {
  if (stop_event == nullptr) {
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    done_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_control, TRUE);
  }
  return {wait_for_stop};
}

void keep_platform_done() {
  if (done_event != nullptr) SetEvent(done_event);
}
