// The stop on POSIX: SIGTERM, SIGINT and SIGHUP ask it, and the socket layer's waits (the
// exchange under way, or the wait between renewals) end at once by it.
#include <csignal>

#include "front/keep.h"
#include "net/socket.h"

namespace {

extern "C" void on_stop(int) {
  net_stop_ask();  // a flag and a byte into a pipe: what a handler may safely do
}

}  // namespace

void keep_platform_watch() {
  struct sigaction action {};
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}

void keep_platform_done() {}
