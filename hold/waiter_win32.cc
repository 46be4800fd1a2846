// The stop on Windows: the console's control events ask it, and the socket layer's waits
// (the exchange under way, or the wait between renewals) end at once by it. Ctrl-C and
// Ctrl-Break are taken here; for the console closed, logoff and shutdown the system ends
// the process once the handler returns, so the handler waits until the forwarding is
// removed (within the few seconds the system grants). Windows has no hang-up to reload
// on: a held set's file is looked at between steps, and read again once it changed.
#include <windows.h>

#include <climits>
#include <string>

#include "base/clock.h"
#include "base/file.h"
#include "base/limits.h"
#include "hold/loop.h"
#include "net/socket.h"

namespace {

HANDLE done_event = nullptr;

// The held set's file, its stamp when last read, and when it was last looked at.
std::string reload_path;
std::string reload_stamp;
long long looked_at_ms = 0;

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

void keep_platform_watch(bool) {
  if (done_event != nullptr) return;
  done_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_control, TRUE);
}

bool keep_platform_take_reload() {
  if (reload_path.empty()) return false;
  const long long now = clock_ms();
  if (now - looked_at_ms < kHoldFileCheckMs) return false;
  looked_at_ms = now;
  const std::string stamp = file_stamp(reload_path);
  // A file gone for a moment (an editor that writes a new one) is no change yet.
  if (stamp.empty() || stamp == reload_stamp) return false;
  reload_stamp = stamp;
  return true;
}

void keep_platform_reload_file(const std::string& path) {
  reload_path = path;
  reload_stamp = file_stamp(path);  // before the first read: an edit after it is seen
  looked_at_ms = clock_ms();
}

int keep_platform_wait_most_ms() {
  return reload_path.empty() ? INT_MAX : kHoldFileCheckMs;
}

void keep_platform_done() {
  if (done_event != nullptr) SetEvent(done_event);
}
