// A hook's process on POSIX: fork and execvp, its output through one pipe, waited for
// with poll until the bound, then killed (the process this run started, by its pid).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "front/hook.h"

HookResult hook_platform_run(const std::vector<std::string>& argv,
                             const HookEnvironment& environment, int timeout_ms,
                             const std::function<void(const char*, size_t)>& bytes) {
  HookResult result;
  std::vector<char*> words;
  for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
  words.push_back(nullptr);
  int output[2];
  if (pipe(output) != 0) {
    result.problem = std::strerror(errno);
    return result;
  }
  fcntl(output[0], F_SETFD, FD_CLOEXEC);
  const pid_t child = fork();
  if (child < 0) {
    result.problem = std::strerror(errno);
    close(output[0]);
    close(output[1]);
    return result;
  }
  if (child == 0) {
    // The run is single-threaded: setenv is safe between fork and exec.
    for (const auto& name_value : environment) {
      setenv(name_value.first.c_str(), name_value.second.c_str(), 1);
    }
    dup2(output[1], STDOUT_FILENO);
    dup2(output[1], STDERR_FILENO);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, STDIN_FILENO);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    execvp(words[0], words.data());
    const char* said = std::strerror(errno);
    (void)!write(STDERR_FILENO, said, std::strlen(said));
    _exit(127);
  }
  close(output[1]);
  result.started = true;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  bool open_pipe = true;
  while (open_pipe) {
    const long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) {
      result.timed_out = true;
      break;
    }
    pollfd watched{output[0], POLLIN, 0};
    const int ready = poll(&watched, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char chunk[4096];
    const ssize_t got = read(output[0], chunk, sizeof(chunk));
    if (got > 0) {
      bytes(chunk, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      open_pipe = false;
    }
  }
  close(output[0]);
  int status = 0;
  if (result.timed_out) {
    kill(child, SIGKILL);
  } else {
    // The output closed: the hook ends now, unless it handed its pipe on; then it too is
    // bounded.
    for (;;) {
      const pid_t done = waitpid(child, &status, WNOHANG);
      if (done == child) break;
      if (done < 0 && errno != EINTR) return result;
      if (Clock::now() >= end) {
        result.timed_out = true;
        kill(child, SIGKILL);
        break;
      }
      usleep(10000);
    }
    if (!result.timed_out) {
      result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return result;
    }
  }
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return result;
}
