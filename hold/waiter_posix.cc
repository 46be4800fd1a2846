// The stop on POSIX: SIGTERM, SIGINT and SIGHUP ask it, and the socket layer's waits (the
// exchange under way, or the wait between renewals) end at once by it. With a held set,
// SIGHUP asks for the file to be read again instead, and only the wait between steps ends.
#include <climits>
#include <csignal>
#include <string>

#include "hold/loop.h"
#include "net/socket.h"

namespace {

volatile std::sig_atomic_t hangup_reloads = 0;
volatile std::sig_atomic_t reload_asked = 0;

extern "C" void on_stop(int signal) {
  // Flags and a byte into a pipe: what a handler may safely do.
  if (signal == SIGHUP && hangup_reloads != 0) {
    reload_asked = 1;
    net_wake();
    return;
  }
  net_stop_ask();
}

}  // namespace

void keep_platform_watch(bool hangup_to_reload) {
  hangup_reloads = hangup_to_reload ? 1 : 0;
  struct sigaction action {};
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool keep_platform_take_reload() {
  const bool asked = reload_asked != 0;
  reload_asked = 0;
  return asked;
}

void keep_platform_reload_file(const std::string&) {}

int keep_platform_wait_most_ms() {
  return INT_MAX;
}

void keep_platform_done() {}
