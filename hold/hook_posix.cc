// A hook's process on POSIX: posix_spawnp, safe beside the hook queue's other thread, with
// every descriptor but the three closed in the child and the hook in a process group of
// its own; its output through one pipe, polled until the hook ends, else until the bound,
// when its whole group is killed (the group this run started, by its id).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/limits.h"
#include "hold/hook.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// How often a hook that writes nothing is looked at: its end, the bound, a cancel.
constexpr int kHookSliceMs = 50;

/// This process's environment with `added` set over it, as NAME=value entries.
std::vector<std::string> environment_entries(const HookEnvironment& added) {
  std::vector<std::string> entries;
  for (char** at = environ; at != nullptr && *at != nullptr; ++at) {
    const std::string entry = *at;
    bool replaced = false;
    for (const auto& name_value : added) {
      const std::string& name = name_value.first;
      replaced = replaced || (entry.compare(0, name.size(), name) == 0 &&
                              entry.size() > name.size() && entry[name.size()] == '=');
    }
    if (!replaced) entries.push_back(entry);
  }
  for (const auto& name_value : added)
    entries.push_back(name_value.first + "=" + name_value.second);
  return entries;
}

/// Starts the hook: standard input /dev/null, output and error `output`, no other
/// descriptor, a process group of its own, the signals as a new process has them. 0, or
/// the errno.
int spawn(const std::vector<std::string>& argv, const HookEnvironment& environment, int output,
          pid_t* child) {
  std::vector<std::string> entries = environment_entries(environment);
  std::vector<char*> words;
  std::vector<char*> envp;
  for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
  words.push_back(nullptr);
  for (std::string& entry : entries) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&actions) != 0) return ENOMEM;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return ENOMEM;
  }
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, signal);
  int error = ENOMEM;
  // Every action is needed: a hook that would inherit the program's sockets is not run.
  if (posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0 &&
      posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO) == 0 &&
      posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO) == 0 &&
      posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0 &&
      posix_spawnattr_setpgroup(&attributes, 0) == 0 &&
      posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
      posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
      posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                POSIX_SPAWN_SETSIGDEF) == 0) {
    error = posix_spawnp(child, words[0], &actions, &attributes, words.data(), envp.data());
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

int milliseconds_until(Clock::time_point when) {
  const long long left =
      std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
  return static_cast<int>(std::max(0LL, std::min(left, static_cast<long long>(kHookSliceMs))));
}

/// Hands the hook's output to `bytes` until the hook has exited (then kHookDrainMs more
/// while something it left holds the pipe), or the bound, or a cancel. True once it
/// exited, its exit status in `*result`.
bool follow(pid_t child, int input, int timeout_ms,
            const std::function<void(const char*, size_t)>& bytes, const std::atomic<bool>* cancel,
            HookResult* result) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  Clock::time_point drained = end;
  bool open = true;
  bool exited = false;
  int status = 0;
  for (;;) {
    const bool cancelled = cancel != nullptr && cancel->load();
    if (exited && (!open || cancelled || Clock::now() >= drained)) break;
    if (!exited && cancelled) {
      result->cancelled = true;
      return false;
    }
    if (!exited && Clock::now() >= end) {
      result->timed_out = true;
      return false;
    }
    if (!exited) {
      const pid_t done = waitpid(child, &status, WNOHANG);
      if (done == child || (done < 0 && errno != EINTR)) {
        if (done < 0) status = -1;  // reaped elsewhere: its status is not known
        exited = true;
        drained = std::min(end, Clock::now() + std::chrono::milliseconds(kHookDrainMs));
        continue;
      }
    }
    // A closed pipe while the hook still runs: it is near its end, looked at sooner.
    const int wait = open ? milliseconds_until(exited ? drained : end) : 5;
    pollfd watched{input, POLLIN, 0};
    if (poll(&watched, open ? 1 : 0, wait) <= 0) continue;
    char chunk[4096];
    const ssize_t got = read(input, chunk, sizeof(chunk));
    if (got > 0) {
      bytes(chunk, static_cast<size_t>(got));
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      open = false;
    }
  }
  result->exit_code = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

}  // namespace

HookResult hook_platform_run(const std::vector<std::string>& argv,
                             const HookEnvironment& environment, int timeout_ms,
                             const std::function<void(const char*, size_t)>& bytes,
                             const std::atomic<bool>* cancel) {
  HookResult result;
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) {
    result.problem = std::strerror(errno);
    return result;
  }
  pid_t child = -1;
  int error = ENOMEM;
  try {
    error = spawn(argv, environment, output[1], &child);
  } catch (...) {
  }
  close(output[1]);
  if (error != 0) {
    result.problem = std::strerror(error);
    close(output[0]);
    return result;
  }
  result.started = true;
  if (!follow(child, output[0], timeout_ms, bytes, cancel, &result)) {
    // The group the hook leads: whatever it started goes with it.
    kill(-child, SIGKILL);
    kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  close(output[0]);
  return result;
}
