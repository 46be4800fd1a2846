// The keep loop's wait on POSIX: SIGTERM, SIGINT and SIGHUP end it at once, through a
// pipe the handler writes a byte into (the one thing a handler may safely do).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>

#include "front/keep.h"

namespace {

volatile std::sig_atomic_t stop_asked = 0;
volatile std::sig_atomic_t hangup_reloads = 0;  // --hold: SIGHUP reloads the set
volatile std::sig_atomic_t reload_asked = 0;
int watch_fd = -1;  // a socket whose datagrams end a wait
int stop_pipe[2] = {-1, -1};

extern "C" void on_stop(int signal) {
  const int saved = errno;
  if (signal == SIGHUP && hangup_reloads != 0) {
    reload_asked = 1;
  } else {
    stop_asked = 1;
  }
  const char byte = 1;
  if (stop_pipe[1] >= 0) (void)!write(stop_pipe[1], &byte, 1);
  errno = saved;
}

bool watch_stops() {
  if (stop_pipe[0] >= 0) return true;
  if (pipe(stop_pipe) != 0) return false;
  for (int fd : stop_pipe) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  struct sigaction action {};
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
  return true;
}

bool wait_for_stop(int milliseconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (stop_asked == 0 && reload_asked == 0) {
    const long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) break;
    pollfd watched[2] = {{stop_pipe[0], POLLIN, 0}, {watch_fd, POLLIN, 0}};
    // A signal that comes between the test and the poll has written its byte already.
    if (poll(watched, 2, static_cast<int>(left)) > 0) {
      char drained[16];
      while (read(stop_pipe[0], drained, sizeof(drained)) > 0) {
      }
      if (watched[1].revents != 0) break;  // the caller reads it
    }
  }
  return stop_asked != 0;
}

bool take_reload() {
  const bool asked = reload_asked != 0;
  reload_asked = 0;
  return asked;
}

}  // namespace

KeepWaiter keep_platform_waiter(bool hangup_to_reload, long long watch) {
  hangup_reloads = hangup_to_reload ? 1 : 0;
  watch_fd = static_cast<int>(watch);
  watch_stops();
  KeepWaiter waiter{wait_for_stop};
  if (hangup_to_reload) waiter.reload_asked = take_reload;
  return waiter;
}

void keep_platform_done() {}
