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
int stop_pipe[2] = {-1, -1};

extern "C" void on_stop(int) {
  const int saved = errno;
  stop_asked = 1;
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
  while (stop_asked == 0) {
    const long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) break;
    pollfd watched{stop_pipe[0], POLLIN, 0};
    // A signal that comes between the test and the poll has written its byte already.
    if (poll(&watched, 1, static_cast<int>(left)) > 0) {
      char drained[16];
      while (read(stop_pipe[0], drained, sizeof(drained)) > 0) {
      }
    }
  }
  return stop_asked != 0;
}

}  // namespace

KeepWaiter keep_platform_waiter() {
  watch_stops();
  return {wait_for_stop};
}

void keep_platform_done() {}
