// A hook (--on-change): a command run with the event in its environment, never through a
// shell, its output lines handed back, bounded in time. Spawning is the platform's
// (hook_posix.cc, hook_win32.cc); the lines and the bound are here.
#ifndef PORTWRANGLER_FRONT_HOOK_H_
#define PORTWRANGLER_FRONT_HOOK_H_

#include <functional>
#include <string>
#include <utility>
#include <vector>

using HookEnvironment = std::vector<std::pair<std::string, std::string>>;

/// How a hook ended.
struct HookResult {
  bool started = false;    // false: it could not be run (`problem` says why)
  bool timed_out = false;  // stopped after the bound
  int exit_code = -1;      // its exit status; -1 when it ended by a signal
  std::string problem;
};

/// Runs `argv` (argv[0] looked up on PATH) with `environment` added to this process's,
/// for at most `timeout_ms`; each line it writes on standard output or standard error is
/// handed to `line`, without its line end.
HookResult hook_run(const std::vector<std::string>& argv, const HookEnvironment& environment,
                    int timeout_ms, const std::function<void(const std::string&)>& line);

/// The platform's part: starts `argv` (never empty), hands its output bytes to `bytes` as they
/// come, stops it after `timeout_ms`.
HookResult hook_platform_run(const std::vector<std::string>& argv,
                             const HookEnvironment& environment, int timeout_ms,
                             const std::function<void(const char*, size_t)>& bytes);

#endif  // PORTWRANGLER_FRONT_HOOK_H_
